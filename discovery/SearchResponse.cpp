#include "common/JsonDoc.h"
#include "common/Logger.h"
#include "common/StringConstants.h"
#include "discovery/RedfishDiscovery.h"
#include "discovery/ServiceInfo.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <net/if.h>

bool RedfishDiscovery::readRedfishdInfo(Clock::time_point now)
{
    if (!m_redfishdInfo.uuid.empty())
    {
        return true;
    }
    // A file unchanged since its last read gives what it gave then.
    if (m_infoWatch.changed(StringConstants::REDFISH_DISC_CFG_FL(), now))
    {
        m_infoTaken = loadRedfishdInfo();
    }
    return m_infoTaken;
}

bool RedfishDiscovery::loadRedfishdInfo()
{
    std::ifstream file(StringConstants::REDFISH_DISC_CFG_FL());
    if (!file.is_open())
    {
        m_infoWatch.unreadable();
        m_openFailLimit.write([] { LOG_DISC(WARNING) << "Failed to open the redfishd info file"; });
        return false;
    }

    // The file comes from another daemon: any contents are read without throwing.
    const ServiceInfo info = parseServiceInfo(file);
    switch (info.outcome)
    {
    case ServiceInfo::Outcome::ParseFailed:
        m_parseFailLimit.write(
            [&info]
            {
                JsonDoc::logParseFailure(info.errors);
                LOG_DISC(WARNING) << "Failed to parse the redfishd info";
            });
        return false;
    case ServiceInfo::Outcome::NotObject:
        m_infoKindLimit.write([]
                              { LOG_DISC(WARNING) << "The redfishd info is not a JSON object"; });
        return false;
    case ServiceInfo::Outcome::NoUuid:
        return false;
    case ServiceInfo::Outcome::UuidNotText:
        m_infoKindLimit.write(
            [] { LOG_DISC(WARNING) << "The redfishd info member uuid is not a string"; });
        return false;
    case ServiceInfo::Outcome::Uuid:
        break;
    }
    // An empty text is taken (and answered with) but not kept: the file is read again once it
    // changes.
    m_redfishdInfo.uuid = info.uuid;
    return true;
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info)
{
    unsigned version = 0;
    buildSearchRsp(out, info, ipv4Text(m_board.read(version).front().ipv4));
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info, const std::string& host)
{
    out = MessageCache::legacyResponse(info.uuid, host);
}

void RedfishDiscovery::replacePlaceholderStr(std::string& text, std::string& value)
{
    MessageCache::replacePlaceholder(text, value);
}

int RedfishDiscovery::drawDelayMs(int mx)
{
    // UPnP Device Architecture 1.1: the response goes out after a random delay between 0 and
    // MX seconds, which spreads the answers of many devices to one search.
    const int bound = clampMx(static_cast<long>(mx)) * 1000;
    return std::uniform_int_distribution<int>(0, bound - 1)(m_rng);
}

bool RedfishDiscovery::sendSearchRsp(const std::string& rsp, const PeerAddr& to, socklen_t toLen)
{
    return m_sender.send(rsp, to, toLen);
}

void RedfishDiscovery::announceIfDue(Clock::time_point now)
{
    if (!m_announcer.due(now))
    {
        return;
    }
    if (!readRedfishdInfo(now) || m_redfishdInfo.uuid.empty())
    {
        // Nothing to announce without the service's UUID.
        m_announcer.retry(now);
        return;
    }
    refreshMessages(now);
    m_sender.announce(m_cache, true);
    m_announcer.sent(now, m_rng);
}

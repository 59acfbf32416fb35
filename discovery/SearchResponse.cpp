#include "common/JsonDoc.h"
#include "common/Logger.h"
#include "common/StringConstants.h"
#include "discovery/RedfishDiscovery.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace
{
const char* UUID_KEY = "uuid";
} // namespace

bool RedfishDiscovery::readRedfishdInfo()
{
    if (!m_redfishdInfo.uuid.empty())
    {
        return true;
    }

    std::ifstream file(StringConstants::REDFISH_DISC_CFG_FL());
    if (!file.is_open())
    {
        m_openFailLimit.write([] { LOG_DISC(WARNING) << "Failed to open the redfishd info file"; });
        return false;
    }

    JsonDoc doc(file);
    std::string errors;
    if (!doc.parse(errors))
    {
        m_parseFailLimit.write(
            [&errors]
            {
                JsonDoc::logParseFailure(errors);
                LOG_DISC(WARNING) << "Failed to parse the redfishd info";
            });
        return false;
    }

    // The file comes from another daemon: check kinds before the lookups, which would throw on
    // anything but an object holding a string, number or boolean.
    const Json::Value& root = doc.getRoot();
    if (!root.isNull() && !root.isObject())
    {
        m_infoKindLimit.write([]
                              { LOG_DISC(WARNING) << "The redfishd info is not a JSON object"; });
        return false;
    }
    Json::Value node = doc.getNode(UUID_KEY);
    if (doc.isNodeNull(node))
    {
        return false;
    }
    if (node.isArray() || node.isObject())
    {
        m_infoKindLimit.write(
            [] { LOG_DISC(WARNING) << "The redfishd info member uuid is not a string"; });
        return false;
    }
    // An empty text is taken (and answered with) but not cached: the next datagram reads again.
    m_redfishdInfo.uuid = doc.getStringValue(node);
    m_bRspStale = true;
    return true;
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info)
{
    char address[INET_ADDRSTRLEN] = "";
    const in_addr_t announced = m_announcedAddr;
    inet_ntop(AF_INET, &announced, address, sizeof(address));
    std::string addressText = address;
    std::string location = SVC_LOCATION();
    replacePlaceholderStr(location, addressText);

    std::string usn = UNIQ_SVC_NAME();
    replacePlaceholderStr(usn, info.uuid);

    out.clear();
    out.reserve(169 + info.uuid.size() + addressText.size());
    out.append(RSP_LINE())
        .append(CACHE_CTL())
        .append(ST_URI())
        .append(usn)
        .append(location)
        .append(EXT())
        .append(BLANK_LINE());
}

const std::string* RedfishDiscovery::searchResponse()
{
    const in_addr_t announced = m_announcedAddr;
    if (announced == 0)
    {
        return nullptr;
    }
    if (m_bRspStale || announced != m_rspAddr)
    {
        buildSearchRsp(m_rsp, m_redfishdInfo);
        m_rspAddr = announced;
        m_bRspStale = false;
    }
    return &m_rsp;
}

void RedfishDiscovery::replacePlaceholderStr(std::string& text, std::string& value)
{
    const std::size_t open = text.find(OPENING_BRACKET());
    const std::size_t close = text.find(CLOSING_BRACKET());
    if (open == std::string::npos || close == std::string::npos || close < open)
    {
        return;
    }
    text.replace(open, close - open + 1, value);
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
    if (sendto(m_sockFd, rsp.data(), rsp.size(), 0, &to.sa, toLen) != -1)
    {
        return true;
    }
    const int error = errno;
    m_sendFailLimit.write(
        [error, &to]
        {
            LOG_DISC(WARNING) << "sendto() failed" << std::strerror(error);
            LOG_DISC(WARNING) << "Addr: " << addressText(to) << ":" << ntohs(to.v4.sin_port);
        });
    return false;
}

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
    // An empty text is taken (and answered with) but not cached: the next datagram reads again.
    m_redfishdInfo.uuid = info.uuid;
    return true;
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info)
{
    unsigned version = 0;
    buildSearchRsp(out, info, ipv4Text(m_board.read(version).front().ipv4));
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info, std::string host)
{
    std::string location = SVC_LOCATION();
    replacePlaceholderStr(location, host);

    std::string usn = UNIQ_SVC_NAME();
    replacePlaceholderStr(usn, info.uuid);

    out.clear();
    out.reserve(169 + info.uuid.size() + host.size());
    out.append(RSP_LINE())
        .append(CACHE_CTL())
        .append(ST_URI())
        .append(usn)
        .append(location)
        .append(EXT())
        .append(BLANK_LINE());
}

std::string RedfishDiscovery::legacyResponse(const std::string& uuid, const std::string& host)
{
    RedfishdInfo info{uuid};
    std::string out;
    buildSearchRsp(out, info, host);
    return out;
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
    const bool ipv6 = to.sa.sa_family == AF_INET6;
    const int fd = ipv6 ? (m_ipv6 ? m_ipv6->fd() : -1) : m_sockFd;
    if (sendto(fd, rsp.data(), rsp.size(), MSG_DONTWAIT, &to.sa, toLen) != -1)
    {
        return true;
    }
    const int error = errno;
    m_sendFailLimit.write(
        [error, &to, ipv6]
        {
            LOG_DISC(WARNING) << "sendto() failed" << std::strerror(error);
            const std::string address = addressText(to);
            LOG_DISC(WARNING) << "Addr: " << (ipv6 ? "[" + address + "]" : address) << ":"
                              << ntohs(ipv6 ? to.v6.sin6_port : to.v4.sin_port);
        });
    return false;
}

void RedfishDiscovery::announceIfDue(Clock::time_point now)
{
    if (!m_announcer.due(now))
    {
        return;
    }
    if (!readRedfishdInfo() || m_redfishdInfo.uuid.empty())
    {
        // Nothing to announce without the service's UUID.
        m_announcer.retry(now);
        return;
    }
    refreshMessages(now);
    sendAnnouncements(true);
    m_announcer.sent(now, m_rng);
}

void RedfishDiscovery::sendAnnouncements(bool alive)
{
    const int ipv6Fd = m_ipv6 ? m_ipv6->fd() : -1;
    for (std::size_t slot = 0; slot < m_options.interfaces.size(); ++slot)
    {
        // Out of each interface by its index now. An interface that has just gone away gets
        // nothing: with index 0 the message would leave by the default route instead.
        const int index = static_cast<int>(if_nametoindex(m_options.interfaces[slot].c_str()));
        if (index == 0)
        {
            continue;
        }
        const auto send = [this, alive, slot](SsdpGroup group, const PeerAddr& to, socklen_t toLen)
        {
            for (const std::string& message :
                 alive ? m_cache.alive(group, slot) : m_cache.notifyMessages(false, group, slot))
            {
                sendSearchRsp(message, to, toLen);
            }
        };
        if (m_cache.hasIpv4(slot))
        {
            ip_mreqn outgoing{};
            outgoing.imr_ifindex = index;
            setsockopt(m_sockFd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof(outgoing));
            PeerAddr group{};
            group.v4 = m_ssdpAddr;
            send(SsdpGroup::Ipv4, group, sizeof(group.v4));
        }
        if (m_cache.hasIpv6(slot) && ipv6Fd != -1)
        {
            setsockopt(ipv6Fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof(index));
            for (const auto& [group, addr] : m_ipv6Groups)
            {
                PeerAddr to{};
                to.v6.sin6_family = AF_INET6;
                to.v6.sin6_port = htons(SSDP_PORT);
                to.v6.sin6_addr = addr;
                send(group.group, to, sizeof(to.v6));
            }
        }
    }
}

// NOTIFY announcements (UPnP Device Architecture 1.1, 1.2): alive when the service appears and
// then once per interval, byebye at a clean stop. Sent by the responder thread, which owns the
// messages.

#include "common/Logger.h"
#include "discovery/RedfishDiscovery.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>

bool RedfishDiscovery::setMulticastTtl()
{
    const int ttl = m_options.notifyTtl;
    if (setsockopt(m_v4.fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == -1)
    {
        LOG_DISC(WARNING) << "setsockopt(...IP_MULTICAST_TTL...) failed" << std::strerror(errno);
        return false;
    }
    return true;
}

RedfishDiscovery::Clock::time_point RedfishDiscovery::announce(Clock::time_point now)
{
    if (m_options.notifyInterval == 0)
    {
        return Clock::time_point::max();
    }
    const in_addr_t announced = m_announcedAddr;
    refreshMessages(announced);
    static const std::string none;
    const std::string& ipv6Host = m_bRspIpv6 ? m_rspIpv6Host : none;
    if (announced != m_aliveAddr || ipv6Host != m_aliveIpv6Host)
    {
        // The service appears, at start or at a new address: a fresh set of rounds, after a
        // short random wait so that controllers started together do not announce together.
        m_aliveAddr = announced;
        m_aliveIpv6Host = ipv6Host;
        m_announceRoundsLeft = ANNOUNCE_ROUNDS;
        m_nextAnnounce =
            now + std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 100)(m_rng));
    }
    if (announced == 0 && ipv6Host.empty())
    {
        return Clock::time_point::max();
    }
    if (now < m_nextAnnounce)
    {
        return m_nextAnnounce;
    }
    if (!readRedfishdInfo() || m_redfishdInfo.uuid.empty())
    {
        // Nothing to announce without the service's UUID: try again shortly, rounds intact.
        m_nextAnnounce = now + ANNOUNCE_RETRY;
        return m_nextAnnounce;
    }
    refreshMessages(announced);
    sendAnnouncements(true);
    if (--m_announceRoundsLeft > 0)
    {
        m_nextAnnounce = now + ANNOUNCE_ROUND_GAP;
    }
    else
    {
        // Up to a tenth early, so that controllers started together drift apart.
        const auto interval = std::chrono::milliseconds(m_options.notifyInterval * 1000);
        m_nextAnnounce = now + interval -
                         std::chrono::milliseconds(
                             std::uniform_int_distribution<long>(0, interval.count() / 10)(m_rng));
    }
    return m_nextAnnounce;
}

void RedfishDiscovery::sendAnnouncements(bool alive)
{
    // Out of the chosen interface, whatever its index now.
    const int index = static_cast<int>(if_nametoindex(m_options.interface.c_str()));
    const auto send = [this, alive](SsdpGroup group, const PeerAddr& to, socklen_t toLen)
    {
        const std::size_t i = static_cast<std::size_t>(group);
        for (const std::string& message : alive ? m_alive[i] : buildNotifyMsgs(false, group))
        {
            sendSearchRsp(message, to, toLen);
        }
    };
    if (m_aliveAddr != 0)
    {
        ip_mreqn outgoing{};
        outgoing.imr_ifindex = index;
        setsockopt(m_v4.fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof(outgoing));
        PeerAddr group{};
        group.v4 = m_ssdpAddr;
        send(SsdpGroup::Ipv4, group, sizeof(group.v4));
    }
    if (!m_aliveIpv6Host.empty() && m_v6.fd != -1)
    {
        setsockopt(m_v6.fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof(index));
        for (const auto& [group, addr] : m_ipv6Groups)
        {
            PeerAddr to{};
            to.v6.sin6_family = AF_INET6;
            to.v6.sin6_port = htons(1900);
            to.v6.sin6_addr = addr;
            send(group.group, to, sizeof(to.v6));
        }
    }
}

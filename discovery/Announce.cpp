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
    if (setsockopt(m_sockFd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == -1)
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
    if (announced != m_aliveAddr)
    {
        // The service appears, at start or at a new address: a fresh set of rounds, after a
        // short random wait so that controllers started together do not announce together.
        m_aliveAddr = announced;
        m_announceRoundsLeft = ANNOUNCE_ROUNDS;
        m_nextAnnounce =
            now + std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 100)(m_rng));
    }
    if (announced == 0)
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
    sendAnnouncements(m_alive);
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

void RedfishDiscovery::sendAnnouncements(const std::vector<std::string>& messages)
{
    // Out of the chosen interface, whatever its index now.
    ip_mreqn outgoing{};
    outgoing.imr_ifindex = static_cast<int>(if_nametoindex(m_options.interface.c_str()));
    setsockopt(m_sockFd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof(outgoing));
    PeerAddr group{};
    group.v4 = m_ssdpAddr;
    for (const std::string& message : messages)
    {
        sendSearchRsp(message, group, sizeof(group.v4));
    }
}

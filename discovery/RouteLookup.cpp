#include "discovery/RouteLookup.h"

#include "common/Logger.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

namespace
{
// A reply is one route of a few attributes; anything longer is not ours to read whole.
constexpr std::size_t BUFFER_BYTES = 4096;
constexpr std::chrono::seconds REOPEN{1};
} // namespace

bool RouteLookup::Key::operator==(const Key& other) const
{
    return index == other.index && sender == other.sender;
}

std::size_t RouteLookup::KeyHash::operator()(const Key& key) const
{
    std::uint64_t halves[2];
    std::memcpy(halves, &key.sender.bytes, sizeof(halves));
    return std::hash<std::uint64_t>()(halves[0] * 31 + halves[1] + (std::uint64_t(key.index) << 8) +
                                      key.sender.family);
}

RouteLookup::RouteLookup(LogLimiterGroup& limits)
    : m_buffer(BUFFER_BYTES), m_failLimit(limits, "Route lookup failure", std::chrono::minutes(1))
{
}

RouteLookup::~RouteLookup()
{
    if (m_fd != -1)
    {
        close(m_fd);
    }
}

bool RouteLookup::reaches(const IpAddress& sender, int index, bool wideScope, unsigned version,
                          bool fresh)
{
    using rtnl::RouteVerdict;
    if (version != m_version)
    {
        m_kept.clear(); // a link or an address moved: every route may have
        m_version = version;
    }
    const Key key{index, sender};
    const Clock::time_point now = Clock::now();
    const auto kept = m_kept.find(key);
    RouteVerdict verdict = RouteVerdict::Failed;
    if (!fresh && kept != m_kept.end() && now < kept->second.until)
    {
        verdict = kept->second.verdict;
    }
    else
    {
        verdict = lookUp(key);
        keep(key, verdict, now);
    }
    return verdict == RouteVerdict::OnLink || (wideScope && verdict == RouteVerdict::Routed);
}

void RouteLookup::keep(const Key& key, rtnl::RouteVerdict verdict, Clock::time_point now)
{
    if (verdict == rtnl::RouteVerdict::Failed)
    {
        m_kept.erase(key); // asked again next time
        return;
    }
    if (m_kept.size() >= MAX_KEPT && m_kept.count(key) == 0)
    {
        // A crowd of fresh sources: each costs its lookup, and the kept answers start over.
        m_kept.clear();
    }
    m_kept[key] = {verdict, now + KEPT_FOR};
}

rtnl::RouteVerdict RouteLookup::lookUp(const Key& key)
{
    if (m_fd == -1)
    {
        const Clock::time_point now = Clock::now();
        if (now < m_nextOpen)
        {
            return rtnl::RouteVerdict::Failed;
        }
        m_nextOpen = now + REOPEN;
        m_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (m_fd == -1)
        {
            fail("socket(AF_NETLINK)", errno);
            return rtnl::RouteVerdict::Failed;
        }
    }
    const std::vector<char> request = rtnl::routeRequest(key.sender, key.index, ++m_seq);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(m_fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&kernel),
               sizeof(kernel)) != static_cast<ssize_t>(request.size()))
    {
        fail("send(RTM_GETROUTE)", errno);
        return rtnl::RouteVerdict::Failed;
    }
    return awaitReply(key.index);
}

rtnl::RouteVerdict RouteLookup::awaitReply(int index)
{
    const Clock::time_point deadline = Clock::now() + WAIT;
    for (;;)
    {
        const ssize_t got = recv(m_fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (got > 0)
        {
            const std::size_t size = std::min(static_cast<std::size_t>(got), m_buffer.size());
            const rtnl::RouteVerdict verdict =
                rtnl::routeVerdict(m_buffer.data(), size, m_seq, index);
            if (verdict == rtnl::RouteVerdict::Failed)
            {
                fail("recv(RTM_GETROUTE)", EBADMSG);
            }
            if (verdict != rtnl::RouteVerdict::Pending)
            {
                return verdict;
            }
            continue; // a late reply to a question given up
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR)
        {
            fail("recv(RTM_GETROUTE)", errno);
            return rtnl::RouteVerdict::Failed;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd readable{m_fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) == 0)
        {
            fail("poll(RTM_GETROUTE)", ETIMEDOUT);
            return rtnl::RouteVerdict::Failed;
        }
    }
}

void RouteLookup::fail(const char* call, int error)
{
    // The datagram is refused; a kernel that keeps failing is written once a minute.
    m_failLimit.write(
        [call, error]
        {
            LOG_DISC(WARNING) << call << " failed" << std::strerror(error)
                              << ": a sender's route is unknown, and its datagram is refused";
        });
}

#include "discovery/MembershipRefresh.h"

#include "common/Logger.h"
#include "discovery/Groups.h"
#include "discovery/Wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace
{
// RFC 5737's and RFC 3849's documentation addresses: no host on a real network sends from them,
// so the instant in which the filter lets only them through costs nothing they would have sent.
constexpr const char* QUIET_SOURCE_IPV4 = "192.0.2.1";
constexpr const char* QUIET_SOURCE_IPV6 = "2001:db8::1";
} // namespace

MembershipRefresh::MembershipRefresh(Family family, std::chrono::seconds period, std::size_t slots,
                                     std::size_t phase, std::size_t phases,
                                     const Memberships& memberships, LogLimiterGroup& limits,
                                     Clock::time_point start)
    : m_family(family), m_period(period), m_groups(memberships.groupAddresses()),
      m_failureLimit(std::make_unique<LogLimiter>(limits, "Membership refresh failure",
                                                  InterfaceWatch::CHANGE_RECORD_INTERVAL,
                                                  InterfaceWatch::CHANGE_RECORD_BURST))
{
    // Interface i of this family has the moment (i * phases + phase) / (slots * phases) of the
    // period, the first a whole period after the start, whose join the kernel reported itself.
    const std::size_t moments = slots * phases;
    for (std::size_t slot = 0; slot < slots; ++slot)
    {
        m_due.push_back(start + m_period + m_period * (slot * phases + phase) / moments);
    }
    // A source of the socket's family that never sends.
    in6_addr quiet{};
    const bool ipv4 = family == Family::Ipv4;
    inet_pton(ipv4 ? AF_INET : AF_INET6, ipv4 ? QUIET_SOURCE_IPV4 : QUIET_SOURCE_IPV6, &quiet);
    m_quiet = groupStorage(ipv4 ? AF_INET : AF_INET6, &quiet);
}

void MembershipRefresh::turn(Clock::time_point now, int fd,
                             const std::vector<InterfaceWatch>& watches,
                             const Memberships& memberships)
{
    if (m_period == Clock::duration::zero() || fd == -1)
    {
        return;
    }
    for (auto left = m_unrestored.begin(); left != m_unrestored.end();)
    {
        // A membership that is gone has no filter left to put back.
        const bool gone = !memberships.holds(left->first);
        left = gone || restore(fd, left->first, left->second) ? m_unrestored.erase(left)
                                                              : std::next(left);
    }
    for (std::size_t slot = 0; slot < m_due.size() && slot < watches.size(); ++slot)
    {
        if (now < m_due[slot])
        {
            continue;
        }
        // Each moment keeps its place in the period, whatever was late or missed.
        m_due[slot] += m_period * ((now - m_due[slot]) / m_period + 1);
        const int index = watches[slot].index();
        if (memberships.holds(index) && !refresh(fd, index, watches[slot].name()))
        {
            m_unrestored[index] = watches[slot].name();
        }
    }
}

bool MembershipRefresh::refresh(int fd, int index, const std::string& name)
{
    // Every change before the kernel's report timer fires: one report of TO_EX{} records, as
    // at the join. A group whose change failed keeps its filter.
    for (const sockaddr_storage& group : m_groups)
    {
        if (const int error = setFilter(fd, index, group, true); error != 0)
        {
            recordFailure(error, name);
        }
    }
    return restore(fd, index, name);
}

bool MembershipRefresh::restore(int fd, int index, const std::string& name)
{
    // EXCLUDE{} again, which changes nothing where it already holds.
    bool restored = true;
    for (const sockaddr_storage& group : m_groups)
    {
        if (const int error = setFilter(fd, index, group, false); error != 0)
        {
            recordFailure(error, name);
            restored = false;
        }
    }
    return restored;
}

int MembershipRefresh::setFilter(int fd, int index, const sockaddr_storage& group,
                                 bool include) const
{
    const socklen_t length = m_family == Family::Ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    const int result =
        setsourcefilter(fd, static_cast<uint32_t>(index), reinterpret_cast<const sockaddr*>(&group),
                        length, include ? MCAST_INCLUDE : MCAST_EXCLUDE, include ? 1 : 0, &m_quiet);
    return result == 0 ? 0 : errno;
}

void MembershipRefresh::recordFailure(int error, const std::string& name)
{
    m_failureLimit->write(
        [&] {
            LOG_DISC(WARNING) << "setsourcefilter() failed" << std::strerror(error) << " on "
                              << name;
        });
}

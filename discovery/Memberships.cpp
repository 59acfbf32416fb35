#include "discovery/Memberships.h"

#include "common/Logger.h"
#include "discovery/Wire.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace
{
// What differs between the families' memberships, by Family.
struct FamilyMembership
{
    const char* joinCall; // as its WARNING names it
    const char* rejoined; // after a join's record: IPv4's first join is at start, in no record
};
constexpr FamilyMembership FAMILY[] = {
    {"setsockopt(...IP_ADD_MEMBERSHIP...)", " again"},
    {"setsockopt(...IPV6_JOIN_GROUP...)", ""},
};

const FamilyMembership& familyOf(IpFamily family)
{
    return FAMILY[static_cast<std::size_t>(family)];
}

// A group still joined (an interface renamed back into place, an earlier partial join) answers
// EADDRINUSE, and the membership stands.
int setMembership(int fd, int level, int option, const void* request, socklen_t length)
{
    return setsockopt(fd, level, option, request, length) == 0 || errno == EADDRINUSE ? 0 : errno;
}
} // namespace

sockaddr_storage groupStorage(int family, const void* addr)
{
    sockaddr_storage storage{};
    storage.ss_family = static_cast<sa_family_t>(family);
    char* const bytes = reinterpret_cast<char*>(&storage);
    if (family == AF_INET)
    {
        std::memcpy(bytes + offsetof(sockaddr_in, sin_addr), addr, sizeof(in_addr));
    }
    else
    {
        std::memcpy(bytes + offsetof(sockaddr_in6, sin6_addr), addr, sizeof(in6_addr));
    }
    return storage;
}

Memberships::Memberships(Family family, const std::vector<Ipv6GroupAddr>& ipv6Groups)
    : m_family(family), m_ipv6Groups(ipv6Groups)
{
    m_groupsText = m_family == Family::Ipv4 ? WIRE_IPV4_GROUP : "";
    for (std::size_t i = 0; m_family == Family::Ipv6 && i < m_ipv6Groups.size(); ++i)
    {
        m_groupsText += (i == 0 ? "" : ", ") + std::string(m_ipv6Groups[i].group.address);
    }
}

int Memberships::change(int fd, int index, const std::string& name, bool join)
{
    int error = index == 0 ? ENODEV : 0;
    if (error == 0 && m_family == Family::Ipv4)
    {
        ip_mreqn request{};
        request.imr_multiaddr.s_addr = inet_addr(WIRE_IPV4_GROUP);
        request.imr_ifindex = index;
        error = setMembership(fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                              &request, sizeof(request));
    }
    for (std::size_t i = 0; error == 0 && m_family == Family::Ipv6 && i < m_ipv6Groups.size(); ++i)
    {
        ipv6_mreq request{};
        request.ipv6mr_multiaddr = m_ipv6Groups[i].addr;
        request.ipv6mr_interface = static_cast<unsigned>(index);
        error = setMembership(fd, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &request,
                              sizeof(request));
    }
    if (!join)
    {
        m_held.erase(index);
    }
    else if (error == 0)
    {
        m_held[index] = name;
        m_joinFailed.erase(index);
    }
    return error;
}

void Memberships::keep(int fd, const Wanted& wanted)
{
    for (auto held = m_held.begin(); held != m_held.end();)
    {
        const auto [index, name] = *held++;
        if (std::none_of(wanted.begin(), wanted.end(),
                         [index = index](const auto& w) { return w.first == index; }))
        {
            // Gone, renamed away or without an address: an interface that still exists under
            // another name leaves the groups too, so that only searches on the chosen interfaces
            // are answered.
            change(fd, index, name, false);
            LOG_DISC(INFO) << "Interface " << name << " (index " << index << ") is gone: left "
                           << m_groupsText;
        }
    }
    for (const auto& [index, name] : wanted)
    {
        if (!holds(index))
        {
            join(fd, index, name);
        }
    }
}

void Memberships::join(int fd, int index, const std::string& name)
{
    const int error = fd == -1 ? EBADF : change(fd, index, name, true);
    if (error == 0)
    {
        LOG_DISC(INFO) << "Joined " << m_groupsText << " on " << name << " (index " << index << ")"
                       << familyOf(m_family).rejoined;
    }
    else if (fd != -1 && m_joinFailed.insert(index).second)
    {
        // Tried again at every change of the host; written once for each index.
        LOG_DISC(WARNING) << joinCall() << " failed" << std::strerror(error);
    }
}

bool Memberships::sentTo(int index, const in6_addr& destination, SsdpGroup& group) const
{
    if (!holds(index))
    {
        return false;
    }
    group = SsdpGroup::Ipv4;
    if (m_family == Family::Ipv4)
    {
        return true;
    }
    const Ipv6GroupAddr* joined = groupOf(m_ipv6Groups, destination);
    if (joined != nullptr)
    {
        group = joined->group.id;
    }
    return joined != nullptr;
}

const char* Memberships::joinCall() const
{
    return familyOf(m_family).joinCall;
}

std::vector<sockaddr_storage> Memberships::groupAddresses() const
{
    std::vector<sockaddr_storage> groups;
    if (m_family == Family::Ipv4)
    {
        in_addr group{};
        inet_pton(AF_INET, WIRE_IPV4_GROUP, &group);
        groups.push_back(groupStorage(AF_INET, &group));
    }
    for (std::size_t i = 0; m_family == Family::Ipv6 && i < m_ipv6Groups.size(); ++i)
    {
        groups.push_back(groupStorage(AF_INET6, &m_ipv6Groups[i].addr));
    }
    return groups;
}

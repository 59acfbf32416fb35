#include "discovery/Ipv6Listener.h"

#include "common/Logger.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace
{
std::vector<std::string> groupNames(const std::vector<Ipv6GroupAddr>& groups)
{
    std::vector<std::string> names;
    names.reserve(groups.size());
    for (const Ipv6GroupAddr& group : groups)
    {
        names.emplace_back(group.group.address);
    }
    return names;
}
} // namespace

Ipv6Listener::Ipv6Listener(const Options& options, DatagramQueue& inbox, AddressBoard& board,
                           ServiceStatus& status)
    : m_options(options), m_inbox(inbox), m_board(board), m_status(status),
      m_groups(ipv6Groups(options.ipv6Scope)), m_rcvBuf(DATAGRAM_BUF_SIZE, 0)
{
    for (const std::string& name : options.interfaces)
    {
        m_watches.emplace_back(InterfaceWatch::Family::Ipv6, name, groupNames(m_groups), true);
    }
}

Ipv6Listener::~Ipv6Listener()
{
    // The service joins the thread before it ends; this only guards against a run that never
    // returned (std::thread would abort the process).
    if (m_thread.joinable())
    {
        m_thread.detach();
    }
}

void Ipv6Listener::start(const std::atomic<bool>& running)
{
    follow(Clock::now());
    m_thread = std::thread(&Ipv6Listener::run, this, std::cref(running));
}

void Ipv6Listener::join()
{
    if (m_thread.joinable())
    {
        m_thread.join();
    }
}

void Ipv6Listener::run(const std::atomic<bool>& running)
{
    while (running)
    {
        const bool received = receive();
        const Clock::time_point now = Clock::now();
        if (received)
        {
            handOver(now);
        }
        follow(now);
        m_limits.flush(now);
    }
    m_limits.flush(Clock::time_point::max());
}

bool Ipv6Listener::receive()
{
    const int fd = m_fd;
    if (fd == -1)
    {
        // Not set up yet: the same pace as a receive time-out.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return false;
    }
    m_bRecvTimeoutSet = m_bRecvTimeoutSet || setReceiveTimeout(fd, m_timeoutFailLimit);
    // Bound to the wildcard address: the kernel says where each datagram was sent to and which
    // interface it came in by.
    Arrival arrival;
    m_rcvLen = receiveDatagram(fd, m_rcvBuf, m_senderAddr, m_senderAddrLen, arrival);
    // Another socket's membership on another interface may bring the same group here.
    const int slot = joinedSlot(m_watches, arrival.ifindex);
    if (m_rcvLen <= 0 || slot == -1)
    {
        return false;
    }
    m_slot = static_cast<std::size_t>(slot);
    for (const auto& [group, addr] : m_groups)
    {
        if (std::memcmp(&addr, &arrival.destination, sizeof(addr)) == 0)
        {
            m_group = group.group;
            return m_status.admit(m_senderAddr, ownsAddress(m_watches, m_senderAddr),
                                  m_senderLimit);
        }
    }
    // Sent to the host's own address, or to a group not joined: never judged.
    return false;
}

void Ipv6Listener::handOver(Clock::time_point now)
{
    if (!m_inbox.push(m_rcvBuf, m_rcvLen, m_senderAddr, m_senderAddrLen, now, m_group, m_slot))
    {
        m_status.inboxFull(m_senderAddr, m_inboxFullLimit);
    }
}

void Ipv6Listener::follow(Clock::time_point now)
{
    for (std::size_t slot = 0; slot < m_watches.size(); ++slot)
    {
        InterfaceWatch& watch = m_watches[slot];
        if (!watch.look(now, m_fd))
        {
            continue;
        }
        if (watch.wantsJoin() && (m_fd != -1 || initSocket()))
        {
            watch.join(m_fd);
        }
        if (watch.addressChanged())
        {
            m_board.publishIpv6(slot, watch.ipv6(), watch.name());
            if (m_options.notifyInterval > 0)
            {
                // The responder announces a new address at once.
                m_inbox.nudge();
            }
        }
    }
}

bool Ipv6Listener::initSocket()
{
    const char* failed = nullptr;
    int error = 0;
    const auto check = [&failed, &error](bool ok, const char* call)
    {
        if (!ok)
        {
            failed = call;
            error = errno;
        }
        return ok;
    };
    // Bound to the wildcard address, unlike the IPv4 socket: one socket serves every group of
    // the scope, and each datagram's destination (IPV6_PKTINFO) tells which group's HOST it must
    // name and keeps out datagrams sent to the host's own address, which are never judged.
    const int fd = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    const int on = 1;
    const int off = 0;
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(SSDP_PORT);
    any.sin6_addr = in6addr_any;
    if (check(fd != -1, "socket(AF_INET6)") &&
        // IPv6 only: the IPv4 socket keeps IPv4's port 1900.
        check(setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) == 0,
              "setsockopt(IPV6_V6ONLY)") &&
        check(setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof(on)) == 0,
              "setsockopt(IPV6_RECVPKTINFO)") &&
        check(m_options.notifyInterval == 0 ||
                  setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &m_options.notifyTtl,
                             sizeof(m_options.notifyTtl)) == 0,
              "setsockopt(IPV6_MULTICAST_HOPS)") &&
        check(bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) == 0,
              "bind([::]:1900)"))
    {
        // Spares the listener the datagrams of groups that other programs joined; the
        // destination check drops them anyway where the kernel lacks this option.
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &off, sizeof(off));
        widenSendBuffer(fd);
        m_fd = fd;
        m_setupFailure.clear();
        return true;
    }
    if (fd != -1)
    {
        close(fd);
    }
    // Tried again at every look: written once for each kind of failure.
    const std::string failure = std::string(failed) + " failed: " + std::strerror(error);
    if (failure != m_setupFailure)
    {
        m_setupFailure = failure;
        std::string names;
        for (const InterfaceWatch& watch : m_watches)
        {
            names += (names.empty() ? "" : ", ") + watch.name();
        }
        LOG_DISC(WARNING) << "IPv6 cannot be set up on " << names << ": " << failure
                          << "; searches over IPv6 are not answered until it can";
    }
    return false;
}

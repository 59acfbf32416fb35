#include "discovery/Reception.h"

#include "common/Logger.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include <thread>

Reception::Reception(Family family, const Options& options,
                     const std::vector<Ipv6GroupAddr>& ipv6Groups, DatagramQueue& inbox,
                     AddressBoard& board, ServiceStatus& status)
    : m_family(family), m_options(options), m_ipv6Groups(ipv6Groups), m_inbox(inbox),
      m_board(board), m_status(status)
{
    m_watches.reserve(options.interfaces.size());
    m_published.assign(options.interfaces.size(), 0);
    for (const std::string& name : options.interfaces)
    {
        m_watches.emplace_back(family, name, ipv6Groups, options.ipv6, m_limits);
    }
}

void Reception::run(const std::atomic<bool>& running, Watchdog& watchdog)
{
    Datagram datagram;
    datagram.text.assign(DATAGRAM_BUF_SIZE, '\0');
    while (running)
    {
        if (receive(datagram))
        {
            handOver(datagram);
        }
        const Clock::time_point now = Clock::now();
        follow(now);
        watchdog.turnsBy(Watchdog::IPV6_LISTENER, now + RECEIVE_TIMEOUT);
    }
    finish();
}

bool Reception::receive(Datagram& datagram)
{
    const int fd = m_fd;
    if (fd == -1)
    {
        // IPv6 not set up yet: the same pace as a receive time-out.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return false;
    }
    if (!m_bRecvTimeoutSet)
    {
        m_bRecvTimeoutSet = setReceiveTimeout(fd, m_timeoutFailLimit);
    }
    Arrival arrival;
    datagram.length =
        receiveDatagram(fd, datagram.text, datagram.sender, datagram.senderLen, arrival);
    datagram.arrival = Clock::now();
    // Another socket's membership on another interface may bring the group here.
    if (datagram.length <= 0 || m_held.count(arrival.ifindex) == 0)
    {
        return false;
    }
    datagram.ifindex = arrival.ifindex;
    datagram.group = SsdpGroup::Ipv4;
    if (m_family == Family::Ipv6)
    {
        // Sent to the host's own address, or to a group not joined: never judged.
        const Ipv6GroupAddr* group = groupOf(m_ipv6Groups, arrival.destination);
        if (group == nullptr)
        {
            return false;
        }
        datagram.group = group->group.group;
    }
    return admit(datagram.sender, arrival.ifindex);
}

bool Reception::admit(const PeerAddr& sender, int index)
{
    m_host.update(); // an address added since the last turn is known before its datagram
    const IpAddress source = IpAddress::of(sender);
    const bool local = m_host.isLocal(source);
    const unsigned short port =
        ntohs(sender.sa.sa_family == AF_INET6 ? sender.v6.sin6_port : sender.v4.sin_port);
    if (local && port == SSDP_PORT)
    {
        // Our own announcements, looped back to our own socket: nothing was refused.
        return false;
    }
    // UPnP Device Architecture 1.1, 1.3.3: the answer goes back out the interface the search came
    // in by, so only a sender on that interface's link can be answered; anything else would make
    // this host a reflector aimed at whatever address a forged search names.
    const bool answerable =
        m_host.known() && isAnswerableSender(sender) && !local && m_host.isOnLink(source, index);
    return m_status.admit(sender, answerable, m_senderLimit);
}

void Reception::handOver(Datagram& datagram)
{
    if (!m_inbox.push(datagram))
    {
        m_status.inboxFull(datagram.sender, m_inboxFullLimit);
    }
}

void Reception::follow(Clock::time_point now)
{
    bool looked = false;
    for (InterfaceWatch& watch : m_watches)
    {
        looked = watch.look(now, m_fd) || looked;
    }
    if (looked)
    {
        keepMemberships();
        m_host.update();
    }
    for (std::size_t slot = 0; looked && slot < m_watches.size(); ++slot)
    {
        InterfaceWatch& watch = m_watches[slot];
        // An interface made again with the same address has another index: published too.
        const bool moved = watch.index() != m_published[slot];
        if (!watch.addressChanged() && !moved)
        {
            continue;
        }
        m_published[slot] = watch.index();
        if (m_family == Family::Ipv4)
        {
            m_board.publishIpv4(slot, watch.ipv4(), watch.index());
        }
        else
        {
            m_board.publishIpv6(slot, watch.ipv6(), watch.name(), watch.index());
        }
        if (m_options.notifyInterval > 0)
        {
            // The responder announces a new address at once.
            m_inbox.nudge();
        }
    }
    m_limits.flush(now);
}

int Reception::joinAtStart(std::size_t slot, int index)
{
    const int error = m_watches[slot].membership(m_fd, index, true);
    if (error == 0)
    {
        m_held[index] = m_watches[slot].name();
        m_published[slot] = index;
    }
    return error;
}

void Reception::keepMemberships()
{
    const auto wanted = [this](int index)
    {
        for (const InterfaceWatch& watch : m_watches)
        {
            if (watch.wantsGroups() && watch.index() == index)
            {
                return true;
            }
        }
        return false;
    };
    for (auto held = m_held.begin(); held != m_held.end();)
    {
        if (wanted(held->first))
        {
            ++held;
            continue;
        }
        // Gone, renamed away or without an address: an interface that still exists under another
        // name leaves the groups too, so that only searches on the chosen interfaces are answered.
        m_watches.front().membership(m_fd, held->first, false);
        LOG_DISC(INFO) << "Interface " << held->second << " (index " << held->first
                       << ") is gone: left " << m_watches.front().groupsText();
        held = m_held.erase(held);
    }
    for (const InterfaceWatch& watch : m_watches)
    {
        if (!watch.wantsGroups() || m_held.count(watch.index()) != 0)
        {
            continue;
        }
        if (m_fd == -1 && m_family == Family::Ipv6)
        {
            openIpv6Socket();
        }
        const int error = m_fd == -1 ? EBADF : watch.membership(m_fd, watch.index(), true);
        if (error == 0)
        {
            m_held[watch.index()] = watch.name();
            m_joinFailed.erase(watch.index());
            LOG_DISC(INFO) << "Joined " << watch.groupsText() << " on " << watch.name()
                           << " (index " << watch.index() << ")"
                           << (m_family == Family::Ipv4 ? " again" : "");
        }
        else if (m_fd != -1 && m_joinFailed.insert(watch.index()).second)
        {
            // Tried again at every look; written once for each index.
            LOG_DISC(WARNING) << (m_family == Family::Ipv4 ? "setsockopt(...IP_ADD_MEMBERSHIP...)"
                                                           : "setsockopt(...IPV6_JOIN_GROUP...)")
                              << " failed" << std::strerror(error);
        }
    }
}

bool Reception::openIpv6Socket()
{
    std::string failure;
    const int fd =
        ::openIpv6Socket(m_options.notifyInterval > 0 ? m_options.notifyTtl : 0, failure);
    if (fd != -1)
    {
        setFd(fd);
        m_setupFailure.clear();
        return true;
    }
    // Tried again at every look: written once for each kind of failure.
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

#include "discovery/Reception.h"

#include "common/Logger.h"

#include <thread>

Reception::Reception(Family family, const Options& options,
                     const std::vector<Ipv6GroupAddr>& ipv6Groups, DatagramQueue& inbox,
                     AddressBoard& board, ServiceStatus& status)
    : m_family(family), m_options(options), m_ipv6Groups(ipv6Groups), m_inbox(inbox),
      m_board(board), m_status(status)
{
    m_watches.reserve(options.interfaces.size());
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
    const int slot = joinedSlot(arrival.ifindex);
    if (datagram.length <= 0 || slot == -1)
    {
        return false;
    }
    datagram.slot = static_cast<std::size_t>(slot);
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
    return m_status.admit(datagram.sender, ownsAddress(datagram.sender), m_senderLimit);
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
    for (std::size_t slot = 0; slot < m_watches.size(); ++slot)
    {
        InterfaceWatch& watch = m_watches[slot];
        if (!watch.look(now, m_fd))
        {
            continue;
        }
        if (watch.wantsJoin() && m_fd == -1 && m_family == Family::Ipv6)
        {
            openIpv6Socket();
        }
        if (watch.wantsJoin() && m_fd != -1)
        {
            watch.join(m_fd);
        }
        if (!watch.addressChanged())
        {
            continue;
        }
        if (m_family == Family::Ipv4)
        {
            m_board.publishIpv4(slot, watch.ipv4());
        }
        else
        {
            m_board.publishIpv6(slot, watch.ipv6(), watch.name());
        }
        if (m_options.notifyInterval > 0)
        {
            // The responder announces a new address at once.
            m_inbox.nudge();
        }
    }
    m_limits.flush(now);
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

int Reception::joinedSlot(int index) const
{
    for (std::size_t slot = 0; index != 0 && slot < m_watches.size(); ++slot)
    {
        if (m_watches[slot].joinedIndex() == index)
        {
            return static_cast<int>(slot);
        }
    }
    return -1;
}

bool Reception::ownsAddress(const PeerAddr& sender) const
{
    for (const InterfaceWatch& watch : m_watches)
    {
        if (watch.isOwnAddress(sender))
        {
            return true;
        }
    }
    return false;
}

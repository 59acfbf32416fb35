#include "discovery/Listener.h"

#include "common/Logger.h"
#include "discovery/Ipv6.h"
#include "discovery/UdpSocket.h"
#include "discovery/Wire.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace
{
// With one interface the failed call's record keeps its established text, which names none; this
// one beside it does.
void nameInterface(bool several, const std::string& name, const char* why)
{
    if (!several)
    {
        LOG_DISC(WARNING) << "Cannot join " << WIRE_IPV4_GROUP << " on interface " << name << ": "
                          << why;
    }
}

ifreq interfaceRequest(const std::string& name)
{
    ifreq request{};
    request.ifr_addr.sa_family = AF_INET;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return request;
}
} // namespace

struct Listener::Traits
{
    const char* threadName; // for `top -H` and the like
    std::size_t refreshPhase;
    // A search sent by unicast is answered to on-link senders only, as one sent to this group.
    SsdpGroup unicastGroup;
    // The IPv6 socket is made once an interface first wants to join, and its unicast sockets are
    // bound beside it, sharing its port; the IPv4 one is there from the start.
    bool opensOnJoin;
    bool linkLocalToo;       // a unicast socket on the link-local address as well
    bool setsReceiveTimeout; // see setReceiveTimeout()
};
const Listener::Traits Listener::FAMILY[] = {
    {"listen-ipv4", 0, SsdpGroup::Ipv4, false, false, true},
    {"listen-ipv6", 1, SsdpGroup::Ipv6Link, true, true, false},
};

Listener::Listener(Family family, const Options& options,
                   const std::vector<Ipv6GroupAddr>& ipv6Groups, DatagramQueue& inbox,
                   AddressBoard& board, ServiceStatus& status, HostView& host)
    : m_family(family), m_traits(FAMILY[static_cast<std::size_t>(family)]), m_options(options),
      m_inbox(inbox), m_board(board), m_status(status), m_host(host),
      m_memberships(family, ipv6Groups),
      // The IPv4 rounds first, then the IPv6 ones, each interface at a moment of its own.
      m_refresh(family, std::chrono::seconds(options.membershipRefresh), options.interfaces.size(),
                m_traits.refreshPhase, options.ipv6 ? 2 : 1, m_memberships, m_limits)
{
    m_watches.reserve(options.interfaces.size());
    m_published.assign(options.interfaces.size(), 0);
    m_linkLocal.assign(options.interfaces.size(), in6addr_any);
    for (const std::string& name : options.interfaces)
    {
        m_watches.emplace_back(family, name, options.ipv6, m_limits);
    }
    m_rcvBuf.text.assign(DATAGRAM_BUF_SIZE, '\0');
}

bool Listener::openIpv4()
{
    m_ssdpAddr = sockaddr_in{};
    m_ssdpAddr.sin_family = AF_INET;
    m_ssdpAddr.sin_port = htons(SSDP_PORT);
    if (inet_aton(WIRE_IPV4_GROUP, &m_ssdpAddr.sin_addr) == 0)
    {
        LOG_DISC(WARNING) << "inet_aton() failed";
        return false;
    }
    // Bound to the group address, not the wildcard: only datagrams sent to the group arrive,
    // never a search sent straight to the controller's own address. Not shared: no other socket
    // binds beside it. Only the groups this socket joined, on the interfaces it joined them on:
    // by default Linux delivers a group's datagrams to every socket bound to it, whoever joined
    // it where. Each datagram's arrival interface (IP_PKTINFO) is checked against the one joined
    // as well.
    UdpSocketSpec spec;
    spec.address = IpAddress::v4(m_ssdpAddr.sin_addr.s_addr);
    spec.pktinfo = true;
    spec.ownGroupsOnly = true;
    spec.sendBuffer = UdpSocketSpec::SendBuffer::Widened;
    UdpSocket opened = openUdpSocket(spec);
    // Kept open after a failed step as well, until the process ends.
    m_sockFd = opened.fd.release();
    if (!opened.ok())
    {
        const bool option = std::strncmp(opened.failedCall, "setsockopt", 10) == 0;
        LOG_DISC(WARNING) << (option ? "setsockopt(...IP_PKTINFO...)" : opened.failedCall)
                          << " failed" << std::strerror(opened.error);
        return false;
    }
    return true;
}

bool Listener::joinIpv4()
{
    const bool several = m_watches.size() > 1;
    for (std::size_t slot = 0; slot < m_watches.size(); ++slot)
    {
        InterfaceWatch& watch = m_watches[slot];
        ifreq request = interfaceRequest(watch.name());
        // Without an address from the query there is nothing to join with or to announce.
        if (ioctl(m_sockFd, SIOCGIFADDR, &request) == -1)
        {
            const int error = errno;
            if ((m_options.ipv6 || several) && error == EADDRNOTAVAIL)
            {
                // An IPv6-only network, or one of several ports not configured yet: answered
                // elsewhere meanwhile, while this one waits for an address as it does after
                // losing one.
                watch.assume(0, 0);
                continue;
            }
            // A name that no interface has ends the start, so that a mistyped one shows.
            LOG_DISC(WARNING) << "ioctl(SIOCGIFADDR) failed" << std::strerror(error)
                              << (several ? " on " + watch.name() : "");
            nameInterface(several, watch.name(),
                          error == ENODEV          ? "there is no such interface"
                          : error == EADDRNOTAVAIL ? "it has no IPv4 address"
                                                   : "its IPv4 address cannot be read");
            return false;
        }
        sockaddr_in ifAddr{};
        std::memcpy(&ifAddr, &request.ifr_addr, sizeof(ifAddr));
        request = interfaceRequest(watch.name());
        if (ioctl(m_sockFd, SIOCGIFINDEX, &request) == -1)
        {
            LOG_DISC(WARNING) << "ioctl(SIOCGIFINDEX) failed" << std::strerror(errno)
                              << (several ? " on " + watch.name() : "");
            nameInterface(several, watch.name(), "its index cannot be read");
            return false;
        }
        const int index = request.ifr_ifindex;
        if (const int error = m_memberships.change(m_sockFd, index, watch.name(), true); error != 0)
        {
            LOG_DISC(WARNING) << m_memberships.joinCall() << " failed" << std::strerror(error)
                              << (several ? " on " + watch.name() : "");
            nameInterface(several, watch.name(), "the join failed");
            return false;
        }
        m_published[slot] = index;
        watch.assume(index, ifAddr.sin_addr.s_addr);
        m_board.publishIpv4(slot, ifAddr.sin_addr.s_addr, index);
    }
    return true;
}

bool Listener::setMulticastTtl(int ttl)
{
    if (setsockopt(m_sockFd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == -1)
    {
        LOG_DISC(WARNING) << "setsockopt(...IP_MULTICAST_TTL...) failed" << std::strerror(errno);
        return false;
    }
    return true;
}

void Listener::run(const std::atomic<bool>& running, const Tick& tick)
{
    pthread_setname_np(pthread_self(), m_traits.threadName);
    while (running)
    {
        receive();
        const Clock::time_point now = Clock::now();
        follow(now);
        tick(now);
    }
    m_limits.flush(Clock::time_point::max());
}

void Listener::receive()
{
    if (m_traits.setsReceiveTimeout)
    {
        setReceiveTimeout();
    }
    // One wait for all: datagrams, and news of the host. The news is taken first, so that a
    // datagram is admitted by what the kernel had said before it arrived (an address of this host
    // added a moment ago is known as ours).
    m_polled[0] = {m_sockFd, POLLIN, 0};
    m_polled[1] = {m_host.fd(), POLLIN, 0};
    const int ready =
        poll(m_polled.data(), m_polled.size(), static_cast<int>(RECEIVE_TIMEOUT.count()));
    if (ready <= 0)
    {
        return;
    }
    if (m_polled[1].revents != 0)
    {
        m_host.update();
    }
    if ((m_polled[0].revents & POLLIN) != 0 && receiveFromGroup())
    {
        handOver();
    }
    for (std::size_t i = 2; i < m_polled.size(); ++i)
    {
        if ((m_polled[i].revents & POLLIN) != 0 && receiveUnicast(i - 2))
        {
            handOver();
        }
    }
}

void Listener::setReceiveTimeout()
{
    // Set before every receive on the group socket, as this daemon always has and as those who
    // integrate it look for. It bounds nothing now: every receive is MSG_DONTWAIT, after a poll
    // that waits one RECEIVE_TIMEOUT at most.
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(RECEIVE_TIMEOUT);
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(micros.count() / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(micros.count() % 1000000);
    if (setsockopt(m_sockFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0)
    {
        const int error = errno;
        // Up to ten a second while it lasts: written at most once a second.
        m_timeoutLimit.write(
            [error] {
                LOG_DISC(WARNING) << "setsockopt() failed to set recv timeout"
                                  << std::strerror(error);
            });
    }
}

bool Listener::receiveFromGroup()
{
    Datagram& datagram = m_rcvBuf;
    Arrival arrival;
    datagram.length =
        receiveDatagram(m_sockFd, datagram.text, datagram.sender, datagram.senderLen, arrival);
    datagram.arrival = Clock::now();
    if (datagram.length <= 0 ||
        !m_memberships.sentTo(arrival.ifindex, arrival.destination, datagram.group))
    {
        return false;
    }
    datagram.ifindex = arrival.ifindex;
    datagram.unicastTo = IpAddress{};
    return admit(datagram.sender, arrival.ifindex, datagram.group);
}

bool Listener::receiveUnicast(std::size_t i)
{
    const UnicastSockets::Address& bound = m_unicast.address(i);
    Datagram& datagram = m_rcvBuf;
    Arrival arrival;
    datagram.length = receiveDatagram(m_unicast.fd(i), datagram.text, datagram.sender,
                                      datagram.senderLen, arrival);
    datagram.arrival = Clock::now();
    // Linux takes a datagram to any of the host's addresses in by any interface: only one that
    // came in by the interface whose address it was sent to is judged.
    if (datagram.length <= 0 || arrival.ifindex != bound.ifindex)
    {
        return false;
    }
    datagram.ifindex = arrival.ifindex;
    datagram.group = m_traits.unicastGroup;
    datagram.unicastTo = bound.address;
    return admit(datagram.sender, arrival.ifindex, datagram.group);
}

bool Listener::admit(const PeerAddr& sender, int index, SsdpGroup group)
{
    const IpAddress source = IpAddress::of(sender);
    const HostTable::SenderView view = m_host.viewOf(source, index);
    if (view.local && portOf(sender) == SSDP_PORT)
    {
        // Our own announcements, looped back to our own socket: nothing was refused.
        return false;
    }
    // UPnP Device Architecture 1.1, 1.3.3: the answer goes back out the interface the search came
    // in by, so only a sender on that interface's link can be answered; anything else would make
    // this host a reflector aimed at whatever address a forged search names. A search to a
    // wider IPv6 group may come from beyond a router: answered when the route back to its source
    // leaves by the interface it came in by (a strict reverse-path check). Both are asked of the
    // kernel's routes for a sender that the interface's own addresses do not place on its link
    // (two ports may share a subnet, where the kernel's one route leaves by one). While the host's
    // addresses are unknown, no sender can be told apart from this host: none is answered, and
    // that is written once, as the host's fault, not the sender's.
    if (!view.known)
    {
        m_status.dropped();
        if (!m_bUnknownTold)
        {
            LOG_DISC(WARNING) << "Datagram from " << endpointText(sender)
                              << " dropped: the host's view is unknown until a netlink dump "
                                 "succeeds, and no search is answered meanwhile";
        }
        m_bUnknownTold = true;
        return false;
    }
    m_bUnknownTold = false;
    const bool answerable = isAnswerableSender(sender) && !view.local && !view.subnetEdge &&
                            (view.onLink || m_routes.reaches(source, index, isWideScope(group),
                                                             m_host.version(), m_host.dumping()));
    if (!answerable)
    {
        m_status.refused(sender, m_senderLimit);
    }
    return answerable;
}

void Listener::handOver()
{
    if (!m_inbox.push(m_rcvBuf))
    {
        m_status.inboxFull(m_rcvBuf.sender, m_inboxFullLimit);
    }
}

void Listener::follow(Clock::time_point now)
{
    if (m_host.due(now))
    {
        m_host.update(); // a dump or an open tried again, whatever the kernel says meanwhile
    }
    if (m_host.known() && m_host.version() != m_hostVersion)
    {
        lookAgain();
    }
    for (InterfaceWatch& watch : m_watches)
    {
        watch.tellHeldChange(now);
    }
    m_refresh.turn(now, m_sockFd, m_watches, m_memberships);
    m_limits.flush(now);
}

void Listener::lookAgain()
{
    m_hostVersion = m_host.version();
    for (InterfaceWatch& watch : m_watches)
    {
        watch.look(m_host);
    }
    keepMemberships();
    publish();
    if (m_options.unicast)
    {
        keepUnicast();
    }
}

void Listener::publish()
{
    for (std::size_t slot = 0; slot < m_watches.size(); ++slot)
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
}

void Listener::keepUnicast()
{
    std::vector<UnicastSockets::Address> wanted;
    for (std::size_t slot = 0; m_sockFd != -1 && slot < m_watches.size(); ++slot)
    {
        const InterfaceWatch& watch = m_watches[slot];
        const int index = watch.index();
        const IpAddress announced = watch.address();
        if (index != 0 && !announced.empty())
        {
            wanted.push_back({announced, index, watch.name()});
        }
        if (!m_traits.linkLocalToo)
        {
            continue;
        }
        // The link-local address too, which a console on the link knows from its neighbours.
        m_linkLocal[slot] = chooseLinkLocal(
            index == 0 ? std::vector<Ipv6IfAddr>{} : m_host.ipv6Of(index), m_linkLocal[slot]);
        const IpAddress linkLocal = IpAddress::v6(m_linkLocal[slot]);
        if (!linkLocal.empty() && linkLocal != announced)
        {
            wanted.push_back({linkLocal, index, watch.name()});
        }
    }
    m_unicast.keep(wanted);
    m_polled.resize(2);
    for (std::size_t i = 0; i < m_unicast.size(); ++i)
    {
        m_polled.push_back({m_unicast.fd(i), POLLIN, 0});
    }
}

void Listener::keepMemberships()
{
    Memberships::Wanted wanted;
    for (const InterfaceWatch& watch : m_watches)
    {
        if (watch.wantsGroups())
        {
            wanted.emplace_back(watch.index(), watch.name());
        }
    }
    if (m_sockFd == -1 && m_traits.opensOnJoin && !wanted.empty())
    {
        openIpv6Socket();
    }
    m_memberships.keep(m_sockFd, wanted);
}

bool Listener::openIpv6Socket()
{
    std::string failure;
    const int fd =
        ::openIpv6Socket(m_options.notifyInterval > 0 ? m_options.notifyTtl : 0, failure);
    if (fd != -1)
    {
        m_sockFd.store(fd, std::memory_order_release);
        m_setupFailure.clear();
        return true;
    }
    // Tried again at every change of the host: written once for each kind of failure.
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

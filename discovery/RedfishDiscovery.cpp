#include "discovery/RedfishDiscovery.h"

#include "common/Logger.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/utsname.h>
#include <unistd.h>

RedfishDiscovery RedfishDiscovery::s_RedfishDiscovery;

namespace
{
// The requester's address alone, whatever its port: the unit of fairness between senders.
std::string peerKey(const PeerAddr& addr)
{
    return addr.sa.sa_family == AF_INET6
               ? std::string(reinterpret_cast<const char*>(&addr.v6.sin6_addr), 16)
               : std::string(reinterpret_cast<const char*>(&addr.v4.sin_addr), 4);
}

std::mt19937 seededGenerator()
{
    // Seeded from the kernel's entropy so that controllers booted from one image draw different
    // delays and do not all answer a console's search in the same millisecond.
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
    return std::mt19937(seed);
}
} // namespace

RedfishDiscovery::RedfishDiscovery() : m_rng(seededGenerator())
{
    // UPnP Device Architecture 1.1, 1.3.3: SERVER is "OS/version UPnP/1.1 product/version".
    utsname system{};
    uname(&system);
    m_server = std::string(system.sysname) + "/" + system.release + " UPnP/1.1 redfish-discovery/" +
               DISCOVERY_VERSION;
    m_bootId = static_cast<std::uint32_t>(std::time(nullptr));
}

RedfishDiscovery::~RedfishDiscovery()
{
    // run() joins every thread before it returns; this only guards against a thread that
    // outlives a run that never returned (std::thread would abort the process).
    for (std::thread* thread : {&m_v4.thread, &m_v6.thread, &m_responder})
    {
        if (thread->joinable())
        {
            thread->detach();
        }
    }
}

bool RedfishDiscovery::run()
{
    LOG_DISC(TRACE);
    if (m_bRunning.exchange(true))
    {
        return false;
    }
    if (!init())
    {
        m_bRunning = false;
        return false;
    }
    m_notify.ready();
    // The inbox closes when the listeners have ended; the responder then judges what is still
    // in it, sends the responses already scheduled at their times, and ends.
    m_v4.thread.join();
    if (m_v6.thread.joinable())
    {
        m_v6.thread.join();
    }
    m_inbox.close();
    m_responder.join();

    LOG_DISC(INFO) << "Exiting...";
    return true;
}

bool RedfishDiscovery::stop()
{
    LOG_DISC(TRACE);
    if (m_bRunning.exchange(false))
    {
        m_notify.stopping();
    }
    return true;
}

bool RedfishDiscovery::init()
{
    LOG_DISC(TRACE);
    if (!initSocket())
    {
        LOG_DISC(WARNING) << "initSocket() failed";
        return false;
    }
    if (!initMulticast())
    {
        LOG_DISC(WARNING) << "initMulticast() failed";
        return false;
    }

    if (m_options.notifyInterval > 0)
    {
        setMulticastTtl();
    }
    m_v4.rcvBuf.assign(RCV_BUF_SIZE, 0);
    m_v4.thread = std::thread(&RedfishDiscovery::listenerThread, this);
    if (m_options.ipv6)
    {
        // IPv6 that cannot be used yet leaves a WARNING and is tried again by its listener;
        // IPv4 is answered meanwhile.
        m_v6.bIpv6 = true;
        m_v6.rcvBuf.assign(RCV_BUF_SIZE, 0);
        for (const Ipv6Group& group : IPV6_GROUPS)
        {
            if (group.group <= m_options.ipv6Scope)
            {
                in6_addr addr{};
                inet_pton(AF_INET6, group.address, &addr);
                m_ipv6Groups.emplace_back(group, addr);
            }
        }
        followIpv6(Clock::now());
        m_v6.thread = std::thread(&RedfishDiscovery::ipv6ListenerThread, this);
    }
    m_responder = std::thread(&RedfishDiscovery::responderThread, this);
    return true;
}

void RedfishDiscovery::listenerThread()
{
    LOG_DISC(TRACE);
    listen(m_v4);
}

void RedfishDiscovery::ipv6ListenerThread()
{
    LOG_DISC(TRACE);
    listen(m_v6);
}

void RedfishDiscovery::listen(Listener& listener)
{
    while (m_bRunning)
    {
        bool received = false;
        if (listener.fd == -1)
        {
            // IPv6 not set up yet: the same pace as a receive time-out.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        else
        {
            listener.bRecvTimeoutSet = listener.bRecvTimeoutSet || setRecvTimeout(listener);
            // Time-outs, interrupted receives, errors, empty datagrams and datagrams to no
            // joined group: nothing to hand over.
            received = receive(listener);
        }
        const Clock::time_point now = Clock::now();
        if (received)
        {
            listener.rcvTime = now;
            eventSend(listener);
        }
        if (listener.bIpv6)
        {
            followIpv6(now);
        }
        else
        {
            followInterface(now);
        }
        listener.limits.flush(now);
        if (!listener.bIpv6)
        {
            // From the IPv4 listener's loop only, so that a listener that stops turning stops
            // the pings with it.
            m_notify.keepAlive(now);
            if (m_notify.statusDue(now))
            {
                m_notify.status(statusLine(), now);
            }
        }
    }
    listener.limits.flush(Clock::time_point::max());
}

bool RedfishDiscovery::receive(Listener& listener)
{
    listener.group = SsdpGroup::Ipv4;
    listener.senderLen = sizeof(listener.sender);
    if (!listener.bIpv6)
    {
        listener.rcvLen =
            static_cast<int>(recvfrom(listener.fd, listener.rcvBuf.data(), RCV_BUF_SIZE, 0,
                                      &listener.sender.sa, &listener.senderLen));
        return listener.rcvLen > 0;
    }
    // The IPv6 socket is bound to the wildcard address: the kernel says where each datagram
    // was sent to and which interface it came in by.
    iovec data{listener.rcvBuf.data(), RCV_BUF_SIZE};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))];
    msghdr message{};
    message.msg_name = &listener.sender;
    message.msg_namelen = listener.senderLen;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    listener.rcvLen = static_cast<int>(recvmsg(listener.fd, &message, 0));
    listener.senderLen = message.msg_namelen;
    if (listener.rcvLen <= 0)
    {
        return false;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
    {
        if (c->cmsg_level != IPPROTO_IPV6 || c->cmsg_type != IPV6_PKTINFO)
        {
            continue;
        }
        in6_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof(info));
        // Another socket's membership on another interface may bring the same group here.
        if (static_cast<int>(info.ipi6_ifindex) != listener.joinedIndex)
        {
            return false;
        }
        for (const auto& [group, addr] : m_ipv6Groups)
        {
            if (std::memcmp(&addr, &info.ipi6_addr, sizeof(addr)) == 0)
            {
                listener.group = group.group;
                return true;
            }
        }
    }
    // Sent to the host's own address, or to a group not joined: never judged.
    return false;
}

void RedfishDiscovery::eventSend(Listener& listener)
{
    // The text ends inside the buffer: at most RCV_BUF_SIZE - 1 bytes of a datagram are judged.
    listener.rcvBuf[std::min<std::size_t>(listener.rcvLen, RCV_BUF_SIZE - 1)] = '\0';
    Datagram received{std::move(listener.rcvBuf), listener.sender, listener.senderLen,
                      listener.rcvTime, listener.group};
    const bool queued = m_inbox.push(received);
    listener.rcvBuf = std::move(received.text);
    if (!queued)
    {
        ++m_dropped;
        listener.inboxFullLimit.write(
            [&listener]
            {
                LOG_DISC(WARNING) << "Receive queue full, datagram from "
                                  << addressText(listener.sender) << " dropped";
            });
    }
}

void RedfishDiscovery::responderThread()
{
    Datagram datagram;
    datagram.text.assign(RCV_BUF_SIZE, '\0');
    for (;;)
    {
        const Clock::time_point now = Clock::now();
        sendDueResponses(now);
        const Clock::time_point wakeBy =
            std::min({nextDue(), m_responderLimits.flush(now), announce(now)});
        if (m_inbox.pop(datagram, wakeBy))
        {
            handleDatagram(datagram);
        }
        else if (m_inbox.closed())
        {
            break;
        }
    }
    // Nothing more is received: the responses already scheduled go out at their times, then
    // the service says goodbye.
    while (!m_pending.empty())
    {
        std::this_thread::sleep_until(nextDue());
        sendDueResponses(Clock::now());
    }
    if ((m_aliveAddr != 0 || !m_aliveIpv6Host.empty()) && !m_redfishdInfo.uuid.empty())
    {
        sendAnnouncements(false);
    }
    m_responderLimits.flush(Clock::time_point::max());
}

void RedfishDiscovery::handleDatagram(Datagram& datagram)
{
    int mx = 0;
    SearchTarget target = SearchTarget::Redfish;
    if (!judgeSearch(datagram.text.data(), mx, target, datagram.group))
    {
        return;
    }
    if (m_notify.enabled())
    {
        std::lock_guard<std::mutex> lock(m_lastSearcherMutex);
        m_lastSearcher = datagram.sender;
    }
    const std::string peer = peerKey(datagram.sender);
    const auto held = m_pendingPerPeer.find(peer);
    const unsigned heldByPeer = held == m_pendingPerPeer.end() ? 0 : held->second;
    if (m_pending.size() >= MAX_PENDING_RSP || heldByPeer >= MAX_PENDING_PER_PEER)
    {
        ++m_dropped;
        m_pendingFullLimit.write(
            [this, &datagram, heldByPeer]
            {
                LOG_DISC(WARNING) << "Too many pending responses, search from "
                                  << addressText(datagram.sender) << " dropped (" << heldByPeer
                                  << " pending for it, " << m_pending.size() << " in all)";
            });
        return;
    }
    ++m_pendingPerPeer[peer];
    const Clock::time_point due = datagram.arrival + std::chrono::milliseconds(drawDelayMs(mx));
    m_pending.push(PendingRsp{due, datagram.sender, datagram.senderLen, target});
}

void RedfishDiscovery::sendDueResponses(Clock::time_point now)
{
    while (!m_pending.empty() && m_pending.top().due <= now)
    {
        const PendingRsp due = m_pending.top();
        m_pending.pop();
        const auto held = m_pendingPerPeer.find(peerKey(due.to));
        if (--held->second == 0)
        {
            m_pendingPerPeer.erase(held);
        }
        // Built for the address announced now: a response never carries an address gone since
        // the search arrived.
        if (const std::vector<std::string>* rsps =
                searchResponses(due.target, due.to.sa.sa_family == AF_INET6))
        {
            // One search, answered once, whatever the number of messages it takes.
            bool sent = false;
            for (const std::string& rsp : *rsps)
            {
                sent = sendSearchRsp(rsp, due.to, due.toLen) || sent;
            }
            m_answered += sent ? 1 : 0;
        }
    }
}

std::string RedfishDiscovery::statusLine()
{
    PeerAddr last{};
    {
        std::lock_guard<std::mutex> lock(m_lastSearcherMutex);
        last = m_lastSearcher;
    }
    const in_addr announced{m_announcedAddr};
    char address[INET_ADDRSTRLEN] = "no address";
    if (announced.s_addr != 0)
    {
        inet_ntop(AF_INET, &announced, address, sizeof(address));
    }
    std::string line = m_options.interface + " " + address;
    if (m_options.ipv6)
    {
        std::lock_guard<std::mutex> lock(m_ipv6HostMutex);
        line += " " + m_ipv6AddrText;
    }
    line += ": answered " + std::to_string(m_answered) + ", dropped " + std::to_string(m_dropped);
    if (last.sa.sa_family != AF_UNSPEC)
    {
        line += ", last search from " + addressText(last);
    }
    return line;
}

RedfishDiscovery::Clock::time_point RedfishDiscovery::nextDue() const
{
    return m_pending.empty() ? Clock::time_point::max() : m_pending.top().due;
}

bool RedfishDiscovery::judgeSearch(char* text, int& mx, SearchTarget& target, SsdpGroup group)
{
    Headers headers;
    const bool valid =
        parseSearchQuery(text, headers, group) &&
        classifySearchTarget(headers[ST_FIELD_NAME()],
                             m_options.responseFormat == ResponseFormat::Dsp0266, target);
    // The service information is read for every datagram, so that a file written after start-up
    // is picked up by the next datagram whatever it holds.
    const bool haveInfo = readRedfishdInfo();
    if (!valid || !haveInfo)
    {
        return false;
    }
    mx = clampMx(headers[MX_FIELD_NAME()]);
    return true;
}

bool RedfishDiscovery::judgeSearch(char* text, std::string& rsp, int& mx, SsdpGroup group)
{
    SearchTarget target = SearchTarget::Redfish;
    const std::vector<std::string>* built = nullptr;
    if (!judgeSearch(text, mx, target, group) ||
        (built = searchResponses(target, group != SsdpGroup::Ipv4)) == nullptr)
    {
        return false;
    }
    rsp = built->front();
    return true;
}

void RedfishDiscovery::setIfAddr(const in_addr& addr)
{
    sockaddr_in ifAddr{};
    ifAddr.sin_family = AF_INET;
    ifAddr.sin_addr = addr;
    std::memcpy(&m_ifAddr, &ifAddr, sizeof(ifAddr));
    m_announcedAddr = addr.s_addr;
}

void RedfishDiscovery::setIpv6Addr(const in6_addr& addr)
{
    const bool none = IN6_IS_ADDR_UNSPECIFIED(&addr);
    const std::string host = none ? "" : ipv6UrlHost(addr, m_options.interface);
    const std::string text = none ? "no IPv6 address" : ipv6AddrText(addr, m_options.interface);
    {
        std::lock_guard<std::mutex> lock(m_ipv6HostMutex);
        m_ipv6Host = host;
        m_ipv6AddrText = text;
    }
    ++m_ipv6HostVersion;
}

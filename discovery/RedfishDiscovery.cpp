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
    // run() joins both threads before it returns; this only guards against a thread that
    // outlives a run that never returned (std::thread would abort the process).
    if (m_listener.joinable())
    {
        m_listener.detach();
    }
    if (m_responder.joinable())
    {
        m_responder.detach();
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
    // The listener closes the inbox when it ends; the responder then judges what is still in
    // it, sends the responses already scheduled at their times, and ends.
    m_listener.join();
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
    m_rcvBuf.assign(RCV_BUF_SIZE, 0);
    m_rcvLen = 0;
    m_senderAddr = PeerAddr{};
    m_senderAddrLen = sizeof(sockaddr_in);

    m_listener = std::thread(&RedfishDiscovery::listenerThread, this);
    m_responder = std::thread(&RedfishDiscovery::responderThread, this);
    return true;
}

void RedfishDiscovery::listenerThread()
{
    LOG_DISC(TRACE);
    while (m_bRunning)
    {
        m_bRecvTimeoutSet = m_bRecvTimeoutSet || setRecvTimeout();
        m_senderAddrLen = sizeof(m_senderAddr);
        m_rcvLen = static_cast<int>(recvfrom(m_sockFd, m_rcvBuf.data(), RCV_BUF_SIZE, 0,
                                             &m_senderAddr.sa, &m_senderAddrLen));
        // Time-outs, interrupted receives, errors and empty datagrams: nothing to hand over.
        const Clock::time_point now = Clock::now();
        if (m_rcvLen > 0)
        {
            m_rcvTime = now;
            eventSend();
        }
        followInterface(now);
        m_listenerLimits.flush(now);
        // From this loop only, so that a listener that stops turning stops the pings with it.
        m_notify.keepAlive(now);
        if (m_notify.statusDue(now))
        {
            m_notify.status(statusLine(), now);
        }
    }
    m_inbox.close();
    m_listenerLimits.flush(Clock::time_point::max());
}

void RedfishDiscovery::eventSend()
{
    // The text ends inside the buffer: at most RCV_BUF_SIZE - 1 bytes of a datagram are judged.
    m_rcvBuf[std::min<std::size_t>(m_rcvLen, RCV_BUF_SIZE - 1)] = '\0';
    Datagram received{std::move(m_rcvBuf), m_senderAddr, m_senderAddrLen, m_rcvTime};
    const bool queued = m_inbox.push(received);
    m_rcvBuf = std::move(received.text);
    if (!queued)
    {
        ++m_dropped;
        m_inboxFullLimit.write(
            [this]
            {
                LOG_DISC(WARNING) << "Receive queue full, datagram from "
                                  << addressText(m_senderAddr) << " dropped";
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
    if (m_aliveAddr != 0 && !m_redfishdInfo.uuid.empty())
    {
        sendAnnouncements(buildNotifyMsgs(false));
    }
    m_responderLimits.flush(Clock::time_point::max());
}

void RedfishDiscovery::handleDatagram(Datagram& datagram)
{
    int mx = 0;
    SearchTarget target = SearchTarget::Redfish;
    if (!judgeSearch(datagram.text.data(), mx, target))
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
        if (const std::vector<std::string>* rsps = searchResponses(due.target))
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
    std::string line = m_options.interface + " " + address + ": answered " +
                       std::to_string(m_answered) + ", dropped " + std::to_string(m_dropped);
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

bool RedfishDiscovery::judgeSearch(char* text, int& mx, SearchTarget& target)
{
    Headers headers;
    const bool valid =
        parseSearchQuery(text, headers) &&
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

bool RedfishDiscovery::judgeSearch(char* text, std::string& rsp, int& mx)
{
    SearchTarget target = SearchTarget::Redfish;
    const std::vector<std::string>* built = nullptr;
    if (!judgeSearch(text, mx, target) || (built = searchResponses(target)) == nullptr)
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

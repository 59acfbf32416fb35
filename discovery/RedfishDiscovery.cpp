#include "discovery/RedfishDiscovery.h"

#include "common/Logger.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

RedfishDiscovery RedfishDiscovery::s_RedfishDiscovery;

namespace
{
std::mt19937 seededGenerator()
{
    // Seeded from the kernel's entropy so that controllers booted from one image draw different
    // delays and do not all answer a console's search in the same millisecond.
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
    return std::mt19937(seed);
}
} // namespace

RedfishDiscovery::RedfishDiscovery() : m_rng(seededGenerator()) {}

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
    m_listener.join();

    // Nothing is received any more: the responder judges what is still in the inbox, sends the
    // responses already scheduled at their times, and then ends.
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bListenerDone = true;
    }
    eventSend();
    m_responder.join();

    LOG_DISC(INFO) << "Exiting...";
    return true;
}

bool RedfishDiscovery::stop()
{
    LOG_DISC(TRACE);
    m_bRunning = false;
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

    m_rcvBuf.assign(RCV_BUF_SIZE, 0);
    m_rcvLen = 0;
    m_senderAddr = sockaddr_in{};
    m_senderAddrLen = sizeof(sockaddr_in);
    m_inbox.resize(INBOX_CAPACITY);
    m_inboxHead = 0;
    m_inboxCount = 0;
    m_bListenerDone = false;

    m_listener = std::thread(&RedfishDiscovery::listenerThread, this);
    m_responder = std::thread(&RedfishDiscovery::responderThread, this);
    return true;
}

void RedfishDiscovery::listenerThread()
{
    LOG_DISC(TRACE);
    while (m_bRunning)
    {
        setRecvTimeout();
        m_senderAddrLen = sizeof(sockaddr_in);
        const ssize_t received =
            recvfrom(m_sockFd, m_rcvBuf.data(), RCV_BUF_SIZE, 0,
                     reinterpret_cast<sockaddr*>(&m_senderAddr), &m_senderAddrLen);
        m_rcvLen = static_cast<int>(received);
        // Time-outs, interrupted receives, errors and empty datagrams: nothing to hand over.
        if (m_rcvLen <= 0)
        {
            continue;
        }
        const Clock::time_point arrival = Clock::now();
        const std::size_t length = std::min<std::size_t>(m_rcvLen, RCV_BUF_SIZE - 1);

        bool queued = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_inboxCount < m_inbox.size())
            {
                Datagram& slot = m_inbox[(m_inboxHead + m_inboxCount) % m_inbox.size()];
                std::memcpy(slot.text.data(), m_rcvBuf.data(), length);
                slot.text[length] = '\0';
                slot.sender = m_senderAddr;
                slot.senderLen = m_senderAddrLen;
                slot.arrival = arrival;
                ++m_inboxCount;
                queued = true;
            }
        }
        if (queued)
        {
            eventSend();
            continue;
        }
        ++m_inboxDrops;
        std::uint64_t suppressed = 0;
        if (m_inboxFullLimit.allow(suppressed))
        {
            LOG_DISC(WARNING) << "Receive queue full, datagram dropped (" << m_inboxDrops
                              << " dropped so far)";
        }
    }
}

void RedfishDiscovery::eventSend()
{
    // Callers change the shared state under m_mutex before this, so the responder cannot miss
    // it; notifying without the lock spares the woken responder from blocking on the mutex
    // that the notifier still holds.
    m_cv.notify_one();
}

void RedfishDiscovery::responderThread()
{
    Datagram datagram;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;)
    {
        if (m_inboxCount > 0)
        {
            datagram = m_inbox[m_inboxHead];
            m_inboxHead = (m_inboxHead + 1) % m_inbox.size();
            --m_inboxCount;
            lock.unlock();
            handleDatagram(datagram);
            lock.lock();
            continue;
        }
        if (!m_pending.empty() && m_pending.top().due <= Clock::now())
        {
            const PendingRsp due = m_pending.top();
            m_pending.pop();
            lock.unlock();
            sendSearchRsp(due.rsp, &due.to, due.toLen);
            lock.lock();
            continue;
        }
        if (nextFlush() <= Clock::now())
        {
            lock.unlock();
            flushSuppressed(Clock::now());
            lock.lock();
            continue;
        }
        if (m_pending.empty() && m_bListenerDone)
        {
            lock.unlock();
            // The last word on what was held back, whether its interval has ended or not.
            flushSuppressed(Clock::time_point::max());
            return;
        }
        Clock::time_point wake = nextFlush();
        if (!m_pending.empty())
        {
            wake = std::min(wake, m_pending.top().due);
        }
        if (wake == Clock::time_point::max())
        {
            m_cv.wait(lock);
        }
        else
        {
            m_cv.wait_until(lock, wake);
        }
    }
}

void RedfishDiscovery::handleDatagram(Datagram& datagram)
{
    std::string rsp;
    int mx = 0;
    if (!judgeSearch(datagram.text.data(), rsp, mx))
    {
        return;
    }
    if (m_pending.size() >= MAX_PENDING_RSP)
    {
        std::uint64_t suppressed = 0;
        if (m_pendingFullLimit.allow(suppressed))
        {
            LOG_DISC(WARNING) << "Too many pending responses, search dropped (" << suppressed
                              << " more dropped since the last record)";
        }
        return;
    }
    const Clock::time_point due = datagram.arrival + std::chrono::milliseconds(drawDelayMs(mx));
    m_pending.push(PendingRsp{due, std::move(rsp), datagram.sender, datagram.senderLen});
}

bool RedfishDiscovery::judgeSearch(char* text, std::string& rsp, int& mx)
{
    Headers headers;
    const bool valid = parseSearchQuery(text, headers);
    // The service information is read for every datagram, so that a file written after start-up
    // is picked up by the next datagram whatever it holds.
    const bool haveInfo = readRedfishdInfo();
    if (!valid || !haveInfo)
    {
        return false;
    }
    mx = clampMx(headers[MX_FIELD_NAME()]);
    buildSearchRsp(rsp, m_redfishdInfo);
    return true;
}

void RedfishDiscovery::setIfAddr(const in_addr& addr)
{
    sockaddr_in ifAddr{};
    ifAddr.sin_family = AF_INET;
    ifAddr.sin_addr = addr;
    std::memcpy(&m_ifAddr, &ifAddr, sizeof(ifAddr));
}

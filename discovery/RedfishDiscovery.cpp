#include "discovery/RedfishDiscovery.h"

#include "common/Logger.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

RedfishDiscovery::RedfishDiscovery() : m_rng(seededGenerator())
{
    setOptions(m_options);
}

RedfishDiscovery::~RedfishDiscovery()
{
    // run() joins every thread before it returns; this only guards against a thread that
    // outlives a run that never returned (std::thread would abort the process).
    for (std::thread* thread : {&m_listener, &m_ipv6Listener, &m_responder})
    {
        if (thread->joinable())
        {
            thread->detach();
        }
    }
}

void RedfishDiscovery::setOptions(const Options& options)
{
    m_options = options;
    m_ipv6Groups = options.ipv6 ? ipv6Groups(options.ipv6Scope) : std::vector<Ipv6GroupAddr>{};
    m_ipv4.emplace(Reception::Family::Ipv4, m_options, m_ipv6Groups, m_inbox, m_board, m_status);
    m_ipv6.reset();
    if (options.ipv6)
    {
        m_ipv6.emplace(Reception::Family::Ipv6, m_options, m_ipv6Groups, m_inbox, m_board,
                       m_status);
    }
    m_sender.useSockets(&*m_ipv4, m_ipv6 ? &*m_ipv6 : nullptr);
    m_board.resize(options.interfaces.size());
    m_cache.configure(m_options, m_ipv6Groups);
    m_announcer.configure(options.notifyInterval);
    m_status.keepLastSearcher(m_notify.enabled());
}

bool RedfishDiscovery::run()
{
    LOG_DISC(TRACE);
    if (m_bRunning.exchange(true))
    {
        return false;
    }
    // A stop asked for before this point (a signal during start-up) is honoured at each step: no
    // thread is started after it and systemd hears no READY=1.
    bool started = false;
    if (!stopRequested())
    {
        started = init();
    }
    if (!started && !stopRequested())
    {
        m_bRunning = false;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        if (!m_bStopRequested)
        {
            m_notify.ready();
        }
    }
    // The inbox closes when the listeners have ended; the responder then judges what is still
    // in it, sends the responses already scheduled at their times, and ends.
    if (m_listener.joinable())
    {
        m_listener.join();
    }
    if (m_ipv6Listener.joinable())
    {
        m_ipv6Listener.join();
    }
    m_inbox.close();
    if (m_responder.joinable())
    {
        m_responder.join();
    }

    LOG_DISC(INFO) << "Exiting...";
    return true;
}

bool RedfishDiscovery::stop()
{
    LOG_DISC(TRACE);
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_bStopRequested = true;
    if (m_bRunning.exchange(false))
    {
        m_notify.stopping();
    }
    return true;
}

bool RedfishDiscovery::stopRequested()
{
    std::lock_guard<std::mutex> lock(m_stopMutex);
    return m_bStopRequested;
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
    if (stopRequested())
    {
        return false;
    }
    if (m_options.notifyInterval > 0)
    {
        setMulticastTtl();
    }
    m_rcvBuf.assign(RCV_BUF_SIZE, 0);
    // The host's addresses read, before the first datagram is admitted.
    m_ipv4->follow(Clock::now());
    m_listener = std::thread(&RedfishDiscovery::listenerThread, this);
    if (m_ipv6)
    {
        // Followed once here, so that IPv6 is joined at start where it can be. IPv6 that cannot
        // be used yet leaves a WARNING and is tried again by its listener; IPv4 is answered
        // meanwhile.
        m_ipv6->follow(Clock::now());
        m_ipv6Listener =
            std::thread(&Reception::run, &*m_ipv6, std::cref(m_bRunning), std::ref(m_watchdog));
    }
    m_responder = std::thread(&RedfishDiscovery::responderThread, this);
    return true;
}

void RedfishDiscovery::listenerThread()
{
    LOG_DISC(TRACE);
    while (m_bRunning)
    {
        // Time-outs, interrupted receives, errors and empty datagrams: nothing to hand over.
        if (m_ipv4->receive(m_received))
        {
            eventSend();
        }
        const Clock::time_point now = Clock::now();
        m_ipv4->follow(now);
        tellSystemd(now);
    }
    m_ipv4->finish();
}

void RedfishDiscovery::eventSend()
{
    m_ipv4->handOver(m_received);
}

void RedfishDiscovery::tellSystemd(Clock::time_point now)
{
    // Any thread held anywhere stops the pings, and the watchdog restarts the service.
    if (m_watchdog.allTurning(now, m_inbox.oldestArrival()))
    {
        m_notify.keepAlive(now);
    }
    if (m_notify.statusDue(now))
    {
        m_notify.status(statusLine(), now);
    }
}

std::string RedfishDiscovery::statusLine()
{
    unsigned version = 0;
    const std::vector<AddressBoard::Entry> entries = m_board.read(version);
    std::string addresses;
    for (std::size_t slot = 0; slot < entries.size(); ++slot)
    {
        const AddressBoard::Entry& entry = entries[slot];
        addresses += (slot == 0 ? "" : ", ") + m_options.interfaces[slot] + " " +
                     (entry.ipv4 != 0 ? ipv4Text(entry.ipv4) : "no address");
        if (m_options.ipv6)
        {
            addresses += " " + entry.ipv6Text;
        }
    }
    return m_status.line(addresses);
}

void RedfishDiscovery::responderThread()
{
    Datagram datagram;
    datagram.text.assign(RCV_BUF_SIZE, '\0');
    for (;;)
    {
        const Clock::time_point now = Clock::now();
        m_watchdog.turnsBy(Watchdog::RESPONDER, now);
        refreshMessages(now);
        sendDueResponses(now);
        announceIfDue(now);
        const Clock::time_point flushBy = m_responderLimits.flush(now);
        const Clock::time_point wakeBy =
            std::min({m_pending.nextDue(), m_announcer.next(), flushBy});
        m_watchdog.turnsBy(Watchdog::RESPONDER, wakeBy);
        if (m_inbox.pop(datagram, wakeBy))
        {
            m_watchdog.turnsBy(Watchdog::RESPONDER, Clock::now());
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
        std::this_thread::sleep_until(m_pending.nextDue());
        const Clock::time_point now = Clock::now();
        refreshMessages(now);
        sendDueResponses(now);
    }
    if (m_announcer.enabled() && m_cache.hasAny() && !m_redfishdInfo.uuid.empty())
    {
        m_sender.announce(m_cache, false);
    }
    m_responderLimits.flush(Clock::time_point::max());
}

void RedfishDiscovery::refreshMessages(Clock::time_point now)
{
    const MessageCache::Change change = m_cache.refresh(m_redfishdInfo.uuid, m_board);
    if (change == MessageCache::Change::Appeared)
    {
        m_announcer.moved(now, m_rng);
    }
    else if (change == MessageCache::Change::Lost && !m_cache.hasAny())
    {
        m_announcer.pause();
    }
    // Kept without announcements too: BOOTID moves on with each fresh set all the same.
    if (m_announcer.freshSetDue(now, m_rng))
    {
        m_cache.newBoot();
    }
}

void RedfishDiscovery::handleDatagram(Datagram& datagram)
{
    int mx = 0;
    SearchTarget target = SearchTarget::Redfish;
    if (!judgeSearch(datagram.text.data(), mx, target, datagram.group))
    {
        return;
    }
    m_status.searched(datagram.sender);
    const Clock::time_point due = datagram.arrival + std::chrono::milliseconds(drawDelayMs(mx));
    const PendingResponses::Admission admission =
        m_pending.add({due, datagram.sender, datagram.senderLen, target, datagram.ifindex});
    if (admission.verdict == PendingResponses::Admission::Taken)
    {
        return;
    }
    // A push-out drops another address's answer, a refusal this one: either is one drop.
    m_status.dropped();
    m_pendingFullLimit.write(
        [this, &datagram, &admission]
        {
            if (admission.verdict == PendingResponses::Admission::Refused)
            {
                LOG_DISC(WARNING) << "Too many pending responses, search from "
                                  << addressText(datagram.sender) << " dropped (" << admission.held
                                  << " pending for it, " << m_pending.size() << " in all)";
                return;
            }
            LOG_DISC(WARNING) << "Too many pending responses, answer to "
                              << addressText(admission.pushedOutTo) << " pushed out ("
                              << admission.pushedOutHeld << " pending for it, " << m_pending.size()
                              << " in all)";
        });
}

void RedfishDiscovery::sendDueResponses(Clock::time_point now)
{
    PendingResponses::Entry due{};
    while (m_pending.popDue(now, due))
    {
        // Built for the address that the interface the search came in by has now: a response
        // never carries an address gone since the search arrived, nor another interface's. With
        // no address there now it is not sent.
        const bool ipv6 = due.to.sa.sa_family == AF_INET6;
        const int slot = m_cache.slotOf(ipv6, due.ifindex);
        const std::vector<std::string>* rsps =
            slot == -1 ? nullptr
                       : m_cache.responses(due.target, ipv6, static_cast<std::size_t>(slot));
        // One search, answered once, whatever the number of messages it takes.
        bool sent = false;
        for (std::size_t i = 0; rsps != nullptr && i < rsps->size(); ++i)
        {
            const AddressBoard::Entry& from = m_cache.address(static_cast<std::size_t>(slot));
            sent = m_sender.answer((*rsps)[i], due.to, due.toLen, due.ifindex, from) || sent;
        }
        // A send that failed (a full send buffer above all) leaves the search unanswered.
        if (sent)
        {
            m_status.answered();
        }
        else
        {
            m_status.dropped();
        }
    }
}

bool RedfishDiscovery::judgeSearch(char* text, int& mx, SearchTarget& target, SsdpGroup group)
{
    Headers headers;
    const bool standard = m_options.responseFormat == ResponseFormat::Dsp0266;
    // UPnP Device Architecture 1.1, 1.3.2: a device answers a search for its own UUID too; the
    // legacy rules never took such a target, the standard form does.
    const bool asked =
        readSearchHeaders(text, headers, group) &&
        classifySearchTarget(headers.find(ST_FIELD_NAME())->second, standard, target);
    // Read after the parse whatever it found, until the UUID is known: a file written after
    // start-up is picked up by the next datagram.
    const bool haveInfo = readRedfishdInfo();
    if (!asked || !haveInfo)
    {
        return false;
    }
    if (target == SearchTarget::Uuid &&
        !isUuidTarget(headers.find(ST_FIELD_NAME())->second, m_redfishdInfo.uuid))
    {
        return false;
    }
    mx = clampMx(headers.find(MX_FIELD_NAME())->second);
    return true;
}

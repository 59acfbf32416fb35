#include "discovery/RedfishDiscovery.h"

#include "common/Logger.h"
#include "common/StringConstants.h"
#include "discovery/MessageCache.h"
#include "discovery/SignalMask.h"

#include <algorithm>
#include <cstring>

RedfishDiscovery RedfishDiscovery::s_RedfishDiscovery;

RedfishDiscovery::RedfishDiscovery()
{
    setOptions(m_options);
}

RedfishDiscovery::~RedfishDiscovery()
{
    // run() joins every thread before it returns; this only guards against a thread that
    // outlives a run that never returned (std::thread would abort the process).
    for (std::thread* thread : {&m_listener, &m_ipv6ListenerThread, &m_responder})
    {
        if (thread->joinable())
        {
            thread->detach();
        }
    }
}

bool RedfishDiscovery::setOptions(const Options& options)
{
    if (m_bRunCalled)
    {
        return false;
    }
    m_options = options;
    m_ipv6Groups = options.ipv6 ? ipv6Groups(options.ipv6Scope) : std::vector<Ipv6GroupAddr>{};
    m_ipv6Listener.reset();
    m_ipv4Listener.reset();
    m_host.emplace(HostTable::Scope{options.ipv6, options.interfaces});
    m_ipv4Listener.emplace(Listener::Family::Ipv4, m_options, m_ipv6Groups, m_inbox, m_board,
                           m_status, *m_host);
    if (options.ipv6)
    {
        m_ipv6Listener.emplace(Listener::Family::Ipv6, m_options, m_ipv6Groups, m_inbox, m_board,
                               m_status, *m_host);
    }
    m_responderState.useSockets(&m_ipv4Listener->fd(),
                                m_ipv6Listener ? &m_ipv6Listener->fd() : nullptr);
    m_responderState.configure();
    m_board.setInterfaces(options.interfaces.size());
    m_status.keepLastSearcher(m_notify.enabled());
    return true;
}

bool RedfishDiscovery::run()
{
    LOG_DISC(TRACE);
    m_bRunCalled = true;
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
    if (started && !awaitHostView() && !stopRequested())
    {
        m_bRunning = false;
        joinThreads();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        if (!m_bStopRequested)
        {
            m_notify.ready();
        }
    }
    joinThreads();
    LOG_DISC(INFO) << "Exiting...";
    return true;
}

bool RedfishDiscovery::awaitHostView()
{
    // Under systemd's default start time-out (90 s), so that the start fails with a record of
    // ours rather than systemd's.
    constexpr std::chrono::seconds START_TIMEOUT{30};
    constexpr std::chrono::milliseconds LOOK{10};
    const Clock::time_point deadline = Clock::now() + START_TIMEOUT;
    while (!m_host->known())
    {
        if (stopRequested())
        {
            return false;
        }
        if (Clock::now() >= deadline)
        {
            LOG_DISC(WARNING) << "The host's addresses are still unknown after "
                              << START_TIMEOUT.count() << " s (no netlink dump succeeded)";
            return false;
        }
        std::this_thread::sleep_for(LOOK);
    }
    return true;
}

void RedfishDiscovery::joinThreads()
{
    // The inbox closes when the listeners have ended; the responder then judges what is still
    // in it, sends every answer still waiting at once, and ends.
    if (m_listener.joinable())
    {
        m_listener.join();
    }
    if (m_ipv6ListenerThread.joinable())
    {
        m_ipv6ListenerThread.join();
    }
    m_inbox.close();
    if (m_responder.joinable())
    {
        m_responder.join();
    }
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
    recordStart();
    // Read now, so that a missing or broken file is recorded at start, not at the first search.
    m_responderState.readRedfishdInfo();
    if (m_options.notifyInterval > 0)
    {
        m_ipv4Listener->setMulticastTtl(m_options.notifyTtl);
    }
    // The host's view read, before the first datagram is admitted; without it none is, and a
    // view that cannot be read yet is tried again by the listeners, each second, while run()
    // waits for it.
    m_host->open();
    m_ipv4Listener->follow(Clock::now());
    const WorkerSignalMask mask;
    m_listener = std::thread(&RedfishDiscovery::listenerThread, this);
    if (m_ipv6Listener)
    {
        // Followed once here, so that IPv6 is joined at start where it can be. IPv6 that cannot
        // be used yet leaves a WARNING and is tried again by its listener; IPv4 is answered
        // meanwhile.
        m_ipv6Listener->follow(Clock::now());
        m_ipv6ListenerThread = std::thread(
            [this]
            {
                m_ipv6Listener->run(
                    m_bRunning, [this](Clock::time_point now)
                    { m_watchdog.turnsBy(Watchdog::IPV6_LISTENER, now + RECEIVE_TIMEOUT); });
            });
    }
    m_responder = std::thread(&RedfishDiscovery::responderThread, this);
    return true;
}

bool RedfishDiscovery::initSocket()
{
    LOG_DISC(TRACE);
    return m_ipv4Listener->openIpv4();
}

bool RedfishDiscovery::initMulticast()
{
    LOG_DISC(TRACE);
    return m_ipv4Listener->joinIpv4();
}

void RedfishDiscovery::listenerThread()
{
    LOG_DISC(TRACE);
    m_ipv4Listener->run(m_bRunning, [this](Clock::time_point now) { tellSystemd(now); });
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
    const std::vector<AddressBoard::Entry> entries = m_board.snapshot(version);
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

void RedfishDiscovery::recordStart()
{
    // What an operator checks first: where it answers, and which files it found.
    unsigned version = 0;
    const std::vector<AddressBoard::Entry> entries = m_board.snapshot(version);
    std::string joined;
    std::string waiting;
    for (std::size_t slot = 0; slot < entries.size(); ++slot)
    {
        std::string& list = entries[slot].ipv4 != 0 ? joined : waiting;
        list += (list.empty() ? "" : ", ") + m_options.interfaces[slot];
        if (entries[slot].ipv4 != 0)
        {
            list += " " + ipv4Text(entries[slot].ipv4);
        }
    }
    LOG_DISC(INFO) << "Joined " << WIRE_IPV4_GROUP << ":" << SSDP_PORT << " on "
                   << (joined.empty() ? "no interface yet" : joined)
                   << (waiting.empty() ? "" : " (no IPv4 address yet on " + waiting + ")")
                   << "; service information file " << absolutePath(ServiceInfoCache::path())
                   << "; logging configuration " << Logger::configPath();
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info)
{
    unsigned version = 0;
    buildSearchRsp(out, info, ipv4Text(m_board.snapshot(version).front().ipv4));
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info, const std::string& host)
{
    out = MessageCache::legacyResponse(info.uuid, host);
}

bool RedfishDiscovery::sendSearchRsp(std::string& rsp, int mx, sockaddr_in* to, unsigned toLen)
{
    const int delayMs = m_responderState.drawDelayMs(search::clampMx(static_cast<long>(mx)));
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    PeerAddr peer{};
    std::memcpy(&peer, to, std::min<std::size_t>(toLen, sizeof(peer)));
    return m_responderState.sender().send(rsp, peer, toLen);
}

void RedfishDiscovery::replacePlaceholderStr(std::string& text, std::string& value)
{
    MessageCache::replacePlaceholder(text, value);
}

#pragma once

#include "discovery/Ssdp.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class LogLimiter;

// What the status line tells: searches answered and dropped, and the last console that searched.
// Counted by the listeners and the responder; the line is composed by the IPv4 listener. Also
// whether the responder still turns, for the watchdog's pings.
class ServiceStatus
{
public:
    // Without a status line to write, the last searcher is not kept (it costs a lock per search).
    void keepLastSearcher(bool keep) { m_bKeepLast = keep; }

    void answered() { m_answered.fetch_add(1, std::memory_order_relaxed); }
    void dropped() { m_dropped.fetch_add(1, std::memory_order_relaxed); }
    void searched(const PeerAddr& from);

    // The listeners' drops, counted, with their records written through `limit`: a sender that
    // no answer may go to (not `answerable`), for which admit() is false; and a datagram that
    // found the inbox full.
    bool admit(const PeerAddr& sender, bool answerable, LogLimiter& limit);
    void inboxFull(const PeerAddr& sender, LogLimiter& limit);

    // The responder's turns: busy from `now`, or waiting for work, which is never stuck.
    void responderTurns(std::chrono::steady_clock::time_point now)
    {
        m_responderBusySince.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    }
    void responderWaits() { m_responderBusySince.store(0, std::memory_order_relaxed); }
    // True when one turn of the responder has lasted longer than any turn should (a second):
    // it is stuck, and the listener stops the watchdog's pings.
    bool responderStuck(std::chrono::steady_clock::time_point now) const;

    // "<addresses>: answered N, dropped M[, last search from X]".
    std::string line(const std::string& addresses);

private:
    std::atomic<std::uint64_t> m_answered{0};
    std::atomic<std::uint64_t> m_dropped{0};
    std::atomic<std::chrono::steady_clock::rep> m_responderBusySince{0}; // 0 while it waits
    bool m_bKeepLast = false; // set before the threads start
    std::mutex m_lastMutex;
    PeerAddr m_last{};
};

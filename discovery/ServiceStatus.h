#pragma once

#include "discovery/Address.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class LogLimiter;

// What the status line tells: searches answered and dropped, and the last console that searched.
// Counted by the listeners and the responder; the line is composed by the IPv4 listener.
class ServiceStatus
{
public:
    // Without a status line to write, the last searcher is not kept (it costs a lock per search).
    void keepLastSearcher(bool keep) { m_bKeepLast = keep; }

    void answered() { m_answered.fetch_add(1, std::memory_order_relaxed); }
    void dropped() { m_dropped.fetch_add(1, std::memory_order_relaxed); }
    void searched(const PeerAddr& from);

    // The listeners' drops, counted, with their records written through `limit`: a sender that
    // no answer may go to, and a datagram that found the inbox full.
    void refused(const PeerAddr& sender, LogLimiter& limit);
    void inboxFull(const PeerAddr& sender, LogLimiter& limit);

    // "<addresses>: answered N, dropped M[, last search from X]".
    std::string line(const std::string& addresses);

private:
    std::atomic<std::uint64_t> m_answered{0};
    std::atomic<std::uint64_t> m_dropped{0};
    bool m_bKeepLast = false; // set before the threads start
    std::mutex m_lastMutex;
    PeerAddr m_last{};
};

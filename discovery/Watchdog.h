#pragma once

#include <atomic>
#include <chrono>

// Whether every thread still turns, for systemd's watchdog. Each watched thread says by when it
// will turn again, one relaxed store per turn and no wake-up of its own; the IPv4 listener sends
// the pings from its own loop, so it covers itself, and asks here before each one. A thread more
// than GRACE past the time it gave is held somewhere (a lock, a system call, a stopped thread):
// the pings stop, and systemd restarts the service.
class Watchdog
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration GRACE = std::chrono::seconds(1);

    enum Thread
    {
        IPV6_LISTENER,
        RESPONDER,
        THREAD_COUNT,
    };

    // `thread` turns again by `by`: a listener by its receive time-out, a busy responder at once,
    // a waiting one by its wake time. Clock::time_point::max(): not watched (not running, or
    // waiting for work with no time set).
    void turnsBy(Thread thread, Clock::time_point by)
    {
        m_by[thread].store(by.time_since_epoch().count(), std::memory_order_relaxed);
    }

    // The rule: true while every watched thread is within GRACE of the time it gave, and the
    // oldest datagram waiting for the responder (its arrival, `oldestWaiting`; max() for none)
    // has waited no longer than GRACE.
    bool allTurning(Clock::time_point now, Clock::time_point oldestWaiting) const
    {
        for (const auto& by : m_by)
        {
            if (late(now, Clock::time_point(Clock::duration(by.load(std::memory_order_relaxed)))))
            {
                return false;
            }
        }
        return !late(now, oldestWaiting);
    }

    static bool late(Clock::time_point now, Clock::time_point by) { return by < now - GRACE; }

private:
    std::atomic<Clock::rep> m_by[THREAD_COUNT] = {
        Clock::time_point::max().time_since_epoch().count(),
        Clock::time_point::max().time_since_epoch().count()};
};

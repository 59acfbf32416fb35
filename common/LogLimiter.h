#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

class LogLimiterGroup;

// Lets a record that remote traffic can trigger once per datagram through at most once per
// interval, counting the ones held back, so that a flood cannot fill the controller's storage.
// One instance belongs to one thread.
class LogLimiter
{
public:
    using Clock = std::chrono::steady_clock;

    explicit LogLimiter(Clock::duration interval = std::chrono::seconds(1)) : m_interval(interval)
    {
    }
    // A limiter whose held-back counts the group writes (LogLimiterGroup::flush); `kind` names
    // its records in those notes, which may stand apart from any record of that kind. `burst`
    // records may go in each interval, which begins with the first of them.
    LogLimiter(LogLimiterGroup& group, const char* kind,
               Clock::duration interval = std::chrono::seconds(1), unsigned burst = 1);

    // True when the record may be written now; `suppressed` then holds how many were held back
    // since the last one written.
    bool allow(std::uint64_t& suppressed, Clock::time_point now = Clock::now());
    // True when a record would be let through at `now`; counts nothing.
    bool ready(Clock::time_point now) const
    {
        return !m_bWritten || now - m_last >= m_interval || m_written < m_burst;
    }

    // The one way records are written through a limiter: `write` runs when the record is let
    // through, after a note of how many were held back since the last one.
    template <typename Write> void write(Write write)
    {
        std::uint64_t suppressed = 0;
        if (!allow(suppressed))
        {
            return;
        }
        if (suppressed > 0)
        {
            writeSuppressedNote(suppressed, m_kind);
        }
        write();
    }

    // True when records were held back and the interval since the last one written has ended:
    // `suppressed` then holds their count, for the caller to write as a note, so that the count
    // of a flood's last interval is not lost when no further record follows. Pass
    // Clock::time_point::max() as `now` to get the count regardless of the interval (at exit).
    bool flush(std::uint64_t& suppressed, Clock::time_point now = Clock::now());
    // When flush() will next return true; Clock::time_point::max() while nothing is held back.
    Clock::time_point flushDue() const;

    static void writeSuppressedNote(std::uint64_t suppressed, const char* kind);
    const char* kind() const { return m_kind; }

private:
    Clock::duration m_interval;
    const char* m_kind = "";
    unsigned m_burst = 1;
    Clock::time_point m_last{}; // when the interval began: the first record of the burst
    unsigned m_written = 0;     // in the interval
    bool m_bWritten = false;
    std::uint64_t m_suppressed = 0;
};

// The limiters of one thread, whose held-back counts are written in one place.
class LogLimiterGroup
{
public:
    using Clock = LogLimiter::Clock;

    void add(LogLimiter& limiter) { m_limiters.push_back(&limiter); }
    // Writes the held-back count of every limiter whose interval has ended by `now` (every
    // count, with Clock::time_point::max()) and tells when the next count is due.
    Clock::time_point flush(Clock::time_point now);

private:
    std::vector<LogLimiter*> m_limiters;
};

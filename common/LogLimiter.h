#pragma once

#include <chrono>
#include <cstdint>

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

    // True when the record may be written now; `suppressed` then holds how many were held back
    // since the last one written.
    bool allow(std::uint64_t& suppressed, Clock::time_point now = Clock::now());

    // True when records were held back and the interval since the last one written has ended:
    // `suppressed` then holds their count, for the caller to write as a note, so that the count
    // of a flood's last interval is not lost when no further record follows. Pass
    // Clock::time_point::max() as `now` to get the count regardless of the interval (at exit).
    bool flush(std::uint64_t& suppressed, Clock::time_point now = Clock::now());
    // When flush() will next return true; Clock::time_point::max() while nothing is held back.
    Clock::time_point flushDue() const;

private:
    Clock::duration m_interval;
    Clock::time_point m_last{};
    bool m_bWritten = false;
    std::uint64_t m_suppressed = 0;
};

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

private:
    Clock::duration m_interval;
    Clock::time_point m_last{};
    bool m_bWritten = false;
    std::uint64_t m_suppressed = 0;
};

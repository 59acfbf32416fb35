#include "common/LogLimiter.h"

bool LogLimiter::allow(std::uint64_t& suppressed, Clock::time_point now)
{
    if (m_bWritten && now - m_last < m_interval)
    {
        ++m_suppressed;
        return false;
    }
    m_bWritten = true;
    m_last = now;
    suppressed = m_suppressed;
    m_suppressed = 0;
    return true;
}

bool LogLimiter::flush(std::uint64_t& suppressed, Clock::time_point now)
{
    if (m_suppressed == 0 || now < flushDue())
    {
        return false;
    }
    suppressed = m_suppressed;
    m_suppressed = 0;
    return true;
}

LogLimiter::Clock::time_point LogLimiter::flushDue() const
{
    return m_suppressed == 0 ? Clock::time_point::max() : m_last + m_interval;
}

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

#include "common/LogLimiter.h"

#include "common/Logger.h"

#include <algorithm>

LogLimiter::LogLimiter(LogLimiterGroup& group, const char* kind, Clock::duration interval,
                       unsigned burst)
    : m_interval(interval), m_kind(kind), m_burst(burst)
{
    group.add(*this);
}

bool LogLimiter::allow(std::uint64_t& suppressed, Clock::time_point now)
{
    if (!ready(now))
    {
        ++m_suppressed;
        return false;
    }
    if (!m_bWritten || now - m_last >= m_interval)
    {
        m_last = now;
        m_written = 0;
    }
    ++m_written;
    m_bWritten = true;
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

void LogLimiter::writeSuppressedNote(std::uint64_t suppressed, const char* kind)
{
    LOG_DISC(WARNING) << suppressed << " similar records suppressed since the last one (" << kind
                      << ")";
}

LogLimiterGroup::Clock::time_point LogLimiterGroup::flush(Clock::time_point now)
{
    Clock::time_point next = Clock::time_point::max();
    for (LogLimiter* limiter : m_limiters)
    {
        std::uint64_t suppressed = 0;
        if (limiter->flush(suppressed, now))
        {
            LogLimiter::writeSuppressedNote(suppressed, limiter->kind());
        }
        next = std::min(next, limiter->flushDue());
    }
    return next;
}

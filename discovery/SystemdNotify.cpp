#include "discovery/SystemdNotify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

SystemdNotify::SystemdNotify()
{
    m_bEnabled = std::getenv("NOTIFY_SOCKET") != nullptr;
    std::uint64_t usec = 0;
    // Positive only when WATCHDOG_USEC is set, and WATCHDOG_PID, if set, names this process.
    if (m_bEnabled && sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
    {
        // Half the interval, as sd_watchdog_enabled(3) advises, leaves room for one late turn.
        m_keepAliveInterval = std::chrono::microseconds(usec / 2);
    }
}

void SystemdNotify::ready()
{
    if (m_bEnabled)
    {
        sd_notify(0, "READY=1");
    }
}

void SystemdNotify::stopping()
{
    if (m_bEnabled)
    {
        sd_notify(0, "STOPPING=1");
    }
}

void SystemdNotify::keepAlive(Clock::time_point now)
{
    if (m_keepAliveInterval == Clock::duration::zero() ||
        now - m_lastKeepAlive < m_keepAliveInterval)
    {
        return;
    }
    m_lastKeepAlive = now;
    sd_notify(0, "WATCHDOG=1");
}

bool SystemdNotify::statusDue(Clock::time_point now) const
{
    return m_bEnabled && (!m_bStatusSent || now - m_lastStatus >= STATUS_INTERVAL);
}

void SystemdNotify::status(const std::string& text, Clock::time_point now)
{
    if (!statusDue(now) || (m_bStatusSent && text == m_status))
    {
        return;
    }
    m_status = text;
    m_lastStatus = now;
    m_bStatusSent = true;
    sd_notify(0, ("STATUS=" + text).c_str());
}

#pragma once

#include <chrono>
#include <string>

// What the daemon tells systemd about itself through sd_notify(3): ready, stopping, a one-line
// status, and that its listener still turns. Without NOTIFY_SOCKET in the environment (a start
// by hand, the tests) every call returns at once and nothing is sent.
//
// ready() and stopping() may come from any thread; keepAlive() and status() belong to the
// listener alone, so that a listener that stops turning stops the watchdog's pings with it.
// Never call from a signal handler: sd_notify opens a socket.
class SystemdNotify
{
public:
    using Clock = std::chrono::steady_clock;
    // The status line changes with every search under load; systemd needs it no more often.
    static constexpr Clock::duration STATUS_INTERVAL = std::chrono::seconds(1);

    // Reads NOTIFY_SOCKET and the watchdog interval (WATCHDOG_USEC) from the environment.
    SystemdNotify();

    bool enabled() const { return m_bEnabled; }

    void ready();
    void stopping();
    // WATCHDOG=1 once half the unit's WatchdogSec has passed since the last one.
    void keepAlive(Clock::time_point now);
    // True when a status line may be sent at `now`: lets the caller skip composing it.
    bool statusDue(Clock::time_point now) const;
    // STATUS=text if it is due and differs from the last one sent.
    void status(const std::string& text, Clock::time_point now);

private:
    bool m_bEnabled = false;
    Clock::duration m_keepAliveInterval{}; // zero: no watchdog
    Clock::time_point m_lastKeepAlive{};
    Clock::time_point m_lastStatus{};
    bool m_bStatusSent = false;
    std::string m_status;
};

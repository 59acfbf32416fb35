#pragma once

#include "common/LogLimiter.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

// What the daemon tells systemd about itself: ready, stopping, a one-line status, and that its
// listener still turns. It speaks systemd's notification protocol itself, which systemd keeps
// stable for programs that do without its library (sd_notify(3)): one datagram per message to
// the AF_UNIX socket named in NOTIFY_SOCKET, a path, or an abstract name when it starts with
// '@'. Without NOTIFY_SOCKET (a start by hand, the tests) every call returns at once and nothing
// is sent.
//
// ready() and stopping() may come from any thread; keepAlive() and status() belong to the
// listener alone, so that a listener that stops turning stops the watchdog's pings with it.
// Each message goes out on a socket of its own, so the threads share only the address, fixed
// at construction, and the limit on the failures' records. No call waits for systemd: a
// message that its socket cannot take at once (a PID 1 that does not read) is dropped, so that
// neither the listener's loop nor a stop hangs on it. Never call from a signal handler: a
// message opens a socket, and a failure takes a lock and writes a record.
class SystemdNotify
{
public:
    using Clock = std::chrono::steady_clock;
    // The status line changes with every search under load; systemd needs it no more often.
    static constexpr Clock::duration STATUS_INTERVAL = std::chrono::seconds(1);
    // A failure repeats with every message, twice a second with the watchdog, for as long as its
    // cause lasts: one record a minute, with the count of those held back, tells the story.
    static constexpr Clock::duration FAILURE_INTERVAL = std::chrono::minutes(1);

    // Reads NOTIFY_SOCKET and the watchdog's WATCHDOG_USEC and WATCHDOG_PID, and leaves them in
    // the environment. Writes no record: the daemon's one instance is built before the logging
    // set-up, so a NOTIFY_SOCKET that names no usable socket is recorded at the first message.
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
    void send(const std::string& message, Clock::time_point now);
    // Records a failed send (`error` not 0) within the limit; once messages go out again, the
    // count of those held back in the last interval.
    void recordOutcome(const char* call, int error, Clock::time_point now);

    bool m_bEnabled = false;
    std::string m_socketName;     // NOTIFY_SOCKET, as the records show it
    const char* m_addrFault = ""; // why it is no usable address, when m_addrLen is 0
    sockaddr_un m_addr{};
    socklen_t m_addrLen = 0;

    std::atomic<bool> m_bAddrFaultLogged{false}; // it never changes: recorded once
    // A LogLimiter belongs to one thread; the mutex makes it the senders', held only to count.
    std::mutex m_failureMutex;
    LogLimiter m_failureLimit{FAILURE_INTERVAL};

    // Listener only.
    Clock::duration m_keepAliveInterval{}; // zero: no watchdog
    Clock::time_point m_lastKeepAlive{};
    Clock::time_point m_lastStatus{};
    bool m_bStatusSent = false;
    std::string m_status;
};

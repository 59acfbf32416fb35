#include "discovery/SystemdNotify.h"

#include "common/Logger.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{
// A whole decimal number above zero, else 0.
template <typename T> T positive(const char* text)
{
    T value = 0;
    const char* end = text + std::strlen(text);
    const auto [last, error] = std::from_chars(text, end, value);
    return error == std::errc() && last == end && value > 0 ? value : 0;
}

// The watchdog's interval in microseconds when it applies to this process, else 0. A
// WATCHDOG_PID that names another process means the variables were inherited from the unit's
// main process, whose pings this process must not stand in for.
std::uint64_t watchdogUsec()
{
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec == nullptr || (pid != nullptr && positive<pid_t>(pid) != getpid()))
    {
        return 0;
    }
    return positive<std::uint64_t>(usec);
}
} // namespace

SystemdNotify::SystemdNotify()
{
    const char* name = std::getenv("NOTIFY_SOCKET");
    m_bEnabled = name != nullptr;
    if (!m_bEnabled)
    {
        return;
    }
    m_socketName = name;
    const std::size_t length = m_socketName.size();
    const bool abstract = length > 0 && m_socketName[0] == '@';
    const bool path = length > 0 && m_socketName[0] == '/';
    if (!abstract && !path)
    {
        m_addrFault = "is neither an absolute path nor an abstract name ('@')";
    }
    // A path ends with a NUL in the address; an abstract name has none, and its '@' becomes
    // the leading NUL that marks it.
    else if (length + (path ? 1 : 0) > sizeof(m_addr.sun_path))
    {
        m_addrFault = "is too long for a socket address";
    }
    else
    {
        m_addr.sun_family = AF_UNIX;
        m_socketName.copy(m_addr.sun_path, length);
        if (abstract)
        {
            m_addr.sun_path[0] = '\0';
        }
        m_addrLen =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (path ? 1 : 0));
    }

    if (const std::uint64_t usec = watchdogUsec(); usec > 0)
    {
        // Half the interval, as sd_watchdog_enabled(3) advises, leaves room for one late turn;
        // bounded where the clock's nanoseconds would overflow, centuries away.
        const auto longest =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::duration::max());
        m_keepAliveInterval = std::chrono::microseconds(static_cast<std::int64_t>(
            std::min<std::uint64_t>(usec / 2, static_cast<std::uint64_t>(longest.count()))));
    }
}

void SystemdNotify::ready()
{
    if (m_bEnabled)
    {
        send("READY=1", Clock::now());
    }
}

void SystemdNotify::stopping()
{
    if (m_bEnabled)
    {
        send("STOPPING=1", Clock::now());
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
    send("WATCHDOG=1", now);
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
    send("STATUS=" + text, now);
}

void SystemdNotify::send(const std::string& message, Clock::time_point now)
{
    if (m_addrLen == 0)
    {
        if (!m_bAddrFaultLogged.exchange(true))
        {
            LOG_DISC(WARNING) << "NOTIFY_SOCKET '" << m_socketName << "' " << m_addrFault
                              << ": nothing is sent to systemd";
        }
        return;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        recordOutcome("socket(AF_UNIX)", errno, now);
        return;
    }
    // MSG_DONTWAIT: with systemd's queue full, sendto() fails with EAGAIN instead of waiting
    // until PID 1 reads.
    ssize_t sent = 0;
    do
    {
        sent = sendto(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&m_addr), m_addrLen);
    } while (sent < 0 && errno == EINTR);
    const int error = sent < 0 ? errno : 0;
    close(fd);
    recordOutcome("sendto()", error, now);
}

void SystemdNotify::recordOutcome(const char* call, int error, Clock::time_point now)
{
    static constexpr const char* KIND = "notification to systemd dropped";
    std::uint64_t suppressed = 0;
    bool failureLetThrough = false;
    {
        const std::lock_guard<std::mutex> lock(m_failureMutex);
        if (error != 0)
        {
            failureLetThrough = m_failureLimit.allow(suppressed, now);
        }
        else
        {
            m_failureLimit.flush(suppressed, now);
        }
    }
    if (suppressed > 0)
    {
        LogLimiter::writeSuppressedNote(suppressed, KIND);
    }
    if (failureLetThrough)
    {
        LOG_DISC(WARNING) << call << " to NOTIFY_SOCKET " << m_socketName
                          << " failed: " << std::strerror(error)
                          << ": the message is dropped (recorded at most once a minute)";
    }
}

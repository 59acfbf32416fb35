#include "discovery/SystemdNotify.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{
// A datagram socket in the abstract namespace standing in for systemd's, named in NOTIFY_SOCKET
// while it lives.
class NotifySocket
{
public:
    NotifySocket()
    {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const std::string name = "discovery-notify-test-" + std::to_string(getpid());
        m_addr.sun_family = AF_UNIX;
        name.copy(m_addr.sun_path + 1, sizeof(m_addr.sun_path) - 2);
        m_addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&m_addr), m_addrLen), 0);
        setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
    }
    ~NotifySocket()
    {
        unsetenv("NOTIFY_SOCKET");
        close(m_fd);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    std::vector<std::string> received()
    {
        std::vector<std::string> out;
        char buf[512];
        for (ssize_t n; (n = recv(m_fd, buf, sizeof(buf), 0)) > 0;)
        {
            out.emplace_back(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    // Sends from a socket of its own each time, as the daemon does, until the queue is full: a
    // systemd that does not read.
    void fill()
    {
        for (int i = 0; i < 100000; ++i)
        {
            const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const ssize_t sent = sendto(fd, "x", 1, MSG_DONTWAIT,
                                        reinterpret_cast<const sockaddr*>(&m_addr), m_addrLen);
            const int error = errno;
            close(fd);
            if (sent < 0)
            {
                ASSERT_EQ(error, EAGAIN) << std::strerror(error);
                return;
            }
        }
        FAIL() << "the queue never filled";
    }

private:
    int m_fd = -1;
    sockaddr_un m_addr{};
    socklen_t m_addrLen = 0;
};

// An environment variable set (or, with nullptr, unset) for the life of the object.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        if (value != nullptr)
        {
            setenv(name, value, 1);
        }
        else
        {
            unsetenv(name);
        }
    }
    ~ScopedEnv() { unsetenv(m_name); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
};
std::vector<std::string> warningsLogged()
{
    std::vector<std::string> out;
    for (const LogRecord& r : LogCapture::records())
    {
        if (r.level == LogLevel::WARNING)
        {
            out.push_back(r.message);
        }
    }
    return out;
}
} // namespace

TEST(SystemdNotify, StatusAtMostOnceASecondAndOnlyWhenChanged)
{
    using namespace std::chrono_literals;
    NotifySocket systemd;
    SystemdNotify notify;
    ASSERT_TRUE(notify.enabled());
    const SystemdNotify::Clock::time_point t0{};

    struct Step
    {
        SystemdNotify::Clock::duration at;
        const char* text;
        bool sent;
    };
    const Step steps[] = {
        {100s, "a", true},          // the first at once
        {100s + 10ms, "b", false},  // changed, but too soon
        {100s + 999ms, "b", false}, // still too soon
        {101s, "b", true},          // a second after the last one sent
        {103s, "b", false},         // unchanged: nothing, however long since
        {103s + 500ms, "c", true},  // changed, and the last one sent is long past
        {103s + 600ms, "a", false}, // too soon...
        {104s + 500ms, "a", true},  // ...until a second has passed
    };
    for (const Step& step : steps)
    {
        notify.status(step.text, t0 + step.at);
        const std::vector<std::string> expected =
            step.sent ? std::vector<std::string>{std::string("STATUS=") + step.text}
                      : std::vector<std::string>{};
        EXPECT_EQ(systemd.received(), expected)
            << step.text << " at "
            << std::chrono::duration_cast<std::chrono::milliseconds>(step.at).count() << " ms";
    }
}

// A watchdog's variables inherited from the unit's main process name it in WATCHDOG_PID: a
// process that pinged on its behalf would keep a wedged main process alive.
TEST(SystemdNotify, WatchdogPingsOnlyForTheProcessItNames)
{
    using namespace std::chrono_literals;
    const std::string self = std::to_string(getpid());
    const std::string other = std::to_string(getppid());
    struct Case
    {
        const char* usec;
        const char* pid; // nullptr: unset
        bool pings;
    };
    const Case cases[] = {
        {"1000000", nullptr, true},        {"1000000", self.c_str(), true},
        {"1000000", other.c_str(), false}, {"1000000", "", false},
        {"1000000", "1x", false},          {"0", nullptr, false},
        {"-1000000", nullptr, false},
    };
    for (const Case& c : cases)
    {
        NotifySocket systemd;
        const ScopedEnv usec("WATCHDOG_USEC", c.usec);
        const ScopedEnv pid("WATCHDOG_PID", c.pid);
        SystemdNotify notify;
        const SystemdNotify::Clock::time_point t0{};
        // Every half interval, and not sooner.
        const std::vector<std::string> ping =
            c.pings ? std::vector<std::string>{"WATCHDOG=1"} : std::vector<std::string>{};
        notify.keepAlive(t0 + 100s);
        EXPECT_EQ(systemd.received(), ping) << c.usec << " " << (c.pid ? c.pid : "unset");
        notify.keepAlive(t0 + 100s + 499ms);
        EXPECT_EQ(systemd.received(), std::vector<std::string>{});
        notify.keepAlive(t0 + 100s + 500ms);
        EXPECT_EQ(systemd.received(), ping) << c.usec << " " << (c.pid ? c.pid : "unset");
    }
}

// Every message that cannot go out fails the same way again: one WARNING, however many
// messages follow within the limit's interval. The lengths are the limits of sun_path (108 bytes):
// a path needs its NUL, an abstract name's '@' stands for the leading NUL.
TEST(SystemdNotify, UnusableSocketRecordedOncePerKind)
{
    using namespace std::chrono_literals;
    const std::string unbound = "@discovery-notify-test-nobody-" + std::to_string(getpid());
    const std::string neither = "is neither an absolute path nor an abstract name";
    const std::string tooLong = "is too long for a socket address";
    const std::string refused = std::string("failed: ") + std::strerror(ECONNREFUSED);
    const std::string missing = std::string("failed: ") + std::strerror(ENOENT);
    struct Case
    {
        std::string socket;
        std::string warning;
    };
    const Case cases[] = {
        {"", neither},
        {"run/systemd/notify", neither},
        {unbound, refused},
        {"@" + std::string(107, 'x'), refused},
        {"@" + std::string(108, 'x'), tooLong},
        {"/" + std::string(106, 'x'), missing},
        {"/" + std::string(107, 'x'), tooLong},
    };
    for (const Case& c : cases)
    {
        const ScopedEnv socket("NOTIFY_SOCKET", c.socket.c_str());
        SystemdNotify notify;
        LogCapture::clear();
        notify.ready();
        notify.status("a", SystemdNotify::Clock::time_point{} + 1s);
        notify.status("b", SystemdNotify::Clock::time_point{} + 2s);
        notify.stopping();
        const std::vector<std::string> warnings = warningsLogged();
        ASSERT_EQ(warnings.size(), 1U) << c.socket;
        EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
    }
}

// Regression: with systemd's queue full (a PID 1 that does not read), sendto() waited for it:
// the listener answered nothing, and a stop waited in stopping() while holding the stop lock.
TEST(SystemdNotify, RegressionFullQueueRefusesAtOnceRecordedOncePerWindow)
{
    using namespace std::chrono_literals;
    NotifySocket systemd;
    const ScopedEnv usec("WATCHDOG_USEC", "1000000");
    SystemdNotify notify;
    ASSERT_NO_FATAL_FAILURE(systemd.fill());
    LogCapture::clear();
    const SystemdNotify::Clock::time_point t0 = SystemdNotify::Clock::now();
    std::future<void> calls = std::async(std::launch::async,
                                         [&notify, t0]
                                         {
                                             notify.ready();
                                             notify.keepAlive(t0);
                                             notify.status("a", t0);
                                             notify.stopping();
                                         });
    // Bounded, not timed: calls that wait are freed by reading, so a fault fails here instead
    // of hanging the suite.
    const bool prompt = calls.wait_for(10s) == std::future_status::ready;
    for (int i = 0; i < 100 && calls.wait_for(100ms) != std::future_status::ready; ++i)
    {
        systemd.received();
    }
    ASSERT_TRUE(prompt) << "a notification waited for systemd to read";

    const std::vector<std::string> refused = warningsLogged();
    ASSERT_EQ(refused.size(), 1U);
    EXPECT_NE(refused[0].find("sendto() to NOTIFY_SOCKET @discovery-notify-test-"),
              std::string::npos)
        << refused[0];
    EXPECT_NE(refused[0].find(std::strerror(EAGAIN)), std::string::npos) << refused[0];

    // Once systemd reads again and the window has passed, the next message goes out and the
    // count of those dropped is written.
    systemd.received();
    LogCapture::clear();
    notify.status("b", t0 + SystemdNotify::FAILURE_INTERVAL + 1s);
    EXPECT_EQ(systemd.received(), std::vector<std::string>{"STATUS=b"});
    const std::vector<std::string> note = warningsLogged();
    ASSERT_EQ(note.size(), 1U);
    EXPECT_NE(note[0].find("3 similar records suppressed"), std::string::npos) << note[0];
}

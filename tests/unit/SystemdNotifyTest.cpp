#include "discovery/SystemdNotify.h"

#include <gtest/gtest.h>

#include <cstdlib>
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
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        name.copy(addr.sun_path + 1, sizeof(addr.sun_path) - 2);
        const socklen_t len = offsetof(sockaddr_un, sun_path) + 1 + name.size();
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
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

private:
    int m_fd = -1;
};
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

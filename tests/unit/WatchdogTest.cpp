#include "discovery/Watchdog.h"
#include "discovery/DatagramQueue.h"

#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = DatagramQueue::Clock;

// The watchdog's rule, with the inbox's oldest arrival as the queue keeps it: the pings stop
// once a thread is more than a second past the turn it gave (the IPv6 listener turns every
// receive time-out, a busy responder at once, a waiting one by its wake time) or a datagram has
// waited more than a second.
TEST(Watchdog, PingsStopOnceAThreadOrADatagramIsASecondLate)
{
    using namespace std::chrono_literals;
    constexpr Clock::duration NONE = Clock::duration::max();
    struct Case
    {
        const char* what;
        Clock::duration ipv6TurnedAgo;          // NONE: no IPv6 listener
        Clock::duration responderBusyFor;       // NONE: waiting
        Clock::duration responderWakeIn;        // while waiting; NONE: no wake time
        std::vector<Clock::duration> waitedFor; // the inbox's datagrams, oldest first
        int popped;                             // of those, taken by the responder
        bool pings;
    };
    const Case cases[] = {
        {"idle, healthy", 50ms, NONE, NONE, {}, 0, true},
        {"no IPv6 listener, a wake time ahead", NONE, NONE, 10s, {}, 0, true},
        {"IPv6 listener within a second of its turn", 1050ms, NONE, NONE, {}, 0, true},
        {"IPv6 listener held", 1200ms, NONE, NONE, {}, 0, false},
        {"responder busy for most of a second", NONE, 900ms, NONE, {}, 0, true},
        {"responder busy too long", NONE, 1100ms, NONE, {}, 0, false},
        {"responder half a second past its wake time", NONE, NONE, -500ms, {}, 0, true},
        {"responder's wait outlived its wake time", NONE, NONE, -1500ms, {}, 0, false},
        {"a datagram waiting, not long", 50ms, NONE, NONE, {800ms}, 0, true},
        {"a datagram waiting too long for a waiting responder",
         50ms,
         NONE,
         NONE,
         {1200ms},
         0,
         false},
        {"the old one taken, a young one waits", 50ms, NONE, 10s, {1500ms, 200ms}, 1, true},
        {"every datagram taken", 50ms, NONE, 10s, {1500ms, 1400ms}, 2, true},
    };
    const Clock::time_point now = Clock::now() + 1h;
    for (const Case& c : cases)
    {
        Watchdog watchdog;
        DatagramQueue queue(4, 16);
        if (c.ipv6TurnedAgo != NONE)
        {
            watchdog.turnsBy(Watchdog::IPV6_LISTENER, now - c.ipv6TurnedAgo + RECEIVE_TIMEOUT);
        }
        watchdog.turnsBy(Watchdog::RESPONDER, c.responderBusyFor != NONE ? now - c.responderBusyFor
                                              : c.responderWakeIn != NONE
                                                  ? now + c.responderWakeIn
                                                  : Clock::time_point::max());
        for (const Clock::duration waited : c.waitedFor)
        {
            Datagram datagram = testsupport::received('x', 1);
            datagram.arrival = now - waited;
            ASSERT_TRUE(queue.push(datagram));
        }
        Datagram out;
        out.text.assign(16, '\0');
        for (int i = 0; i < c.popped; ++i)
        {
            ASSERT_TRUE(queue.pop(out, Clock::time_point::max()));
        }
        EXPECT_EQ(watchdog.allTurning(now, queue.oldestArrival()), c.pings) << c.what;
    }
}
} // namespace

// A responder held inside one datagram's work (a hung read or send), its inbox empty behind it,
// stops the pings a second after the work began, as one that stopped turning does.
TEST(Watchdog, PingsStopWhileTheResponderIsHeldInsideADatagram)
{
    testsupport::ResponderParts parts;
    std::promise<Clock::time_point> entered;
    std::mutex held;
    std::unique_lock<std::mutex> hold(held);
    parts.responder.onDatagram([&entered, &held]
                               { entered.set_value(Clock::now()), held.lock(), held.unlock(); });
    std::thread responder([&parts] { parts.responder.run(); });
    Datagram datagram = testsupport::received('x', 1);
    EXPECT_TRUE(parts.inbox.push(datagram));
    const Clock::time_point late =
        entered.get_future().get() + Watchdog::GRACE + Clock::duration(1);
    EXPECT_FALSE(parts.watchdog.allTurning(late, parts.inbox.oldestArrival()));
    hold.unlock();
    parts.inbox.close();
    responder.join();
}

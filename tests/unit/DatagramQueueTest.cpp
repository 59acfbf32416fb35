#include "discovery/DatagramQueue.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
using Clock = DatagramQueue::Clock;

// The hand-over: a full queue refuses without taking the buffer, a nudge or a close ends a wait
// without a datagram, and a closed queue still gives what it holds.
TEST(DatagramQueue, FullNudgeAndClose)
{
    DatagramQueue queue(2, 16);
    Datagram datagram = testsupport::received('x', 3);
    EXPECT_TRUE(queue.push(datagram));
    EXPECT_EQ(datagram.text.size(), 16U);
    datagram = testsupport::received('z', 40);
    EXPECT_TRUE(queue.push(datagram));
    datagram = testsupport::received('y', 3);
    EXPECT_FALSE(queue.push(datagram));
    EXPECT_EQ(std::string(datagram.text.data()), "yyy")
        << "a refused datagram stays with the caller";

    Datagram out;
    out.text.assign(16, '\0');
    ASSERT_TRUE(queue.pop(out, Clock::time_point::max()));
    EXPECT_STREQ(out.text.data(), "xxx");
    ASSERT_TRUE(queue.pop(out, Clock::time_point::max()));
    EXPECT_EQ(std::string(out.text.data()).size(), 15U) << "a long datagram ends inside the buffer";

    queue.nudge();
    EXPECT_FALSE(queue.pop(out, Clock::time_point::max()));
    EXPECT_FALSE(queue.closed());
    datagram = testsupport::received('y', 1);
    EXPECT_TRUE(queue.push(datagram));
    queue.close();
    EXPECT_TRUE(queue.pop(out, Clock::time_point::max()));
    EXPECT_FALSE(queue.pop(out, Clock::time_point::max()));
    EXPECT_TRUE(queue.closed());
}
} // namespace

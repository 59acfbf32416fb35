#pragma once

#include "discovery/Address.h"
#include "discovery/Groups.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// A receive buffer holds one datagram plus the NUL that ends its text, so at most 1023 bytes of
// a datagram are ever seen.
inline constexpr std::size_t DATAGRAM_BUF_SIZE = 1024;

// One received datagram: its text, its sender, when it arrived and the group it was sent to, or
// for a search sent by unicast (--unicast), the address it was sent to.
struct Datagram
{
    std::vector<char> text;
    int length = 0; // as the receive returned it: the byte count, or -1
    PeerAddr sender{};
    socklen_t senderLen = 0;
    std::chrono::steady_clock::time_point arrival;
    SsdpGroup group = SsdpGroup::Ipv4;
    int ifindex = 0;     // of the interface it came in by
    IpAddress unicastTo; // empty for a datagram sent to a group

    // Ends the text with a NUL inside the buffer: at most the buffer's size less one of the
    // datagram's bytes are kept.
    void endText();
};

// The hand-over from the listeners to the responder: a bounded queue whose buffers are swapped in
// and out, never copied. The consumer sleeps in ppoll() on an eventfd that a producer writes
// only when the consumer must wake early: a condition variable would cost a second system call
// per wake, as the mutex comes back from a wait marked contended.
class DatagramQueue
{
public:
    using Clock = std::chrono::steady_clock;

    // A consumer that will wake by itself within this time is not woken for a datagram: it takes
    // the datagram then, which spares a context switch per search under load (at a few hundred
    // searches a second the responder wakes for its rounds of answers alone). A response is at
    // most this late against its drawn delay, and never later than its MX allows (at least 1 s).
    static constexpr Clock::duration WAKE_SLACK = std::chrono::milliseconds(30);

    DatagramQueue(std::size_t capacity, std::size_t bufferSize);
    ~DatagramQueue();
    DatagramQueue(const DatagramQueue&) = delete;
    DatagramQueue& operator=(const DatagramQueue&) = delete;

    // Listeners: ends `datagram`'s text and swaps the whole datagram into the queue, leaving the
    // caller a spent one whose buffer has the same size. False, with nothing taken, when the queue
    // is full.
    bool push(Datagram& datagram);
    // Responder: swaps the oldest datagram into `out`. Waits for one until `wakeBy`; false when
    // that time came first, or at once when the queue is closed and empty.
    bool pop(Datagram& out, Clock::time_point wakeBy);
    // Wakes the consumer's pop() without a datagram, for news it must act on at once.
    void nudge();
    // When the listeners have ended: nothing more will be pushed.
    void close();
    bool closed();
    // When the oldest datagram still in the queue arrived, Clock::time_point::max() for none: one
    // relaxed load, for the watchdog, from any thread.
    Clock::time_point oldestArrival() const
    {
        return Clock::time_point(Clock::duration(m_oldestArrival.load(std::memory_order_relaxed)));
    }

private:
    // Wakes the consumer when m_bWaiting was set; outside the lock.
    void wake();
    // Under the lock, after the head moved.
    void noteOldest();

    std::mutex m_mutex;
    int m_wakeFd = -1;
    std::vector<Datagram> m_slots;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
    bool m_bClosed = false;
    bool m_bNudged = false;
    // The consumer is waiting, until m_wakeBy at the latest.
    bool m_bWaiting = false;
    Clock::time_point m_wakeBy;
    std::atomic<Clock::rep> m_oldestArrival{Clock::time_point::max().time_since_epoch().count()};
};

#pragma once

#include "discovery/Ssdp.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <queue>
#include <string>
#include <vector>

// The searches judged and waiting for their random delay to end, earliest first, with their
// count per requesting address. Owned by the responder.
class PendingResponses
{
public:
    using Clock = std::chrono::steady_clock;

    struct Entry
    {
        Clock::time_point due;
        PeerAddr to;
        socklen_t toLen;
        SearchTarget target;
        std::size_t slot; // the interface the search came in by
        int ifindex;      // and its index
        bool operator>(const Entry& other) const { return due > other.due; }
    };

    // A search beyond this many waiting answers is dropped.
    static constexpr std::size_t CAPACITY = 256;
    // Of those, the most that one requesting address may hold once more than SHARED are
    // waiting, so that one sender cannot crowd out the others. Below SHARED any sender may use
    // the free room: consoles behind one address (a NAT, a host running several discovery tools)
    // lose nothing while the queue is not contended. A flooding address so holds at most half
    // the bound, and the other half is always left to everyone else.
    static constexpr unsigned PER_PEER = 16;
    static constexpr std::size_t SHARED = CAPACITY / 2;

    // Takes `entry` unless a bound is reached; false then. `heldByPeer` tells how many answers
    // its address holds (before this one).
    bool add(const Entry& entry, unsigned& heldByPeer);
    // Takes out the earliest entry if it is due by `now`.
    bool popDue(Clock::time_point now, Entry& out);
    // The earliest due time; Clock::time_point::max() when nothing waits.
    Clock::time_point nextDue() const;
    std::size_t size() const { return m_heap.size(); }
    bool empty() const { return m_heap.empty(); }

private:
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> m_heap;
    std::map<std::string, unsigned> m_perPeer; // by the requester's address bytes
};

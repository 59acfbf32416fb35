#pragma once

#include "discovery/Address.h"
#include "discovery/SenderClass.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <utility>

// The neighbours the daemon answers while the kernel has no link-layer address for them. Each
// such answer makes the kernel add an entry to the neighbour table that the whole controller
// shares, whose hard limit is net.ipv4.neigh.default.gc_thresh3 (1,024 by default, and the same
// for IPv6): INCOMPLETE while it solicits the neighbour (mcast_solicit x retrans_time, 3 x 1 s by
// default), then FAILED for a forged or silent one. The kernel's periodic collection, every
// base_reachable_time / 2 (15 s), removes FAILED entries, but only while the table holds
// gc_thresh1 (128) entries or more: below it they stay, harmlessly.
//
// So at most SIZE new unresolved neighbours are answered in any WINDOW, and one answered again
// within it counts once (its entry is the same). WINDOW (30 s) outlasts an entry's 3 s of
// solicitation and one collection period (15 s). With SIZE 64, a crowd that takes every place
// leaves one window's 64 FAILED entries while the table is below gc_thresh1, then 64 more, which
// take the table to gc_thresh1, and the next collection, within 15 s and so before the window
// after, removes them: the daemon holds at most 128, an eighth of the default gc_thresh3.
// A class of senders (classKey) takes at most CLASS_SHARE of the places, so that a crowd of one
// class, forged link-local sources above all, leaves places for the first answers of consoles of
// another: 32, as many consoles as may appear at once in a class. A console is charged once, for
// its first answer; from then on the kernel knows it (REACHABLE, then STALE) and its answers need
// no place.
class NeighbourBudget
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t SIZE = 64;
    static constexpr std::size_t CLASS_SHARE = SIZE / 2;
    static constexpr std::chrono::seconds WINDOW{30};

    // Whether an answer may go to the unresolved neighbour `to` on `ifindex` at `now`: when it
    // was counted within the last WINDOW, or while fewer than SIZE are, and fewer than
    // CLASS_SHARE of its class (it is counted then).
    bool admit(const PeerAddr& to, int ifindex, Clock::time_point now);

private:
    using Key = std::pair<int, std::array<unsigned char, 16>>;
    struct Counted
    {
        Clock::time_point at;
        Key key;
        ClassKey senderClass;
    };
    std::deque<Counted> m_order; // oldest first
    std::set<Key> m_counted;
    std::map<ClassKey, std::size_t> m_perClass;
};

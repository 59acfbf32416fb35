#pragma once

#include "discovery/Ipv6.h"
#include "discovery/Ssdp.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <map>
#include <vector>

// The searches judged and waiting for their random delay to end, earliest first, with their
// count per requesting address. Owned by the responder.
//
// Admission is longest-queue-drop: while there is room every search is taken, whoever sends it,
// so consoles behind one address (a NAT, a host running several discovery tools) lose nothing
// while the queue is not contended. Once full, a search from an address holding fewer answers
// than the largest holder takes the place of that holder's newest answer; one from the largest
// holder, or from a tie with it, is refused. A flooding address so gives up its places to every
// other sender, down to an even share.
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
        int ifindex;     // of the interface the search came in by
        SsdpGroup group; // the search was sent to
        bool operator>(const Entry& other) const { return due > other.due; }
    };

    // The most answers that wait at once.
    static constexpr std::size_t CAPACITY = 256;

    // What `add` did with a search, and the counts its drop record prints.
    struct Admission
    {
        enum Verdict
        {
            Taken,
            PushedOut, // taken in the place of another address's newest answer
            Refused,
        };
        Verdict verdict;
        unsigned held;          // the answers its address held before it
        PeerAddr pushedOutTo;   // PushedOut: the address whose answer gave its place
        unsigned pushedOutHeld; // and how many that address held before
    };

    PendingResponses();
    // The entries and the counts refer to each other.
    PendingResponses(const PendingResponses&) = delete;
    PendingResponses& operator=(const PendingResponses&) = delete;

    Admission add(const Entry& entry);
    // Takes out the earliest entry if it is due by `now`.
    bool popDue(Clock::time_point now, Entry& out);
    // The earliest due time; Clock::time_point::max() when nothing waits.
    Clock::time_point nextDue() const;
    std::size_t size() const { return m_heap.size(); }
    bool empty() const { return m_heap.empty(); }

private:
    using Index = std::size_t;
    static constexpr Index NONE = CAPACITY;

    // The requester's address alone, whatever its port: the unit of fairness between senders.
    using Key = std::array<unsigned char, 16>;
    struct Peer
    {
        unsigned held = 0;
        Index newest = NONE;
        std::size_t bucketPos = 0; // its place in m_byHeld[held]
    };
    using Peers = std::map<Key, Peer>;

    struct Node
    {
        Entry entry;
        Peers::iterator peer;
        Index older; // the same address's answers, in arrival order
        Index newer;
        std::size_t heapPos;
    };

    static Key peerKey(const PeerAddr& addr);
    void insert(const Entry& entry, Peers::iterator peer);
    void remove(Index node);
    void setHeld(Peers::iterator peer, unsigned held);
    bool earlier(Index a, Index b) const { return m_nodes[a].entry.due < m_nodes[b].entry.due; }
    void place(std::size_t pos, Index node);
    void siftUp(std::size_t pos);
    void siftDown(std::size_t pos);

    // A fixed pool, so that an answer can leave from the middle of the heap (pushed out) without
    // a trace: memory stays bounded and the cost per search is O(log CAPACITY).
    std::vector<Node> m_nodes;
    std::vector<Index> m_free;
    std::vector<Index> m_heap; // a binary min-heap of m_nodes by due time
    Peers m_peers;             // only addresses that hold answers
    // The addresses by the count they hold, to find a largest holder without a scan.
    std::vector<std::vector<Peers::iterator>> m_byHeld;
    unsigned m_largest = 0;
};

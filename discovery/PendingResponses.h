#pragma once

#include "discovery/Address.h"
#include "discovery/Groups.h"
#include "discovery/SenderClass.h"
#include "discovery/Wire.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <map>
#include <utility>
#include <vector>

// The searches judged and waiting for their random delay to end, earliest first, with their
// count per requesting address and interface. Owned by the responder.
//
// While there is room every search is taken, so consoles behind one address (a NAT, several
// discovery tools on one host) lose nothing until the pool is contended. Once full, admission is
// longest-queue-drop in two tiers. A class of senders is one interface, one family, and either
// the link-local range (169.254/16, fe80::/10: one host can forge thousands of it) or the rest.
// A class below its share (the pool over the classes holding answers, the arrival's counted)
// takes the place of the newest answer of the largest class's largest holder. Within a class, an
// address holding at least two fewer answers than the largest holder takes the place of that
// holder's newest; any other search is refused. A tie never pushes out, so fresh forged
// addresses cannot evict a console's one answer, nor one class another below its share.
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
        // For a search sent by unicast, the address it was sent to: the answer's source.
        IpAddress unicastTo{};
    };

    // The most answers that wait at once.
    static constexpr std::size_t CAPACITY = 256;
    // What a full pool sends a second when every search asks the least MX, 1 s: each answer waits
    // half a second on average. SECURITY.md states it as the bound on answers (530 measured).
    static constexpr std::size_t DRAIN_RATE_PER_SECOND = 2 * CAPACITY;

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
        unsigned held;          // the answers its address held before it, on its interface
        PeerAddr pushedOutTo;   // PushedOut: the address whose answer gave its place
        unsigned pushedOutHeld; // and how many that address held before
    };

    PendingResponses();
    // The entries and the counts refer to each other.
    PendingResponses(const PendingResponses&) = delete;
    PendingResponses& operator=(const PendingResponses&) = delete;

    // The bound to draw a new delay below, uniformly, for a search whose MX allows `mxBound`.
    // Past half full it is 2 x size() / DRAIN_RATE_PER_SECOND seconds when smaller, which keeps
    // the pool draining at that rate: it then fills only when searches come faster, whatever MX
    // they ask. The delay still lies between 0 and MX, as UPnP Device Architecture 1.1 asks.
    std::chrono::milliseconds delayBound(std::chrono::milliseconds mxBound) const;
    // 2 x size() / DRAIN_RATE_PER_SECOND seconds: delays drawn below it keep the pool draining at
    // that rate, whatever its fill.
    std::chrono::milliseconds drainBound() const;
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

    // The requester's address alone, whatever its port, and the interface it searched by.
    using PeerKey = std::pair<int, std::array<unsigned char, 16>>;
    struct Peer;
    struct SenderClass
    {
        std::size_t held = 0;
        // Its addresses by the count they hold, to find a largest holder without a scan.
        std::vector<std::vector<Peer*>> byHeld;
        unsigned largest = 0;
    };
    using Classes = std::map<ClassKey, SenderClass>; // only classes that hold answers
    struct Peer
    {
        Classes::iterator senderClass;
        unsigned held = 0;
        Index newest = NONE;
        std::size_t bucketPos = 0; // its place in byHeld[held]
    };
    using Peers = std::map<PeerKey, Peer>; // only addresses that hold answers

    struct Node
    {
        Entry entry;
        Peers::iterator peer;
        Index older; // the same address's answers, in arrival order
        Index newer;
        std::size_t heapPos;
    };

    static PeerKey peerKey(const Entry& entry);
    const Peer* givingWay(const ClassKey& arrival, unsigned held) const;
    void insert(const Entry& entry, const PeerKey& key);
    void remove(Index node);
    void setHeld(Peers::iterator peer, unsigned held);
    bool earlier(Index a, Index b) const { return m_nodes[a].entry.due < m_nodes[b].entry.due; }
    void place(std::size_t pos, Index node);
    void siftUp(std::size_t pos);
    void siftDown(std::size_t pos);

    // A fixed pool, so that an answer can leave from the middle of the heap (pushed out) without
    // a trace: memory stays bounded and the cost per search is O(log CAPACITY), plus a scan of
    // the classes (at most interfaces x 2 families x 2 ranges).
    std::vector<Node> m_nodes;
    std::vector<Index> m_free;
    std::vector<Index> m_heap; // a binary min-heap of m_nodes by due time
    Peers m_peers;
    Classes m_classes;
};

#include "discovery/PendingResponses.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

PendingResponses::PendingResponses() : m_nodes(CAPACITY)
{
    m_free.reserve(CAPACITY);
    for (Index node = CAPACITY; node-- > 0;)
    {
        m_free.push_back(node);
    }
    m_heap.reserve(CAPACITY);
}

PendingResponses::PeerKey PendingResponses::peerKey(const Entry& entry)
{
    // IPv4 as IPv4-mapped IPv6 (RFC 4291, 2.5.5.2): one key space for both families.
    PeerKey key{entry.ifindex, {}};
    if (entry.to.sa.sa_family == AF_INET6)
    {
        std::memcpy(key.second.data(), &entry.to.v6.sin6_addr, key.second.size());
    }
    else
    {
        key.second[10] = key.second[11] = 0xff;
        std::memcpy(key.second.data() + 12, &entry.to.v4.sin_addr, 4);
    }
    return key;
}

std::chrono::milliseconds PendingResponses::delayBound(std::chrono::milliseconds mxBound) const
{
    if (size() <= CAPACITY / 2)
    {
        return mxBound;
    }
    // From half a second just past half full to 1 s when full.
    return std::min(mxBound, drainBound());
}

std::chrono::milliseconds PendingResponses::drainBound() const
{
    // Each answer waits half its bound on average, so a pool of n whose delays are drawn below
    // 2n / rate drains at that rate.
    return std::chrono::milliseconds(2 * size() * 1000 / DRAIN_RATE_PER_SECOND);
}

PendingResponses::Admission PendingResponses::add(const Entry& entry)
{
    const PeerKey key = peerKey(entry);
    const Peers::const_iterator found = m_peers.find(key);
    Admission admission{Admission::Taken, found == m_peers.end() ? 0 : found->second.held, {}, 0};
    if (m_heap.size() == CAPACITY)
    {
        const Peer* const victim = givingWay(classKey(entry.to, entry.ifindex), admission.held);
        if (victim == nullptr)
        {
            admission.verdict = Admission::Refused;
            return admission;
        }
        admission.verdict = Admission::PushedOut;
        admission.pushedOutTo = m_nodes[victim->newest].entry.to;
        admission.pushedOutHeld = victim->held;
        remove(victim->newest);
    }
    insert(entry, key);
    return admission;
}

// Of a full pool, the holder whose newest answer gives its place to a search from `arrival`
// whose address holds `held` there; none when the search is refused.
const PendingResponses::Peer* PendingResponses::givingWay(const ClassKey& arrival,
                                                          unsigned held) const
{
    const Classes::const_iterator own = m_classes.find(arrival);
    const std::size_t classes = m_classes.size() + (own == m_classes.end() ? 1 : 0);
    const std::size_t ownHeld = own == m_classes.end() ? 0 : own->second.held;
    if (ownHeld < CAPACITY / classes)
    {
        // The pool is full, so some other class is over its share: the largest gives way, down
        // to its share at most.
        const Classes::const_iterator largest =
            std::max_element(m_classes.begin(), m_classes.end(),
                             [](const Classes::value_type& a, const Classes::value_type& b)
                             { return a.second.held < b.second.held; });
        return largest->second.byHeld[largest->second.largest].front();
    }
    // Within the class, only an address that still holds fewer than the largest holder once
    // admitted pushes out: a fresh address never evicts another's single answer.
    if (own == m_classes.end() || held + 1 >= own->second.largest)
    {
        return nullptr;
    }
    return own->second.byHeld[own->second.largest].front();
}

bool PendingResponses::popDue(Clock::time_point now, Entry& out)
{
    if (m_heap.empty() || m_nodes[m_heap.front()].entry.due > now)
    {
        return false;
    }
    out = m_nodes[m_heap.front()].entry;
    remove(m_heap.front());
    return true;
}

PendingResponses::Clock::time_point PendingResponses::nextDue() const
{
    return m_heap.empty() ? Clock::time_point::max() : m_nodes[m_heap.front()].entry.due;
}

void PendingResponses::insert(const Entry& entry, const PeerKey& key)
{
    const Classes::iterator senderClass =
        m_classes.try_emplace(classKey(entry.to, entry.ifindex)).first;
    ++senderClass->second.held;
    const Peers::iterator peer = m_peers.try_emplace(key, Peer{senderClass}).first;
    const Index index = m_free.back();
    m_free.pop_back();
    Node& node = m_nodes[index];
    node.entry = entry;
    node.peer = peer;
    node.older = peer->second.newest;
    node.newer = NONE;
    if (node.older != NONE)
    {
        m_nodes[node.older].newer = index;
    }
    peer->second.newest = index;
    setHeld(peer, peer->second.held + 1);

    m_heap.push_back(index);
    siftUp(m_heap.size() - 1);
}

void PendingResponses::remove(Index index)
{
    const Node& node = m_nodes[index];
    if (node.older != NONE)
    {
        m_nodes[node.older].newer = node.newer;
    }
    if (node.newer != NONE)
    {
        m_nodes[node.newer].older = node.older;
    }
    else
    {
        node.peer->second.newest = node.older;
    }
    const Classes::iterator senderClass = node.peer->second.senderClass;
    setHeld(node.peer, node.peer->second.held - 1);
    if (--senderClass->second.held == 0)
    {
        m_classes.erase(senderClass);
    }

    const std::size_t pos = node.heapPos;
    const Index last = m_heap.back();
    m_heap.pop_back();
    if (pos < m_heap.size())
    {
        place(pos, last);
        if (pos > 0 && earlier(last, m_heap[(pos - 1) / 2]))
        {
            siftUp(pos);
        }
        else
        {
            siftDown(pos);
        }
    }
    m_free.push_back(index);
}

// Counts move by one at a time, so the largest count moves by at most one too.
void PendingResponses::setHeld(Peers::iterator peer, unsigned held)
{
    Peer& state = peer->second;
    SenderClass& senderClass = state.senderClass->second;
    std::vector<std::vector<Peer*>>& byHeld = senderClass.byHeld;
    if (state.held > 0)
    {
        std::vector<Peer*>& bucket = byHeld[state.held];
        bucket[state.bucketPos] = bucket.back();
        bucket[state.bucketPos]->bucketPos = state.bucketPos;
        bucket.pop_back();
    }
    if (held == 0)
    {
        m_peers.erase(peer);
    }
    else
    {
        if (held >= byHeld.size())
        {
            byHeld.resize(held + 1);
        }
        state.held = held;
        state.bucketPos = byHeld[held].size();
        byHeld[held].push_back(&state);
    }
    if (held > senderClass.largest)
    {
        senderClass.largest = held;
    }
    else if (senderClass.largest > 0 && byHeld[senderClass.largest].empty())
    {
        --senderClass.largest;
    }
}

void PendingResponses::place(std::size_t pos, Index node)
{
    m_heap[pos] = node;
    m_nodes[node].heapPos = pos;
}

void PendingResponses::siftUp(std::size_t pos)
{
    const Index node = m_heap[pos];
    while (pos > 0 && earlier(node, m_heap[(pos - 1) / 2]))
    {
        place(pos, m_heap[(pos - 1) / 2]);
        pos = (pos - 1) / 2;
    }
    place(pos, node);
}

void PendingResponses::siftDown(std::size_t pos)
{
    const Index node = m_heap[pos];
    for (std::size_t child = 2 * pos + 1; child < m_heap.size(); child = 2 * pos + 1)
    {
        if (child + 1 < m_heap.size() && earlier(m_heap[child + 1], m_heap[child]))
        {
            ++child;
        }
        if (!earlier(m_heap[child], node))
        {
            break;
        }
        place(pos, m_heap[child]);
        pos = child;
    }
    place(pos, node);
}

#include "discovery/PendingResponses.h"

#include <cstring>

PendingResponses::PendingResponses() : m_nodes(CAPACITY), m_byHeld(CAPACITY + 1)
{
    m_free.reserve(CAPACITY);
    for (Index node = CAPACITY; node-- > 0;)
    {
        m_free.push_back(node);
    }
    m_heap.reserve(CAPACITY);
}

PendingResponses::Key PendingResponses::peerKey(const PeerAddr& addr)
{
    // IPv4 as IPv4-mapped IPv6 (RFC 4291, 2.5.5.2): one key space for both families.
    Key key{};
    if (addr.sa.sa_family == AF_INET6)
    {
        std::memcpy(key.data(), &addr.v6.sin6_addr, key.size());
    }
    else
    {
        key[10] = key[11] = 0xff;
        std::memcpy(key.data() + 12, &addr.v4.sin_addr, 4);
    }
    return key;
}

PendingResponses::Admission PendingResponses::add(const Entry& entry)
{
    const Peers::iterator peer = m_peers.try_emplace(peerKey(entry.to)).first;
    Admission admission{Admission::Taken, peer->second.held, {}, 0};
    if (m_heap.size() == CAPACITY)
    {
        // A full queue has a largest holder with at least one answer, so a refused address
        // already held some and no empty count is left behind.
        if (admission.held >= m_largest)
        {
            admission.verdict = Admission::Refused;
            return admission;
        }
        const Peers::iterator largest = m_byHeld[m_largest].front();
        const Index victim = largest->second.newest;
        admission.verdict = Admission::PushedOut;
        admission.pushedOutTo = m_nodes[victim].entry.to;
        admission.pushedOutHeld = largest->second.held;
        remove(victim);
    }
    insert(entry, peer);
    return admission;
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

void PendingResponses::insert(const Entry& entry, Peers::iterator peer)
{
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
    setHeld(node.peer, node.peer->second.held - 1);

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
    if (state.held > 0)
    {
        std::vector<Peers::iterator>& bucket = m_byHeld[state.held];
        bucket[state.bucketPos] = bucket.back();
        bucket[state.bucketPos]->second.bucketPos = state.bucketPos;
        bucket.pop_back();
    }
    if (held == 0)
    {
        m_peers.erase(peer);
    }
    else
    {
        state.held = held;
        state.bucketPos = m_byHeld[held].size();
        m_byHeld[held].push_back(peer);
    }
    if (held > m_largest)
    {
        m_largest = held;
    }
    else if (m_largest > 0 && m_byHeld[m_largest].empty())
    {
        --m_largest;
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

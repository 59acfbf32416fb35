#include "discovery/PendingResponses.h"

namespace
{
// The requester's address alone, whatever its port: the unit of fairness between senders.
std::string peerKey(const PeerAddr& addr)
{
    return addr.sa.sa_family == AF_INET6
               ? std::string(reinterpret_cast<const char*>(&addr.v6.sin6_addr), 16)
               : std::string(reinterpret_cast<const char*>(&addr.v4.sin_addr), 4);
}
} // namespace

bool PendingResponses::add(const Entry& entry, unsigned& heldByPeer)
{
    std::string peer = peerKey(entry.to);
    // One lookup: the place found serves the count's insertion too.
    auto held = m_perPeer.lower_bound(peer);
    const bool known = held != m_perPeer.end() && held->first == peer;
    heldByPeer = known ? held->second : 0;
    if (m_heap.size() >= CAPACITY || (heldByPeer >= PER_PEER && m_heap.size() >= SHARED))
    {
        return false;
    }
    if (!known)
    {
        held = m_perPeer.emplace_hint(held, std::move(peer), 0);
    }
    ++held->second;
    m_heap.push(entry);
    return true;
}

bool PendingResponses::popDue(Clock::time_point now, Entry& out)
{
    if (m_heap.empty() || m_heap.top().due > now)
    {
        return false;
    }
    out = m_heap.top();
    m_heap.pop();
    const auto held = m_perPeer.find(peerKey(out.to));
    if (--held->second == 0)
    {
        m_perPeer.erase(held);
    }
    return true;
}

PendingResponses::Clock::time_point PendingResponses::nextDue() const
{
    return m_heap.empty() ? Clock::time_point::max() : m_heap.top().due;
}

#include "discovery/HostTable.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace
{
// The first `bits` bits of `a` and `b` agree.
bool samePrefix(const in6_addr& a, const in6_addr& b, unsigned bits)
{
    const unsigned whole = bits / 8;
    if (std::memcmp(&a, &b, whole) != 0)
    {
        return false;
    }
    const unsigned rest = bits % 8;
    const auto mask = static_cast<std::uint8_t>(0xff00 >> rest);
    return rest == 0 || ((a.s6_addr[whole] ^ b.s6_addr[whole]) & mask) == 0;
}

// `addr` is within `base`/`length`; with `subnet`, not an IPv4 subnet's network address (host
// bits all 0) or broadcast (all 1), in subnets wider than /31.
bool within(const IpAddress& base, unsigned length, const IpAddress& addr, bool subnet)
{
    if (base.family != addr.family || !samePrefix(base.bytes, addr.bytes, length))
    {
        return false;
    }
    if (!subnet || addr.family != AF_INET || length >= 31)
    {
        return true;
    }
    const std::uint32_t host = ntohl(addr.ipv4()) & (0xffffffffU >> length);
    return host != 0 && host != (0xffffffffU >> length);
}

} // namespace

bool HostTable::Address::sameEntry(const Address& other) const
{
    // IPv6 knows an address by itself; IPv4 may hold one address in two subnets.
    return index == other.index && local == other.local &&
           (local.family == AF_INET6 ||
            (prefixLength == other.prefixLength && prefixBase == other.prefixBase));
}

void HostTable::Effect::add(const Effect& other)
{
    owed |= other.owed;
    moved = moved || other.moved;
    full = full != 0 ? full : other.full;
}

std::size_t HostTable::AddressHash::operator()(const IpAddress& a) const
{
    std::uint64_t halves[2];
    std::memcpy(halves, &a.bytes, sizeof(halves));
    return std::hash<std::uint64_t>()(halves[0] * 31 + halves[1] + std::uint64_t(a.family));
}

HostTable::HostTable() = default;

HostTable::HostTable(Scope scope) : m_scope(std::move(scope)) {}

bool HostTable::wants(int family, int index) const
{
    if (!wants(family))
    {
        return false;
    }
    if (m_scope.names.empty())
    {
        return true;
    }
    const Link* link = linkAt(index);
    return link != nullptr &&
           std::find(m_scope.names.begin(), m_scope.names.end(), link->name) != m_scope.names.end();
}

HostTable::Effect HostTable::applyLink(const Link& link, bool gone)
{
    Effect effect;
    const Link* known = linkAt(link.index);
    const bool wasWanted = wants(AF_INET, link.index);
    effect.moved = gone ? known != nullptr
                        : known == nullptr || known->up != link.up || known->name != link.name;
    if (known != nullptr)
    {
        m_indexes.erase(known->name);
    }
    if (gone)
    {
        m_links.erase(link.index);
    }
    else
    {
        m_links[link.index] = link;
        m_indexes[link.name] = link.index;
    }
    const bool isWanted = wants(AF_INET, link.index);
    if (gone || (wasWanted && !isWanted))
    {
        dropIndex(link.index);
    }
    else if (isWanted && !wasWanted)
    {
        effect.owed |= ADDRESSES; // renamed to a name followed: its entries were not kept
    }
    return effect;
}

HostTable::Effect HostTable::applyAddress(const Address& address, bool gone)
{
    Effect effect;
    if (!wants(address.local.family, address.index))
    {
        return effect;
    }
    std::vector<Address>& kept = m_addresses[address.index];
    const auto known = std::find_if(kept.begin(), kept.end(),
                                    [&address](const Address& a) { return a.sameEntry(address); });
    if (gone)
    {
        if (known != kept.end())
        {
            kept.erase(known);
            effect.moved = true;
            const auto held = m_local.find(address.local);
            if (held != m_local.end() && --held->second == 0)
            {
                m_local.erase(held);
            }
        }
        return effect;
    }
    if (known != kept.end())
    {
        effect.moved = known->flags != address.flags || known->label != address.label;
        *known = address;
        return effect;
    }
    if (kept.size() >= MAX_PER_INTERFACE)
    {
        effect.full = m_addressesFull.insert(address.index).second ? address.index : 0;
        return effect;
    }
    kept.push_back(address);
    ++m_local[address.local];
    effect.moved = true;
    return effect;
}

void HostTable::dropIndex(int index)
{
    for (const Address& address : m_addresses[index])
    {
        const auto held = m_local.find(address.local);
        if (held != m_local.end() && --held->second == 0)
        {
            m_local.erase(held);
        }
    }
    m_addresses.erase(index);
    m_addressesFull.erase(index);
}

std::unordered_set<int> HostTable::wantedIndexes() const
{
    std::unordered_set<int> wanted;
    for (const auto& link : m_links)
    {
        if (wants(AF_INET, link.first))
        {
            wanted.insert(link.first);
        }
    }
    return wanted;
}

void HostTable::copyLinks(const HostTable& from)
{
    m_links = from.m_links;
    m_indexes = from.m_indexes;
}

HostTable::Effect HostTable::adopt(Kind kind, HostTable&& from)
{
    Effect effect;
    if (kind == LINKS)
    {
        const std::unordered_set<int> before = wantedIndexes();
        m_links = std::move(from.m_links);
        m_indexes = std::move(from.m_indexes);
        const std::unordered_set<int> after = wantedIndexes();
        for (const int index : before)
        {
            if (after.count(index) == 0)
            {
                dropIndex(index);
            }
        }
        for (const int index : after)
        {
            effect.owed |= before.count(index) == 0 ? unsigned{ADDRESSES} : 0U;
        }
        effect.moved = true;
    }
    else
    {
        m_addresses = std::move(from.m_addresses);
        m_local = std::move(from.m_local);
        m_addressesFull = std::move(from.m_addressesFull);
        effect.moved = true;
    }
    return effect;
}

const HostTable::Link* HostTable::linkAt(int index) const
{
    const auto link = m_links.find(index);
    return link == m_links.end() ? nullptr : &link->second;
}

int HostTable::indexOf(const std::string& name) const
{
    const auto index = m_indexes.find(name);
    return index == m_indexes.end() ? 0 : index->second;
}

in_addr_t HostTable::ipv4Of(int index) const
{
    const Link* link = linkAt(index);
    const auto kept = m_addresses.find(index);
    if (link == nullptr || kept == m_addresses.end())
    {
        return 0;
    }
    const Address* found = nullptr;
    for (const Address& a : kept->second)
    {
        if (a.local.family != AF_INET || a.label != link->name)
        {
            continue;
        }
        if ((a.flags & IFA_F_SECONDARY) == 0)
        {
            return a.local.ipv4();
        }
        found = found == nullptr ? &a : found;
    }
    return found == nullptr ? 0 : found->local.ipv4();
}

std::vector<Ipv6IfAddr> HostTable::ipv6Of(int index) const
{
    std::vector<Ipv6IfAddr> addrs;
    const auto kept = m_addresses.find(index);
    if (kept == m_addresses.end())
    {
        return addrs;
    }
    for (const Address& a : kept->second)
    {
        if (a.local.family == AF_INET6)
        {
            addrs.push_back({a.local.ipv6(), a.flags});
        }
    }
    return addrs;
}

bool HostTable::isLocal(const IpAddress& addr) const
{
    return m_local.count(addr) != 0;
}

bool HostTable::isOnLink(const IpAddress& addr, int index) const
{
    if (addr.isLinkLocal())
    {
        return true;
    }
    const auto kept = m_addresses.find(index);
    return kept != m_addresses.end() &&
           std::any_of(kept->second.begin(), kept->second.end(),
                       [&addr](const Address& a)
                       { return within(a.prefixBase, a.prefixLength, addr, true); });
}

bool HostTable::isSubnetEdge(const IpAddress& addr, int index) const
{
    const auto kept = m_addresses.find(index);
    if (addr.family != AF_INET || kept == m_addresses.end())
    {
        return false;
    }
    return std::any_of(kept->second.begin(), kept->second.end(),
                       [&addr](const Address& a)
                       {
                           return within(a.prefixBase, a.prefixLength, addr, false) &&
                                  !within(a.prefixBase, a.prefixLength, addr, true);
                       });
}

HostTable::SenderView HostTable::viewOf(const IpAddress& sender, int index) const
{
    SenderView view;
    view.local = isLocal(sender);
    view.onLink = isOnLink(sender, index);
    view.subnetEdge = isSubnetEdge(sender, index);
    return view;
}

#include "discovery/HostTable.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <tuple>

namespace
{
unsigned addressBits(int family)
{
    return family == AF_INET ? 32 : 128;
}

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

bool sameKey(const HostTable::Route& a, const HostTable::Route& b)
{
    return a.tos == b.tos && a.priority == b.priority;
}
} // namespace

bool HostTable::Address::sameEntry(const Address& other) const
{
    // IPv6 knows an address by itself; IPv4 may hold one address in two subnets.
    return index == other.index && local == other.local &&
           (local.family == AF_INET6 ||
            (prefixLength == other.prefixLength && prefixBase == other.prefixBase));
}

bool HostTable::Route::operator==(const Route& other) const
{
    return std::tie(destination, length, priority, index, gateway, tos, scope) ==
           std::tie(other.destination, other.length, other.priority, other.index, other.gateway,
                    other.tos, other.scope);
}

bool HostTable::Route::connected() const
{
    // A route to a group (ff00::/8) leads to no neighbour; IPv6 routes have no link scope.
    return gateway.family == AF_UNSPEC &&
           (destination.family == AF_INET ? scope == RT_SCOPE_LINK
                                          : !IN6_IS_ADDR_MULTICAST(&destination.bytes));
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

bool HostTable::Prefix::operator==(const Prefix& other) const
{
    return length == other.length && destination == other.destination;
}

std::size_t HostTable::PrefixHash::operator()(const Prefix& p) const
{
    return AddressHash()(p.destination) * 131 + p.length;
}

HostTable::HostTable() = default;

HostTable::HostTable(Scope scope) : m_scope(std::move(scope)) {}

HostTable::Prefix HostTable::prefixOf(const IpAddress& addr, unsigned length)
{
    Prefix prefix{addr, std::min(length, addressBits(addr.family))};
    const unsigned whole = prefix.length / 8;
    if (whole < sizeof(in6_addr))
    {
        prefix.destination.bytes.s6_addr[whole] &=
            static_cast<std::uint8_t>(0xff00 >> (prefix.length % 8));
        std::memset(&prefix.destination.bytes.s6_addr[whole + 1], 0, sizeof(in6_addr) - whole - 1);
    }
    return prefix;
}

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
    // Linux drops the IPv4 routes of a link set down without a word.
    if (wasWanted && (gone || (known != nullptr && known->up && !link.up)))
    {
        effect.owed |= ROUTES;
    }
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
        effect.owed |= ADDRESSES | ROUTES; // renamed to a name followed: its entries were not kept
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
        // Linux drops the routes that named it as their source, and every route of a link left
        // without an IPv4 address, without a word.
        effect.owed = address.local.family == AF_INET ? unsigned{ROUTES} : 0U;
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

HostTable::Effect HostTable::applyRoutes(const std::vector<Route>& hops, RouteChange change)
{
    Effect effect;
    if (hops.empty() || !wants(hops.front().destination.family))
    {
        return effect;
    }
    const Route& first = hops.front();
    if (change == RouteChange::Replace)
    {
        // Whatever interface the replaced routes left by.
        const Prefix prefix = prefixOf(first.destination, first.length);
        const auto bucket = m_routes.find(prefix);
        if (bucket != m_routes.end())
        {
            const Bucket old = bucket->second;
            for (const Route& route : old)
            {
                if (sameKey(route, first))
                {
                    removeRoute(route);
                }
            }
        }
    }
    for (const Route& hop : hops)
    {
        if (change == RouteChange::Remove)
        {
            removeRoute(hop);
        }
        else
        {
            effect.add(addRoute(hop));
        }
    }
    return effect;
}

HostTable::Effect HostTable::addRoute(const Route& route)
{
    Effect effect;
    const int family = route.destination.family;
    if (!(m_scope.everyIpv6Route && family == AF_INET6 ? wants(family)
                                                       : wants(family, route.index)))
    {
        return effect;
    }
    const Prefix prefix = prefixOf(route.destination, route.length);
    Route kept = route;
    kept.destination = prefix.destination;
    kept.length = prefix.length;
    Bucket& bucket = m_routes[prefix];
    if (std::find(bucket.begin(), bucket.end(), kept) != bucket.end())
    {
        return effect;
    }
    std::size_t& count = m_routesOf[route.index];
    if (count >= MAX_PER_INTERFACE)
    {
        effect.full = m_routesFull.insert(route.index).second ? route.index : 0;
        if (bucket.empty())
        {
            m_routes.erase(prefix);
        }
        return effect;
    }
    if (bucket.empty())
    {
        ++lengths(prefix.destination.family)[prefix.length];
    }
    bucket.push_back(kept);
    ++count;
    ++m_routeCount;
    return effect;
}

void HostTable::removeRoute(const Route& route)
{
    const Prefix prefix = prefixOf(route.destination, route.length);
    const auto bucket = m_routes.find(prefix);
    if (bucket == m_routes.end())
    {
        return;
    }
    Route kept = route;
    kept.destination = prefix.destination;
    kept.length = prefix.length;
    const auto found = std::find(bucket->second.begin(), bucket->second.end(), kept);
    if (found == bucket->second.end())
    {
        return;
    }
    bucket->second.erase(found);
    --m_routesOf[route.index];
    --m_routeCount;
    if (bucket->second.empty())
    {
        m_routes.erase(bucket);
        --lengths(prefix.destination.family)[prefix.length];
    }
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
    if (m_routesOf[index] != 0)
    {
        for (auto bucket = m_routes.begin(); bucket != m_routes.end();)
        {
            const Bucket hops = bucket->second;
            ++bucket; // removeRoute may erase the bucket just left
            for (const Route& route : hops)
            {
                if (route.index == index)
                {
                    removeRoute(route);
                }
            }
        }
    }
    m_routesOf.erase(index);
    m_routesFull.erase(index);
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
            effect.owed |= before.count(index) == 0 ? unsigned{ADDRESSES | ROUTES} : 0U;
        }
        effect.moved = true;
    }
    else if (kind == ADDRESSES)
    {
        m_addresses = std::move(from.m_addresses);
        m_local = std::move(from.m_local);
        m_addressesFull = std::move(from.m_addressesFull);
        effect.moved = true;
    }
    else
    {
        m_routes = std::move(from.m_routes);
        m_lengths = from.m_lengths;
        m_routesOf = std::move(from.m_routesOf);
        m_routesFull = std::move(from.m_routesFull);
        m_routeCount = from.m_routeCount;
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

const HostTable::Bucket* HostTable::bucketAt(const IpAddress& addr, unsigned length) const
{
    const auto bucket = m_routes.find(prefixOf(addr, length));
    return bucket == m_routes.end() ? nullptr : &bucket->second;
}

bool HostTable::isOnLink(const IpAddress& addr, int index) const
{
    if (addr.isLinkLocal())
    {
        return true;
    }
    const auto kept = m_addresses.find(index);
    if (kept != m_addresses.end())
    {
        for (const Address& a : kept->second)
        {
            if (within(a.prefixBase, a.prefixLength, addr, true))
            {
                return true;
            }
        }
    }
    if (addr.family != AF_INET && addr.family != AF_INET6)
    {
        return false;
    }
    const auto count = m_routesOf.find(index);
    if (count == m_routesOf.end() || count->second == 0 || m_routesFull.count(index) != 0)
    {
        return false;
    }
    const std::array<unsigned, 129>& present = lengths(addr.family);
    for (unsigned length = 0; length <= addressBits(addr.family); ++length)
    {
        const Bucket* bucket = present[length] == 0 ? nullptr : bucketAt(addr, length);
        const auto leads = [&addr, index](const Route& r) {
            return r.index == index && r.connected() && within(r.destination, r.length, addr, true);
        };
        if (bucket != nullptr && std::any_of(bucket->begin(), bucket->end(), leads))
        {
            return true;
        }
    }
    return false;
}

bool HostTable::routeLeavesBy(const IpAddress& addr, int index) const
{
    if (addr.family != AF_INET && addr.family != AF_INET6)
    {
        return false;
    }
    const std::array<unsigned, 129>& present = lengths(addr.family);
    for (unsigned length = addressBits(addr.family) + 1; length-- > 0;)
    {
        const Bucket* bucket = present[length] == 0 ? nullptr : bucketAt(addr, length);
        if (bucket == nullptr || bucket->empty())
        {
            continue;
        }
        // Any of the lowest metric's next hops may be taken.
        unsigned best = bucket->front().priority;
        for (const Route& r : *bucket)
        {
            best = std::min(best, r.priority);
        }
        return std::any_of(bucket->begin(), bucket->end(),
                           [best, index](const Route& r)
                           { return r.priority == best && r.index == index; });
    }
    return false;
}

HostTable::SenderView HostTable::viewOf(const IpAddress& sender, int index, bool wideScope) const
{
    SenderView view;
    view.local = isLocal(sender);
    view.reachable = isOnLink(sender, index) || (wideScope && routeLeavesBy(sender, index));
    return view;
}

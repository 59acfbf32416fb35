#include "discovery/AddressBoard.h"

#include "discovery/Ipv6.h"

void AddressBoard::setInterfaces(std::size_t interfaces)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.assign(interfaces, Entry{});
}

void AddressBoard::publishIpv4(std::size_t slot, in_addr_t addr, int index)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Entry& entry = m_entries.at(slot);
        entry.arrivals += addr != 0 && addr != entry.ipv4 ? 1 : 0;
        entry.ipv4 = addr;
        entry.ipv4Index = index;
    }
    m_version.fetch_add(1, std::memory_order_release);
}

void AddressBoard::publishIpv6(std::size_t slot, const in6_addr& addr, const std::string& zone,
                               int index)
{
    // Formatted here, once per change, rather than by every reader.
    const bool none = IN6_IS_ADDR_UNSPECIFIED(&addr);
    std::string host = none ? "" : ipv6UrlHost(addr, zone);
    std::string text = none ? "no IPv6 address" : ipv6AddrText(addr, zone);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Entry& entry = m_entries.at(slot);
        entry.arrivals += !none && host != entry.ipv6Host ? 1 : 0;
        entry.ipv6 = addr;
        entry.ipv6Host = std::move(host);
        entry.ipv6Text = std::move(text);
        entry.ipv6Index = index;
    }
    m_version.fetch_add(1, std::memory_order_release);
}

std::vector<AddressBoard::Entry> AddressBoard::snapshot(unsigned& version) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Under the lock: a publication that lands after this read moves the version past it.
    version = m_version.load(std::memory_order_acquire);
    return m_entries;
}

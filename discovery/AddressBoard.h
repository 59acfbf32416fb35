#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// The one place where state crosses threads for the addresses the service announces: each
// listener publishes the address it follows, on a change only; the responder (and the status
// line) read them. Readers compare the version first, so that the common case, nothing new,
// costs one atomic load and no lock.
class AddressBoard
{
public:
    // One interface's addresses, as the listeners last published them.
    struct Entry
    {
        in_addr_t ipv4 = 0;   // network byte order; 0 for none
        in6_addr ipv6{};      // :: for none
        std::string ipv6Host; // the URL's host, "[fd00::1]"; empty for none
        std::string ipv6Text; // as the status line shows it; empty before the first look
        // The interface index each address was read at: answers go by the index a search came
        // in by, and carry the address of that index.
        int ipv4Index = 0;
        int ipv6Index = 0;
        // How many times an address arrived, either family: where there was none, or in place of
        // another. A reader that looks only now and then still sees each move, even one undone
        // before it looked (an address that went and came back, prefixes preferred in turn).
        unsigned arrivals = 0;
    };

    explicit AddressBoard(std::size_t interfaces = 1) : m_entries(interfaces) {}
    AddressBoard(const AddressBoard&) = delete;
    AddressBoard& operator=(const AddressBoard&) = delete;

    // Before any listener runs: one entry per interface followed.
    void setInterfaces(std::size_t interfaces);

    // Listeners.
    void publishIpv4(std::size_t slot, in_addr_t addr, int index);
    // `zone` is the interface's name, which a link-local address needs.
    void publishIpv6(std::size_t slot, const in6_addr& addr, const std::string& zone, int index);

    // Counts every publication.
    unsigned version() const { return m_version.load(std::memory_order_acquire); }
    // Every interface's entry, and the version they belong to.
    std::vector<Entry> snapshot(unsigned& version) const;

private:
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
    std::atomic<unsigned> m_version{0};
};

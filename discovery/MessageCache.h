#pragma once

#include "discovery/AddressBoard.h"
#include "discovery/Groups.h"
#include "discovery/Options.h"
#include "discovery/Wire.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Every message the service sends, built here and nowhere else, once, and again only when the
// service's UUID or an announced address changes: the answers by interface, family and search
// target, and the announcements (alive and byebye) by interface and group. Holds SERVER and
// BOOTID.UPNP.ORG. Owned by the responder.
class MessageCache
{
public:
    MessageCache();

    // Before use, and again whenever the options change. Both are kept by reference.
    void configure(const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups);

    // What a refresh found of the addresses to announce.
    enum class Change
    {
        None,
        Appeared, // an address appeared, came back or moved, on any interface
        Lost,     // an address went away, and none appeared
    };

    // Takes the board's addresses when they moved and `uuid` when it changed, and builds the
    // messages again then: answers carry the current addresses at once.
    Change refresh(const std::string& uuid, const AddressBoard& board);
    // A fresh set of announcements begins: BOOTID.UPNP.ORG moves on (nextBootId, from the clock
    // now) and the messages are built again with it.
    void newBoot();
    // UPnP Device Architecture 1.1, 1.2.2: BOOTID.UPNP.ORG grows with every fresh set. It is the
    // whole seconds from 2026-01-01 UTC to `now`, and so never ahead of the clock; with a clock
    // that has not moved past `last` (unset, or set back), last + 1.
    static std::uint32_t nextBootId(std::uint32_t last, std::time_t now);
    // At start: the seconds since 2026 began, 0 with a clock before that.
    static std::uint32_t firstBootId(std::time_t now);

    // Everything an answer needs, in one lookup: the datagrams that answer a search for `target`
    // that came over IPv6 or IPv4 by interface `ifindex` (as responses() gives them), and the
    // addresses of the interface they leave from. No datagrams while that interface has no address
    // of that family, or when no followed interface has that index now: a search is answered by
    // the interface it came in by, never by a name whose interface has changed.
    struct Answer
    {
        const std::vector<std::string>* messages = nullptr;
        const AddressBoard::Entry* from = nullptr;
    };
    Answer answer(SearchTarget target, bool ipv6, int ifindex, bool unicast) const;
    // The datagrams that answer a search for `target` that came over IPv6 or IPv4 on interface
    // `slot`: one, or three for ssdp:all in the standard form; nullptr while that interface has
    // no address of that family. A search sent by unicast (`unicast`, with --unicast) is always
    // answered in the standard form.
    const std::vector<std::string>* responses(SearchTarget target, bool ipv6, std::size_t slot = 0,
                                              bool unicast = false) const;
    // The announcements to `group` on interface `slot`, alive or byebye, built when
    // announcements are on.
    const std::vector<std::string>& announcements(bool alive, SsdpGroup group,
                                                  std::size_t slot = 0) const;

    bool hasIpv4(std::size_t slot = 0) const
    {
        return slot < m_slots.size() && m_slots[slot].now.ipv4 != 0;
    }
    bool hasIpv6(std::size_t slot = 0) const
    {
        return slot < m_slots.size() && !m_slots[slot].now.ipv6Host.empty();
    }
    bool hasAny() const;
    // The interface's addresses as last taken from the board: what its answers are sent from.
    const AddressBoard::Entry& address(std::size_t slot) const { return m_slots.at(slot).now; }

    // The legacy answer for a UUID and a URL host ("198.18.0.1", "[fd00::1]").
    static std::string legacyResponse(const std::string& uuid, const std::string& host);
    // Replaces the first "<...>" in `text` with `value`; nothing when there is none.
    static void replacePlaceholder(std::string& text, const std::string& value);

private:
    using Answers = std::array<std::array<std::vector<std::string>, SEARCH_TARGET_COUNT>, 2>;
    struct Slot
    {
        AddressBoard::Entry now; // what is announced now
        // The addresses the messages were built for, kept while a family has none, so that a
        // new address is told apart from the old one.
        in_addr_t builtIpv4 = 0;
        std::string builtIpv6Host;
        // [IPv4, IPv6][target], in the chosen form; and in the standard form for searches sent
        // by unicast, built only when that is not the chosen one.
        Answers rsp;
        Answers standardRsp;
        // [byebye, alive][group]
        std::array<std::array<std::vector<std::string>, SSDP_GROUP_COUNT>, 2> notify;
    };

    // The interface whose address in the family was read at `ifindex`, or -1.
    int slotOf(bool ipv6, int ifindex) const;
    void build();
    void buildAnswers(const Slot& slot, ResponseFormat format, Answers& rsp) const;
    std::string standardResponse(const std::string& st, const std::string& usn,
                                 const std::string& url) const;
    std::vector<std::string> notifyMessages(bool alive, SsdpGroup group, const Slot& slot) const;

    const Options* m_options = nullptr;
    const std::vector<Ipv6GroupAddr>* m_ipv6Groups = nullptr; // of the chosen scope
    std::string m_server;                                     // the SERVER header's value
    // Seconds since 2026, so that it grows across restarts while the clock is sane and stays
    // within the 31 bits UDA allows until 2094.
    std::uint32_t m_bootId = 0;
    std::string m_uuid;
    bool m_bBuilt = false;
    unsigned m_boardVersion = 0;
    std::vector<Slot> m_slots;
};

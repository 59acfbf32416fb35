#pragma once

#include "common/LogLimiter.h"
#include "discovery/Address.h"
#include "discovery/RtnlDecoder.h"

#include <chrono>
#include <cstddef>
#include <unordered_map>
#include <vector>

// Whether a datagram's sender can be reached back by the interface it came in by, asked of the
// kernel's routes one sender at a time (the question `ip route get ADDR` asks), never of a copy
// of them: a segment's router advertisements can add routes without end, and the kernel keeps
// them bounded and answers from them. The answers are kept a few seconds, so that a console's
// repeated searches cost one lookup. One per listener, on its own netlink socket, so that a
// lookup takes no lock and waits for no other thread; a lookup that fails or finds no answer in
// WAIT refuses that datagram alone.
class RouteLookup
{
public:
    using Clock = std::chrono::steady_clock;
    // Answers kept at most, and how long each.
    static constexpr std::size_t MAX_KEPT = 1024;
    static constexpr Clock::duration KEPT_FOR = std::chrono::seconds(2);
    static constexpr std::chrono::milliseconds WAIT{100};

    // Records its failures through `limits`, at most once a minute.
    explicit RouteLookup(LogLimiterGroup& limits);
    ~RouteLookup();
    RouteLookup(const RouteLookup&) = delete;
    RouteLookup& operator=(const RouteLookup&) = delete;

    // True when the route to `sender` leaves by interface `index` without a gateway (with
    // `wideScope`, through one too: the strict reverse path for a search from beyond a router).
    // `version` is the host view's: the answers kept are dropped once it moves. With `fresh`, the
    // kernel is asked whatever is kept, for while the view may lag behind the kernel's events.
    bool reaches(const IpAddress& sender, int index, bool wideScope, unsigned version, bool fresh);

private:
    struct Key
    {
        int index = 0;
        IpAddress sender;
        bool operator==(const Key& other) const;
    };
    struct KeyHash
    {
        std::size_t operator()(const Key& key) const;
    };
    struct Kept
    {
        rtnl::RouteVerdict verdict = rtnl::RouteVerdict::Failed;
        Clock::time_point until;
    };

    rtnl::RouteVerdict lookUp(const Key& key);
    rtnl::RouteVerdict awaitReply(int index);
    void keep(const Key& key, rtnl::RouteVerdict verdict, Clock::time_point now);
    void fail(const char* call, int error);

    int m_fd = -1;
    unsigned m_seq = 0;
    unsigned m_version = 0;
    Clock::time_point m_nextOpen{};
    std::vector<char> m_buffer;
    std::unordered_map<Key, Kept, KeyHash> m_kept;
    LogLimiter m_failLimit;
};

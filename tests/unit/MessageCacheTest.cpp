#include "discovery/MessageCache.h"
#include "discovery/RedfishDiscovery.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace
{
TEST(BuildSearchRsp, ExactBytesAndLength)
{
    struct Case
    {
        std::string uuid;
        const char* ip;
    };
    const Case cases[] = {
        {"92384634-2938-2342-8820-489239905423", "198.18.0.1"},
        {"", "198.18.0.1"},
        {"<odd>uuid<with>brackets", "10.0.0.1"},
        {"92384634-2938-2342-8820-489239905423", "0.0.0.0"},
        {"92384634-2938-2342-8820-489239905423", "255.255.255.255"},
        {"92384634-2938-2342-8820-489239905423", "1.20.100.249"},
    };
    for (const Case& c : cases)
    {
        RedfishDiscovery::RedfishdInfo info{c.uuid};
        std::string out = "stale content";
        RedfishDiscovery::buildSearchRsp(out, info, c.ip);
        EXPECT_EQ(out, testsupport::legacyAnswer(c.uuid, c.ip));
        EXPECT_EQ(out.size(), 169 + c.uuid.size() + std::string(c.ip).size());
        EXPECT_EQ(info.uuid, c.uuid);
    }
}

TEST(ReplacePlaceholderStr, OneReplacementBracketsIncluded)
{
    struct Case
    {
        std::string text;
        std::string value;
        std::string result;
    };
    const Case cases[] = {
        {"a<x>b", "V", "aVb"},
        {"<whole>", "", ""},
        {"a<x>b<y>c", "<z>", "a<z>b<y>c"},
        {"no brackets", "V", "no brackets"},
        {"close>before<open", "V", "close>before<open"},
    };
    for (const Case& c : cases)
    {
        std::string text = c.text;
        std::string value = c.value;
        RedfishDiscovery::replacePlaceholderStr(text, value);
        EXPECT_EQ(text, c.result) << c.text;
    }
}

// BOOTID.UPNP.ORG at a fresh set: the whole seconds since 2026-01-01 UTC, never more, and at
// least one more than before. Regression: it took one more than before whatever the clock said,
// so churn pushed it ahead of the clock and a restart then went back.
TEST(MessageCache, BootIdIsTheClocksSecondsAndGrows)
{
    constexpr std::time_t Y2026 = 1767225600;
    struct Case
    {
        const char* what;
        std::time_t now;
        std::uint32_t last;
        std::uint32_t next;
    };
    const Case cases[] = {
        {"the clock ahead of the last one", Y2026 + 5000, 100, 5000},
        {"the clock a second on", Y2026 + 5000, 4999, 5000},
        {"the clock in the same second (kept apart by the settle time)", Y2026 + 5000, 5000, 5001},
        {"a clock set back", Y2026 + 10, 5000, 5001},
        {"a clock unset (1970)", 0, 5000, 5001},
        {"at the 31 bits' end", Y2026 + 10, 0x7fffffff, 0x7fffffff},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(MessageCache::nextBootId(c.last, c.now), c.next) << c.what;
    }
    EXPECT_EQ(MessageCache::firstBootId(Y2026 + 29491660), 29491660U);
    EXPECT_EQ(MessageCache::firstBootId(0), 0U) << "an unset clock starts from 0";
}
// What the responder makes of the moves published between two of its looks. Regression: a move
// undone before the look (prefixes preferred in turn, an address that went and came back) looked
// like none, so a responder that looked late under load took churn for stillness and began a
// fresh set in the middle of it.
TEST(MessageCache, EveryMoveBetweenTwoLooksCounts)
{
    using Change = MessageCache::Change;
    struct Case
    {
        const char* what;
        std::vector<const char*> moves; // IPv4 or IPv6 addresses published in turn
        Change seen;
    };
    const Case cases[] = {
        {"nothing published", {}, Change::None},
        {"the same addresses again", {"198.18.0.1", "fd01::1"}, Change::None},
        {"another address", {"198.18.0.2"}, Change::Appeared},
        {"an address gone", {"0.0.0.0"}, Change::Lost},
        {"gone and back", {"0.0.0.0", "198.18.0.1"}, Change::Appeared},
        {"moved and back", {"198.18.0.2", "198.18.0.1"}, Change::Appeared},
        {"prefixes preferred in turn", {"fd02::1", "fd01::1"}, Change::Appeared},
    };
    for (const Case& c : cases)
    {
        Options options;
        options.ipv6 = true;
        testsupport::Messages messages(options);
        messages.publishIpv4("198.18.0.1");
        messages.publishIpv6("fd01::1");
        messages.look();
        for (const char* address : c.moves)
        {
            std::strchr(address, ':') != nullptr ? messages.publishIpv6(address)
                                                 : messages.publishIpv4(address);
        }
        EXPECT_EQ(messages.look(), c.seen) << c.what;
    }
}
} // namespace

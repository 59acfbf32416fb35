#include "LogCapture.h"
#include "discovery/RedfishDiscovery.h"
#include "tests/TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{
TEST(DrawDelayMs, BoundedByMxAndSpread)
{
    struct Case
    {
        int mx;
        int bound;
        bool unicast = false; // a search sent by unicast: no MX, answered well within a second
    };
    testsupport::ResponderParts parts;
    Responder& service = parts.responder;
    for (const Case c : {Case{1, 1000}, Case{3, 3000}, Case{5, 5000}, Case{0, 1000}, Case{-7, 1000},
                         Case{10, 5000}, Case{INT_MAX, 5000}, Case{0, 100, true}})
    {
        int lowest = INT_MAX;
        int highest = -1;
        for (int i = 0; i < 4000; ++i)
        {
            // Clamped once, by the search rules, before the draw.
            const int d = c.unicast ? service.drawUnicastDelayMs()
                                    : service.drawDelayMs(search::clampMx(static_cast<long>(c.mx)));
            lowest = std::min(lowest, d);
            highest = std::max(highest, d);
        }
        EXPECT_GE(lowest, 0) << "mx " << c.mx;
        EXPECT_LT(highest, c.bound) << "mx " << c.mx;
        // 4000 uniform draws leave neither tenth of the range empty.
        EXPECT_LT(lowest, c.bound / 10) << "mx " << c.mx;
        EXPECT_GT(highest, c.bound - c.bound / 10) << "mx " << c.mx;
    }
}

// Regression: an unseeded generator gave every process the same delays, so a fleet booted from
// one image answered a search all in the same millisecond.
TEST(DrawDelayMs, DifferentServicesDrawDifferentSequences)
{
    std::set<std::vector<int>> sequences;
    for (int s = 0; s < 4; ++s)
    {
        testsupport::ResponderParts parts;
        Responder& service = parts.responder;
        std::vector<int> draws;
        draws.reserve(8);
        for (int i = 0; i < 8; ++i)
        {
            draws.push_back(service.drawDelayMs(5));
        }
        sequences.insert(draws);
    }
    EXPECT_EQ(sequences.size(), 4U);
}

// The published sendSearchRsp waits below MX before it sends (it used to send at once); an MX
// below 1 waits below a second.
TEST(DrawDelayMs, SendSearchRspWaitsBelowMx)
{
    sockaddr_in to{AF_INET, htons(9), {htonl(INADDR_LOOPBACK)}, {}};
    std::string rsp = "HTTP/1.1 200 OK\r\n\r\n";
    auto longest = std::chrono::steady_clock::duration::zero();
    for (const int mx : {1, 0, -3})
    {
        const auto start = std::chrono::steady_clock::now();
        RedfishDiscovery::instance()->sendSearchRsp(rsp, mx, &to, sizeof(to));
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_LT(waited, std::chrono::milliseconds(1500)) << mx; // a loaded machine's slack
        longest = std::max(longest, waited);
    }
    EXPECT_GE(longest, std::chrono::milliseconds(10)); // three draws below 1% of 1 s: 1 in 10^6
}

// Lays out <tmp>/data/redfish.json and runs the test from <tmp>/opt/bin, as the daemon runs.
class Judging : public testing::Test
{
protected:
    void SetUp() override { messages.publishIpv4("198.18.0.1"); }
    void write(const std::string& content) { tree.writeInfo(content); }

    testsupport::WorkingTree tree;
    testsupport::ResponderParts parts;
    Responder& service = parts.responder;
    testsupport::Messages messages;
};

TEST_F(Judging, JudgeSearchFromBytesToResponse)
{
    write("{\"uuid\": \"11111111-2222-3333-4444-555555555555\"}");
    struct Case
    {
        std::string request;
        bool answered;
        int mx;
    };
    const Case cases[] = {
        {"M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
         "MX: 3\r\nST: ssdp:all\r\n\r\n",
         true, 3},
        {"M-SEARCH * HTTP/1.1\nHOST: 239.255.255.250:1900\nMAN: \"ssdp:discover\"\nMX: 120\n"
         "ST: upnp:rootdevice\n\n",
         true, 5},
        {"M-SEARCH * HTTP/1.1\nHOST: 239.255.255.250:1900\nMAN: \"ssdp:discover\"\nMX: 0\n"
         "ST: urn:dmtf-org:service:redfish-rest:1\n\n",
         true, 1},
        {"M-SEARCH * HTTP/1.1\nHOST: 239.255.255.250:1900\nMAN: \"ssdp:discover\"\nMX: 2\n"
         "ST: uuid:x\n\n",
         false, 0},
    };
    for (const Case& c : cases)
    {
        std::string text = c.request;
        std::string rsp;
        int mx = 0;
        EXPECT_EQ(messages.answer(service, text.data(), rsp, mx), c.answered) << c.request;
        if (c.answered)
        {
            EXPECT_EQ(mx, c.mx);
            EXPECT_EQ(rsp, testsupport::legacyAnswer("11111111-2222-3333-4444-555555555555",
                                                     "198.18.0.1"));
        }
    }
}
} // namespace

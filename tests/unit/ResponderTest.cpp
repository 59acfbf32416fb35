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
class ServiceInfo : public testing::Test
{
protected:
    void SetUp() override
    {
        messages.publishIpv4("198.18.0.1");
        LogCapture::clear();
    }
    void write(const std::string& content) { tree.writeInfo(content); }
    std::size_t warnings(const std::string& text)
    {
        return LogCapture::count("discovery", el::Level::Warning, text);
    }
    // A second after the last: the file is read at most once a second.
    Responder::Clock::time_point later() { return now += std::chrono::seconds(1); }

    Responder::Clock::time_point now = Responder::Clock::now();
    testsupport::WorkingTree tree;
    testsupport::ResponderParts parts;
    Responder& service = parts.responder;
    testsupport::Messages messages;
};

TEST_F(ServiceInfo, FileContentsAndOutcomes)
{
    struct Case
    {
        const char* name;
        const char* content; // nullptr: no file
        bool result;
        std::string uuid;    // cached afterwards
        const char* warning; // the one WARNING expected, or nullptr for none
        std::size_t dataErrors;
    };
    // Deeper than the JSON reader's limit: the fuzz target's inputs are too short to reach it.
    const std::string deep = "{\"uuid\": " + std::string(1001, '[') + "}";
    const std::string megabyte = "{\"uuid\": \"big\", \"\": \"" + std::string(1000000, ' ') + "\"}";
    const std::string tooLarge(ServiceFile::MAX_SIZE + 1, ' ');
    const Case cases[] = {
        {"missing file", nullptr, false, "", "Failed to open the redfishd info file", 0},
        {"empty file", "", false, "", "Failed to parse the redfishd info", 1},
        {"not JSON", "uuid=1", false, "", "Failed to parse the redfishd info", 1},
        {"nested too deep", deep.c_str(), false, "", "Failed to parse the redfishd info", 1},
        {"top-level array", "[\"u\"]", false, "", "The redfishd info is not a JSON object", 0},
        {"top-level number", "42", false, "", "The redfishd info is not a JSON object", 0},
        {"top-level string", "\"u\"", false, "", "The redfishd info is not a JSON object", 0},
        {"top-level null", "null", false, "", nullptr, 0},
        {"uuid absent", "{\"id\": 1}", false, "", nullptr, 0},
        {"uuid null", "{\"uuid\": null}", false, "", nullptr, 0},
        {"uuid array", "{\"uuid\": [1]}", false, "",
         "The redfishd info member uuid is not a string", 0},
        {"uuid object", "{\"uuid\": {}}", false, "",
         "The redfishd info member uuid is not a string", 0},
        {"uuid empty string", "{\"uuid\": \"\"}", true, "", nullptr, 0},
        {"uuid number", "{\"uuid\": 42}", true, "42", nullptr, 0},
        {"uuid boolean", "{\"uuid\": true}", true, "true", nullptr, 0},
        {"uuid string", "{\"uuid\": \"abc-123\", \"other\": 1}", true, "abc-123", nullptr, 0},
        {"uuid long string", nullptr, true, std::string(5000, 'u'), nullptr, 0},
        {"a megabyte", megabyte.c_str(), true, "big", nullptr, 0},
        {"above 4 MiB", tooLarge.c_str(), false, "",
         "Service information file ../../data/redfish.json is too large (4194305 bytes, at most "
         "4194304)",
         0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        testsupport::ResponderParts freshParts;
        Responder& fresh = freshParts.responder;
        LogCapture::clear();
        tree.removeInfo();
        if (c.content != nullptr)
        {
            write(c.content);
        }
        else if (c.result)
        {
            write("{\"uuid\": \"" + c.uuid + "\"}");
        }
        EXPECT_EQ(fresh.readRedfishdInfo(), c.result);
        EXPECT_EQ(fresh.redfishdInfo().uuid, c.uuid);
        const std::size_t expectedWarnings = c.warning != nullptr ? 1 : 0;
        std::size_t seenWarnings = 0;
        std::size_t seenDataErrors = 0;
        for (const LogRecord& r : LogCapture::records())
        {
            seenWarnings += (r.level == el::Level::Warning) ? 1 : 0;
            seenDataErrors += (r.logger == "datamgr" && r.level == el::Level::Error) ? 1 : 0;
        }
        EXPECT_EQ(seenWarnings, expectedWarnings);
        if (c.warning != nullptr)
        {
            EXPECT_EQ(warnings(c.warning), 1U);
        }
        EXPECT_EQ(seenDataErrors, c.dataErrors);
    }
}

TEST_F(ServiceInfo, FileAppearingLaterIsPickedUpAndThenNeverReRead)
{
    EXPECT_FALSE(service.readRedfishdInfo(later()));
    write("{\"uuid\": \"first\"}");
    EXPECT_TRUE(service.readRedfishdInfo(later()));
    EXPECT_EQ(service.redfishdInfo().uuid, "first");
    write("{\"uuid\": \"second\"}");
    EXPECT_TRUE(service.readRedfishdInfo());
    EXPECT_EQ(service.redfishdInfo().uuid, "first");
    tree.removeInfo();
    EXPECT_TRUE(service.readRedfishdInfo());
}

TEST_F(ServiceInfo, EmptyUuidIsAnsweredButReadAgain)
{
    write("{\"uuid\": \"\"}");
    EXPECT_TRUE(service.readRedfishdInfo(later()));
    EXPECT_TRUE(service.readRedfishdInfo(later())) << "unchanged, not read again: still taken";
    write("{\"uuid\": \"later\"}");
    EXPECT_TRUE(service.readRedfishdInfo(later()));
    EXPECT_EQ(service.redfishdInfo().uuid, "later");
}

// Regression: until a UUID was known a 1 MB file was parsed for every datagram, and a flood took a
// whole processor.
TEST_F(ServiceInfo, FileReadAgainOnlyOnceChangedAndAtMostOnceASecond)
{
    const std::string path = tree.infoFile().string();
    const auto stamp = [&path](long ns)
    {
        const timespec times[2] = {{1767225600, ns}, {1767225600, ns}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    ServiceFileWatch watch;
    const auto at = [&](int ms)
    { return watch.changed(path.c_str(), now + std::chrono::milliseconds(ms)); };
    EXPECT_TRUE(at(0)) << "the first look, at a missing file";
    EXPECT_FALSE(at(500)) << "still missing";
    write("{}");
    stamp(1);
    EXPECT_FALSE(at(900)) << "written within the second";
    EXPECT_TRUE(at(1000)) << "the change kept for later";
    EXPECT_FALSE(at(9000)) << "unchanged";
    stamp(2);
    EXPECT_TRUE(at(10000)) << "modification time's nanoseconds alone";
    write("{} ");
    stamp(2);
    EXPECT_TRUE(at(11000)) << "size alone";
    std::ofstream(path + ".new") << "{} ";
    std::rename((path + ".new").c_str(), path.c_str());
    stamp(2);
    EXPECT_TRUE(at(12000)) << "inode alone: another file renamed over it";
    watch.unreadable();
    EXPECT_TRUE(at(13000)) << "could not be opened: missing until seen";
}

// A flood of datagrams while the file is missing or broken must not write a record per datagram.
TEST_F(ServiceInfo, RepeatedFailuresAreRateLimited)
{
    for (int i = 0; i < 500; ++i)
    {
        EXPECT_FALSE(service.readRedfishdInfo(later()));
    }
    EXPECT_EQ(warnings("Failed to open the redfishd info file"), 1U);
    write("{");
    for (int i = 0; i < 500; ++i)
    {
        EXPECT_FALSE(service.readRedfishdInfo(later()));
    }
    EXPECT_EQ(warnings("Failed to parse the redfishd info"), 1U);
    EXPECT_EQ(LogCapture::records().size(), 3U) << "open warning, datamgr error, parse warning";
}

TEST_F(ServiceInfo, JudgeSearchFromBytesToResponse)
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

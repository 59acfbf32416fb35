#include "discovery/ServiceInfo.h"
#include "LogCapture.h"
#include "common/LogLimiter.h"
#include "tests/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace
{
// Lays out <tmp>/data/redfish.json and runs the test from <tmp>/opt/bin, as the daemon runs.
class ServiceInfoFile : public testing::Test
{
protected:
    void SetUp() override { LogCapture::clear(); }
    void write(const std::string& content) { tree.writeInfo(content); }
    std::size_t warnings(const std::string& text)
    {
        return LogCapture::count("discovery", LogLevel::WARNING, text);
    }
    // The operator's record of the file's trouble, which names it from the root.
    std::string told(const std::string& problem) const
    {
        return "Service information file " +
               std::filesystem::weakly_canonical(tree.infoFile()).string() + " " + problem;
    }
    // A second after the last: the file is read at most once a second.
    ServiceInfoCache::Clock::time_point later() { return now += std::chrono::seconds(1); }

    ServiceInfoCache::Clock::time_point now = ServiceInfoCache::Clock::now();
    testsupport::WorkingTree tree;
    LogLimiterGroup limits;
    ServiceInfoCache service{limits};
};

TEST_F(ServiceInfoFile, FileContentsAndOutcomes)
{
    struct Case
    {
        const char* name;
        const char* content; // nullptr: no file
        bool result;
        std::string uuid;        // cached afterwards
        const char* established; // the rate-limited WARNING expected, or nullptr for none
        const char* problem;     // how the operator's WARNING begins after the path, or nullptr
        std::size_t dataErrors;
    };
    // Deeper than the JSON reader's limit: the fuzz target's inputs are too short to reach it.
    const std::string deep = "{\"uuid\": " + std::string(1001, '[') + "}";
    const std::string megabyte = "{\"uuid\": \"big\", \"\": \"" + std::string(1000000, ' ') + "\"}";
    const std::string tooLarge(ServiceFile::MAX_SIZE + 1, ' ');
    const char* const openFailed = "Failed to open the redfishd info file";
    const char* const parseFailed = "Failed to parse the redfishd info";
    const char* const notJson = "is not valid JSON: ";
    const char* const noUuid = "has no \"uuid\" string";
    const Case cases[] = {
        {"missing file", nullptr, false, "", openFailed,
         "cannot be opened: No such file or directory (nor is there /opt/data/redfish.json)", 0},
        {"empty file", "", false, "", parseFailed, notJson, 1},
        {"not JSON", "uuid=1", false, "", parseFailed, notJson, 1},
        {"nested too deep", deep.c_str(), false, "", parseFailed, notJson, 1},
        {"top-level array", "[\"u\"]", false, "", nullptr, "is not a JSON object", 0},
        {"top-level number", "42", false, "", nullptr, "is not a JSON object", 0},
        {"top-level string", "\"u\"", false, "", nullptr, "is not a JSON object", 0},
        {"top-level null", "null", false, "", nullptr, noUuid, 0},
        {"uuid absent", "{\"id\": 1}", false, "", nullptr, noUuid, 0},
        {"uuid null", "{\"uuid\": null}", false, "", nullptr, noUuid, 0},
        // Regression: a file with "UUID" was answered with nothing and no record at all.
        {"uuid in capitals", "{\"UUID\": \"u\"}", false, "", nullptr,
         "has no \"uuid\" string (but \"UUID\": member names are case-sensitive)", 0},
        {"uuid array", "{\"uuid\": [1]}", false, "", nullptr, "has a \"uuid\" that is not a string",
         0},
        {"uuid object", "{\"uuid\": {}}", false, "", nullptr, "has a \"uuid\" that is not a string",
         0},
        {"uuid empty string", "{\"uuid\": \"\"}", true, "", nullptr, nullptr, 0},
        {"uuid number", "{\"uuid\": 42}", true, "42", nullptr, nullptr, 0},
        {"uuid boolean", "{\"uuid\": true}", true, "true", nullptr, nullptr, 0},
        {"uuid string", "{\"uuid\": \"abc-123\", \"other\": 1}", true, "abc-123", nullptr, nullptr,
         0},
        {"uuid long string", nullptr, true, std::string(5000, 'u'), nullptr, nullptr, 0},
        {"a megabyte", megabyte.c_str(), true, "big", nullptr, nullptr, 0},
        {"above 4 MiB", tooLarge.c_str(), false, "", nullptr,
         "is too large (4194305 bytes, at most 4194304)", 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        LogLimiterGroup freshLimits;
        ServiceInfoCache fresh(freshLimits);
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
        EXPECT_EQ(fresh.read(), c.result);
        EXPECT_EQ(fresh.info().uuid, c.uuid);
        std::vector<std::string> seenWarnings;
        std::size_t seenDataErrors = 0;
        for (const LogRecord& r : LogCapture::records())
        {
            if (r.level == LogLevel::WARNING)
            {
                seenWarnings.push_back(r.message);
            }
            seenDataErrors += (r.logger == "datamgr" && r.level == LogLevel::ERROR) ? 1 : 0;
        }
        std::vector<std::string> expected;
        if (c.established != nullptr)
        {
            expected.emplace_back(c.established);
        }
        if (c.problem != nullptr)
        {
            expected.push_back(told(c.problem));
        }
        ASSERT_EQ(seenWarnings.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
        {
            EXPECT_EQ(seenWarnings[i].rfind(expected[i], 0), 0U) << seenWarnings[i];
        }
        EXPECT_EQ(seenDataErrors, c.dataErrors);
    }
}

TEST_F(ServiceInfoFile, FileAppearingLaterIsPickedUpAndThenNeverReRead)
{
    EXPECT_FALSE(service.read(later()));
    write("{\"uuid\": \"first\"}");
    EXPECT_TRUE(service.read(later()));
    EXPECT_EQ(service.info().uuid, "first");
    write("{\"uuid\": \"second\"}");
    EXPECT_TRUE(service.read());
    EXPECT_EQ(service.info().uuid, "first");
    tree.removeInfo();
    EXPECT_TRUE(service.read());
}

TEST_F(ServiceInfoFile, EmptyUuidIsAnsweredButReadAgain)
{
    write("{\"uuid\": \"\"}");
    EXPECT_TRUE(service.read(later()));
    EXPECT_TRUE(service.read(later())) << "unchanged, not read again: still taken";
    write("{\"uuid\": \"later\"}");
    EXPECT_TRUE(service.read(later()));
    EXPECT_EQ(service.info().uuid, "later");
}

// Regression: until a UUID was known a 1 MB file was parsed for every datagram, and a flood took a
// whole processor.
TEST_F(ServiceInfoFile, FileReadAgainOnlyOnceChangedAndAtMostOnceASecond)
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
TEST_F(ServiceInfoFile, RepeatedFailuresAreRateLimited)
{
    for (int i = 0; i < 500; ++i)
    {
        EXPECT_FALSE(service.read(later()));
    }
    EXPECT_EQ(warnings("Failed to open the redfishd info file"), 1U);
    write("{");
    for (int i = 0; i < 500; ++i)
    {
        EXPECT_FALSE(service.read(later()));
    }
    EXPECT_EQ(warnings("Failed to parse the redfishd info"), 1U);
    EXPECT_EQ(LogCapture::records().size(), 5U)
        << "open warning and its path, datamgr error, parse warning and its path";
    // Another broken text is the same trouble: its path's record is not written again, and the
    // end of the trouble is.
    write("{ ");
    EXPECT_FALSE(service.read(later()));
    write("{\"uuid\": \"u\"}");
    EXPECT_TRUE(service.read(later()));
    std::size_t toldParse = 0;
    for (const LogRecord& r : LogCapture::records())
    {
        toldParse += r.message.rfind(told("is not valid JSON"), 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(toldParse, 1U);
    EXPECT_EQ(LogCapture::count("discovery", LogLevel::INFO, told("read")), 1U);
}

} // namespace

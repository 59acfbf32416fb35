#include "discovery/Options.h"

#include <getopt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
struct Case
{
    std::vector<std::string> args; // after the program's name
    int status;                    // -1: the daemon runs
    std::vector<std::string> interfaces;
    ResponseFormat format;
    int interval;
    int ttl;
    bool ipv6;
    SsdpGroup scope;
    std::vector<std::string> ignored = {}; // words that are not options, ignored
};

int parse(const std::vector<std::string>& args, Options& options)
{
    std::vector<std::string> words{"discovery"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
    {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    optind = 0; // getopt starts afresh
    return parseOptions(static_cast<int>(words.size()), argv.data(), options);
}

// Each option's values at and past its bounds, the defaults, and what options say together. A
// refused command line leaves a usage error (status 2), never a daemon that runs on a guess.
TEST(Options, ValuesBoundsAndDefaults)
{
    const auto L = ResponseFormat::Legacy;
    const auto D = ResponseFormat::Dsp0266;
    const auto link = SsdpGroup::Ipv6Link;
    const std::vector<std::string> eth1{"eth1"};
    const std::vector<Case> cases = {
        {{}, -1, eth1, L, 0, 2, false, link},
        {{"-i", "eth2", "--interface", "eth3"}, -1, {"eth2", "eth3"}, L, 0, 2, false, link},
        {{"-i", "eth2", "-i", "eth2"}, 2, eth1, L, 0, 2, false, link},
        {{"-i", ""}, 2, eth1, L, 0, 2, false, link},
        {{"-i", "a-name-of-16-chr"}, 2, eth1, L, 0, 2, false, link},
        {{"-f", "dsp0266"}, -1, eth1, D, 0, 2, false, link},
        {{"--response-format", "other"}, 2, eth1, L, 0, 2, false, link},
        {{"-n", "10", "-t", "255"}, -1, eth1, L, 10, 255, false, link},
        {{"-n", "1800", "-t", "1"}, -1, eth1, L, 1800, 1, false, link},
        {{"-n", "9"}, 2, eth1, L, 0, 2, false, link},
        {{"-n", "1801"}, 2, eth1, L, 0, 2, false, link},
        {{"-n", "10x"}, 2, eth1, L, 0, 2, false, link},
        {{"-t", "0"}, 2, eth1, L, 0, 2, false, link},
        {{"-6", "--ipv6-scope", "site"}, -1, eth1, L, 0, 2, true, SsdpGroup::Ipv6Site},
        {{"--ipv6", "--ipv6-scope", "global"}, -1, eth1, L, 0, 2, true, SsdpGroup::Ipv6Global},
        {{"--ipv6-scope", "site"}, 2, eth1, L, 0, 2, false, link},
        {{"-6", "--ipv6-scope", "planet"}, 2, eth1, L, 0, 2, true, link},
        // An init script's "start" starts the daemon; an unknown option does not.
        {{"stray"}, -1, eth1, L, 0, 2, false, link, {"stray"}},
        {{"start", "-i", "eth2", "now"}, -1, {"eth2"}, L, 0, 2, false, link, {"start", "now"}},
        {{"--nonsense", "start"}, 2, eth1, L, 0, 2, false, link},
        {{"--version"}, 0, eth1, L, 0, 2, false, link},
    };
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    for (const Case& c : cases)
    {
        Options options;
        const int status = parse(c.args, options);
        std::string line;
        for (const std::string& arg : c.args)
        {
            line += arg + " ";
        }
        EXPECT_EQ(status, c.status) << line;
        if (status != -1)
        {
            continue;
        }
        EXPECT_EQ(options.interfaces, c.interfaces) << line;
        EXPECT_EQ(options.responseFormat, c.format) << line;
        EXPECT_EQ(options.notifyInterval, c.interval) << line;
        EXPECT_EQ(options.notifyTtl, c.ttl) << line;
        EXPECT_EQ(options.ipv6, c.ipv6) << line;
        EXPECT_EQ(options.ipv6Scope, c.scope) << line;
        EXPECT_EQ(options.ignored, c.ignored) << line;
    }
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
}
} // namespace

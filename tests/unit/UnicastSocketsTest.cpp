#include "discovery/UnicastSockets.h"
#include "LogCapture.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

namespace
{
using testsupport::ip;

// A socket for each address as it comes, the same one kept while the address stays on its
// interface, a new one when it moves, none once it goes; an address that cannot be bound is
// recorded once and tried again only once it has gone and come back.
TEST(UnicastSockets, KeptAsTheAddressesComeMoveAndGo)
{
    struct Step
    {
        std::vector<std::pair<const char*, int>> wanted; // address, interface index
        const char* how;                                 // per address: Opened, Kept, or Failed
        std::size_t warnings;
    };
    const std::vector<std::vector<Step>> cases = {
        {{{{"127.0.0.2", 1}, {"127.0.0.3", 1}}, "OO", 0},
         {{{"127.0.0.2", 1}, {"127.0.0.3", 2}}, "KO", 0},
         {{{"127.0.0.3", 2}}, "K", 0},
         {{{"127.0.0.2", 1}, {"127.0.0.3", 2}}, "OK", 0}},
        // 192.0.2.1 (RFC 5737) is no address of this host.
        {{{{"192.0.2.1", 1}}, "F", 1},
         {{{"192.0.2.1", 1}, {"127.0.0.2", 1}}, "FO", 1},
         {{}, "", 1},
         {{{"192.0.2.1", 1}}, "F", 2}},
    };
    for (const std::vector<Step>& steps : cases)
    {
        LogLimiterGroup limits;
        UnicastSockets sockets(limits, 0);   // each socket at a port of its own
        std::map<std::string, ino_t> before; // each address's socket, by its inode
        LogCapture::clear();
        for (const Step& step : steps)
        {
            std::vector<UnicastSockets::Address> wanted;
            for (const auto& [address, index] : step.wanted)
            {
                wanted.push_back({ip(address), index, "lo"});
            }
            sockets.keep(wanted);
            ASSERT_EQ(sockets.size(), wanted.size());
            std::string how;
            std::map<std::string, ino_t> now;
            for (std::size_t i = 0; i < sockets.size(); ++i)
            {
                ASSERT_TRUE(sockets.address(i) == wanted[i]);
                const std::string key = step.wanted[i].first; // whatever its interface
                struct stat status = {};
                const bool open = fstat(sockets.fd(i), &status) == 0;
                now[key] = open ? status.st_ino : 0;
                how += !open ? 'F' : before[key] == status.st_ino ? 'K' : 'O';
            }
            before = now;
            EXPECT_EQ(how, step.how);
            EXPECT_EQ(LogCapture::records().size(), step.warnings) << step.how;
        }
    }
}
} // namespace

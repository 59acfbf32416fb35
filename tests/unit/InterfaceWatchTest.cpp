#include "discovery/InterfaceWatch.h"
#include "LogCapture.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
using testsupport::ip;
using Family = InterfaceWatch::Family;

// One record for each change of an interface's address (came, moved, went), none for an index
// that moved under the same address, and each record's text as an operator reads it.
TEST(InterfaceWatch, OneRecordPerChangeOfTheAddress)
{
    struct Look
    {
        int index; // -1: taken at start, as the IPv4 start-up does
        const char* address;
        const char* record; // "" for none; "W " before a WARNING's text
    };
    struct Case
    {
        Family family;
        bool bothFamilies;
        std::vector<Look> looks;
    };
    const Case cases[] = {
        {Family::Ipv4,
         false,
         {{-1, "198.18.0.1", ""},
          {2, "198.18.0.9", "The IPv4 address of eth1 changed from 198.18.0.1 to 198.18.0.9"},
          {0, "", "W eth1 has no IPv4 address: searches are not answered until it has one"},
          {7, "198.18.0.9", "eth1 has the IPv4 address 198.18.0.9: searches are answered again"},
          {8, "198.18.0.9", ""}}},
        {Family::Ipv4,
         true,
         {{-1, "",
           "W eth1 has no IPv4 address: searches over IPv4 are not answered until it has one"},
          {2, "", ""},
          {2, "198.18.0.1",
           "eth1 has the IPv4 address 198.18.0.1: searches over IPv4 are answered again"}}},
        {Family::Ipv6,
         true,
         {{0, "",
           "W eth1 has no IPv6 address: searches over IPv6 are not answered until it has one"},
          {3, "fe80::1", "eth1 has the IPv6 address fe80::1%eth1: searches over IPv6 are answered"},
          {3, "fd00::1", "The IPv6 address of eth1 changed from fe80::1%eth1 to fd00::1"},
          {4, "fd00::1", ""}}},
    };
    for (const Case& c : cases)
    {
        LogLimiterGroup limits;
        InterfaceWatch watch(c.family, "eth1", c.bothFamilies, limits);
        for (const Look& look : c.looks)
        {
            LogCapture::clear();
            const IpAddress address = *look.address == '\0' ? IpAddress{} : ip(look.address);
            if (look.index < 0)
            {
                watch.assume(address.empty() ? 0 : 2, address.ipv4());
            }
            else
            {
                const bool v6 = address.family == AF_INET6;
                watch.see(look.index, v6 ? 0 : address.ipv4(),
                          v6 ? std::vector<Ipv6IfAddr>{{address.ipv6(), 0}}
                             : std::vector<Ipv6IfAddr>{});
                watch.addressChanged();
            }
            std::string told;
            for (const LogRecord& r : LogCapture::records())
            {
                told += (r.level == LogLevel::WARNING ? "W " : "") + r.message;
            }
            EXPECT_EQ(told, look.record) << look.index << " " << look.address;
        }
    }
}
} // namespace

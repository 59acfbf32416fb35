#include "discovery/Ipv6.h"
#include "discovery/Groups.h"
#include "discovery/SearchParser.h"
#include "discovery/Wire.h"
#include "tests/TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_addr.h>

#include <string>
#include <vector>

namespace
{
in6_addr ipv6Address(const char* text)
{
    in6_addr addr{};
    inet_pton(AF_INET6, text, &addr);
    return addr;
}

std::string text(const in6_addr& addr)
{
    char out[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &addr, out, sizeof(out));
    return out;
}

TEST(Ipv6HostRule, WholeValueNamesTheGroupItCameTo)
{
    struct Case
    {
        const char* value; // as the parser stores it: leading blanks gone, CR kept
        SsdpGroup group;
        bool valid;
    };
    const Case cases[] = {
        {"[FF02::C]:1900\r", SsdpGroup::Ipv6Link, true},
        {"[ff02::c]:1900", SsdpGroup::Ipv6Link, true},
        {"[FF05::C]:1900 \t\r", SsdpGroup::Ipv6Site, true},
        {"[Ff08::c]:1900\r", SsdpGroup::Ipv6Organization, true},
        {"[FF0E::C]:1900\r", SsdpGroup::Ipv6Global, true},
        {"[FF0E::C]:1900\r", SsdpGroup::Ipv6Organization, false},
        {"[FF05::C]:1900\r", SsdpGroup::Ipv6Link, false},
        {"[FF02::C]:1900\r", SsdpGroup::Ipv6Site, false},
        {"239.255.255.250:1900\r", SsdpGroup::Ipv6Link, false},
        {"[FF02::C]:1900\r", SsdpGroup::Ipv4, false},
        {"[FF02::C]\r", SsdpGroup::Ipv6Link, false},
        {"[FF02::C]:19000\r", SsdpGroup::Ipv6Link, false},
        {"[FF02::C]:1900x", SsdpGroup::Ipv6Link, false},
        {"[FF02::C%eth0]:1900", SsdpGroup::Ipv6Link, false},
        {"", SsdpGroup::Ipv6Link, false},
        // Without brackets, as DMTF's Redfish Protocol Validator sends it.
        {"ff02::c:1900\r", SsdpGroup::Ipv6Link, true},
        {"FF05::C:1900 \r", SsdpGroup::Ipv6Site, true},
        {"ff02::c:1900\r", SsdpGroup::Ipv6Site, false},
        {"ff02::c:19000\r", SsdpGroup::Ipv6Link, false},
        {"[ff02::c:1900\r", SsdpGroup::Ipv6Link, false},
        {"ff02::c]:1900\r", SsdpGroup::Ipv6Link, false},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(search::isIpv6HostValid(c.value, c.group), c.valid)
            << "'" << c.value << "' group " << static_cast<int>(c.group);
    }
}

// An interface's addresses as the kernel lists them, with the flags that decide.
TEST(Ipv6Addr, ChosenByKindAndFlags)
{
    const std::vector<Ipv6IfAddr> all = {
        {ipv6Address("fe80::1"), IFA_F_PERMANENT},
        {ipv6Address("2001:db8::9"), IFA_F_DEPRECATED},
        {ipv6Address("fd00::5"), IFA_F_PERMANENT},
        {ipv6Address("fd00::2"), IFA_F_PERMANENT},
        {ipv6Address("fd00::3"), IFA_F_PERMANENT | IFA_F_TENTATIVE},
        {ipv6Address("fd00::4"), IFA_F_TEMPORARY}};

    struct Case
    {
        const char* name;
        std::vector<std::size_t> offered; // indexes into `all`
        const char* current;
        const char* chosen;
    };
    const Case cases[] = {
        {"lowest preferred global, whatever the order", {0, 1, 2, 3}, "::", "fd00::2"},
        {"the current one kept while of the best kind", {0, 1, 2, 3}, "fd00::5", "fd00::5"},
        {"a current link-local one gives way to a global", {0, 3}, "fe80::1", "fd00::2"},
        {"deprecated global before link-local", {0, 1}, "::", "2001:db8::9"},
        {"link-local alone", {0}, "fd00::2", "fe80::1"},
        {"tentative and temporary never", {4, 5}, "::", "::"},
        {"nothing", {}, "fd00::2", "::"},
    };
    for (const Case& c : cases)
    {
        std::vector<Ipv6IfAddr> offered;
        for (const std::size_t i : c.offered)
        {
            offered.push_back(all[i]);
        }
        EXPECT_EQ(text(chooseIpv6Addr(offered, ipv6Address(c.current))), c.chosen) << c.name;
    }
}

TEST(Ipv6Addr, UrlHostWithZoneOnlyWhenLinkLocal)
{
    EXPECT_EQ(ipv6UrlHost(ipv6Address("fd00::1"), "eth1"), "[fd00::1]");
    EXPECT_EQ(ipv6UrlHost(ipv6Address("2001:db8::a:1"), "eth1"), "[2001:db8::a:1]");
    EXPECT_EQ(ipv6UrlHost(ipv6Address("fe80::1"), "eth1"), "[fe80::1%25eth1]");
    EXPECT_EQ(ipv6UrlHost(ipv6Address("fe80::1"), "br-mgmt.10_x~"), "[fe80::1%25br-mgmt.10_x~]");
    EXPECT_EQ(ipv6UrlHost(ipv6Address("fe80::1"), "eth@1%"), "[fe80::1%25eth%401%25]");
}
// Each family answers with its own URL and nothing else differs. An IPv6 address that appears or
// moves is a new boot for both families (UPnP Device Architecture 1.1, BOOTID.UPNP.ORG).
TEST(Ipv6Answers, EachFamilyWithItsOwnUrl)
{
    using Target = SearchTarget;
    const std::string uuid = "92384634-2938-2342-8820-489239905423";
    for (const ResponseFormat format : {ResponseFormat::Legacy, ResponseFormat::Dsp0266})
    {
        Options options;
        options.responseFormat = format;
        options.ipv6 = true;
        testsupport::Messages messages(options);
        messages.publishIpv4("198.18.0.1");
        std::vector<std::string> before = *messages.responses(uuid, Target::All);
        EXPECT_EQ(messages.responses(uuid, Target::All, true), nullptr);

        // Answers carry a new address at once; BOOTID.UPNP.ORG grows only with the fresh set
        // that follows once the addresses settle.
        messages.publishIpv6("fd00::1");
        EXPECT_EQ(*messages.responses(uuid, Target::All), before);
        messages.freshSet();
        EXPECT_EQ(*messages.responses(uuid, Target::All) == before,
                  format == ResponseFormat::Legacy)
            << "BOOTID.UPNP.ORG grows when IPv6 first gets an address";
        before = *messages.responses(uuid, Target::All);
        std::vector<std::string> ipv6 = *messages.responses(uuid, Target::All, true);
        for (std::string& rsp : ipv6)
        {
            EXPECT_NE(rsp.find("https://[fd00::1]/redfish/v1\r\n"), std::string::npos) << rsp;
            for (std::size_t at; (at = rsp.find("[fd00::1]")) != std::string::npos;)
            {
                rsp.replace(at, 9, "198.18.0.1");
            }
        }
        EXPECT_EQ(ipv6, before);

        messages.publishIpv6("fd00::2");
        messages.freshSet();
        EXPECT_EQ(*messages.responses(uuid, Target::All) == before,
                  format == ResponseFormat::Legacy)
            << "BOOTID.UPNP.ORG grows with a new IPv6 address";
    }
}
} // namespace

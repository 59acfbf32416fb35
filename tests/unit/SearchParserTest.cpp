#include "discovery/SearchParser.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
using Headers = search::Headers;

struct ParseCase
{
    const char* name;
    std::string text;
    bool verdict;
    Headers map; // expected map afterwards
};

const std::string LINE = "M-SEARCH * HTTP/1.1\r\n";
const std::string HOST = "HOST: 239.255.255.250:1900\r\n";
const std::string MAN = "MAN: \"ssdp:discover\"\r\n";
const std::string MX = "MX: 3\r\n";
const std::string ST = "ST: urn:dmtf-org:service:redfish-rest:1\r\n";
const Headers STANDARD_MAP = {{"HOST", "239.255.255.250:1900\r"},
                              {"MAN", "\"ssdp:discover\"\r"},
                              {"MX", "3\r"},
                              {"ST", "urn:dmtf-org:service:redfish-rest:1\r"}};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << c.name;
}

Headers with(Headers map, const std::string& key, const std::string& value)
{
    map[key] = value;
    return map;
}

// A standard CRLF request whose ST carries the given value.
ParseCase stCase(const char* name, const std::string& st, bool verdict)
{
    return {name, LINE + HOST + MAN + MX + "ST: " + st + "\r\n\r\n", verdict,
            with(STANDARD_MAP, "ST", st + "\r")};
}

ParseCase hostCase(const char* name, const std::string& host, bool verdict)
{
    return {name, LINE + "HOST: " + host + "\r\n" + MAN + MX + ST + "\r\n", verdict,
            with(STANDARD_MAP, "HOST", host + "\r")};
}

std::vector<ParseCase> cases()
{
    return {
        {"standard CRLF request", LINE + HOST + MAN + MX + ST + "\r\n", true, STANDARD_MAP},
        {"bare line feeds",
         "M-SEARCH * HTTP/1.1\nHOST: 239.255.255.250:1900\nMAN: \"ssdp:discover\"\nMX: 3\n"
         "ST: ssdp:all\n\n",
         true,
         {{"HOST", "239.255.255.250:1900"},
          {"MAN", "\"ssdp:discover\""},
          {"MX", "3"},
          {"ST", "ssdp:all"}}},
        {"common control point: mixed-case names without blanks, User-Agent",
         "M-SEARCH * HTTP/1.1\r\nHost:239.255.255.250:1900\r\nMan:\"ssdp:discover\"\r\n"
         "Mx:1\r\nSt:upnp:rootdevice\r\nUser-Agent: Console/1.0 UPnP/1.1\r\n\r\n",
         true,
         {{"HOST", "239.255.255.250:1900\r"},
          {"MAN", "\"ssdp:discover\"\r"},
          {"MX", "1\r"},
          {"ST", "upnp:rootdevice\r"}}},
        {"ST last without line feed is not a line",
         LINE + HOST + MAN + MX + "ST: ssdp:all",
         false,
         {{"HOST", "239.255.255.250:1900\r"}, {"MAN", "\"ssdp:discover\"\r"}, {"MX", "3\r"}}},
        {"empty text", "", false, {}},
        {"no line feed at all", "M-SEARCH * HTTP/1.1", false, {}},
        {"lower-case request line", "m-search * HTTP/1.1\r\n" + HOST + MAN + MX + ST, false, {}},
        {"NOTIFY announcement",
         "NOTIFY * HTTP/1.1\r\n" + HOST + "NT: upnp:rootdevice\r\nNTS: ssdp:alive\r\n\r\n",
         false,
         {}},
        {"a response datagram", "HTTP/1.1 200 OK\r\nST: ssdp:all\r\n\r\n", false, {}},
        {"request line only needs to begin with M-SEARCH",
         "M-SEARCHING whatever\r\n" + HOST + MAN + MX + ST, true, STANDARD_MAP},
        {"blank before the colon hides the header",
         LINE + "HOST : 239.255.255.250:1900\r\n" + MAN + MX + ST, false,
         with(with(with(Headers{}, "MAN", "\"ssdp:discover\"\r"), "MX", "3\r"), "ST",
              "urn:dmtf-org:service:redfish-rest:1\r")},
        {"blank before the name hides the header", LINE + HOST + MAN + " MX: 3\r\n" + ST, false,
         with(with(with(Headers{}, "HOST", "239.255.255.250:1900\r"), "MAN", "\"ssdp:discover\"\r"),
              "ST", "urn:dmtf-org:service:redfish-rest:1\r")},
        {"later header replaces earlier: valid wins",
         LINE + HOST + MAN + MX + "ST: uuid:1\r\n" + ST, true, STANDARD_MAP},
        {"later header replaces earlier: invalid wins",
         LINE + HOST + MAN + MX + ST + "ST: uuid:1\r\n", false,
         with(STANDARD_MAP, "ST", "uuid:1\r")},
        {"headers after the empty line are read", LINE + HOST + MAN + "\r\n" + MX + ST, true,
         STANDARD_MAP},
        {"other headers and colon-less lines ignored",
         LINE + "USER-AGENT: x\r\ngarbage line\r\n" + HOST + MAN + MX + ST, true, STANDARD_MAP},
        {"header names are exact: HOSTS is not HOST",
         LINE + "HOSTS: 239.255.255.250:1900\r\n" + MAN + MX + ST,
         false,
         {{"MAN", "\"ssdp:discover\"\r"},
          {"MX", "3\r"},
          {"ST", "urn:dmtf-org:service:redfish-rest:1\r"}}},
        {"tabs and spaces after the colon are removed", LINE + HOST + MAN + "MX:\t \t5\r\n" + ST,
         true, with(STANDARD_MAP, "MX", "5\r")},
        {"value of blanks only is empty", LINE + HOST + MAN + "MX:   \n" + ST, true,
         with(STANDARD_MAP, "MX", "")},
        {"MX empty accepted", LINE + HOST + MAN + "MX:\r\n" + ST, true,
         with(STANDARD_MAP, "MX", "\r")},
        {"MX zero accepted", LINE + HOST + MAN + "MX: 0\r\n" + ST, true,
         with(STANDARD_MAP, "MX", "0\r")},
        {"MX negative accepted", LINE + HOST + MAN + "MX: -1\r\n" + ST, true,
         with(STANDARD_MAP, "MX", "-1\r")},
        {"MX not a number accepted", LINE + HOST + MAN + "MX: soon\r\n" + ST, true,
         with(STANDARD_MAP, "MX", "soon\r")},
        {"MAN without quotes rejected", LINE + HOST + "MAN: ssdp:discover\r\n" + MX + ST, false,
         with(STANDARD_MAP, "MAN", "ssdp:discover\r")},
        {"MAN only compared over 8 characters", LINE + HOST + "MAN: \"ssdp:dixx\r\n" + MX + ST,
         true, with(STANDARD_MAP, "MAN", "\"ssdp:dixx\r")},
        {"missing MAN reported after HOST", LINE + HOST + MX + ST, false,
         with(with(with(Headers{}, "HOST", "239.255.255.250:1900\r"), "MX", "3\r"), "ST",
              "urn:dmtf-org:service:redfish-rest:1\r")},
        hostCase("HOST of another 239.255 group", "239.255.0.1:1900", true),
        hostCase("HOST without port", "239.255.255.250", true),
        hostCase("HOST in IPv6 form", "[FF02::C]:1900", false),
        hostCase("HOST in IPv6 form without brackets", "ff02::c:1900", false),
        hostCase("HOST of another address", "192.0.2.1:1900", false),
        hostCase("HOST empty", "", false),
        stCase("ST ssdp:all", "ssdp:all", true),
        stCase("ST ssdp:all with more characters", "ssdp:allsorts", true),
        stCase("ST upnp:rootdevice", "upnp:rootdevice", true),
        stCase("ST Redfish service", "urn:dmtf-org:service:redfish-rest:1", true),
        stCase("ST upper-case tag and blank after its colon",
               "URN: dmtf-org:service:redfish-rest:1", true),
        stCase("ST any dmtf-org service", "urn:dmtf-org:service:other:2", true),
        stCase("ST SSDP:ALL in upper case", "SSDP:ALL", false),
        stCase("ST uuid target", "uuid:1234", false),
        stCase("ST URN of another domain", "urn:schemas-upnp-org:device:Basic:1", false),
        stCase("ST tag with trailing blank", "urn :dmtf-org:service:redfish-rest:1", false),
        stCase("ST without colon", "redfish", false),
        stCase("ST empty", "", false),
    };
}

class ParseSearchQuery : public testing::TestWithParam<ParseCase>
{
};

TEST_P(ParseSearchQuery, VerdictAndMap)
{
    ParseCase c = GetParam();
    std::string text = c.text;
    Headers headers;
    EXPECT_EQ(search::parseQuery(text.data(), headers), c.verdict);
    EXPECT_EQ(headers, c.map);
    EXPECT_EQ(text, c.text) << "the received text must not be written";
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseSearchQuery, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<ParseCase>& info)
                         {
                             std::string name = std::to_string(info.index) + "_";
                             for (const char c : std::string(info.param.name))
                             {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(ParseSearchQueryText, EndsAtFirstNul)
{
    std::string text = LINE + HOST + MAN + MX + std::string(1, '\0') + ST;
    Headers headers;
    EXPECT_FALSE(search::parseQuery(text.data(), headers));
    EXPECT_EQ(headers.count("ST"), 0U);
}

TEST(ParseSearchQueryText, ParserOnlyAddsToTheMapItIsGiven)
{
    std::string text = "NOTIFY * HTTP/1.1\r\n";
    Headers headers = {{"OTHER", "kept"}};
    EXPECT_FALSE(search::parseQuery(text.data(), headers));
    EXPECT_EQ(headers, (Headers{{"OTHER", "kept"}}));
}

IpAddress address(const char* text)
{
    IpAddress a;
    a.family = std::string(text).find(':') == std::string::npos ? AF_INET : AF_INET6;
    inet_pton(a.family, text, &a.bytes);
    return a;
}

// UPnP Device Architecture 1.1, 1.3.2: a search sent by unicast to the device's own address names
// that address and port in HOST, needs no MX, and is judged by the standard form's targets.
TEST(JudgeUnicast, HostMxAndTargets)
{
    struct Case
    {
        const char* to;
        std::string host; // the HOST line's value; none when empty
        std::string mx;   // the MX line, whole
        std::string st;
        bool asked;
        SearchTarget target;
    };
    const std::string redfish = "urn:dmtf-org:service:redfish-rest:1";
    const auto all = SearchTarget::All;
    const std::vector<Case> cases = {
        {"198.18.0.1", "198.18.0.1:1900", "", "ssdp:all", true, all},
        {"198.18.0.1", "198.18.0.1:1900 \t", "MX: 3\r\n", "upnp:rootdevice", true,
         SearchTarget::RootDevice},
        {"198.18.0.1", "198.18.0.1:1900", "MX: soon\r\n", redfish, true, SearchTarget::Redfish},
        {"198.18.0.1", "198.18.0.1:1900", "MX: -5\r\n", redfish + ":2", true,
         SearchTarget::Redfish},
        {"198.18.0.1", "198.18.0.1:1900", "", "uuid:0d4b8f2e", true, SearchTarget::Uuid},
        // Kept by consoles that send their multicast search by unicast (nmap's upnp-info).
        {"198.18.0.1", "239.255.255.250:1900", "", "ssdp:all", true, all},
        {"198.18.0.1", "239.255.", "", "ssdp:all", false, all},
        {"198.18.0.1", "198.18.0.1", "", "ssdp:all", false, all},
        {"198.18.0.1", "198.18.0.1:80", "", "ssdp:all", false, all},
        {"198.18.0.1", "198.18.0.2:1900", "", "ssdp:all", false, all},
        {"198.18.0.1", "198.18.0.10:1900", "", "ssdp:all", false, all},
        {"198.18.0.1", "x198.18.0.1:1900", "", "ssdp:all", false, all},
        {"198.18.0.1", "[198.18.0.1]:1900", "", "ssdp:all", false, all},
        {"198.18.0.1", "", "", "ssdp:all", false, all},
        {"198.18.0.1", "198.18.0.1:1900", "", "ssdp:allsorts", false, all},
        {"198.18.0.1", "198.18.0.1:1900", "", "urn:dmtf-org:service:other:1", false, all},
        {"fd00::1", "[fd00::1]:1900", "", "ssdp:all", true, all},
        {"fd00::1", "[FD00:0::0:1]:1900\r", "MX: 1\r\n", "ssdp:all", true, all},
        {"fd00::1", "[FF02::C]:1900", "", "ssdp:all", true, all},
        {"fd00::1", "fd00::1:1900", "", "ssdp:all", false, all},
        {"fd00::1", "[fd00::1]", "", "ssdp:all", false, all},
        {"fd00::1", "[fd00::1%25eth0]:1900", "", "ssdp:all", false, all},
        {"fd00::1", "[fd00::2]:1900", "", "ssdp:all", false, all},
        {"fd00::1", "239.255.255.250:1900", "", "ssdp:all", false, all},
        {"fe80::1", "[fe80::1]:1900", "", "ssdp:all", true, all},
        {"fe80::1", "[fe80::1%25enp3s0]:1900", "", "ssdp:all", true, all},
        {"fe80::1", "[FE80::1%eth0]:1900", "", "ssdp:all", true, all},
        {"fe80::1", "[fe80::1%]:1900", "", "ssdp:all", false, all},
        {"fe80::1", "[fe80::1%25a]b]:1900", "", "ssdp:all", false, all},
    };
    for (const Case& c : cases)
    {
        const std::string host = c.host.empty() ? "" : "HOST: " + c.host + "\r\n";
        std::string text = LINE;
        text.append(host).append(MAN).append(c.mx).append("ST: ").append(c.st).append("\r\n\r\n");
        Headers headers;
        const search::Verdict verdict = search::judgeUnicast(text.data(), address(c.to), headers);
        EXPECT_EQ(verdict.asked, c.asked) << c.to << " HOST '" << c.host << "' ST " << c.st;
        EXPECT_TRUE(!c.asked || verdict.target == c.target) << c.host << " ST " << c.st;
    }
}

struct MxCase
{
    std::string value;
    int clamped;
    bool valid;
};

TEST(Mx, ConversionClampAndValidator)
{
    const std::vector<MxCase> cases = {
        {"3", 3, true},
        {"3\r", 3, true},
        {"10", 5, false},
        {"5", 5, true},
        {"1", 1, true},
        {"2a", 2, true},
        {" 4", 4, true},
        {"+2", 2, true},
        {"", 1, false},
        {"0", 1, false},
        {"-1", 1, false},
        {"abc", 1, false},
        {"6", 5, false},
        {"99999999999999999999", 5, false},
        {"-99999999999999999999", 1, false},
        {"4294967297", 5, false},
    };
    for (const MxCase& c : cases)
    {
        std::string value = c.value;
        EXPECT_EQ(search::clampMx(value), c.clamped) << "MX '" << c.value << "'";
        EXPECT_EQ(search::isMxValid(value), c.valid) << "MX '" << c.value << "'";
    }
}
} // namespace

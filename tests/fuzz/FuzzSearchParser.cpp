// The request parser on arbitrary datagram bytes, as the receive path hands them over.

#include "FuzzSupport.h"
#include "discovery/Address.h"
#include "discovery/Groups.h"
#include "discovery/SearchParser.h"

#include <arpa/inet.h>
#include <strings.h>

#include <easylogging++.h>
#include <set>
#include <string_view>
#include <vector>

INITIALIZE_EASYLOGGINGPP

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char>& buffer = fuzz::receive(data, size).text;
    const std::string before(buffer.data());

    search::Headers headers;
    const bool valid = search::parseQuery(buffer.data(), headers);

    const std::string_view text(buffer.data());
    fuzz::check(text == before, "the received text is left unchanged");
    static const std::set<std::string> known = {"HOST", "MAN", "MX", "ST"};
    for (const auto& [name, value] : headers)
    {
        fuzz::check(known.count(name) == 1, "only HOST, MAN, MX and ST are stored");
        fuzz::check(value.find('\n') == std::string::npos, "a value ends at its line");
        fuzz::check(value.empty() || (value[0] != ' ' && value[0] != '\t'),
                    "leading blanks are removed from values");
        fuzz::check(text.find(value) != std::string_view::npos, "values come from the text");
        const int mx = search::clampMx(value);
        fuzz::check(mx >= 1 && mx <= search::MX_MAX, "MX clamps into 1..5");
    }
    // The same bytes sent to each IPv6 group: the same headers, and only the HOST verdict may
    // differ, accepting only the text that names that group.
    for (const Ipv6Group& group : IPV6_GROUPS)
    {
        search::Headers headers6;
        if (search::parseQuery(buffer.data(), headers6, group.id))
        {
            fuzz::check(!valid, "no search is accepted over both families");
            // In brackets, or bare as DMTF's validator writes it ("ff02::c:1900").
            const std::string bare = std::string(group.address) + ":1900";
            const std::string& host = headers6["HOST"];
            fuzz::check(strncasecmp(host.c_str(), group.host, std::strlen(group.host)) == 0 ||
                            strncasecmp(host.c_str(), bare.c_str(), bare.size()) == 0,
                        "an accepted IPv6 HOST names its group");
        }
        fuzz::check(headers6 == headers, "the family changes no header");
    }
    // The same bytes sent by unicast to the controller's own address: the same headers, and a
    // search taken only with HOST, MAN and ST.
    for (const char* to : {"198.18.0.1", "fd00::1", "fe80::1"})
    {
        IpAddress address;
        address.family = std::strchr(to, ':') == nullptr ? AF_INET : AF_INET6;
        inet_pton(address.family, to, &address.bytes);
        search::Headers unicast;
        if (search::judgeUnicast(buffer.data(), address, unicast).asked)
        {
            fuzz::check(text.rfind("M-SEARCH", 0) == 0, "a unicast search starts with M-SEARCH");
            fuzz::check(unicast.count("HOST") + unicast.count("MAN") + unicast.count("ST") == 3,
                        "a unicast search has HOST, MAN and ST");
            fuzz::check(unicast.at("HOST").find("1900") != std::string::npos,
                        "a unicast search's HOST names port 1900");
        }
        fuzz::check(unicast == headers, "the destination changes no header");
    }
    if (valid)
    {
        fuzz::check(headers.size() == 4, "a valid search has all four headers");
        fuzz::check(text.rfind("M-SEARCH", 0) == 0, "a valid search starts with M-SEARCH");
        fuzz::check(headers["HOST"].rfind("239.255.", 0) == 0, "HOST names the SSDP group");
        fuzz::check(headers["MAN"].rfind("\"ssdp:di", 0) == 0, "MAN is ssdp:discover");
    }
    return 0;
}

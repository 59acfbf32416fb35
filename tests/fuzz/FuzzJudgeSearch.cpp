// The whole judge-and-answer path without a socket: parse, MX conversion and clamping, delay,
// response building, for arbitrary datagram bytes, in the legacy and the standard form, over
// IPv4 and IPv6.

#include "FuzzSupport.h"
#include "discovery/SearchParser.h"

#include <arpa/inet.h>

#include <easylogging++.h>
#include <vector>

INITIALIZE_EASYLOGGINGPP

namespace
{
const char* const UUID = "92384634-2938-2342-8820-489239905423";
const char* const IFADDR = "198.18.0.1";
const char* const IFADDR6 = "fd00::1";

testsupport::ResponderParts* s_service = nullptr;
testsupport::Messages* s_messages = nullptr; // what s_service sends
std::string s_expected;
std::string s_expected6; // over IPv6
// The standard form's answers, by search target, as built before any request was seen.
testsupport::ResponderParts* s_standard = nullptr;
testsupport::Messages* s_standardMessages = nullptr;
std::vector<std::string> s_standardRsps[SEARCH_TARGET_COUNT];

using Target = SearchTarget;
} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz::quietLogging();
    const std::string info = "{\"uuid\": \"" + std::string(UUID) + "\"}";
    fuzz::writeFile(fuzz::enterWorkingTree(), reinterpret_cast<const uint8_t*>(info.data()),
                    info.size());
    s_service = new testsupport::ResponderParts();
    s_messages = new testsupport::Messages();
    s_messages->publishIpv4(IFADDR);
    s_messages->publishIpv6(IFADDR6);
    const auto expected = [](const std::string& host)
    {
        return std::string("HTTP/1.1 200 OK\r\nCACHE-CONTROL:1800\r\n"
                           "ST:urn:dmtf-org:service:redfish-rest:1\r\nUSN:uuid:") +
               UUID + "::dmtf-org::urn:dmtf-org:service:redfish-rest:1:2\r\nAL:https://" + host +
               "/redfish/v1\r\nEXT:\r\n\r\n";
    };
    s_expected = expected(IFADDR);
    s_expected6 = expected(std::string("[") + IFADDR6 + "]");

    Options standard;
    standard.responseFormat = ResponseFormat::Dsp0266;
    s_standard = new testsupport::ResponderParts(standard);
    s_standardMessages = new testsupport::Messages(standard);
    s_standardMessages->publishIpv4(IFADDR);
    fuzz::check(s_standard->responder.readRedfishdInfo(), "service information read");
    for (const Target t : {Target::Redfish, Target::All, Target::RootDevice, Target::Uuid})
    {
        s_standardRsps[static_cast<int>(t)] = *s_standardMessages->responses(UUID, t);
    }
    return 0;
}

namespace
{
// The standard form answers a subset of what the legacy form answers, and what it sends depends
// on the search target alone.
void checkStandardForm(char* text, bool legacyAnswered)
{
    int mx = 0;
    Target target = Target::Redfish;
    if (!s_standard->responder.screen(text, mx, target, SsdpGroup::Ipv4))
    {
        return;
    }
    // Beyond the legacy form's targets, only a search for the service's own UUID.
    search::Headers headers;
    search::parseQuery(text, headers);
    fuzz::check(legacyAnswered ||
                    (target == Target::Uuid && search::isUuidTarget(headers["ST"], UUID)),
                "the standard form answers only what the legacy form answers, and its own UUID");
    const std::vector<std::string>* rsps = s_standardMessages->responses(UUID, target);
    fuzz::check(rsps != nullptr && *rsps == s_standardRsps[static_cast<int>(target)],
                "the standard answer depends on nothing in the request but its target");
    fuzz::check(rsps->size() == (target == Target::All ? 3U : 1U),
                "ssdp:all answered for each of three targets, the others once");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char>& buffer = fuzz::receive(data, size).text;
    const std::size_t length = std::strlen(buffer.data()); // what the parser sees

    std::string rsp;
    int mx = 0;
    const bool answered = s_messages->answer(s_service->responder, buffer.data(), rsp, mx);

    search::Headers headers;
    fuzz::check(answered == search::parseQuery(buffer.data(), headers),
                "answered exactly when the parser accepts, once the UUID is known");
    checkStandardForm(buffer.data(), answered);

    // A search that came to FF02::C: the IPv6 HOST rule and the IPv6 URL, nothing else changes.
    std::string rsp6;
    int mx6 = 0;
    const bool answered6 =
        s_messages->answer(s_service->responder, buffer.data(), rsp6, mx6, SsdpGroup::Ipv6Link);
    search::Headers headers6;
    fuzz::check(answered6 == search::parseQuery(buffer.data(), headers6, SsdpGroup::Ipv6Link),
                "answered over IPv6 exactly when the parser accepts for the group");
    fuzz::check(!(answered && answered6), "no search is answered over both families");
    if (answered6)
    {
        fuzz::check(rsp6 == s_expected6, "the IPv6 answer differs only in its URL");
        fuzz::check(mx6 == search::clampMx(headers6["MX"]), "MX taken over IPv6");
        // The shortest search answered over IPv6 is 58 bytes; its response here 214.
        fuzz::check(length >= 58, "an answered IPv6 search is at least 58 bytes");
        fuzz::check(rsp6.size() * 58 <= 214 * length, "IPv6 response bytes per request bounded");
    }
    if (!answered)
    {
        return 0;
    }
    fuzz::check(mx >= 1 && mx <= search::MX_MAX, "MX within 1..5");
    fuzz::check(mx == search::clampMx(headers["MX"]), "MX taken from the request");
    const int delay = s_service->responder.drawDelayMs(mx);
    fuzz::check(delay >= 0 && delay < mx * 1000, "delay below MX seconds");
    fuzz::check(rsp == s_expected, "the response bytes depend on nothing in the request");
    // Amplification: one response of fixed size per search, whatever the search's size.
    // The shortest search that can be answered is 52 bytes; its response here 215.
    fuzz::check(length >= 52, "an answered search is at least 52 bytes");
    fuzz::check(rsp.size() * 52 <= 215 * length, "response bytes per request byte bounded");
    return 0;
}

// The whole judge-and-answer path without a socket: parse, MX conversion and clamping, delay,
// response building, for arbitrary datagram bytes.

#include "FuzzSupport.h"
#include "discovery/RedfishDiscovery.h"

#include <arpa/inet.h>

INITIALIZE_EASYLOGGINGPP

namespace
{
const char* const UUID = "92384634-2938-2342-8820-489239905423";
const char* const IFADDR = "198.18.0.1";

RedfishDiscovery* s_service = nullptr;
std::string s_expected;
} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz::quietLogging();
    const std::string info = "{\"uuid\": \"" + std::string(UUID) + "\"}";
    fuzz::writeFile(fuzz::enterWorkingTree(), reinterpret_cast<const uint8_t*>(info.data()),
                    info.size());
    s_service = new RedfishDiscovery();
    in_addr addr{};
    inet_aton(IFADDR, &addr);
    s_service->setIfAddr(addr);
    s_expected = std::string("HTTP/1.1 200 OK\r\nCACHE-CONTROL:1800\r\n"
                             "ST:urn:dmtf-org:service:redfish-rest:1\r\nUSN:uuid:") +
                 UUID + "::dmtf-org::urn:dmtf-org:service:redfish-rest:1:2\r\nAL:https://" +
                 IFADDR + "/redfish/v1\r\nEXT:\r\n\r\n";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::array<char, RedfishDiscovery::RCV_BUF_SIZE> buffer;
    fuzz::receive(buffer, data, size);
    const std::size_t length = std::strlen(buffer.data()); // what the parser sees

    std::string rsp;
    int mx = 0;
    const bool answered = s_service->judgeSearch(buffer.data(), rsp, mx);

    RedfishDiscovery::Headers headers;
    fuzz::check(answered == s_service->parseSearchQuery(buffer.data(), headers),
                "answered exactly when the parser accepts, once the UUID is known");
    if (!answered)
    {
        return 0;
    }
    fuzz::check(mx >= 1 && mx <= RedfishDiscovery::MX_MAX, "MX within 1..5");
    fuzz::check(mx == RedfishDiscovery::clampMx(headers["MX"]), "MX taken from the request");
    const int delay = s_service->drawDelayMs(mx);
    fuzz::check(delay >= 0 && delay < mx * 1000, "delay below MX seconds");
    fuzz::check(rsp == s_expected, "the response bytes depend on nothing in the request");
    // Amplification: one response of fixed size per search, whatever the search's size.
    // The shortest search that can be answered is 52 bytes; its response here 215.
    fuzz::check(length >= 52, "an answered search is at least 52 bytes");
    fuzz::check(rsp.size() * 52 <= 215 * length, "response bytes per request byte bounded");
    return 0;
}

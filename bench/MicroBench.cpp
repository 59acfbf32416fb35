// Nanoseconds per datagram of the request path without a socket: the parser, the response
// builder, the whole judge-and-answer step the responder runs for each received datagram, and
// the pending answers' admission and release.

#include "discovery/PendingResponses.h"
#include "discovery/RedfishDiscovery.h"
#include "tests/TestSupport.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <easylogging++.h>
#include <string>

INITIALIZE_EASYLOGGINGPP

namespace
{
const char* const UUID = "92384634-2938-2342-8820-489239905423";

// What a console sends: the Redfish target, ssdp:all, and one that fails validation (wrong ST),
// so the verdict path of a rejected datagram is measured too.
const char* const REDFISH_SEARCH = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                                   "MAN: \"ssdp:discover\"\r\nMX: 2\r\n"
                                   "ST: urn:dmtf-org:service:redfish-rest:1\r\n\r\n";
const char* const ALL_SEARCH = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                               "MAN: \"ssdp:discover\"\r\nMX: 2\r\nST: ssdp:all\r\n\r\n";
const char* const OTHER_SEARCH = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                                 "MAN: \"ssdp:discover\"\r\nMX: 2\r\n"
                                 "ST: urn:schemas-upnp-org:device:MediaServer:1\r\n\r\n";

// The parser takes a mutable buffer; each iteration gets a fresh copy of the datagram, as the
// responder gets one from the inbox.
struct Datagram
{
    explicit Datagram(const char* text) : bytes(text) {}
    char* data() { return bytes.data(); }
    std::string bytes;
};

void parseSearchQuery(benchmark::State& state, const char* request)
{
    Datagram datagram(request);
    for (auto _ : state)
    {
        search::Headers headers;
        benchmark::DoNotOptimize(search::parseQuery(datagram.data(), headers));
        benchmark::DoNotOptimize(headers);
    }
}
BENCHMARK_CAPTURE(parseSearchQuery, redfish_target, REDFISH_SEARCH);
BENCHMARK_CAPTURE(parseSearchQuery, ssdp_all, ALL_SEARCH);
BENCHMARK_CAPTURE(parseSearchQuery, rejected_target, OTHER_SEARCH);

void buildSearchRsp(benchmark::State& state)
{
    RedfishDiscovery::RedfishdInfo info{UUID};
    for (auto _ : state)
    {
        std::string rsp;
        RedfishDiscovery::buildSearchRsp(rsp, info, "198.18.0.1");
        benchmark::DoNotOptimize(rsp);
    }
}
BENCHMARK(buildSearchRsp);

// The service information is read once from its file, as in the daemon; after that the path is
// parse, cache check, MX and response text.
void judgeSearch(benchmark::State& state, const char* request)
{
    testsupport::ResponderParts parts;
    Responder& service = parts.responder;
    testsupport::Messages messages;
    messages.publishIpv4("198.18.0.1");
    if (!service.readRedfishdInfo())
    {
        state.SkipWithError("service-information file not readable");
        return;
    }
    Datagram datagram(request);
    for (auto _ : state)
    {
        std::string rsp;
        int mx = 0;
        benchmark::DoNotOptimize(messages.answer(service, datagram.data(), rsp, mx));
        benchmark::DoNotOptimize(rsp);
    }
}
BENCHMARK_CAPTURE(judgeSearch, redfish_target, REDFISH_SEARCH);
BENCHMARK_CAPTURE(judgeSearch, ssdp_all, ALL_SEARCH);
BENCHMARK_CAPTURE(judgeSearch, rejected_target, OTHER_SEARCH);

// One search taken and one answer released, with the queue held at a steady fill from 64
// addresses and delays spread over a second, as the responder sees under load.
void pendingAddPopDue(benchmark::State& state)
{
    PendingResponses pending;
    const PendingResponses::Clock::time_point t0 = PendingResponses::Clock::now();
    PendingResponses::Entry entry{};
    entry.to.v4.sin_family = AF_INET;
    entry.toLen = sizeof(entry.to.v4);
    std::uint32_t i = 0;
    const auto next = [&]
    {
        entry.to.v4.sin_addr.s_addr = htonl(0xc6120000 + i % 64);
        entry.due = t0 + std::chrono::microseconds(i) + std::chrono::milliseconds(i * 7919 % 1000);
        ++i;
        return entry;
    };
    while (pending.size() < static_cast<std::size_t>(state.range(0)))
    {
        pending.add(next());
    }
    PendingResponses::Entry out{};
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(pending.add(next()));
        benchmark::DoNotOptimize(pending.popDue(PendingResponses::Clock::time_point::max(), out));
    }
}
BENCHMARK(pendingAddPopDue)->Arg(16)->Arg(128)->Arg(255);

} // namespace

int main(int argc, char** argv)
{
    testsupport::quietLoggers();
    // The daemon reads ../../data/redfish.json from its working directory.
    const testsupport::WorkingTree tree;
    tree.writeInfo(std::string("{\"uuid\": \"") + UUID + "\"}\n");

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The service-information text on arbitrary contents, from memory: JsonDoc and the UUID
// extraction, through the function that readRedfishdInfo hands the file to. The file around it
// (its opening, the cache, the rate-limited records) is the unit tests' part (ServiceInfo in
// tests/unit/ResponderTest.cpp).

#include "FuzzSupport.h"
#include "discovery/RedfishDiscovery.h"
#include "discovery/ServiceInfo.h"

#include <easylogging++.h>

INITIALIZE_EASYLOGGINGPP

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const ServiceInfo info =
        parseServiceInfo(std::string(reinterpret_cast<const char*>(data), size));
    const bool read = info.outcome == ServiceInfo::Outcome::Uuid;
    fuzz::check(read || info.uuid.empty(), "a failed read yields no UUID to cache");
    fuzz::check((info.outcome == ServiceInfo::Outcome::ParseFailed) == !info.errors.empty(),
                "a parse failure, and only one, carries the parser's report");
    if (!read)
    {
        return 0;
    }
    RedfishDiscovery::RedfishdInfo cached{info.uuid};
    std::string rsp;
    RedfishDiscovery::buildSearchRsp(rsp, cached, "198.18.0.1");
    fuzz::check(rsp.size() == 169 + info.uuid.size() + 10, "response length follows the UUID");
    fuzz::check(rsp.find("USN:uuid:" + info.uuid + "::dmtf-org::") != std::string::npos,
                "the UUID is copied verbatim");
    return 0;
}

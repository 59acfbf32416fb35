// The service-information read on arbitrary file contents: JsonDoc and the UUID extraction,
// through the file the daemon reads.

#include "FuzzSupport.h"
#include "discovery/RedfishDiscovery.h"

#include <arpa/inet.h>

INITIALIZE_EASYLOGGINGPP

namespace
{
std::string s_path;
} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz::quietLogging();
    s_path = fuzz::enterWorkingTree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::writeFile(s_path, data, size);
    RedfishDiscovery service;
    const bool read = service.readRedfishdInfo();
    const std::string uuid = service.redfishdInfo().uuid;
    fuzz::check(read || uuid.empty(), "a failed read caches nothing");
    if (!read)
    {
        return 0;
    }
    if (!uuid.empty())
    {
        // Cached: later changes to the file are not read.
        fuzz::writeFile(s_path, reinterpret_cast<const uint8_t*>("{}"), 2);
        fuzz::check(service.readRedfishdInfo() && service.redfishdInfo().uuid == uuid,
                    "a filled cache is kept");
    }
    in_addr addr{};
    inet_aton("198.18.0.1", &addr);
    service.setIfAddr(addr);
    RedfishDiscovery::RedfishdInfo info = service.redfishdInfo();
    std::string rsp;
    service.buildSearchRsp(rsp, info);
    fuzz::check(rsp.size() == 169 + uuid.size() + 10, "response length follows the UUID");
    fuzz::check(rsp.find("USN:uuid:" + uuid + "::dmtf-org::") != std::string::npos,
                "the UUID is copied verbatim");
    return 0;
}

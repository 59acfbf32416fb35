#pragma once

// The bytes SSDP puts on the wire, as the daemon sends and reads them.

#include <cstddef>

// The fixed text of the messages the daemon sends and expects, each value written once: the
// service object's constants are these, the judge reads searches by them, and MessageCache builds
// the legacy answer from them and the standard form's values (UUID, URL, targets) too. The
// standard form's own header names are written where MessageCache builds it.
#define WIRE_IPV4_GROUP "239.255.255.250"
#define WIRE_IPV4_HOST WIRE_IPV4_GROUP ":1900"
#define WIRE_STATUS_LINE "HTTP/1.1 200 OK\r\n"
#define WIRE_MAX_AGE "1800"
#define WIRE_REDFISH_SERVICE "dmtf-org:service:redfish-rest:1"
#define WIRE_REDFISH_ST "urn:" WIRE_REDFISH_SERVICE
#define WIRE_ALL_TARGETS "ssdp:all"
#define WIRE_ROOT_DEVICE "upnp:rootdevice"
#define WIRE_UUID_PREFIX "uuid:"
#define WIRE_SERVICE_ROOT "/redfish/v1"
// A search's request line and the headers it must carry.
#define WIRE_SEARCH_METHOD "M-SEARCH"
#define WIRE_HOST_NAME "HOST"
#define WIRE_MAN_NAME "MAN"
#define WIRE_MAN_VALUE "\"ssdp:discover\""
#define WIRE_MX_NAME "MX"
#define WIRE_ST_NAME "ST"
#define WIRE_URN_TAG "URN"
// The legacy answer's lines, in order; "<...>" stands for the value put in its place.
#define WIRE_LEGACY_CACHE "CACHE-CONTROL:" WIRE_MAX_AGE "\r\n"
#define WIRE_LEGACY_ST "ST:" WIRE_REDFISH_ST "\r\n"
#define WIRE_LEGACY_USN                                                                            \
    "USN:" WIRE_UUID_PREFIX "<UUID of Manager>::dmtf-org::" WIRE_REDFISH_ST ":2\r\n"
#define WIRE_LEGACY_AL "AL:https://<ip-addr:port>" WIRE_SERVICE_ROOT "\r\n"
#define WIRE_LEGACY_EXT "EXT:\r\n"

// What an answered search asked for (UPnP Device Architecture 1.1, section 1.3.2).
enum class SearchTarget
{
    Redfish,
    All,
    RootDevice,
    Uuid, // the device's own UUID, "uuid:<UUID>": answered in the standard form only
};
inline constexpr std::size_t SEARCH_TARGET_COUNT = static_cast<std::size_t>(SearchTarget::Uuid) + 1;

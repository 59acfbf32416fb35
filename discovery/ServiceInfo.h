#pragma once

#include <istream>
#include <string>

// What the service-information text yields: the UUID, or why there is none. The text comes from
// another daemon, so any bytes are possible; reading them never throws.
struct ServiceInfo
{
    enum class Outcome
    {
        Uuid,        // `uuid` holds the member's text, possibly empty
        ParseFailed, // not JSON; `errors` holds the parser's report
        NotObject,   // JSON, but neither an object nor null
        NoUuid,      // no uuid member, or a null one
        UuidNotText, // the uuid member is an array or an object
    };

    Outcome outcome = Outcome::NoUuid;
    std::string uuid;
    std::string errors;
};

// The service information the responder keeps: the UUID, empty until read from the file.
struct RedfishdInfo
{
    std::string uuid;
};

// The service information in `text`, the whole contents of the file.
ServiceInfo parseServiceInfo(std::string text);
// The same for the rest of `in`, read to its end.
ServiceInfo parseServiceInfo(std::istream& in);

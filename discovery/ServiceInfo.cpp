#include "discovery/ServiceInfo.h"

#include "common/JsonDoc.h"

#include <iterator>

namespace
{
const char* const UUID_KEY = "uuid";
} // namespace

ServiceInfo parseServiceInfo(std::string text)
{
    ServiceInfo info;
    JsonDoc doc(text);
    if (!doc.parse(info.errors))
    {
        info.outcome = ServiceInfo::Outcome::ParseFailed;
        return info;
    }
    // Kinds are checked before the lookups, which would throw on anything but an object holding
    // a string, number or boolean.
    const Json::Value& root = doc.getRoot();
    if (!root.isNull() && !root.isObject())
    {
        info.outcome = ServiceInfo::Outcome::NotObject;
        return info;
    }
    Json::Value node = doc.getNode(UUID_KEY);
    if (doc.isNodeNull(node))
    {
        info.outcome = ServiceInfo::Outcome::NoUuid;
        return info;
    }
    if (node.isArray() || node.isObject())
    {
        info.outcome = ServiceInfo::Outcome::UuidNotText;
        return info;
    }
    info.outcome = ServiceInfo::Outcome::Uuid;
    info.uuid = doc.getStringValue(node);
    return info;
}

ServiceInfo parseServiceInfo(std::istream& in)
{
    // As the JSON library reads a stream: every byte to the end, NULs included.
    return parseServiceInfo(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

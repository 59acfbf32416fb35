#include "discovery/ServiceInfo.h"

#include "common/JsonDoc.h"

#include <sys/stat.h>

#include <iterator>
#include <tuple>

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

bool ServiceFileWatch::FileState::operator==(const FileState& other) const
{
    return std::tie(present, device, inode, size, modified.tv_sec, modified.tv_nsec) ==
           std::tie(other.present, other.device, other.inode, other.size, other.modified.tv_sec,
                    other.modified.tv_nsec);
}

bool ServiceFileWatch::changed(const char* path, Clock::time_point now)
{
    // Looked at before the read: a file that changes while it is read differs next time.
    FileState seen;
    struct stat st = {};
    if (::stat(path, &st) == 0)
    {
        seen = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    }
    if (m_everRead && (seen == m_read || now - m_readAt < MIN_INTERVAL))
    {
        return false;
    }
    m_everRead = true;
    m_read = seen;
    m_readAt = now;
    return true;
}

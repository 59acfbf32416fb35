#include "discovery/ServiceInfo.h"

#include "common/JsonDoc.h"
#include "common/Logger.h"
#include "common/StringConstants.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <tuple>
#include <vector>

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
        for (const std::string& name :
             root.isObject() ? root.getMemberNames() : std::vector<std::string>{})
        {
            if (name != UUID_KEY && strcasecmp(name.c_str(), UUID_KEY) == 0)
            {
                info.otherCase = name;
            }
        }
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

const char* fileKindText(mode_t mode)
{
    switch (mode & S_IFMT)
    {
    case S_IFREG:
        return "a regular file";
    case S_IFIFO:
        return "a FIFO";
    case S_IFCHR:
        return "a character device";
    case S_IFBLK:
        return "a block device";
    case S_IFDIR:
        return "a directory";
    case S_IFSOCK:
        return "a socket";
    default:
        return "of an unknown kind";
    }
}

namespace
{
// Owns the descriptor the file is read through.
struct FileDescriptor
{
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor()
    {
        if (fd != -1)
        {
            ::close(fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    const int fd;
};

// Every byte to the end, NULs included, as long as there are no more than `maxSize`: a file that
// grew past it since fstat() is refused all the same.
bool readAtMost(int fd, off_t maxSize, std::string& text)
{
    char chunk[65536];
    for (;;)
    {
        const ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            return true;
        }
        if (static_cast<off_t>(text.size()) + n > maxSize)
        {
            return false;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
}
} // namespace

ServiceFile readServiceFile(const char* path, off_t maxSize)
{
    ServiceFile file;
    // O_NONBLOCK: a FIFO opens at once, with no writer; O_NOCTTY: a terminal never becomes the
    // daemon's.
    FileDescriptor descriptor(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st = {};
    if (descriptor.fd == -1)
    {
        file.error = errno;
        // A socket cannot be opened at all (ENXIO): named as what it is all the same.
        const bool named = ::stat(path, &st) == 0 && !S_ISREG(st.st_mode);
        file.outcome = named ? ServiceFile::Outcome::NotRegular : ServiceFile::Outcome::OpenFailed;
        file.kind = named ? fileKindText(st.st_mode) : "";
        return file;
    }
    if (::fstat(descriptor.fd, &st) != 0)
    {
        file.error = errno;
        file.outcome = ServiceFile::Outcome::StatFailed;
        return file;
    }
    file.size = st.st_size;
    if (!S_ISREG(st.st_mode))
    {
        file.outcome = ServiceFile::Outcome::NotRegular;
        file.kind = fileKindText(st.st_mode);
        return file;
    }
    if (st.st_size > maxSize)
    {
        file.outcome = ServiceFile::Outcome::TooLarge;
        return file;
    }
    file.text.reserve(static_cast<std::size_t>(st.st_size));
    if (!readAtMost(descriptor.fd, maxSize, file.text))
    {
        // Grown since: its size now, or at least the bytes read.
        file.outcome = ServiceFile::Outcome::TooLarge;
        file.size =
            ::fstat(descriptor.fd, &st) == 0 && st.st_size > maxSize ? st.st_size : maxSize + 1;
        file.text.clear();
    }
    return file;
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

namespace
{
// The JSON reader's report on one line: its line feeds and indents as single blanks.
std::string oneLine(const std::string& text)
{
    std::string line;
    for (const char c : text)
    {
        const bool blank = c == '\n' || c == ' ' || c == '\t';
        if (!blank || (!line.empty() && line.back() != ' '))
        {
            line += blank ? ' ' : c;
        }
    }
    if (!line.empty() && line.back() == ' ')
    {
        line.pop_back();
    }
    return line;
}

bool missing(const char* path)
{
    struct stat st = {};
    return ::stat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}
} // namespace

ServiceInfoCache::ServiceInfoCache(LogLimiterGroup& limits)
    : m_openFailLimit(limits, "Failed to open the redfishd info file"),
      m_parseFailLimit(limits, "Failed to parse the redfishd info")
{
}

const char* ServiceInfoCache::path()
{
    const char* const relative = StringConstants::REDFISH_DISC_CFG_FL();
    const char* const fallback = StringConstants::REDFISH_DISC_CFG_FL_ABSOLUTE();
    return missing(relative) && !missing(fallback) ? fallback : relative;
}

bool ServiceInfoCache::read(Clock::time_point now)
{
    if (!m_info.uuid.empty())
    {
        return true;
    }
    // A file unchanged since its last read gives what it gave then: a large file without a UUID
    // is not parsed again for every datagram of a flood.
    const char* const file = path();
    if (m_watch.changed(file, now))
    {
        m_taken = load(file);
    }
    return m_taken;
}

bool ServiceInfoCache::load(const char* path)
{
    const ServiceFile file = readServiceFile(path);
    if (file.outcome != ServiceFile::Outcome::Read)
    {
        refuse(path, file);
        return false;
    }
    // The file comes from another daemon: any contents are read without throwing.
    const ServiceInfo info = parseServiceInfo(file.text);
    switch (info.outcome)
    {
    case ServiceInfo::Outcome::ParseFailed:
        m_parseFailLimit.write(
            [&info]
            {
                JsonDoc::logParseFailure(info.errors);
                LOG_DISC(WARNING) << "Failed to parse the redfishd info";
            });
        tell("parse", path, "is not valid JSON: " + oneLine(info.errors));
        return false;
    case ServiceInfo::Outcome::NotObject:
        tell("kind", path, "is not a JSON object");
        return false;
    case ServiceInfo::Outcome::NoUuid:
        tell("uuid", path,
             "has no \"uuid\" string" +
                 (info.otherCase.empty()
                      ? ""
                      : " (but \"" + info.otherCase + "\": member names are case-sensitive)"));
        return false;
    case ServiceInfo::Outcome::UuidNotText:
        tell("uuid kind", path, "has a \"uuid\" that is not a string");
        return false;
    case ServiceInfo::Outcome::Uuid:
        break;
    }
    if (!m_state.empty() && m_state != "read")
    {
        LOG_DISC(INFO) << "Service information file " << absolutePath(path) << " read";
    }
    m_state = "read";
    // An empty text is taken (and answered with) but not kept: the file is read again once it
    // changes.
    m_info.uuid = info.uuid;
    return true;
}

void ServiceInfoCache::refuse(const char* path, const ServiceFile& file)
{
    // Read again once stat() sees it change: after its mode is fixed, for instance.
    if (file.outcome == ServiceFile::Outcome::OpenFailed ||
        file.outcome == ServiceFile::Outcome::StatFailed)
    {
        m_watch.unreadable();
    }
    switch (file.outcome)
    {
    case ServiceFile::Outcome::OpenFailed:
    {
        m_openFailLimit.write([] { LOG_DISC(WARNING) << "Failed to open the redfishd info file"; });
        const bool noFallback =
            (file.error == ENOENT || file.error == ENOTDIR) &&
            absolutePath(path) != StringConstants::REDFISH_DISC_CFG_FL_ABSOLUTE();
        tell("open " + std::to_string(file.error), path,
             std::string("cannot be opened: ") + std::strerror(file.error) +
                 (noFallback ? std::string(" (nor is there ") +
                                   StringConstants::REDFISH_DISC_CFG_FL_ABSOLUTE() + ")"
                             : ""));
        break;
    }
    case ServiceFile::Outcome::NotRegular:
        tell(file.kind, path, std::string("is not a regular file (") + file.kind + ")");
        break;
    case ServiceFile::Outcome::TooLarge:
        tell("too large", path,
             "is too large (" + std::to_string(file.size) + " bytes, at most " +
                 std::to_string(ServiceFile::MAX_SIZE) + ")");
        break;
    default:
        tell("fstat " + std::to_string(file.error), path,
             std::string("cannot be read: fstat() failed") + std::strerror(file.error));
        break;
    }
}

void ServiceInfoCache::tell(const std::string& state, const char* path, const std::string& problem)
{
    // Once per trouble as it begins: the file is looked at again only once it changes, and a
    // change to the same trouble (another FIFO, another broken text) says nothing new. The state
    // is kept with its path, so that the fallback's trouble is told apart from the relative one's.
    const std::string key = state + " " + path;
    if (key == m_state)
    {
        return;
    }
    m_state = key;
    LOG_DISC(WARNING) << "Service information file " << absolutePath(path) << " " << problem;
}

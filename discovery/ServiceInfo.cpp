#include "discovery/ServiceInfo.h"

#include "common/JsonDoc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

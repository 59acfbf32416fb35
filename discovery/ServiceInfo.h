#pragma once

#include "common/LogLimiter.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <ctime>
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
    std::string otherCase; // with NoUuid: a member named "uuid" in other letters ("UUID")
};

// The service information the responder keeps: the UUID, empty until read from the file.
struct RedfishdInfo
{
    std::string uuid;
};

// The service information in `text`, the whole contents of the file.
ServiceInfo parseServiceInfo(std::string text);

// The service-information file's bytes, or why none were taken. Whatever sits at the path, the
// read neither blocks nor grows without bound: a FIFO would hold the open (and the responder with
// it) until a writer came, and a link to /dev/zero would be read forever.
struct ServiceFile
{
    // A few times the largest file a service writes: a 1 MB file is still read whole.
    static constexpr off_t MAX_SIZE = off_t{4} * 1024 * 1024;

    enum class Outcome
    {
        Read,       // `text` holds the contents
        OpenFailed, // `error` holds open()'s errno
        StatFailed, // `error` holds fstat()'s errno
        NotRegular, // a FIFO, device, directory or socket: `kind` names it
        TooLarge,   // `size` holds its size, above MAX_SIZE
    };

    Outcome outcome = Outcome::Read;
    int error = 0;
    const char* kind = "";
    off_t size = 0;
    std::string text;
};

// Opens `path` without blocking and reads it when it is a regular file of at most `maxSize`
// bytes. A read error ends the text where it happened.
ServiceFile readServiceFile(const char* path, off_t maxSize = ServiceFile::MAX_SIZE);
// What a file of mode `mode` is, as a record names it ("a FIFO", "a directory", ...).
const char* fileKindText(mode_t mode);

// Whether the service-information file is worth reading now. Until it yields a UUID it is asked
// about on every datagram, and parsing a large file per datagram would let a flood take a whole
// processor: it is read again only once its identity (device, inode), size or modification time
// has changed since the last read, and at most once a second. A stat() per question.
class ServiceFileWatch
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration MIN_INTERVAL = std::chrono::seconds(1);

    // True when `path` is to be read now: the first time, then after a change; what it saw then
    // counts as read.
    bool changed(const char* path, Clock::time_point now);
    // The file just could not be opened: it counts as missing, and is read again once stat()
    // finds it, for instance after its mode is fixed.
    void unreadable() { m_read = FileState(); }

private:
    struct FileState
    {
        bool present = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        bool operator==(const FileState& other) const;
    };

    bool m_everRead = false;
    FileState m_read;
    Clock::time_point m_readAt;
};

// The service information the responder keeps: the UUID, read from the file until it is known
// (an empty one is answered with, and read again once the file changes). The file is the relative
// one, or the absolute fallback when nothing is at the relative path. Beside the established
// records, which are rate-limited, each trouble with the file is recorded once as it begins, with
// the file's absolute path and the reason, and its end once the file is read. Owned by the
// responder's thread; the start reads it once before the threads run.
class ServiceInfoCache
{
public:
    using Clock = std::chrono::steady_clock;

    // `limits` is the owner's thread's, and kept.
    explicit ServiceInfoCache(LogLimiterGroup& limits);

    // True once it has a UUID (an empty one too).
    bool read(Clock::time_point now = Clock::now());
    const RedfishdInfo& info() const { return m_info; }
    // The path read now: the relative one, or the fallback when nothing is there.
    static const char* path();

private:
    bool load(const char* path);
    // The record of a file that was not read; it counts as missing.
    void refuse(const char* path, const ServiceFile& file);
    // Writes `problem` about `path` as a WARNING when `state` is not the last one told.
    void tell(const std::string& state, const char* path, const std::string& problem);

    RedfishdInfo m_info;
    ServiceFileWatch m_watch;
    bool m_taken = false; // what the last read of the file gave
    std::string m_state;  // the last trouble told, with its path; "read" once read
    LogLimiter m_openFailLimit;
    LogLimiter m_parseFailLimit;
};

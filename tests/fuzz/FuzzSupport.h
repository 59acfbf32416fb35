#pragma once

#include "common/Logger.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

// Shared by the fuzz targets: quiet loggers, a working tree laid out as the daemon expects, and
// the receive path's hand-over of datagram bytes.
namespace fuzz
{
// A broken property is a finding: stop with a message the run's log keeps.
inline void check(bool ok, const char* what)
{
    if (!ok)
    {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// The daemon's two loggers, configured to write nothing: the targets judge behaviour, not text.
inline void quietLogging()
{
    el::Configurations quiet;
    quiet.setToDefault();
    quiet.set(el::Level::Global, el::ConfigurationType::Enabled, "false");
    quiet.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
    quiet.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
    for (const char* id : {"discovery", "datamgr"})
    {
        el::Loggers::getLogger(id);
        el::Loggers::reconfigureLogger(id, quiet);
    }
}

// Creates <tmp>/opt/bin and <tmp>/data under $TMPDIR (else /tmp) and makes <tmp>/opt/bin the
// working directory, so that "../../data/redfish.json" is <tmp>/data/redfish.json. Returns that
// file's path. libFuzzer ends a timed run without running exit handlers, so the CI stage points
// TMPDIR into a scratch directory that it removes itself.
inline std::string enterWorkingTree()
{
    const char* tmp = std::getenv("TMPDIR");
    static std::string root;
    root = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/discovery-fuzz-XXXXXX";
    check(mkdtemp(root.data()) != nullptr, "mkdtemp");
    std::atexit(
        []
        {
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        });
    const std::filesystem::path base(root);
    std::filesystem::create_directories(base / "opt" / "bin");
    std::filesystem::create_directories(base / "data");
    std::filesystem::current_path(base / "opt" / "bin");
    return (base / "data" / "redfish.json").string();
}

inline void writeFile(const std::string& path, const uint8_t* data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// What the listener hands over: at most RCV_BUF_SIZE - 1 bytes of the datagram, then a NUL.
template <std::size_t N>
std::size_t receive(std::array<char, N>& buffer, const uint8_t* data, std::size_t size)
{
    const std::size_t length = size < N - 1 ? size : N - 1;
    if (length > 0)
    {
        std::memcpy(buffer.data(), data, length);
    }
    buffer[length] = '\0';
    return length;
}
} // namespace fuzz

#pragma once

#include "tests/TestSupport.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

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
    testsupport::quietLoggers(false);
}

// A working tree laid out as the daemon expects, entered for the whole run; returns the path of
// its service-information file. libFuzzer ends a timed run without running exit handlers, so the
// CI stage points TMPDIR into a scratch directory that it removes itself.
inline std::string enterWorkingTree()
{
    static testsupport::WorkingTree tree;
    return tree.infoFile().string();
}

inline void writeFile(const std::string& path, const uint8_t* data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// What a listener hands over: the datagram's bytes in a receive buffer, its text ended by the
// queue's own rule. The buffer is reused from one input to the next.
inline Datagram& receive(const uint8_t* data, std::size_t size)
{
    static Datagram datagram;
    datagram.text.assign(DATAGRAM_BUF_SIZE, '\0');
    const std::size_t kept = std::min(size, datagram.text.size());
    if (kept > 0)
    {
        std::memcpy(datagram.text.data(), data, kept);
    }
    datagram.length = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
    datagram.endText();
    return datagram;
}
} // namespace fuzz

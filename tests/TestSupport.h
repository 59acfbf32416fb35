#pragma once

// Set-up shared by the unit tests, the fuzz targets and the micro-benchmarks: the daemon's two
// loggers made quiet, and a working tree laid out as the daemon expects.

#include "common/Logger.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace testsupport
{
// Nothing goes to standard output or a file. With `enabled` false nothing is even formatted:
// for callers that judge behaviour, not records.
inline void quietLoggers(bool enabled = true)
{
    el::Configurations quiet;
    quiet.setToDefault();
    quiet.set(el::Level::Global, el::ConfigurationType::Enabled, enabled ? "true" : "false");
    quiet.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
    quiet.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
    for (const char* id : {Logger::DISC_LOG(), Logger::DATA_LOG()})
    {
        el::Loggers::getLogger(id);
        el::Loggers::reconfigureLogger(id, quiet);
    }
}

// <tmp>/opt/bin, the working directory while the tree lives, and <tmp>/data, so that the
// daemon's "../../data/redfish.json" is <tmp>/data/redfish.json. The tree goes under $TMPDIR
// (else /tmp) and is removed with the object.
class WorkingTree
{
public:
    WorkingTree()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/discovery-test-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
        {
            throw std::runtime_error("mkdtemp failed");
        }
        m_root = pattern;
        std::filesystem::create_directories(m_root / "opt" / "bin");
        std::filesystem::create_directories(m_root / "data");
        m_cwd = std::filesystem::current_path();
        std::filesystem::current_path(m_root / "opt" / "bin");
    }
    ~WorkingTree()
    {
        std::error_code ignored;
        std::filesystem::current_path(m_cwd, ignored);
        std::filesystem::remove_all(m_root, ignored);
    }
    WorkingTree(const WorkingTree&) = delete;
    WorkingTree& operator=(const WorkingTree&) = delete;

    std::filesystem::path infoFile() const { return m_root / "data" / "redfish.json"; }
    void writeInfo(const std::string& content) const
    {
        std::ofstream(infoFile(), std::ios::binary | std::ios::trunc) << content;
    }
    void removeInfo() const { std::filesystem::remove(infoFile()); }

private:
    std::filesystem::path m_root;
    std::filesystem::path m_cwd;
};
} // namespace testsupport

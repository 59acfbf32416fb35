#pragma once

#include <filesystem>
#include <string>

// File paths shared by the daemon's parts. Relative paths resolve against the working
// directory, which the daemon never changes.
class StringConstants
{
public:
    // Written by the Redfish service daemon; holds the service UUID.
    static const char* REDFISH_DISC_CFG_FL() { return "../../data/redfish.json"; }
    // Where the file is in the installed tree (/opt/oobm/bin/../../data): read when nothing is at
    // the relative path, as for a daemon started by hand from another directory.
    static const char* REDFISH_DISC_CFG_FL_ABSOLUTE() { return "/opt/data/redfish.json"; }
};

// `path` from the root, for records: the working directory is a physical path, so ".." is
// resolved in the text as the kernel would resolve it, whether or not the file exists.
inline std::string absolutePath(const char* path)
{
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? path : absolute.lexically_normal().string();
}

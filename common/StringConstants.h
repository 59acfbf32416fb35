#pragma once

// File paths shared by the daemon's parts. Relative paths resolve against the working
// directory, which the daemon never changes.
class StringConstants
{
public:
    // Written by the Redfish service daemon; holds the service UUID.
    static const char* REDFISH_DISC_CFG_FL() { return "../../data/redfish.json"; }
};

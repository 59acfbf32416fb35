#pragma once

#include "discovery/Groups.h"

#include <cstddef>
#include <string>
#include <vector>

// How search responses are written: the form the consoles built for this daemon parse, or the
// standard form that DMTF's tools and generic UPnP control points accept (DSP0266, UPnP Device
// Architecture 1.1).
enum class ResponseFormat
{
    Legacy,
    Dsp0266,
};

// The interface answered on when the command line names none.
inline constexpr const char* DEFAULT_INTERFACE = "eth1";

// How many interfaces -i may name.
inline constexpr std::size_t MAX_INTERFACES = 8;

// The daemon's command line. Every option defaults to the behaviour of a daemon started without
// arguments.
struct Options
{
    Options();

    std::vector<std::string> interfaces; // every -i, in the order given, none twice; at least
                                         // one: DEFAULT_INTERFACE by default
    ResponseFormat responseFormat = ResponseFormat::Legacy;
    int notifyInterval = 0; // seconds between NOTIFY announcements; 0: none
    int notifyTtl = 2;      // multicast time-to-live of the announcements (Redfish's NotifyTTL)
    bool ipv6 = false;      // answer (and announce) over IPv6 as well
    // The widest IPv6 group joined; the narrower ones are joined too (Redfish's NotifyIPv6Scope).
    SsdpGroup ipv6Scope = SsdpGroup::Ipv6Link;
    // Answer searches sent by unicast to the addresses announced, at port 1900, as well.
    bool unicast = false;
    // Seconds between the reports that keep each group membership known to switches that snoop
    // IGMP or MLD; 0: only the kernel's own (at the join, and in answer to a querier).
    int membershipRefresh = 60;
    // The arguments that are not options, in the order given: ignored, and named in a WARNING.
    std::vector<std::string> ignored;
};

// Parses the command line into `options`. Returns -1 when the daemon is to run, else the exit
// status: 0 after --help or --version (written to standard output), 2 after a usage error (one
// line naming it, then the usage, on standard error).
int parseOptions(int argc, char** argv, Options& options);

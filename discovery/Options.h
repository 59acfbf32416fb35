#pragma once

#include <string>

// The daemon's command line. Every option defaults to the behaviour of a daemon started without
// arguments.
struct Options
{
    std::string interface = "eth1";
};

// Parses the command line into `options`. Returns -1 when the daemon is to run, else the exit
// status: 0 after --help or --version (written to standard output), 2 after a usage error (one
// line naming it, then the usage, on standard error).
int parseOptions(int argc, char** argv, Options& options);

#include "discovery/Options.h"

#include <getopt.h>
#include <net/if.h>

#include <iostream>

namespace
{
const char* const USAGE =
    "usage: discovery [options]\n"
    "Answers SSDP searches for the Redfish service on one network interface.\n"
    "  -i, --interface NAME  join the SSDP group on NAME and announce its address\n"
    "                        (default eth1)\n"
    "  -h, --help            print this help and exit\n"
    "  -V, --version         print the version and exit\n"
    "Exit status: 0 after a stop by SIGINT, SIGTERM or SIGSEGV, 1 when logging or the\n"
    "service cannot start, 2 on a usage error.\n";

int usageError(const std::string& message)
{
    std::cerr << "discovery: " << message << "\n" << USAGE;
    return 2;
}
} // namespace

int parseOptions(int argc, char** argv, Options& options)
{
    static const option LONG_OPTIONS[] = {{"interface", required_argument, nullptr, 'i'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {nullptr, 0, nullptr, 0}};
    // Our own messages, not getopt's: one line each, then the usage.
    opterr = 0;
    optind = 1;
    for (;;)
    {
        const int previous = optind;
        const int opt = getopt_long(argc, argv, ":i:hV", LONG_OPTIONS, nullptr);
        if (opt == -1)
        {
            break;
        }
        const std::string given = previous < argc ? argv[previous] : "";
        switch (opt)
        {
        case 'i':
            // The kernel's limit on interface names, terminating NUL included.
            if (std::string(optarg).empty() || std::string(optarg).size() > IFNAMSIZ - 1)
            {
                return usageError("interface name must be 1 to " + std::to_string(IFNAMSIZ - 1) +
                                  " characters: '" + optarg + "'");
            }
            options.interface = optarg;
            break;
        case 'h':
            std::cout << USAGE;
            return 0;
        case 'V':
            std::cout << "discovery " << DISCOVERY_VERSION << "\n";
            return 0;
        case ':':
            return usageError("option " + given + " needs a value");
        default:
            return usageError("unknown option " + given);
        }
    }
    if (optind < argc)
    {
        return usageError(std::string("unexpected argument '") + argv[optind] + "'");
    }
    return -1;
}

#include "discovery/Options.h"

#include "discovery/Groups.h"

#include <cerrno>
#include <cstdlib>
#include <getopt.h>
#include <net/if.h>

#include <algorithm>
#include <iostream>
#include <utility>

namespace
{
const char* const USAGE =
    "usage: discovery [options]\n"
    "Answers SSDP searches for the Redfish service on one network interface or several.\n"
    "  -i, --interface NAME  join the SSDP group on NAME and announce its address\n"
    "                        (default eth1); may be given up to 8 times, to answer on\n"
    "                        each interface with that interface's address\n"
    "  -f, --response-format legacy|dsp0266\n"
    "                        legacy (default): the responses the consoles built for this\n"
    "                        daemon parse; dsp0266: the standard form (LOCATION, SERVER,\n"
    "                        max-age, USN per target, BOOTID growing with each new\n"
    "                        address, uuid:<UUID> searches answered) for DMTF tools and\n"
    "                        UPnP consoles\n"
    "  -n, --notify-interval SECONDS\n"
    "                        multicast NOTIFY announcements every SECONDS (10 to 1800),\n"
    "                        and a byebye at a clean stop; 0 (default): none\n"
    "  -t, --notify-ttl HOPS time-to-live of the announcements, 1 to 255 (default 2)\n"
    "  -6, --ipv6            answer over IPv6 too, on the groups of --ipv6-scope, with\n"
    "                        the interface's IPv6 address in the URL; IPv4 goes on as ever\n"
    "      --ipv6-scope link|site|organization|global\n"
    "                        with --ipv6: join FF02::C (link, the default), and FF05::C\n"
    "                        (site), FF08::C (organization) and FF0E::C (global) as well;\n"
    "                        global for GSSDP-based consoles with a unique-local or global\n"
    "                        IPv6 address, which search FF0E::C\n"
    "      --unicast         answer searches sent by unicast to each interface's\n"
    "                        address (and with --ipv6 its IPv6 and link-local ones),\n"
    "                        port 1900, from on-link consoles, in the dsp0266 form\n"
    "      --membership-refresh SECONDS\n"
    "                        have the kernel report each group membership again every\n"
    "                        SECONDS (1 to 3600; default 60), without leaving the\n"
    "                        group, so that switches snooping IGMP or MLD on a VLAN\n"
    "                        without a querier keep forwarding searches; 0: off\n"
    "  -h, --help            print this help and exit\n"
    "  -V, --version         print the version and exit\n"
    "Exit status: 0 after a stop by SIGINT, SIGTERM or SIGSEGV, 1 when logging or the\n"
    "service cannot start, 2 on a usage error.\n";

// The error and where to learn more, two lines: under systemd the journal's tail is the error,
// not the usage.
int usageError(const std::string& message)
{
    std::cerr << "discovery: " << message << "\nTry 'discovery --help' for more information.\n";
    return 2;
}

// A whole decimal number from `low` to `high`: nothing before or after it, no sign but '-'.
bool parseNumber(const char* text, long low, long high, int& out)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value < low || value > high)
    {
        return false;
    }
    out = static_cast<int>(value);
    return true;
}
// Each option's value into `options`: an empty text, or the usage error's line.
std::string takeInterface(const std::string& name, std::vector<std::string>& interfaces)
{
    // The kernel's limit on interface names, terminating NUL included.
    if (name.empty() || name.size() > IFNAMSIZ - 1)
    {
        return "interface name must be 1 to " + std::to_string(IFNAMSIZ - 1) + " characters: '" +
               name + "'";
    }
    if (std::find(interfaces.begin(), interfaces.end(), name) != interfaces.end())
    {
        return "interface given more than once: '" + name + "'";
    }
    if (interfaces.size() == MAX_INTERFACES)
    {
        return "at most " + std::to_string(MAX_INTERFACES) + " interfaces may be given: '" + name +
               "'";
    }
    interfaces.push_back(name);
    return "";
}

std::string takeFormat(const std::string& value, Options& options)
{
    if (value != "legacy" && value != "dsp0266")
    {
        return "response format must be legacy or dsp0266: '" + value + "'";
    }
    options.responseFormat = value == "legacy" ? ResponseFormat::Legacy : ResponseFormat::Dsp0266;
    return "";
}

std::string takeInterval(const char* value, Options& options)
{
    // Shorter than 10 s floods the segment; past 1800 s the announcements would outlive the
    // shortest max-age a control point may hold them for.
    if (!parseNumber(value, 0, 1800, options.notifyInterval) ||
        (options.notifyInterval > 0 && options.notifyInterval < 10))
    {
        return std::string("notify interval must be 0 or 10 to 1800 seconds: '") + value + "'";
    }
    return "";
}

std::string takeTtl(const char* value, Options& options)
{
    if (!parseNumber(value, 1, 255, options.notifyTtl))
    {
        return std::string("notify TTL must be 1 to 255: '") + value + "'";
    }
    return "";
}

std::string takeRefresh(const char* value, Options& options)
{
    if (!parseNumber(value, 0, 3600, options.membershipRefresh))
    {
        return std::string("membership refresh must be 0 to 3600 seconds: '") + value + "'";
    }
    return "";
}

std::string takeScope(const std::string& value, Options& options)
{
    for (const Ipv6Group& group : IPV6_GROUPS)
    {
        if (value == group.scope)
        {
            options.ipv6Scope = group.id;
            return "";
        }
    }
    return "IPv6 scope must be link, site, organization or global: '" + value + "'";
}
const option LONG_OPTIONS[] = {{"interface", required_argument, nullptr, 'i'},
                               {"response-format", required_argument, nullptr, 'f'},
                               {"notify-interval", required_argument, nullptr, 'n'},
                               {"notify-ttl", required_argument, nullptr, 't'},
                               {"ipv6", no_argument, nullptr, '6'},
                               {"ipv6-scope", required_argument, nullptr, 'S'},
                               {"unicast", no_argument, nullptr, 'U'},
                               {"membership-refresh", required_argument, nullptr, 'M'},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, 'V'},
                               {nullptr, 0, nullptr, 0}};

// After the last option: what the options say together.
int finishOptions(int argc, char** argv, bool scopeGiven, std::vector<std::string>& interfaces,
                  Options& options)
{
    // Words that are not options (an init script's "start") are kept to be named in one WARNING
    // once logging is set up; getopt_long has moved them to the end.
    for (int i = optind; i < argc; ++i)
    {
        options.ignored.emplace_back(argv[i]);
    }
    if (scopeGiven && !options.ipv6)
    {
        return usageError("option --ipv6-scope needs --ipv6");
    }
    if (!interfaces.empty())
    {
        options.interfaces = std::move(interfaces);
    }
    return -1;
}
} // namespace

Options::Options() : interfaces{DEFAULT_INTERFACE} {}

int parseOptions(int argc, char** argv, Options& options)
{
    // Our own messages, not getopt's: one line each.
    opterr = 0;
    optind = 1;
    bool scopeGiven = false;
    std::vector<std::string> interfaces;
    std::string error;
    while (error.empty())
    {
        optopt = 0;
        const int opt = getopt_long(argc, argv, ":i:f:n:t:6hV", LONG_OPTIONS, nullptr);
        // The word just read: a word that is not an option before it may have been moved past.
        const std::string given = optopt != 0 && opt != ':' ? std::string("-") + char(optopt)
                                  : optind > 0              ? argv[optind - 1]
                                                            : "";
        switch (opt)
        {
        case -1:
            return finishOptions(argc, argv, scopeGiven, interfaces, options);
        case 'i':
            error = takeInterface(optarg, interfaces);
            break;
        case 'f':
            error = takeFormat(optarg, options);
            break;
        case 'n':
            error = takeInterval(optarg, options);
            break;
        case 't':
            error = takeTtl(optarg, options);
            break;
        case '6':
            options.ipv6 = true;
            break;
        case 'S':
            error = takeScope(optarg, options);
            scopeGiven = true;
            break;
        case 'U':
            options.unicast = true;
            break;
        case 'M':
            error = takeRefresh(optarg, options);
            break;
        case 'h':
            std::cout << USAGE;
            return 0;
        case 'V':
            std::cout << "discovery " << DISCOVERY_VERSION << "\n";
            return 0;
        case ':':
            error = "option " + given + " needs a value";
            break;
        default:
            error = "unknown option " + given;
            break;
        }
    }
    return usageError(error);
}

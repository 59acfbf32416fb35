// ssdp-search: sends SSDP M-SEARCH requests and prints every response with its sender and its
// arrival time after the request. Each request goes out from its own socket, so N requests
// look like N consoles searching at once. With --listen it sends nothing and prints the NOTIFY
// announcements multicast to the SSDP group instead.

#include <arpa/inet.h>
#include <getopt.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

// The IPv6 SSDP groups (UPnP Device Architecture 1.1, 1.1.1), narrowest scope first.
struct Scope
{
    const char* name;
    const char* group;
};
constexpr Scope scopes[] = {
    {"link", "FF02::C"}, {"site", "FF05::C"}, {"organization", "FF08::C"}, {"global", "FF0E::C"}};
constexpr int SCOPE_COUNT = static_cast<int>(sizeof(scopes) / sizeof(scopes[0]));

// The MX values a built search carries. UPnP Device Architecture 1.1 requires at least 1 and
// asks for at most 5, but lets a control point ask for more when many devices may answer
// (devices treat more as 5); two minutes is the longest wait that makes sense by hand. Other
// values, for testing a responder, go with --raw.
constexpr long MX_MIN = 1;
constexpr long MX_MAX = 120;

struct SearchOptions
{
    std::string st = "urn:dmtf-org:service:redfish-rest:1";
    int mx = 2;              // seconds
    std::string source;      // local address to send from
    std::string interface;   // or the interface whose address to send from
    std::string destination; // default the group
    int port = 1900;
    bool ipv6 = false;
    int scope = -1; // index in scopes; -1 until --scope is given
    int count = 1;
    int intervalMs = 0;
    int waitMs = -1;        // after the last request; default MX seconds plus half a second
    int untilResponses = 0; // stop listening once this many have arrived; 0: wait it out
    std::string rawFile;    // send these bytes instead of a built request
    bool json = false;
    bool quiet = false;
    bool headers = false; // print each message's headers one per line instead of its raw bytes
    bool listen = false;
    const char* searchOnly = nullptr; // the last option given that only a search uses
};

void usage(std::FILE* out)
{
    std::fputs(
        "usage: ssdp-search [options]\n"
        "  -s, --st TARGET        search target (default urn:dmtf-org:service:redfish-rest:1)\n"
        "  -m, --mx SECONDS       MX value, 1 to 120 (default 2)\n"
        "  -i, --interface NAME   send from this interface's IPv4 address (with -6: out of\n"
        "                         this interface)\n"
        "  -a, --source ADDR[,..] send from this local address; with several, request i\n"
        "                         from the i-th, round the list (consoles on several hosts)\n"
        "  -d, --dest ADDR[:PORT] destination (default 239.255.255.250:1900; with -6,\n"
        "                         [ADDR]:PORT or ADDR, default the scope's group, port 1900)\n"
        "  -6, --ipv6             search over IPv6: HOST [FF02::C]:1900 and so on\n"
        "      --scope SCOPE      with -6: link (FF02::C, the default), site (FF05::C),\n"
        "                         organization (FF08::C) or global (FF0E::C); --listen joins\n"
        "                         this scope's group and those of the narrower scopes\n"
        "  -n, --count N          requests, each from its own socket (default 1)\n"
        "  -I, --interval MS      pause between requests (default 0)\n"
        "  -w, --wait MS          listen this long after the last request (default MX s + 500;\n"
        "                         with --listen, until interrupted)\n"
        "  -u, --until N          stop listening once N responses have arrived (a test's\n"
        "                         wait for an event, --wait then only its bound)\n"
        "  -r, --raw FILE         send FILE's bytes as the request ('-' for standard input)\n"
        "  -j, --json             one JSON object per response\n"
        "  -H, --headers          print the start line and the headers (names upper-cased,\n"
        "                         values trimmed) instead of the raw bytes; with --json, add\n"
        "                         \"status\" and \"headers\" to each object\n"
        "  -q, --quiet            print only the summary line\n"
        "  -l, --listen           send nothing: join the group and print each NOTIFY that\n"
        "                         arrives, with its sender and arrival time, for --wait MS or\n"
        "                         until interrupted; takes -i, -a (IPv4 only), -w, -j, -H, -q,\n"
        "                         -6 and --scope\n"
        "  -h, --help             print this text\n"
        "A warning on standard error says when the responders come near this host's\n"
        "neighbour-table limit (net.ipv4.neigh.default.gc_thresh2 and gc_thresh3), past\n"
        "which answers are lost without an error.\n"
        "Exit status: 0 if any response (with --listen, any NOTIFY) arrived, 1 if none,\n"
        "2 on a usage or socket error.\n",
        out);
}

bool parseNumber(const char* text, long min, long max, int& out)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max)
        return false;
    out = static_cast<int>(value);
    return true;
}

const option longOptions[] = {{"st", required_argument, nullptr, 's'},
                              {"mx", required_argument, nullptr, 'm'},
                              {"interface", required_argument, nullptr, 'i'},
                              {"source", required_argument, nullptr, 'a'},
                              {"dest", required_argument, nullptr, 'd'},
                              {"count", required_argument, nullptr, 'n'},
                              {"interval", required_argument, nullptr, 'I'},
                              {"wait", required_argument, nullptr, 'w'},
                              {"until", required_argument, nullptr, 'u'},
                              {"raw", required_argument, nullptr, 'r'},
                              {"json", no_argument, nullptr, 'j'},
                              {"quiet", no_argument, nullptr, 'q'},
                              {"headers", no_argument, nullptr, 'H'},
                              {"listen", no_argument, nullptr, 'l'},
                              {"ipv6", no_argument, nullptr, '6'},
                              {"scope", required_argument, nullptr, 'S'},
                              {"help", no_argument, nullptr, 'h'},
                              {nullptr, 0, nullptr, 0}};

const char* longName(int c)
{
    const option* o = longOptions;
    while (o->name != nullptr && o->val != c)
        ++o;
    return o->name;
}

// --dest is ADDR[:PORT] for IPv4, and [ADDR]:PORT, [ADDR] or ADDR for IPv6.
bool splitDestination(SearchOptions& opt)
{
    const std::string value = opt.destination;
    std::size_t port = std::string::npos; // where the port number starts
    bool good = true;
    if (!opt.ipv6)
    {
        const std::size_t colon = value.find(':');
        opt.destination = value.substr(0, colon);
        port = colon == std::string::npos ? colon : colon + 1;
    }
    else if (!value.empty() && value.front() == '[')
    {
        const std::size_t close = value.find(']');
        good = close != std::string::npos && (close + 1 == value.size() || value[close + 1] == ':');
        opt.destination = value.substr(1, close - 1);
        port = good && close + 1 < value.size() ? close + 2 : std::string::npos;
    }
    if (good && port != std::string::npos)
        good = parseNumber(value.c_str() + port, 1, 65535, opt.port);
    if (!good)
        std::fprintf(stderr, "ssdp-search: bad value '%s' for --dest\n", value.c_str());
    return good;
}

// The checks that need all the options.
bool checkOptions(SearchOptions& opt)
{
    if (opt.scope >= 0 && !opt.ipv6)
    {
        std::fprintf(stderr, "ssdp-search: --scope needs --ipv6\n");
        return false;
    }
    opt.scope = std::max(opt.scope, 0);
    if (!splitDestination(opt))
        return false;
    if (opt.listen && opt.ipv6 && !opt.source.empty())
    {
        std::fprintf(stderr, "ssdp-search: --listen --ipv6 joins on --interface: --source does "
                             "not apply\n");
        return false;
    }
    if (opt.listen && opt.searchOnly != nullptr)
    {
        std::fprintf(stderr, "ssdp-search: --listen sends no request: --%s does not apply\n",
                     opt.searchOnly);
        return false;
    }
    if (opt.waitMs < 0 && !opt.listen)
    {
        const std::chrono::milliseconds wait =
            std::chrono::seconds(opt.mx) + std::chrono::milliseconds(500);
        opt.waitMs = static_cast<int>(wait.count()); // at most 120,500
    }
    return true;
}

enum class Parsed
{
    ok,
    help,
    bad
};

// One option's value into `opt`: false for a value out of its range.
bool takeOption(int c, SearchOptions& opt)
{
    bool good = true;
    switch (c)
    {
    case 's':
        opt.st = optarg;
        break;
    case 'm':
        good = parseNumber(optarg, MX_MIN, MX_MAX, opt.mx);
        break;
    case 'i':
        opt.interface = optarg;
        break;
    case 'a':
        opt.source = optarg;
        break;
    case 'r':
        opt.rawFile = optarg;
        break;
    case 'n':
        good = parseNumber(optarg, 1, 10000, opt.count);
        break;
    case 'I':
        good = parseNumber(optarg, 0, 3600000, opt.intervalMs);
        break;
    case 'w':
        good = parseNumber(optarg, 0, 86400000, opt.waitMs);
        break;
    case 'u':
        good = parseNumber(optarg, 1, 1000000, opt.untilResponses);
        break;
    case 'd':
        opt.destination = optarg; // split once the family is known
        break;
    case '6':
        opt.ipv6 = true;
        break;
    case 'S':
        opt.scope = 0;
        while (opt.scope < SCOPE_COUNT && std::strcmp(optarg, scopes[opt.scope].name) != 0)
            ++opt.scope;
        good = opt.scope < SCOPE_COUNT;
        break;
    case 'j':
        opt.json = true;
        break;
    case 'q':
        opt.quiet = true;
        break;
    case 'H':
        opt.headers = true;
        break;
    case 'l':
        opt.listen = true;
        break;
    default:
        break;
    }
    return good;
}

Parsed parseOptions(int argc, char** argv, SearchOptions& opt)
{
    int c = 0;
    while ((c = getopt_long(argc, argv, "s:m:i:a:d:n:I:w:u:r:jqHl6h", longOptions, nullptr)) != -1)
    {
        if (c == 'h')
            return Parsed::help;
        if (c == '?')
            return Parsed::bad; // getopt_long has named the option
        if (std::strchr("smdnIur", c) != nullptr)
            opt.searchOnly = longName(c);
        if (!takeOption(c, opt))
        {
            std::fprintf(stderr, "ssdp-search: bad value '%s' for --%s\n", optarg, longName(c));
            return Parsed::bad;
        }
    }
    if (optind != argc)
    {
        std::fprintf(stderr, "ssdp-search: unexpected argument '%s'\n", argv[optind]);
        return Parsed::bad;
    }
    return checkOptions(opt) ? Parsed::ok : Parsed::bad;
}

bool readRequest(const SearchOptions& opt, std::string& request)
{
    if (opt.rawFile.empty())
    {
        const std::string host = opt.ipv6 ? std::string("[") + scopes[opt.scope].group + "]:1900"
                                          : "239.255.255.250:1900";
        request = "M-SEARCH * HTTP/1.1\r\nHOST: " + host +
                  "\r\nMAN: \"ssdp:discover\"\r\nMX: " + std::to_string(opt.mx) +
                  "\r\nST: " + opt.st + "\r\n\r\n";
        return true;
    }
    std::ifstream file;
    std::istream* in = &std::cin;
    if (opt.rawFile != "-")
    {
        file.open(opt.rawFile, std::ios::binary);
        if (!file)
        {
            std::cerr << "ssdp-search: cannot read " << opt.rawFile << "\n";
            return false;
        }
        in = &file;
    }
    request.assign(std::istreambuf_iterator<char>(*in), std::istreambuf_iterator<char>());
    return true;
}

bool interfaceAddress(const std::string& name, in_addr& out)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    request.ifr_addr.sa_family = AF_INET;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    const bool ok = fd >= 0 && ioctl(fd, SIOCGIFADDR, &request) == 0;
    if (ok)
    {
        sockaddr_in addr{};
        std::memcpy(&addr, &request.ifr_addr, sizeof(addr));
        out = addr.sin_addr;
    }
    if (fd >= 0)
        close(fd);
    return ok;
}

union Address
{
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
    sockaddr_storage storage;
};

socklen_t length(const Address& a)
{
    return a.any.sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// The local address to send from, the address to send to, and for IPv6 the interface to send
// out of. With several source addresses, request i leaves from the i-th, round the list: one
// run then looks like consoles on as many hosts.
struct Endpoints
{
    Address local{};
    std::vector<Address> sources;
    Address dest{};
    unsigned ifindex = 0;
    const Address& sourceOf(int request) const
    {
        return sources.empty() ? local : sources[request % sources.size()];
    }
};

std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> items;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');)
        items.push_back(item);
    return items;
}

bool resolve4(const SearchOptions& opt, Endpoints& ends)
{
    const std::string destination = opt.destination.empty() ? "239.255.255.250" : opt.destination;
    ends.local.v4.sin_family = AF_INET;
    if (!opt.interface.empty() && !interfaceAddress(opt.interface, ends.local.v4.sin_addr))
    {
        std::cerr << "ssdp-search: no IPv4 address on " << opt.interface << "\n";
        return false;
    }
    for (const std::string& source : splitList(opt.source))
    {
        Address local = ends.local;
        if (inet_aton(source.c_str(), &local.v4.sin_addr) == 0)
        {
            std::cerr << "ssdp-search: bad source address " << source << "\n";
            return false;
        }
        ends.sources.push_back(local);
    }
    if (!ends.sources.empty())
        ends.local = ends.sources.front();
    ends.dest.v4.sin_family = AF_INET;
    ends.dest.v4.sin_port = htons(static_cast<unsigned short>(opt.port));
    if (inet_aton(destination.c_str(), &ends.dest.v4.sin_addr) == 0)
    {
        std::cerr << "ssdp-search: bad destination " << destination << "\n";
        return false;
    }
    return true;
}

// A numeric IPv6 address, with an optional %zone; without one it takes the interface's, which
// the kernel uses only where the address needs a zone.
bool parse6(const std::string& text, unsigned ifindex, sockaddr_in6& out)
{
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0)
        return false;
    std::memcpy(&out, found->ai_addr, sizeof(out));
    freeaddrinfo(found);
    if (out.sin6_scope_id == 0)
        out.sin6_scope_id = ifindex;
    return true;
}

bool resolve6(const SearchOptions& opt, Endpoints& ends)
{
    if (!opt.interface.empty() && (ends.ifindex = if_nametoindex(opt.interface.c_str())) == 0)
    {
        std::cerr << "ssdp-search: no interface " << opt.interface << "\n";
        return false;
    }
    ends.local.v6.sin6_family = AF_INET6;
    for (const std::string& source : splitList(opt.source))
    {
        Address local = ends.local;
        if (!parse6(source, ends.ifindex, local.v6))
        {
            std::cerr << "ssdp-search: bad source address " << source << "\n";
            return false;
        }
        local.v6.sin6_port = 0;
        ends.sources.push_back(local);
    }
    if (!ends.sources.empty())
        ends.local = ends.sources.front();
    const std::string destination =
        opt.destination.empty() ? scopes[opt.scope].group : opt.destination;
    if (!parse6(destination, ends.ifindex, ends.dest.v6))
    {
        std::cerr << "ssdp-search: bad destination " << destination << "\n";
        return false;
    }
    ends.dest.v6.sin6_port = htons(static_cast<unsigned short>(opt.port));
    return true;
}

bool resolveEndpoints(const SearchOptions& opt, Endpoints& ends)
{
    return opt.ipv6 ? resolve6(opt, ends) : resolve4(opt, ends);
}

// The request sockets, closed when it goes out of scope.
struct Sockets
{
    std::vector<pollfd> fds;
    Sockets() = default;
    Sockets(const Sockets&) = delete;
    Sockets& operator=(const Sockets&) = delete;
    ~Sockets()
    {
        for (const pollfd& p : fds)
            close(p.fd);
    }
};

bool openSockets(const SearchOptions& opt, const Endpoints& ends, Sockets& sockets)
{
    for (int i = 0; i < opt.count; ++i)
    {
        const Address& local = ends.sourceOf(i);
        const int fd = socket(local.any.sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
        {
            std::perror("ssdp-search: socket");
            return false;
        }
        sockets.fds.push_back(pollfd{fd, POLLIN, 0});
        if (bind(fd, &local.any, length(local)) != 0)
        {
            std::perror("ssdp-search: socket");
            return false;
        }
        if (opt.ipv6)
        {
            // UPnP Device Architecture 1.1: the multicast hop limit should default to 2.
            const int hops = 2;
            setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof(hops));
            if (ends.ifindex != 0)
                setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &ends.ifindex,
                           sizeof(ends.ifindex));
        }
        else if (local.v4.sin_addr.s_addr != INADDR_ANY)
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local.v4.sin_addr,
                       sizeof(local.v4.sin_addr));
        // Arrival times come from the kernel's receive timestamp (wall clock), so that an
        // answer that arrives while later requests are still being sent is not stamped late.
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    }
    return true;
}

std::vector<WallClock::time_point> sendRequests(const SearchOptions& opt, const Endpoints& ends,
                                                const Sockets& sockets, const std::string& request)
{
    std::vector<WallClock::time_point> sentAt;
    for (int i = 0; i < opt.count; ++i)
    {
        if (i > 0 && opt.intervalMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(opt.intervalMs));
        sentAt.push_back(WallClock::now());
        if (sendto(sockets.fds[i].fd, request.data(), request.size(), 0, &ends.dest.any,
                   length(ends.dest)) < 0)
            std::perror("ssdp-search: sendto");
    }
    return sentAt;
}

struct Reply
{
    std::string payload;
    Address from{};
    WallClock::time_point arrival;
};

bool receive(int fd, Reply& out)
{
    char buf[65536];
    iovec iov{buf, sizeof(buf)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_name = &out.from;
    msg.msg_namelen = sizeof(out.from);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 0)
        return false;
    out.payload.assign(buf, static_cast<std::size_t>(n));
    out.arrival = WallClock::now();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
    {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
        {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
            out.arrival = WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
                std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
        }
    }
    return true;
}

std::string jsonEscape(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c >= 0x7f)
        {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        }
        else
            out += static_cast<char>(c);
    }
    return out;
}

// printf into a std::string.
__attribute__((format(printf, 1, 2))) std::string format(const char* fmt, ...)
{
    char buf[512];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(buf, sizeof(buf), fmt, args);
    va_end(args);
    return std::string(buf, static_cast<std::size_t>(std::clamp(n, 0, int(sizeof(buf)) - 1)));
}

// The network's bytes as a terminal is to show them: a control character (ESC, BEL, a bare CR) in
// a responder's answer could retitle or clear the terminal, or write a false URL over the real
// one, so each is shown as \xHH; only the line ends, LF and CR LF, stay as they are.
std::string terminalSafe(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool lineEnd = c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
        if ((c < 0x20 || c == 0x7f) && !lineEnd)
            out += format("\\x%02x", c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

struct Peer
{
    std::string host;
    int port = 0;
};

// An IPv6 sender's host carries its zone (the interface's name) when it is link-scoped.
Peer peerOf(const Address& from)
{
    char host[INET6_ADDRSTRLEN] = {};
    if (from.any.sa_family != AF_INET6)
    {
        inet_ntop(AF_INET, &from.v4.sin_addr, host, sizeof(host));
        return Peer{host, ntohs(from.v4.sin_port)};
    }
    inet_ntop(AF_INET6, &from.v6.sin6_addr, host, sizeof(host));
    std::string text = host;
    if (from.v6.sin6_scope_id != 0)
    {
        char zone[IF_NAMESIZE] = {};
        text += "%";
        text += if_indextoname(from.v6.sin6_scope_id, zone) != nullptr
                    ? std::string(zone)
                    : std::to_string(from.v6.sin6_scope_id);
    }
    return Peer{text, ntohs(from.v6.sin6_port)};
}

std::string peerText(const Peer& s)
{
    const bool v6 = s.host.find(':') != std::string::npos;
    return (v6 ? "[" + s.host + "]" : s.host) + ":" + std::to_string(s.port);
}

// A message's start line and headers, names upper-cased and values trimmed. A repeated header
// is joined into one, as HTTP combines them; a line without a colon keeps an empty name.
struct Message
{
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> headers;
};

Message parseMessage(const std::string& payload)
{
    const auto trim = [](const std::string& text)
    {
        const std::size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos)
            return std::string();
        return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
    };
    Message m;
    std::size_t pos = 0;
    for (bool first = true; pos < payload.size(); first = false)
    {
        std::size_t end = payload.find('\n', pos);
        if (end == std::string::npos)
            end = payload.size();
        std::string line = payload.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (first)
        {
            m.startLine = line;
            continue;
        }
        if (line.empty())
            break;
        const std::size_t colon = line.find(':');
        std::string name;
        std::string value = trim(line);
        if (colon != std::string::npos)
        {
            name = trim(line.substr(0, colon));
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return std::toupper(c); });
            value = trim(line.substr(colon + 1));
        }
        auto same = std::find_if(m.headers.begin(), m.headers.end(),
                                 [&](const auto& h) { return !name.empty() && h.first == name; });
        if (same == m.headers.end())
            m.headers.emplace_back(name, value);
        else
            same->second += ", " + value;
    }
    return m;
}

void printHeaders(const Message& m)
{
    std::size_t width = 0;
    for (const auto& h : m.headers)
        width = std::max(width, terminalSafe(h.first).size() + 1);
    std::printf("%s\n", terminalSafe(m.startLine).c_str());
    for (const auto& [name, value] : m.headers)
    {
        const std::string label = name.empty() ? name : terminalSafe(name) + ":";
        if (value.empty())
            std::printf("  %s\n", label.c_str());
        else
            std::printf("  %-*s %s\n", static_cast<int>(width), label.c_str(),
                        terminalSafe(value).c_str());
    }
}

std::string headersJson(const Message& m)
{
    std::string out = ",\"status\":\"" + jsonEscape(m.startLine) + "\",\"headers\":{";
    bool first = true;
    for (const auto& [name, value] : m.headers)
    {
        if (name.empty())
            continue;
        out += (first ? "\"" : ",\"") + jsonEscape(name) + "\":\"" + jsonEscape(value) + "\"";
        first = false;
    }
    return out + "}";
}

// Prints one received message: `heading` is the text line before it, `fields` the JSON members
// before its size and bytes.
void printReply(const SearchOptions& opt, const std::string& heading, const std::string& fields,
                const Reply& d)
{
    if (opt.json)
        std::printf("{%s\"bytes\":%zu,\"payload\":\"%s\"%s}\n", fields.c_str(), d.payload.size(),
                    jsonEscape(d.payload).c_str(),
                    opt.headers ? headersJson(parseMessage(d.payload)).c_str() : "");
    else
    {
        std::printf("--- %s (%zu bytes)\n", heading.c_str(), d.payload.size());
        if (opt.headers)
            printHeaders(parseMessage(d.payload));
        else
        {
            const std::string shown = terminalSafe(d.payload);
            std::fwrite(shown.data(), 1, shown.size(), stdout);
        }
    }
    std::fflush(stdout);
}

void printResponse(const SearchOptions& opt, int request, double ms, const Peer& s, const Reply& d)
{
    printReply(
        opt,
        format("response from %s to request %d after %.1f ms", peerText(s).c_str(), request, ms),
        format("\"request\":%d,\"from\":\"%s\",\"port\":%d,\"ms\":%.1f,", request,
               jsonEscape(s.host).c_str(), s.port, ms),
        d);
}

struct Tally
{
    int responses = 0;
    std::vector<bool> answered;
    std::set<std::string> responders; // their addresses
};

Tally collectResponses(const SearchOptions& opt, Sockets& sockets,
                       const std::vector<WallClock::time_point>& sentAt)
{
    Tally tally;
    tally.answered.assign(sockets.fds.size(), false);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(opt.waitMs);
    for (;;)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (opt.untilResponses > 0 && tally.responses >= opt.untilResponses)
            return tally;
        if (left <= 0 || poll(sockets.fds.data(), sockets.fds.size(), static_cast<int>(left)) <= 0)
            return tally;
        for (std::size_t i = 0; i < sockets.fds.size(); ++i)
        {
            Reply d;
            if (!(sockets.fds[i].revents & POLLIN) || !receive(sockets.fds[i].fd, d))
                continue;
            const Peer s = peerOf(d.from);
            ++tally.responses;
            tally.answered[i] = true;
            tally.responders.insert(s.host);
            if (!opt.quiet)
                printResponse(
                    opt, static_cast<int>(i),
                    std::chrono::duration<double, std::milli>(d.arrival - sentAt[i]).count(), s, d);
        }
    }
}

// The plural's "s" after a count: "1 response", "2 responses", "0 responses".
template <typename Count> const char* plural(Count count)
{
    return count == 1 ? "" : "s";
}

void printSummary(const SearchOptions& opt, const Tally& tally)
{
    const auto answered = std::count(tally.answered.begin(), tally.answered.end(), true);
    std::fprintf(opt.json ? stderr : stdout, "%d response%s; %d of %zu request%s answered\n",
                 tally.responses, plural(tally.responses), static_cast<int>(answered),
                 tally.answered.size(), plural(tally.answered.size()));
}

// Every responder that answers takes an entry in this host's neighbour table: its address
// resolution request for us is answered only once the kernel has made one. Past gc_thresh2 the
// kernel refuses new entries that it cannot reclaim, and past gc_thresh3 all of them, so on a
// large segment answers are lost without any error. Warns from 90% of either limit on.
void warnNeighbourLimit(const SearchOptions& opt, std::size_t responders)
{
    const char* family = opt.ipv6 ? "ipv6" : "ipv4";
    const char* nearest = nullptr;
    long limit = 0;
    for (const char* name : {"gc_thresh2", "gc_thresh3"})
    {
        std::ifstream file(std::string("/proc/sys/net/") + family + "/neigh/default/" + name);
        long value = 0;
        if (file >> value && value > 0 && responders * 10 >= static_cast<std::size_t>(value) * 9)
        {
            nearest = name;
            limit = value;
        }
    }
    if (nearest != nullptr)
        std::fprintf(stderr,
                     "ssdp-search: warning: answers from %zu address%s, %s "
                     "net.%s.neigh.default.%s = %ld: a console on a large segment loses answers "
                     "silently; raise it (see README)\n",
                     responders, responders == 1 ? "" : "es",
                     responders >= static_cast<std::size_t>(limit) ? "past" : "near", family,
                     nearest, limit);
}

int search(const SearchOptions& opt)
{
    std::string request;
    Endpoints ends;
    Sockets sockets;
    if (!readRequest(opt, request) || !resolveEndpoints(opt, ends) ||
        !openSockets(opt, ends, sockets))
        return 2;
    const auto sentAt = sendRequests(opt, ends, sockets, request);
    const Tally tally = collectResponses(opt, sockets, sentAt);
    printSummary(opt, tally);
    warnNeighbourLimit(opt, tally.responders.size());
    return tally.responses > 0 ? 0 : 1;
}

// --- listening for announcements --------------------------------------------------------------

// Joins the group on the chosen interface, port 1900; over IPv6, the groups of the chosen scope
// and the narrower ones. SO_REUSEADDR lets it share the port with a responder on the same host
// that sets it too (a responder that does not set it cannot start while this listens).
bool openListener(const SearchOptions& opt, Sockets& sockets)
{
    Endpoints ends;
    if (!resolveEndpoints(opt, ends))
        return false;
    const int fd = socket(ends.local.any.sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        std::perror("ssdp-search: socket");
        return false;
    }
    sockets.fds.push_back(pollfd{fd, POLLIN, 0});
    const int on = 1;
    const int off = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    Address bound{};
    if (opt.ipv6)
    {
        // Bound to any address, so that one socket hears every group it joins, and only those.
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &off, sizeof(off));
        bound.v6.sin6_family = AF_INET6;
        bound.v6.sin6_port = htons(1900);
    }
    else
    {
        bound.v4.sin_family = AF_INET;
        bound.v4.sin_port = htons(1900);
        inet_aton("239.255.255.250", &bound.v4.sin_addr);
    }
    if (bind(fd, &bound.any, length(bound)) != 0)
    {
        std::perror("ssdp-search: bind to port 1900");
        return false;
    }
    for (int scope = 0; scope <= (opt.ipv6 ? opt.scope : 0); ++scope)
    {
        ip_mreqn v4{};
        v4.imr_multiaddr = bound.v4.sin_addr;
        v4.imr_address = ends.local.v4.sin_addr;
        ipv6_mreq v6{};
        inet_pton(AF_INET6, scopes[scope].group, &v6.ipv6mr_multiaddr);
        v6.ipv6mr_interface = ends.ifindex;
        if ((opt.ipv6 ? setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &v6, sizeof(v6))
                      : setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &v4, sizeof(v4))) != 0)
        {
            std::fprintf(stderr, "ssdp-search: join %s: %s\n",
                         opt.ipv6 ? scopes[scope].group : "239.255.255.250", std::strerror(errno));
            return false;
        }
    }
    return true;
}

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int /*signal*/)
{
    stopRequested = 1;
}

// SIGINT and SIGTERM end the listening; they stay blocked except inside ppoll, so one that
// arrives between two waits is not missed. Returns the mask to wait with.
sigset_t catchStopSignals()
{
    sigset_t stopSignals;
    sigset_t waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    struct sigaction action
    {
    };
    action.sa_handler = requestStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return waitMask;
}

// UTC, ISO 8601 with milliseconds.
std::string timeText(WallClock::time_point t)
{
    const std::time_t seconds = WallClock::to_time_t(t);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &parts);
    return format("%s.%03dZ", text, static_cast<int>(ms));
}

int listenForAnnouncements(const SearchOptions& opt)
{
    Sockets sockets;
    if (!openListener(opt, sockets))
        return 2;
    const sigset_t waitMask = catchStopSignals();
    const WallClock::time_point start = WallClock::now();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(opt.waitMs);
    int announcements = 0;
    std::set<std::string> senders;
    while (stopRequested == 0)
    {
        timespec left{};
        if (opt.waitMs >= 0)
        {
            const auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now())
                    .count();
            if (ns <= 0)
                break;
            left.tv_sec = static_cast<std::time_t>(ns / 1000000000);
            left.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        const int ready = ppoll(sockets.fds.data(), sockets.fds.size(),
                                opt.waitMs >= 0 ? &left : nullptr, &waitMask);
        if (ready < 0 && errno != EINTR)
        {
            std::perror("ssdp-search: ppoll");
            break;
        }
        Reply d;
        if (ready <= 0 || !receive(sockets.fds[0].fd, d) || d.payload.rfind("NOTIFY ", 0) != 0)
            continue;
        ++announcements;
        const Peer s = peerOf(d.from);
        senders.insert(s.host);
        if (opt.quiet)
            continue;
        const double ms = std::chrono::duration<double, std::milli>(d.arrival - start).count();
        printReply(opt,
                   format("notify from %s at %s", peerText(s).c_str(), timeText(d.arrival).c_str()),
                   format("\"from\":\"%s\",\"port\":%d,\"time\":\"%s\",\"ms\":%.1f,",
                          jsonEscape(s.host).c_str(), s.port, timeText(d.arrival).c_str(), ms),
                   d);
    }
    std::fprintf(opt.json ? stderr : stdout, "%d announcement%s from %zu sender%s\n", announcements,
                 plural(announcements), senders.size(), plural(senders.size()));
    return announcements > 0 ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    SearchOptions opt;
    switch (parseOptions(argc, argv, opt))
    {
    case Parsed::help:
        usage(stdout);
        return 0;
    case Parsed::bad:
        usage(stderr);
        return 2;
    case Parsed::ok:
        break;
    }
    return opt.listen ? listenForAnnouncements(opt) : search(opt);
}

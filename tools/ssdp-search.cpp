// ssdp-search: sends SSDP M-SEARCH requests and prints every response with its sender and its
// arrival time after the request. Each request goes out from its own socket, so N requests
// look like N consoles searching at once.

#include <arpa/inet.h>
#include <getopt.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

struct Options
{
    std::string st = "urn:dmtf-org:service:redfish-rest:1";
    std::string mx = "2";
    std::string source;    // local address to send from
    std::string interface; // or the interface whose address to send from
    std::string destination = "239.255.255.250";
    int port = 1900;
    int count = 1;
    int intervalMs = 0;
    int waitMs = -1;     // after the last request; default MX seconds plus half a second
    std::string rawFile; // send these bytes instead of a built request
    bool json = false;
    bool quiet = false;
};

void usage(std::FILE* out)
{
    std::fputs(
        "usage: ssdp-search [options]\n"
        "  -s, --st TARGET        search target (default urn:dmtf-org:service:redfish-rest:1)\n"
        "  -m, --mx SECONDS       MX value, sent as given (default 2)\n"
        "  -i, --interface NAME   send from this interface's IPv4 address\n"
        "  -a, --source ADDR      send from this local IPv4 address\n"
        "  -d, --dest ADDR[:PORT] destination (default 239.255.255.250:1900)\n"
        "  -n, --count N          requests, each from its own socket (default 1)\n"
        "  -I, --interval MS      pause between requests (default 0)\n"
        "  -w, --wait MS          listen this long after the last request (default MX s + 500)\n"
        "  -r, --raw FILE         send FILE's bytes as the request ('-' for standard input)\n"
        "  -j, --json             one JSON object per response\n"
        "  -q, --quiet            print only the summary line\n"
        "  -h, --help             print this text\n"
        "Exit status: 0 if any response arrived, 1 if none, 2 on a usage or socket error.\n",
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

enum class Parsed
{
    ok,
    help,
    bad
};

Parsed parseOptions(int argc, char** argv, Options& opt)
{
    static const option longOptions[] = {{"st", required_argument, nullptr, 's'},
                                         {"mx", required_argument, nullptr, 'm'},
                                         {"interface", required_argument, nullptr, 'i'},
                                         {"source", required_argument, nullptr, 'a'},
                                         {"dest", required_argument, nullptr, 'd'},
                                         {"count", required_argument, nullptr, 'n'},
                                         {"interval", required_argument, nullptr, 'I'},
                                         {"wait", required_argument, nullptr, 'w'},
                                         {"raw", required_argument, nullptr, 'r'},
                                         {"json", no_argument, nullptr, 'j'},
                                         {"quiet", no_argument, nullptr, 'q'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    int c = 0;
    while ((c = getopt_long(argc, argv, "s:m:i:a:d:n:I:w:r:jqh", longOptions, nullptr)) != -1)
    {
        bool good = true;
        switch (c)
        {
        case 's':
            opt.st = optarg;
            break;
        case 'm':
            opt.mx = optarg;
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
        case 'd':
        {
            const std::string value = optarg;
            const std::size_t colon = value.find(':');
            opt.destination = value.substr(0, colon);
            if (colon != std::string::npos)
                good = parseNumber(value.c_str() + colon + 1, 1, 65535, opt.port);
            break;
        }
        case 'j':
            opt.json = true;
            break;
        case 'q':
            opt.quiet = true;
            break;
        case 'h':
            return Parsed::help;
        default: // getopt_long has named the option
            return Parsed::bad;
        }
        if (!good)
        {
            const option* o = longOptions;
            while (o->val != c)
                ++o;
            std::fprintf(stderr, "ssdp-search: bad value '%s' for --%s\n", optarg, o->name);
            return Parsed::bad;
        }
    }
    if (optind != argc)
    {
        std::fprintf(stderr, "ssdp-search: unexpected argument '%s'\n", argv[optind]);
        return Parsed::bad;
    }
    if (opt.waitMs < 0)
        opt.waitMs = std::max(0, std::atoi(opt.mx.c_str())) * 1000 + 500;
    return Parsed::ok;
}

bool readRequest(const Options& opt, std::string& request)
{
    if (opt.rawFile.empty())
    {
        request = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                  "MX: " +
                  opt.mx + "\r\nST: " + opt.st + "\r\n\r\n";
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

// The local address to send from and the address to send to.
struct Endpoints
{
    sockaddr_in local{};
    sockaddr_in dest{};
};

bool resolveEndpoints(const Options& opt, Endpoints& ends)
{
    ends.local.sin_family = AF_INET;
    if (!opt.interface.empty() && !interfaceAddress(opt.interface, ends.local.sin_addr))
    {
        std::cerr << "ssdp-search: no IPv4 address on " << opt.interface << "\n";
        return false;
    }
    if (!opt.source.empty() && inet_aton(opt.source.c_str(), &ends.local.sin_addr) == 0)
    {
        std::cerr << "ssdp-search: bad source address " << opt.source << "\n";
        return false;
    }
    ends.dest.sin_family = AF_INET;
    ends.dest.sin_port = htons(static_cast<unsigned short>(opt.port));
    if (inet_aton(opt.destination.c_str(), &ends.dest.sin_addr) == 0)
    {
        std::cerr << "ssdp-search: bad destination " << opt.destination << "\n";
        return false;
    }
    return true;
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

bool openSockets(const Options& opt, const Endpoints& ends, Sockets& sockets)
{
    for (int i = 0; i < opt.count; ++i)
    {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
        {
            std::perror("ssdp-search: socket");
            return false;
        }
        sockets.fds.push_back(pollfd{fd, POLLIN, 0});
        if (bind(fd, reinterpret_cast<const sockaddr*>(&ends.local), sizeof(ends.local)) != 0)
        {
            std::perror("ssdp-search: socket");
            return false;
        }
        if (ends.local.sin_addr.s_addr != INADDR_ANY)
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ends.local.sin_addr,
                       sizeof(ends.local.sin_addr));
        // Arrival times come from the kernel's receive timestamp (wall clock), so that an
        // answer that arrives while later requests are still being sent is not stamped late.
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    }
    return true;
}

std::vector<WallClock::time_point> sendRequests(const Options& opt, const Endpoints& ends,
                                                const Sockets& sockets, const std::string& request)
{
    std::vector<WallClock::time_point> sentAt;
    for (int i = 0; i < opt.count; ++i)
    {
        if (i > 0 && opt.intervalMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(opt.intervalMs));
        sentAt.push_back(WallClock::now());
        if (sendto(sockets.fds[i].fd, request.data(), request.size(), 0,
                   reinterpret_cast<const sockaddr*>(&ends.dest), sizeof(ends.dest)) < 0)
            std::perror("ssdp-search: sendto");
    }
    return sentAt;
}

struct Datagram
{
    std::string payload;
    sockaddr_in from{};
    WallClock::time_point arrival;
};

bool receive(int fd, Datagram& out)
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

void printResponse(const Options& opt, int request, double ms, const Datagram& d)
{
    char sender[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &d.from.sin_addr, sender, sizeof(sender));
    const int port = ntohs(d.from.sin_port);
    if (opt.json)
        std::printf("{\"request\":%d,\"from\":\"%s\",\"port\":%d,\"ms\":%.1f,"
                    "\"bytes\":%zu,\"payload\":\"%s\"}\n",
                    request, sender, port, ms, d.payload.size(), jsonEscape(d.payload).c_str());
    else
    {
        std::printf("--- response from %s:%d to request %d after %.1f ms (%zu bytes)\n", sender,
                    port, request, ms, d.payload.size());
        std::fwrite(d.payload.data(), 1, d.payload.size(), stdout);
    }
    std::fflush(stdout);
}

struct Tally
{
    int responses = 0;
    std::vector<bool> answered;
};

Tally collectResponses(const Options& opt, Sockets& sockets,
                       const std::vector<WallClock::time_point>& sentAt)
{
    Tally tally;
    tally.answered.assign(sockets.fds.size(), false);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(opt.waitMs);
    for (;;)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || poll(sockets.fds.data(), sockets.fds.size(), static_cast<int>(left)) <= 0)
            return tally;
        for (std::size_t i = 0; i < sockets.fds.size(); ++i)
        {
            Datagram d;
            if (!(sockets.fds[i].revents & POLLIN) || !receive(sockets.fds[i].fd, d))
                continue;
            ++tally.responses;
            tally.answered[i] = true;
            if (!opt.quiet)
                printResponse(
                    opt, static_cast<int>(i),
                    std::chrono::duration<double, std::milli>(d.arrival - sentAt[i]).count(), d);
        }
    }
}

void printSummary(const Options& opt, const Tally& tally)
{
    const auto answered = std::count(tally.answered.begin(), tally.answered.end(), true);
    std::fprintf(opt.json ? stderr : stdout, "%d responses; %d of %zu requests answered\n",
                 tally.responses, static_cast<int>(answered), tally.answered.size());
}
} // namespace

int main(int argc, char** argv)
{
    Options opt;
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
    std::string request;
    Endpoints ends;
    Sockets sockets;
    if (!readRequest(opt, request) || !resolveEndpoints(opt, ends) ||
        !openSockets(opt, ends, sockets))
        return 2;
    const auto sentAt = sendRequests(opt, ends, sockets, request);
    const Tally tally = collectResponses(opt, sockets, sentAt);
    printSummary(opt, tally);
    return tally.responses > 0 ? 0 : 1;
}

// ssdp-search: sends SSDP M-SEARCH requests and prints every response with its sender and its
// arrival time after the request. Each request goes out from its own socket, so N requests
// look like N consoles searching at once.

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

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

void usage()
{
    std::cerr
        << "usage: ssdp-search [options]\n"
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
           "Exit status: 0 if any response arrived, 1 if none, 2 on a usage or socket error.\n";
}

bool parseOptions(int argc, char** argv, Options& opt)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        auto value = [&](std::string& out)
        {
            if (i + 1 >= argc)
            {
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (arg == "-j" || arg == "--json")
        {
            opt.json = true;
            continue;
        }
        if (arg == "-q" || arg == "--quiet")
        {
            opt.quiet = true;
            continue;
        }
        std::string v;
        if (arg == "-h" || arg == "--help" || !value(v))
            return false;
        if (arg == "-s" || arg == "--st")
            opt.st = v;
        else if (arg == "-m" || arg == "--mx")
            opt.mx = v;
        else if (arg == "-i" || arg == "--interface")
            opt.interface = v;
        else if (arg == "-a" || arg == "--source")
            opt.source = v;
        else if (arg == "-r" || arg == "--raw")
            opt.rawFile = v;
        else if (arg == "-n" || arg == "--count")
            opt.count = std::atoi(v.c_str());
        else if (arg == "-I" || arg == "--interval")
            opt.intervalMs = std::atoi(v.c_str());
        else if (arg == "-w" || arg == "--wait")
            opt.waitMs = std::atoi(v.c_str());
        else if (arg == "-d" || arg == "--dest")
        {
            const std::size_t colon = v.find(':');
            opt.destination = v.substr(0, colon);
            if (colon != std::string::npos)
                opt.port = std::atoi(v.c_str() + colon + 1);
        }
        else
            return false;
    }
    if (opt.count < 1 || opt.count > 10000)
        return false;
    if (opt.waitMs < 0)
        opt.waitMs = std::max(0, std::atoi(opt.mx.c_str())) * 1000 + 500;
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
} // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!parseOptions(argc, argv, opt))
    {
        usage();
        return 2;
    }

    std::string request;
    if (!opt.rawFile.empty())
    {
        std::ifstream file;
        std::istream* in = &std::cin;
        if (opt.rawFile != "-")
        {
            file.open(opt.rawFile, std::ios::binary);
            if (!file)
            {
                std::cerr << "ssdp-search: cannot read " << opt.rawFile << "\n";
                return 2;
            }
            in = &file;
        }
        request.assign(std::istreambuf_iterator<char>(*in), std::istreambuf_iterator<char>());
    }
    else
    {
        request = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                  "MX: " +
                  opt.mx + "\r\nST: " + opt.st + "\r\n\r\n";
    }

    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (!opt.interface.empty() && !interfaceAddress(opt.interface, local.sin_addr))
    {
        std::cerr << "ssdp-search: no IPv4 address on " << opt.interface << "\n";
        return 2;
    }
    if (!opt.source.empty() && inet_aton(opt.source.c_str(), &local.sin_addr) == 0)
    {
        std::cerr << "ssdp-search: bad source address " << opt.source << "\n";
        return 2;
    }
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(static_cast<unsigned short>(opt.port));
    if (inet_aton(opt.destination.c_str(), &dest.sin_addr) == 0)
    {
        std::cerr << "ssdp-search: bad destination " << opt.destination << "\n";
        return 2;
    }

    std::vector<pollfd> sockets;
    // Arrival times come from the kernel's receive timestamp (wall clock), so that an answer
    // that arrives while later requests are still being sent is not stamped late.
    std::vector<std::chrono::system_clock::time_point> sentAt;
    for (int i = 0; i < opt.count; ++i)
    {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0)
        {
            std::perror("ssdp-search: socket");
            return 2;
        }
        if (local.sin_addr.s_addr != INADDR_ANY)
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local.sin_addr, sizeof(local.sin_addr));
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
        sockets.push_back(pollfd{fd, POLLIN, 0});
    }
    for (int i = 0; i < opt.count; ++i)
    {
        if (i > 0 && opt.intervalMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(opt.intervalMs));
        sentAt.push_back(std::chrono::system_clock::now());
        if (sendto(sockets[i].fd, request.data(), request.size(), 0,
                   reinterpret_cast<sockaddr*>(&dest), sizeof(dest)) < 0)
            std::perror("ssdp-search: sendto");
    }

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(opt.waitMs);
    int responses = 0;
    std::vector<bool> answered(opt.count, false);
    for (;;)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || poll(sockets.data(), sockets.size(), static_cast<int>(left)) <= 0)
            break;
        for (int i = 0; i < opt.count; ++i)
        {
            if (!(sockets[i].revents & POLLIN))
                continue;
            char buf[65536];
            sockaddr_in from{};
            iovec iov{buf, sizeof(buf)};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof(from);
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof(control);
            const ssize_t n = recvmsg(sockets[i].fd, &msg, 0);
            if (n < 0)
                continue;
            auto arrival = std::chrono::system_clock::now();
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
            {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
                {
                    timespec stamp{};
                    std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
                    arrival = std::chrono::system_clock::time_point(
                        std::chrono::duration_cast<std::chrono::system_clock::duration>(
                            std::chrono::seconds(stamp.tv_sec) +
                            std::chrono::nanoseconds(stamp.tv_nsec)));
                }
            }
            const double ms =
                std::chrono::duration<double, std::milli>(arrival - sentAt[i]).count();
            const std::string payload(buf, static_cast<std::size_t>(n));
            ++responses;
            answered[i] = true;
            char sender[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &from.sin_addr, sender, sizeof(sender));
            if (opt.quiet)
                continue;
            if (opt.json)
                std::printf("{\"request\":%d,\"from\":\"%s\",\"port\":%d,\"ms\":%.1f,"
                            "\"bytes\":%zd,\"payload\":\"%s\"}\n",
                            i, sender, ntohs(from.sin_port), ms, n, jsonEscape(payload).c_str());
            else
                std::printf("--- response from %s:%d to request %d after %.1f ms (%zd bytes)\n%s",
                            sender, ntohs(from.sin_port), i, ms, n, payload.c_str());
            std::fflush(stdout);
        }
    }
    int answeredCount = 0;
    for (const bool a : answered)
        answeredCount += a ? 1 : 0;
    std::fprintf(opt.json ? stderr : stdout, "%d responses; %d of %d requests answered\n",
                 responses, answeredCount, opt.count);
    for (const pollfd& p : sockets)
        close(p.fd);
    return responses > 0 ? 0 : 1;
}

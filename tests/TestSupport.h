#pragma once

// Set-up shared by the unit tests, the fuzz targets and the micro-benchmarks: the daemon's two
// loggers made quiet, a working tree laid out as the daemon expects, and the messages a service
// sends, built by their own type.

#include "common/Logger.h"
#include "discovery/MessageCache.h"
#include "discovery/Responder.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace testsupport
{
// Nothing goes to standard output or a file. With `enabled` false nothing is even formatted:
// for callers that judge behaviour, not records. (TestSupport.cpp: the one file of this
// scaffolding that includes the logging library's header.)
void quietLoggers(bool enabled = true);

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
// The legacy answer's exact bytes, written out by hand.
inline std::string legacyAnswer(const std::string& uuid, const std::string& ip)
{
    return "HTTP/1.1 200 OK\r\n"
           "CACHE-CONTROL:1800\r\n"
           "ST:urn:dmtf-org:service:redfish-rest:1\r\n"
           "USN:uuid:" +
           uuid +
           "::dmtf-org::urn:dmtf-org:service:redfish-rest:1:2\r\n"
           "AL:https://" +
           ip +
           "/redfish/v1\r\n"
           "EXT:\r\n"
           "\r\n";
}

// An address of either family from its text.
inline IpAddress ip(const char* text)
{
    in6_addr v6{};
    if (inet_pton(AF_INET6, text, &v6) == 1)
    {
        return IpAddress::v6(v6);
    }
    in_addr v4{};
    inet_pton(AF_INET, text, &v4);
    return IpAddress::v4(v4.s_addr);
}

// A datagram as a listener hands it over: `length` bytes of `fill`, arrived now.
inline Datagram received(char fill, int length)
{
    Datagram datagram;
    datagram.text.assign(16, fill);
    datagram.length = length;
    datagram.senderLen = sizeof(datagram.sender.v4);
    datagram.arrival = std::chrono::steady_clock::now();
    return datagram;
}

// The messages that a service with `options` sends on one interface, built by MessageCache as the
// responder builds them, from addresses published as a listener publishes them.
class Messages
{
public:
    explicit Messages(const Options& options = Options())
        : m_options(options),
          m_groups(options.ipv6 ? ipv6Groups(options.ipv6Scope) : std::vector<Ipv6GroupAddr>{})
    {
        m_cache.configure(m_options, m_groups);
    }

    void publishIpv4(const char* text)
    {
        in_addr addr{};
        inet_pton(AF_INET, text, &addr);
        m_board.publishIpv4(0, addr.s_addr, 1);
    }
    void publishIpv6(const char* text)
    {
        in6_addr addr{};
        inet_pton(AF_INET6, text, &addr);
        m_board.publishIpv6(0, addr, m_options.interfaces.front(), 1);
    }
    // One look of the responder's at the published addresses.
    MessageCache::Change look() { return m_cache.refresh("uuid", m_board); }
    // A fresh set of announcements begins, as the responder starts one once addresses settle.
    void freshSet() { m_cache.newBoot(); }
    // The datagrams that answer `target` (nullptr without an address of that family).
    const std::vector<std::string>* responses(const std::string& uuid, SearchTarget target,
                                              bool ipv6 = false)
    {
        m_cache.refresh(uuid, m_board);
        return m_cache.responses(target, ipv6);
    }
    // The whole path from bytes to the first datagram of the answer: false when nothing is to be
    // sent.
    bool answer(Responder& responder, char* text, std::string& rsp, int& mx,
                SsdpGroup group = SsdpGroup::Ipv4)
    {
        SearchTarget target = SearchTarget::Redfish;
        if (!responder.screen(text, mx, target, group))
        {
            return false;
        }
        const auto* built =
            responses(responder.redfishdInfo().uuid, target, group != SsdpGroup::Ipv4);
        if (built == nullptr)
        {
            return false;
        }
        rsp = built->front();
        return true;
    }

private:
    Options m_options;
    std::vector<Ipv6GroupAddr> m_groups;
    AddressBoard m_board;
    MessageCache m_cache;
};

// A responder with the state it shares, built as the service builds it, for the judge, the delay
// and the service information.
struct ResponderParts
{
    explicit ResponderParts(const Options& options = Options())
        : options(options),
          groups(options.ipv6 ? ipv6Groups(options.ipv6Scope) : std::vector<Ipv6GroupAddr>{})
    {
    }
    Options options;
    std::vector<Ipv6GroupAddr> groups;
    DatagramQueue inbox{8, DATAGRAM_BUF_SIZE};
    AddressBoard board;
    ServiceStatus status;
    Watchdog watchdog;
    Responder responder{options, groups, inbox, board, status, watchdog};
};
} // namespace testsupport

#pragma once

#include "common/LogLimiter.h"
#include "discovery/DatagramQueue.h"
#include "discovery/Ipv6.h"
#include "discovery/Options.h"
#include "discovery/SystemdNotify.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <vector>

// The SSDP responder: one UDP socket bound to the SSDP group on one interface ("eth1" unless
// told otherwise), and with --ipv6 one more for the IPv6 groups; a listener thread per socket
// that receives datagrams and follows the interface's index and address for its family; and a
// responder thread that judges each datagram and answers valid searches after a random delay
// bounded by the request's MX.
class RedfishDiscovery
{
public:
    struct RedfishdInfo
    {
        std::string uuid; // empty until read from the service-information file
    };

    using Clock = std::chrono::steady_clock;
    using Headers = std::map<std::string, std::string>;

    // What an answered search asked for (UPnP Device Architecture 1.1, section 1.3.2).
    enum class SearchTarget
    {
        Redfish,
        All,
        RootDevice,
    };

    // The receive buffer holds one datagram plus the NUL that ends its text, so at most 1023
    // bytes of a datagram are ever seen.
    static constexpr std::size_t RCV_BUF_SIZE = 1024;
    // Datagrams received but not judged yet; one that finds the inbox full is dropped.
    static constexpr std::size_t INBOX_CAPACITY = 128;
    // Responses judged and waiting for their send time; a search beyond this is dropped.
    static constexpr std::size_t MAX_PENDING_RSP = 256;
    // Of those, the most that one requesting address may hold, so that one sender cannot crowd
    // out the others. A console that sends each of the three answered targets a few times, as
    // the UPnP Device Architecture advises against loss, stays well below it, as do a few
    // consoles behind one address; a single flooding address takes a sixteenth of the bound.
    static constexpr unsigned MAX_PENDING_PER_PEER = 16;
    // How often the listener looks at the interface's index and address: a change is followed
    // within this time plus one receive time-out.
    static constexpr std::chrono::milliseconds IF_CHECK_INTERVAL{500};
    // UPnP Device Architecture 1.1, 1.2.2: UDP may lose a message, so the whole set of
    // announcements goes out more than once, a few hundred milliseconds apart, when the service
    // appears (at start and on a new address).
    static constexpr int ANNOUNCE_ROUNDS = 3;
    static constexpr std::chrono::milliseconds ANNOUNCE_ROUND_GAP{500};
    static constexpr std::chrono::seconds ANNOUNCE_RETRY{1};
    static constexpr int CACHE_MAX_AGE = 1800;
    // UPnP Device Architecture 1.1: a device waits a random time below MX seconds, and MX
    // values above 5 are treated as 5.
    static constexpr int MX_MAX = 5;

    RedfishDiscovery();
    ~RedfishDiscovery();
    RedfishDiscovery(const RedfishDiscovery&) = delete;
    RedfishDiscovery& operator=(const RedfishDiscovery&) = delete;

    static RedfishDiscovery* instance() { return &s_RedfishDiscovery; }

    // Before run().
    void setOptions(const Options& options) { m_options = options; }

    bool run();
    bool stop();

    // Request judging; pure: no socket, clock, log or member data.
    // `group` is the group the datagram was sent to: over IPv6 HOST must name it.
    bool parseSearchQuery(char* text, Headers& headers, SsdpGroup group = SsdpGroup::Ipv4);
    bool isHostFieldValid(std::string& value, SsdpGroup group = SsdpGroup::Ipv4);
    bool isManFieldValid(std::string& value);
    bool isStFieldValid(std::string& value);
    bool isMxFieldValid(std::string& value);
    // What an accepted ST value asks for. With `exact`, for the standard response form, only
    // the targets themselves count (a Redfish type may carry a minor version, ":2"); else the
    // first 8 characters decide, as they decided acceptance.
    static bool classifySearchTarget(const std::string& value, bool exact, SearchTarget& target);
    // The MX value as the delay uses it: its leading decimal number, raised to 1 and capped at 5.
    static int clampMx(const std::string& value);
    static int clampMx(long mx);

    // Response side.
    bool readRedfishdInfo();
    void buildSearchRsp(std::string& out, RedfishdInfo& info);
    // The same for the URL host `host` ("198.18.0.1", "[fd00::1]").
    void buildSearchRsp(std::string& out, RedfishdInfo& info, std::string host);
    void replacePlaceholderStr(std::string& text, std::string& value);
    int drawDelayMs(int mx);
    bool sendSearchRsp(const std::string& rsp, const PeerAddr& to, socklen_t toLen);
    // The datagrams that answer a search for `target` (one, or three for ssdp:all in the
    // standard form) that came over IPv6 or IPv4, for the current service information and that
    // family's announced address, built again only when either has changed; nullptr while there
    // is no address of that family to announce.
    const std::vector<std::string>* searchResponses(SearchTarget target, bool ipv6 = false);

    // Judges one received datagram: true for a search to answer, with its MX (1 to 5) in `mx`
    // and what it asked for in `target`.
    bool judgeSearch(char* text, int& mx, SearchTarget& target, SsdpGroup group = SsdpGroup::Ipv4);
    // The whole path from bytes to answer without a socket: the first datagram of the answer.
    // False when nothing is to be sent.
    bool judgeSearch(char* text, std::string& rsp, int& mx, SsdpGroup group = SsdpGroup::Ipv4);
    // The announcements of the service to `group`, alive or byebye, in the standard form.
    std::vector<std::string> buildNotifyMsgs(bool alive, SsdpGroup group = SsdpGroup::Ipv4);

    const RedfishdInfo& redfishdInfo() const { return m_redfishdInfo; }
    // Sets the interface address that responses announce.
    void setIfAddr(const in_addr& addr);
    // Sets the IPv6 address that responses to searches over IPv6 announce; :: for none.
    void setIpv6Addr(const in6_addr& addr);

    static const char* SSDP_ADDR() { return "239.255.255.250"; }
    static const char* MULTICAST_IF() { return "eth1"; }
    static const char* SEARCH_METHOD() { return "M-SEARCH"; }
    static const char* HOST_FIELD_NAME() { return "HOST"; }
    static const char* HOST_FIELD_VAL() { return "239.255.255.250:1900"; }
    static const char* MANDATORY_FIELD_NAME() { return "MAN"; }
    static const char* MANDATORY_FIELD_VAL() { return "\"ssdp:discover\""; }
    static const char* MX_FIELD_NAME() { return "MX"; }
    static const char* ST_FIELD_NAME() { return "ST"; }
    static const char* URN_TAG_NAME() { return "URN"; }
    static const char* URN_REDFISH_SVC() { return "dmtf-org:service:redfish-rest:1"; }
    static const char* ALL_TARGETS() { return "ssdp:all"; }
    static const char* UPNP_ROOT_DEVICE() { return "upnp:rootdevice"; }

    static const char* RSP_LINE() { return "HTTP/1.1 200 OK\r\n"; }
    static const char* CACHE_CTL() { return "CACHE-CONTROL:1800\r\n"; }
    static const char* ST_URI() { return "ST:urn:dmtf-org:service:redfish-rest:1\r\n"; }
    static const char* UNIQ_SVC_NAME()
    {
        return "USN:uuid:<UUID of Manager>::dmtf-org::urn:dmtf-org:service:redfish-rest:1:2\r\n";
    }
    static const char* SVC_LOCATION() { return "AL:https://<ip-addr:port>/redfish/v1\r\n"; }
    static const char* EXT() { return "EXT:\r\n"; }
    static const char* BLANK_LINE() { return "\r\n"; }
    static const char* OPENING_BRACKET() { return "<"; }
    static const char* CLOSING_BRACKET() { return ">"; }

private:
    struct PendingRsp
    {
        Clock::time_point due;
        PeerAddr to;
        socklen_t toLen;
        SearchTarget target;
        bool operator>(const PendingRsp& other) const { return due > other.due; }
    };

    // One socket and what its listener thread keeps: the receive buffer, the sender and the
    // group of the last datagram, and the interface as last seen.
    struct Listener
    {
        // Set by the listener; read by the responder, which sends through it. Once set it
        // stays until the process ends.
        std::atomic<int> fd{-1};
        bool bIpv6 = false;
        std::thread thread;
        std::vector<char> rcvBuf;
        int rcvLen = 0;
        PeerAddr sender{};
        socklen_t senderLen = 0;
        SsdpGroup group = SsdpGroup::Ipv4;
        Clock::time_point rcvTime;
        bool bRecvTimeoutSet = false;
        int joinedIndex = 0; // the interface index the groups are joined on; 0 while not joined
        int joinFailedIndex = 0;
        Clock::time_point nextIfCheck;
        LogLimiterGroup limits;
        LogLimiter timeoutFailLimit{limits, "setsockopt() failed to set recv timeout"};
        LogLimiter inboxFullLimit{limits, "Receive queue full"};
    };

    bool init();
    bool initSocket();
    bool initMulticast();
    bool setRecvTimeout(Listener& listener);
    // Follows the interface: joins the group again on an interface re-created under the same
    // name, and announces its current address. Runs on the listener's passes, at most once per
    // IF_CHECK_INTERVAL.
    void followInterface(Clock::time_point now);
    // The errno of a failed join, else 0.
    int joinGroup(in_addr ifAddr);
    void announceAddr(in_addr_t addr);
    // The IPv6 side of followInterface: sets the IPv6 socket up once the interface has an IPv6
    // address, joins the groups of the chosen scope (again, on a re-created interface), and
    // announces the address chosen.
    void followIpv6(Clock::time_point now);
    // The IPv6 socket, bound to port 1900 and not yet a member of any group; false, with one
    // WARNING per kind of failure, when it cannot be made.
    bool initIpv6Socket();
    // The errno of the first failed join, else 0.
    int joinIpv6Groups(int index);
    void leaveIpv6Groups(int index);
    void announceIpv6Addr(const in6_addr& addr);
    void listenerThread();
    void ipv6ListenerThread();
    // The loop both listeners run: receive, hand over, follow the interface.
    void listen(Listener& listener);
    // The status line for systemd: interface and address, searches answered and dropped, the
    // last console that searched.
    std::string statusLine();
    void responderThread();
    // Receives one datagram, or times out; true for a datagram to hand over.
    bool receive(Listener& listener);
    // Hands the datagram just received to the responder.
    void eventSend(Listener& listener);
    void handleDatagram(Datagram& datagram);
    void sendDueResponses(Clock::time_point now);
    Clock::time_point nextDue() const;
    // Builds every cached message again when the service information or an address changed:
    // the IPv4 address `announced`, or the IPv6 one that the listener published.
    void refreshMessages(in_addr_t announced);
    std::string buildStandardRsp(const std::string& st, const std::string& usn,
                                 const std::string& url) const;
    bool setMulticastTtl();
    // Sends a round of announcements when one is due; tells when the next is due.
    Clock::time_point announce(Clock::time_point now);
    // Sends the announcements, alive or byebye, to every group with an address to announce.
    void sendAnnouncements(bool alive);

    static RedfishDiscovery s_RedfishDiscovery;

    Options m_options;
    std::atomic<bool> m_bRunning{false};
    sockaddr_in m_ssdpAddr{};
    // The interface's IPv4 address as the listener last read it; what responses carry is
    // published from it in m_announcedAddr.
    sockaddr m_ifAddr{};
    Listener m_v4;
    Listener m_v6; // only with --ipv6
    // With --ipv6, the groups of the chosen scope, narrowest first.
    std::vector<std::pair<Ipv6Group, in6_addr>> m_ipv6Groups;
    std::thread m_responder;
    RedfishdInfo m_redfishdInfo;

    // The interface address that responses announce, in network byte order: written by whoever
    // learns it, read by the responder.
    std::atomic<in_addr_t> m_announcedAddr{0};
    // The IPv6 address that responses over IPv6 announce, as the URL's host ("[fd00::1]", empty
    // for none): written by the IPv6 listener, which counts each change in the version, and
    // taken by the responder when the version moved.
    std::mutex m_ipv6HostMutex;
    std::string m_ipv6Host;
    std::string m_ipv6AddrText; // as the status line shows it
    std::atomic<unsigned> m_ipv6HostVersion{0};

    // IPv6 listener only: the address announced, and the set-up failure last recorded.
    in6_addr m_ipv6Addr{};
    bool m_bIpv6AddrKnown = false; // false until the first check
    std::string m_ipv6SetupFailure;

    DatagramQueue m_inbox{INBOX_CAPACITY, RCV_BUF_SIZE};

    // What the status line tells, counted by both threads and read by the listener.
    SystemdNotify m_notify;
    std::atomic<std::uint64_t> m_answered{0};
    std::atomic<std::uint64_t> m_dropped{0};
    std::mutex m_lastSearcherMutex;
    PeerAddr m_lastSearcher{};

    // Responder side only.
    std::priority_queue<PendingRsp, std::vector<PendingRsp>, std::greater<PendingRsp>> m_pending;
    std::map<std::string, unsigned> m_pendingPerPeer; // by the requester's address bytes
    std::mt19937 m_rng;
    // The responses for the announced address m_rspAddr, by search target, and the alive
    // announcements; built again when either the address or the service information changes.
    // Both by family (IPv4, IPv6); the announcements by group.
    std::array<std::array<std::vector<std::string>, 3>, 2> m_rsp;
    std::array<std::vector<std::string>, SSDP_GROUP_COUNT> m_alive;
    in_addr_t m_rspAddr = 0;
    std::string m_rspIpv6Host;     // the IPv6 URL host the messages were built for
    unsigned m_rspIpv6Version = 0; // of m_ipv6HostVersion, when it was taken
    bool m_bRspIpv6 = false;       // whether there is an IPv6 address to announce
    bool m_bRspStale = true;
    std::string m_server; // the SERVER header's value
    // UPnP Device Architecture 1.1: BOOTID.UPNP.ORG grows each time the device (re)joins the
    // network; the start time in seconds grows across restarts, and a new address adds one.
    std::uint32_t m_bootId = 0;
    in_addr_t m_aliveAddr = 0; // the addresses the last alive announcements carried
    std::string m_aliveIpv6Host;
    int m_announceRoundsLeft = 0;
    Clock::time_point m_nextAnnounce = Clock::time_point::max();
    LogLimiterGroup m_responderLimits;
    LogLimiter m_openFailLimit{m_responderLimits, "Failed to open the redfishd info file"};
    LogLimiter m_parseFailLimit{m_responderLimits, "Failed to parse the redfishd info"};
    LogLimiter m_infoKindLimit{m_responderLimits, "The redfishd info"};
    LogLimiter m_sendFailLimit{m_responderLimits, "sendto() failed"};
    LogLimiter m_pendingFullLimit{m_responderLimits, "Too many pending responses"};
};

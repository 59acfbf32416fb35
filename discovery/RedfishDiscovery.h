#pragma once

#include "common/LogLimiter.h"
#include "discovery/DatagramQueue.h"
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
// told otherwise), a listener thread that receives datagrams and follows the interface's index
// and address, and a responder thread that judges each datagram and answers valid searches after
// a random delay bounded by the request's MX.
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
    bool parseSearchQuery(char* text, Headers& headers);
    bool isHostFieldValid(std::string& value);
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
    void replacePlaceholderStr(std::string& text, std::string& value);
    int drawDelayMs(int mx);
    bool sendSearchRsp(const std::string& rsp, const PeerAddr& to, socklen_t toLen);
    // The datagrams that answer a search for `target` (one, or three for ssdp:all in the
    // standard form), for the current service information and announced address, built again
    // only when either has changed; nullptr while there is no address to announce.
    const std::vector<std::string>* searchResponses(SearchTarget target);

    // Judges one received datagram: true for a search to answer, with its MX (1 to 5) in `mx`
    // and what it asked for in `target`.
    bool judgeSearch(char* text, int& mx, SearchTarget& target);
    // The whole path from bytes to answer without a socket: the first datagram of the answer.
    // False when nothing is to be sent.
    bool judgeSearch(char* text, std::string& rsp, int& mx);
    // The announcements of the service, alive or byebye, in the standard form.
    std::vector<std::string> buildNotifyMsgs(bool alive);

    const RedfishdInfo& redfishdInfo() const { return m_redfishdInfo; }
    // Sets the interface address that responses announce.
    void setIfAddr(const in_addr& addr);

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

    bool init();
    bool initSocket();
    bool initMulticast();
    bool setRecvTimeout();
    // Follows the interface: joins the group again on an interface re-created under the same
    // name, and announces its current address. Runs on the listener's passes, at most once per
    // IF_CHECK_INTERVAL.
    void followInterface(Clock::time_point now);
    // The errno of a failed join, else 0.
    int joinGroup(in_addr ifAddr);
    void announceAddr(in_addr_t addr);
    void listenerThread();
    // The status line for systemd: interface and address, searches answered and dropped, the
    // last console that searched.
    std::string statusLine();
    void responderThread();
    // Hands the datagram just received to the responder.
    void eventSend();
    void handleDatagram(Datagram& datagram);
    void sendDueResponses(Clock::time_point now);
    Clock::time_point nextDue() const;
    // Builds every cached message again when the service information or the address changed.
    void refreshMessages(in_addr_t announced);
    std::string buildStandardRsp(const std::string& st, const std::string& usn,
                                 const std::string& url) const;
    bool setMulticastTtl();
    // Sends a round of announcements when one is due; tells when the next is due.
    Clock::time_point announce(Clock::time_point now);
    void sendAnnouncements(const std::vector<std::string>& messages);

    static RedfishDiscovery s_RedfishDiscovery;

    Options m_options;
    std::atomic<bool> m_bRunning{false};
    sockaddr_in m_ssdpAddr{};
    sockaddr m_ifAddr{};
    int m_sockFd = -1;
    std::thread m_listener;
    std::thread m_responder;
    RedfishdInfo m_redfishdInfo;

    // The interface address that responses announce, in network byte order: written by whoever
    // learns it, read by the responder.
    std::atomic<in_addr_t> m_announcedAddr{0};

    // Listener side: the receive buffer and the sender of the last datagram.
    std::vector<char> m_rcvBuf;
    int m_rcvLen = 0;
    PeerAddr m_senderAddr{};
    socklen_t m_senderAddrLen = sizeof(sockaddr_in);
    Clock::time_point m_rcvTime;
    bool m_bRecvTimeoutSet = false;
    int m_joinedIndex = 0; // the interface index the group is joined on; 0 while not joined
    int m_joinFailedIndex = 0;
    Clock::time_point m_nextIfCheck;
    LogLimiterGroup m_listenerLimits;
    LogLimiter m_timeoutFailLimit{m_listenerLimits, "setsockopt() failed to set recv timeout"};
    LogLimiter m_inboxFullLimit{m_listenerLimits, "Receive queue full"};

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
    std::array<std::vector<std::string>, 3> m_rsp;
    std::vector<std::string> m_alive;
    in_addr_t m_rspAddr = 0;
    bool m_bRspStale = true;
    std::string m_server; // the SERVER header's value
    // UPnP Device Architecture 1.1: BOOTID.UPNP.ORG grows each time the device (re)joins the
    // network; the start time in seconds grows across restarts, and a new address adds one.
    std::uint32_t m_bootId = 0;
    in_addr_t m_aliveAddr = 0; // the address the last alive announcements carried
    int m_announceRoundsLeft = 0;
    Clock::time_point m_nextAnnounce = Clock::time_point::max();
    LogLimiterGroup m_responderLimits;
    LogLimiter m_openFailLimit{m_responderLimits, "Failed to open the redfishd info file"};
    LogLimiter m_parseFailLimit{m_responderLimits, "Failed to parse the redfishd info"};
    LogLimiter m_infoKindLimit{m_responderLimits, "The redfishd info"};
    LogLimiter m_sendFailLimit{m_responderLimits, "sendto() failed"};
    LogLimiter m_pendingFullLimit{m_responderLimits, "Too many pending responses"};
};

#pragma once

#include "common/LogLimiter.h"
#include "discovery/AddressBoard.h"
#include "discovery/Announcer.h"
#include "discovery/DatagramQueue.h"
#include "discovery/InterfaceWatch.h"
#include "discovery/Ipv6.h"
#include "discovery/Ipv6Listener.h"
#include "discovery/MessageCache.h"
#include "discovery/Options.h"
#include "discovery/PendingResponses.h"
#include "discovery/ServiceStatus.h"
#include "discovery/Ssdp.h"
#include "discovery/SystemdNotify.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

// The SSDP responder: one UDP socket bound to the SSDP group and joined to it on each interface
// ("eth1" unless told otherwise) with the listener thread that receives on it, with --ipv6 an IPv6
// listener of its own, and the responder thread that judges each datagram and answers valid
// searches after a random delay bounded by the request's MX.
//
// Which thread owns what:
//   IPv4 listener  m_sockFd's receive, m_rcvBuf and the sender, m_ipv4Watches, m_listenerLimits,
//                  m_notify's watchdog and status line
//   IPv6 listener  everything in m_ipv6
//   responder      m_redfishdInfo, m_pending, m_cache, m_announcer, m_rng, m_responderLimits
//   shared         m_board (addresses), m_status (counters), m_inbox (the hand-over),
//                  m_bRunning; the sockets, set before the threads start, are sent through by
//                  the responder
class RedfishDiscovery
{
public:
    struct RedfishdInfo
    {
        std::string uuid; // empty until read from the service-information file
    };

    using Clock = std::chrono::steady_clock;
    using Headers = std::map<std::string, std::string>;
    using SearchTarget = ::SearchTarget;

    static constexpr std::size_t RCV_BUF_SIZE = DATAGRAM_BUF_SIZE;
    // Datagrams received but not judged yet; one that finds the inbox full is dropped.
    static constexpr std::size_t INBOX_CAPACITY = 128;
    // UPnP Device Architecture 1.1: a device waits a random time below MX seconds, and MX
    // values above 5 are treated as 5.
    static constexpr int MX_MAX = 5;

    RedfishDiscovery();
    ~RedfishDiscovery();
    RedfishDiscovery(const RedfishDiscovery&) = delete;
    RedfishDiscovery& operator=(const RedfishDiscovery&) = delete;

    static RedfishDiscovery* instance() { return &s_RedfishDiscovery; }

    // Before run().
    void setOptions(const Options& options);

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
    // True for an ST value "uuid:<text>" (the line's carriage return and trailing blanks
    // aside) and, given `uuid`, for that UUID exactly.
    static bool isUuidTarget(const std::string& value, const std::string& uuid = "");
    // The MX value as the delay uses it: its leading decimal number, raised to 1 and capped at 5.
    static int clampMx(const std::string& value);
    static int clampMx(long mx);

    // Response side.
    bool readRedfishdInfo();
    // The legacy response for the IPv4 address the interface has now.
    void buildSearchRsp(std::string& out, RedfishdInfo& info);
    // The same for the URL host `host` ("198.18.0.1", "[fd00::1]").
    static void buildSearchRsp(std::string& out, RedfishdInfo& info, std::string host);
    static void replacePlaceholderStr(std::string& text, std::string& value);
    int drawDelayMs(int mx);
    bool sendSearchRsp(const std::string& rsp, const PeerAddr& to, socklen_t toLen);

    // Judges one received datagram: true for a search to answer, with its MX (1 to 5) in `mx`
    // and what it asked for in `target`.
    bool judgeSearch(char* text, int& mx, SearchTarget& target, SsdpGroup group = SsdpGroup::Ipv4);

    // For callers outside the threads (tests, fuzz targets, benchmarks), which stand in for
    // the listeners: the addresses to announce, as a listener publishes them (:: for no IPv6
    // address); the messages brought up to date with them and the service information, then the
    // datagrams that answer `target` over IPv6 or IPv4 (nullptr without an address of that
    // family); and the whole path from bytes to the first datagram of the answer, false when
    // nothing is to be sent.
    void setIfAddr(const in_addr& addr);
    void setIpv6Addr(const in6_addr& addr);
    const std::vector<std::string>* searchResponses(SearchTarget target, bool ipv6 = false);
    bool judgeSearch(char* text, std::string& rsp, int& mx, SsdpGroup group = SsdpGroup::Ipv4);

    const RedfishdInfo& redfishdInfo() const { return m_redfishdInfo; }

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
    bool init();
    bool stopRequested();
    bool initSocket();
    bool initMulticast();
    bool setMulticastTtl();

    // IPv4 listener.
    void listenerThread();
    // Receives one datagram, or times out; true for a datagram to hand over.
    bool receive();
    // Hands the datagram just received to the responder.
    void eventSend();
    // Follows the interface's index and IPv4 address, and publishes the address.
    void followInterface(Clock::time_point now);
    // The watchdog's ping and the status line, from this loop only, so that a listener that
    // stops turning stops the pings with it.
    void tellSystemd(Clock::time_point now);
    // The interface and its addresses, searches answered and dropped, the last console.
    std::string statusLine();

    // Responder.
    void responderThread();
    // Takes the addresses the listeners published and the service information into the
    // messages; a change of addresses starts a fresh set of announcements.
    void refreshMessages(Clock::time_point now);
    void handleDatagram(Datagram& datagram);
    void sendDueResponses(Clock::time_point now);
    void announceIfDue(Clock::time_point now);
    // Sends the announcements, alive or byebye, to every group with an address to announce.
    void sendAnnouncements(bool alive);
    static std::string legacyResponse(const std::string& uuid, const std::string& host);

    static RedfishDiscovery s_RedfishDiscovery;

    Options m_options;
    std::atomic<bool> m_bRunning{false};
    // Set by stop() whenever it is called, even before run(); under the lock, so that READY=1
    // never follows STOPPING=1.
    std::mutex m_stopMutex;
    bool m_bStopRequested = false;

    // Shared.
    AddressBoard m_board;
    ServiceStatus m_status;
    DatagramQueue m_inbox{INBOX_CAPACITY, RCV_BUF_SIZE};
    SystemdNotify m_notify;

    // IPv4 listener.
    sockaddr_in m_ssdpAddr{};
    int m_sockFd = -1;
    std::thread m_listener;
    std::vector<char> m_rcvBuf;
    int m_rcvLen = 0;
    PeerAddr m_senderAddr{};
    socklen_t m_senderAddrLen = 0;
    Clock::time_point m_rcvTime;
    std::size_t m_rcvSlot = 0; // the interface the datagram came in by
    bool m_bRecvTimeoutSet = false;
    std::vector<InterfaceWatch> m_ipv4Watches; // one per interface, in the order -i named them
    LogLimiterGroup m_listenerLimits;
    LogLimiter m_timeoutFailLimit{m_listenerLimits, "setsockopt() failed to set recv timeout"};
    LogLimiter m_inboxFullLimit{m_listenerLimits, "Receive queue full"};
    LogLimiter m_senderLimit{m_listenerLimits, "Unanswerable source"};

    // IPv6 listener, with --ipv6.
    std::optional<Ipv6Listener> m_ipv6;

    // Responder.
    std::thread m_responder;
    RedfishdInfo m_redfishdInfo;
    PendingResponses m_pending;
    MessageCache m_cache;
    Announcer m_announcer;
    std::mt19937 m_rng;
    std::vector<Ipv6GroupAddr> m_ipv6Groups; // announced to
    LogLimiterGroup m_responderLimits;
    LogLimiter m_openFailLimit{m_responderLimits, "Failed to open the redfishd info file"};
    LogLimiter m_parseFailLimit{m_responderLimits, "Failed to parse the redfishd info"};
    LogLimiter m_infoKindLimit{m_responderLimits, "The redfishd info"};
    LogLimiter m_sendFailLimit{m_responderLimits, "sendto() failed"};
    LogLimiter m_pendingFullLimit{m_responderLimits, "Too many pending responses"};
};

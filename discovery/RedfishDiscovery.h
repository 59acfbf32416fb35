#pragma once

#include "common/LogLimiter.h"
#include "discovery/AddressBoard.h"
#include "discovery/Announcer.h"
#include "discovery/DatagramQueue.h"
#include "discovery/InterfaceWatch.h"
#include "discovery/Ipv6.h"
#include "discovery/MessageCache.h"
#include "discovery/Options.h"
#include "discovery/PendingResponses.h"
#include "discovery/Reception.h"
#include "discovery/Sender.h"
#include "discovery/ServiceInfo.h"
#include "discovery/ServiceStatus.h"
#include "discovery/Ssdp.h"
#include "discovery/SystemdNotify.h"
#include "discovery/Watchdog.h"

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

// The SSDP responder's facade: it owns the listeners (a Reception per family, each on its own
// thread) and the responder thread, which judges each datagram and answers valid searches after a
// random delay bounded by the request's MX. A datagram goes one way: Reception (receive, admit)
// -> DatagramQueue -> judgeSearch -> PendingResponses -> MessageCache -> Sender.
//
// Which thread owns what:
//   IPv4 listener  m_ipv4 and its datagram (m_rcvBuf, m_rcvLen, m_senderAddr, m_senderAddrLen),
//                  the watchdog's pings and the status line
//   IPv6 listener  m_ipv6
//   responder      m_redfishdInfo, m_pending, m_cache, m_announcer, m_sender, m_rng, its limits
//   shared         m_board, m_status, m_inbox, m_notify, m_watchdog, m_bRunning, the stop request;
//                  the sockets, received on by their listener and sent through by the responder
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

    static RedfishDiscovery* instance() { return &s_RedfishDiscovery; }

    // Before run().
    void setOptions(const Options& options);

    bool run();
    bool stop();

    // Request judging; pure: no socket, clock, log or member data.
    // `group` is the group the datagram was sent to: over IPv6 HOST must name it.
    bool parseSearchQuery(char* text, Headers& headers, SsdpGroup group = SsdpGroup::Ipv4);
    // The same without the ST rule: the request line, the four headers, HOST and MAN.
    bool readSearchHeaders(char* text, Headers& headers, SsdpGroup group = SsdpGroup::Ipv4);
    bool isHostFieldValid(std::string& value, SsdpGroup group = SsdpGroup::Ipv4);
    bool isManFieldValid(std::string& value);
    bool isStFieldValid(std::string& value);
    bool isMxFieldValid(std::string& value);
    // Whether an ST value is answered, and what it asks for. Without `exact` (the legacy form)
    // the value must pass isStFieldValid, and its first 8 characters decide. With `exact` (the
    // standard form) only the targets themselves count (a Redfish type may carry a minor
    // version, ":2"), and "uuid:<UUID>" too, as SearchTarget::Uuid.
    bool classifySearchTarget(std::string& value, bool exact, SearchTarget& target);
    // True for an ST value "uuid:<text>" (the line's carriage return and trailing blanks
    // aside) and, given `uuid`, for that UUID in any letter case.
    static bool isUuidTarget(const std::string& value, const std::string& uuid = "");
    // The MX value as the delay uses it: its leading decimal number, raised to 1 and capped at 5.
    static int clampMx(const std::string& value);
    static int clampMx(long mx);

    // Response side. True once the service information has a UUID (an empty one too).
    bool readRedfishdInfo(Clock::time_point now = Clock::now());
    // The legacy response for the IPv4 address the interface has now.
    void buildSearchRsp(std::string& out, RedfishdInfo& info);
    // The same for the URL host `host` ("198.18.0.1", "[fd00::1]").
    static void buildSearchRsp(std::string& out, RedfishdInfo& info, const std::string& host);
    static void replacePlaceholderStr(std::string& text, std::string& value);
    int drawDelayMs(int mx);
    bool sendSearchRsp(const std::string& rsp, const PeerAddr& to, socklen_t toLen);

    // Judges one received datagram: true for a search to answer, with its MX (1 to 5) in `mx`
    // and what it asked for in `target`.
    bool judgeSearch(char* text, int& mx, SearchTarget& target, SsdpGroup group = SsdpGroup::Ipv4);

    const RedfishdInfo& redfishdInfo() const { return m_redfishdInfo; }

    static const char* SSDP_ADDR() { return WIRE_IPV4_GROUP; }
    static const char* MULTICAST_IF() { return DEFAULT_INTERFACE; }
    static const char* SEARCH_METHOD() { return "M-SEARCH"; }
    static const char* HOST_FIELD_NAME() { return "HOST"; }
    static const char* HOST_FIELD_VAL() { return WIRE_IPV4_HOST; }
    static const char* MANDATORY_FIELD_NAME() { return "MAN"; }
    static const char* MANDATORY_FIELD_VAL() { return "\"ssdp:discover\""; }
    static const char* MX_FIELD_NAME() { return "MX"; }
    static const char* ST_FIELD_NAME() { return "ST"; }
    static const char* URN_TAG_NAME() { return "URN"; }
    static const char* URN_REDFISH_SVC() { return WIRE_REDFISH_SERVICE; }
    static const char* ALL_TARGETS() { return WIRE_ALL_TARGETS; }
    static const char* UPNP_ROOT_DEVICE() { return WIRE_ROOT_DEVICE; }

    static const char* RSP_LINE() { return WIRE_STATUS_LINE; }
    static const char* CACHE_CTL() { return WIRE_LEGACY_CACHE; }
    static const char* ST_URI() { return WIRE_LEGACY_ST; }
    static const char* UNIQ_SVC_NAME() { return WIRE_LEGACY_USN; }
    static const char* SVC_LOCATION() { return WIRE_LEGACY_AL; }
    static const char* EXT() { return WIRE_LEGACY_EXT; }
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
    // Hands the datagram just received to the responder.
    void eventSend();
    // The watchdog's ping and the status line: a thread that stops turning stops the pings.
    void tellSystemd(Clock::time_point now);
    std::string statusLine(); // the interfaces, their addresses and the counts

    // Responder.
    void responderThread();
    // The published addresses and the UUID into the messages at once; a fresh set of
    // announcements, with a new BOOTID, once new addresses have held still.
    void refreshMessages(Clock::time_point now);
    void handleDatagram(Datagram& datagram);
    void sendDueResponses(Clock::time_point now);
    void announceIfDue(Clock::time_point now);
    bool loadRedfishdInfo(); // reads and parses the file, with its records

    static RedfishDiscovery s_RedfishDiscovery;

    Options m_options;
    std::vector<Ipv6GroupAddr> m_ipv6Groups; // of the chosen scope; empty without IPv6
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
    Watchdog m_watchdog;

    // IPv4 listener.
    sockaddr_in m_ssdpAddr{};
    int m_sockFd = -1;
    std::thread m_listener;
    std::optional<Reception> m_ipv4;
    Datagram m_received; // the datagram last received; its parts under their own names:
    std::vector<char>& m_rcvBuf = m_received.text;
    int& m_rcvLen = m_received.length;
    PeerAddr& m_senderAddr = m_received.sender;
    socklen_t& m_senderAddrLen = m_received.senderLen;

    // IPv6 listener, with --ipv6.
    std::optional<Reception> m_ipv6;
    std::thread m_ipv6Listener;

    // Responder.
    std::thread m_responder;
    RedfishdInfo m_redfishdInfo;
    ServiceFileWatch m_infoWatch;
    bool m_infoTaken = false; // what the last read of the file gave
    PendingResponses m_pending;
    MessageCache m_cache;
    Announcer m_announcer;
    std::mt19937 m_rng;
    LogLimiterGroup m_responderLimits;
    Sender m_sender{m_options, m_ipv6Groups, m_responderLimits};
    LogLimiter m_openFailLimit{m_responderLimits, "Failed to open the redfishd info file"};
    LogLimiter m_parseFailLimit{m_responderLimits, "Failed to parse the redfishd info"};
    LogLimiter m_infoKindLimit{m_responderLimits, "The redfishd info"};
    LogLimiter m_pendingFullLimit{m_responderLimits, "Too many pending responses"};
};

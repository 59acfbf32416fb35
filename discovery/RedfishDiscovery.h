#pragma once

#include "discovery/AddressBoard.h"
#include "discovery/DatagramQueue.h"
#include "discovery/HostView.h"
#include "discovery/Listener.h"
#include "discovery/Options.h"
#include "discovery/Responder.h"
#include "discovery/SearchParser.h"
#include "discovery/ServiceStatus.h"
#include "discovery/SystemdNotify.h"
#include "discovery/Watchdog.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The SSDP responder service: its lifecycle, the state its threads share, and its published names.
// The work lives in the threads' own types: a Listener per family (receive, admit, follow the
// interfaces) and the Responder (judge, wait, answer, announce). A datagram goes one way:
// Listener -> DatagramQueue -> Responder (search rules, PendingResponses, MessageCache, Sender).
class RedfishDiscovery
{
public:
    using RedfishdInfo = ::RedfishdInfo;
    using Clock = std::chrono::steady_clock;
    using Headers = search::Headers;
    using SearchTarget = ::SearchTarget;

    static constexpr std::size_t RCV_BUF_SIZE = DATAGRAM_BUF_SIZE;
    // Datagrams received but not judged yet; one that finds the inbox full is dropped.
    static constexpr std::size_t INBOX_CAPACITY = 128;
    static constexpr int MX_MAX = search::MX_MAX;

    RedfishDiscovery();
    ~RedfishDiscovery();

    static RedfishDiscovery* instance() { return &s_RedfishDiscovery; }

    // Before run(): false, and nothing changed, once run() has been called (the threads use the
    // listeners and the responder it would make again).
    bool setOptions(const Options& options);

    bool run();
    bool stop();

    // The published interface: the names consoles' integrators and the tests know the service by,
    // each handing on to the rules or the thread type that does the work.
    bool parseSearchQuery(char* text, Headers& headers, SsdpGroup group = SsdpGroup::Ipv4)
    {
        return search::parseQuery(text, headers, group);
    }
    bool isHostFieldValid(std::string& value) { return search::isHostValid(value); }
    bool isManFieldValid(std::string& value) { return search::isManValid(value); }
    bool isStFieldValid(std::string& value) { return search::isStValid(value); }
    bool isMxFieldValid(std::string& value) { return search::isMxValid(value); }
    bool readRedfishdInfo() { return m_responderState.readRedfishdInfo(); }
    const RedfishdInfo& redfishdInfo() const { return m_responderState.redfishdInfo(); }
    // The legacy response for the IPv4 address the first interface has now.
    void buildSearchRsp(std::string& out, RedfishdInfo& info);
    // The same for the URL host `host` ("198.18.0.1", "[fd00::1]").
    static void buildSearchRsp(std::string& out, RedfishdInfo& info, const std::string& host);
    static void replacePlaceholderStr(std::string& text, std::string& value);
    // Waits a random delay below `mx` seconds (raised to 1, capped at 5), then sends `rsp` to
    // `to` through the IPv4 socket: true when it was sent. It holds the caller for the delay (the
    // responder's own answers wait in its pending set instead) and draws from the responder's
    // generator: not while the responder thread runs.
    bool sendSearchRsp(std::string& rsp, int mx, sockaddr_in* to, unsigned toLen);

    static const char* SSDP_ADDR() { return WIRE_IPV4_GROUP; }
    static const char* MULTICAST_IF() { return DEFAULT_INTERFACE; }
    static const char* SEARCH_METHOD() { return WIRE_SEARCH_METHOD; }
    static const char* HOST_FIELD_NAME() { return WIRE_HOST_NAME; }
    static const char* HOST_FIELD_VAL() { return WIRE_IPV4_HOST; }
    static const char* MANDATORY_FIELD_NAME() { return WIRE_MAN_NAME; }
    static const char* MANDATORY_FIELD_VAL() { return WIRE_MAN_VALUE; }
    static const char* MX_FIELD_NAME() { return WIRE_MX_NAME; }
    static const char* ST_FIELD_NAME() { return WIRE_ST_NAME; }
    static const char* URN_TAG_NAME() { return WIRE_URN_TAG; }
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
    // Waits for the host's view to be known, the listeners keeping it meanwhile: false when it is
    // still unknown at the start's time-out, or a stop is asked for.
    bool awaitHostView();
    // Ends the threads init() started, for a start that fails after it.
    void joinThreads();
    bool stopRequested();
    bool initSocket();
    bool initMulticast();
    void listenerThread();
    void responderThread() { m_responderState.run(); }
    // The watchdog's ping and the status line, from the IPv4 listener's turns: a thread that
    // stops turning stops the pings.
    void tellSystemd(Clock::time_point now);
    std::string statusLine(); // the interfaces, their addresses and the counts
    // The start's INFO record: the interfaces and their addresses, the group joined, the files.
    void recordStart();

    static RedfishDiscovery s_RedfishDiscovery;

    Options m_options;
    std::vector<Ipv6GroupAddr> m_ipv6Groups; // of the chosen scope; empty without IPv6
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bRunCalled{false}; // never cleared: the options stay as run() found them
    // Set by stop() whenever it is called, even before run(); under the lock, so that READY=1
    // never follows STOPPING=1.
    std::mutex m_stopMutex;
    bool m_bStopRequested = false;

    // Shared by the threads.
    std::optional<HostView> m_host; // following what the options need
    AddressBoard m_board;
    ServiceStatus m_status;
    DatagramQueue m_inbox{INBOX_CAPACITY, RCV_BUF_SIZE};
    SystemdNotify m_notify;
    Watchdog m_watchdog;

    // The threads, and the types they own.
    std::optional<Listener> m_ipv4Listener;
    std::optional<Listener> m_ipv6Listener; // with --ipv6
    Responder m_responderState{m_options, m_ipv6Groups, m_inbox, m_board, m_status, m_watchdog};
    std::thread m_listener; // the IPv4 listener's
    std::thread m_ipv6ListenerThread;
    std::thread m_responder;
};

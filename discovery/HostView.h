#pragma once

#include "common/LogLimiter.h"
#include "discovery/HostTable.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct nlmsghdr;

// The daemon's one view of the host: the table of its links and addresses (HostTable),
// kept from the kernel's events on one netlink socket, dumped when opened and again whenever an
// event may have been lost. It subscribes only to what the table keeps: the IPv6 groups only
// with IPv6. Both listeners share it: each calls update() when the socket is readable, or once
// due() says a dump is owed, and asks viewOf() of each datagram; each interface watch reads its
// index and addresses from it once version() has moved. One thread at a time reads the socket,
// and the other never waits for a dump; the table's lock is held only to apply what was read and to
// answer, never across a wait, so a dump in progress leaves the other listener answering from the
// table as it was.
//
// A sender is judged by what the kernel had told when its datagram was read. The kernel queues
// RTM_NEWADDR on this socket as it adds an address, before a datagram from that address (even one
// sent at once from an address added with `nodad`) can reach a listener's socket; so a listener
// that reads this socket when poll() finds it readable, before receiving the datagram it found
// beside it, knows the address and never admits a datagram forged from it.
class HostView
{
public:
    using Clock = std::chrono::steady_clock;
    // The socket the view reads: the descriptor and its netlink port id, or -1 with the call that
    // failed and its errno.
    struct Socket
    {
        int fd = -1;
        unsigned portId = 0;
        const char* failedCall = "";
        int error = 0;
    };
    // Opens a socket subscribed to the RTMGRP_* `groups`. Tests give one of their own.
    using Opener = std::function<Socket(unsigned groups)>;
    static Socket openNetlink(unsigned groups);

    explicit HostView(HostTable::Scope scope = {}, Opener opener = openNetlink);
    ~HostView();
    HostView(const HostView&) = delete;
    HostView& operator=(const HostView&) = delete;

    // Opens the socket and dumps links and addresses; known() tells whether that
    // succeeded, and due() when to try again. A failure to open is recorded once, whichever call
    // meets it first.
    void open();
    // Applies the events queued (a receive that finds none when nothing is queued), and dumps
    // again what they leave unsure: everything after the queue overflowed (at most once a
    // second); a dump that failed or was interrupted, about a second later. While not open, opens
    // (at most once a second). Returns at once while the other listener is reading.
    void update();
    // True once update() is owed without word from the socket: a dump or an open to try again.
    bool due(Clock::time_point now) const
    {
        return now.time_since_epoch().count() >= m_dueAt.load(std::memory_order_acquire);
    }
    // The socket for the listeners' poll(), -1 while not open. Once open it stays until the end.
    int fd() const { return m_fd.load(std::memory_order_acquire); }
    // False until a full dump has succeeded, and again after a dump failed until one succeeds: a
    // listener then admits nothing. After events were lost the last table stands meanwhile.
    bool known() const { return m_bKnown.load(std::memory_order_acquire); }
    // Grows with every change of the links or addresses: a watch reads again only after it has
    // moved.
    unsigned version() const { return m_version.load(std::memory_order_acquire); }

    // The table's answers, each under the lock (HostTable says what each means).
    int indexOf(const std::string& name) const;
    in_addr_t ipv4Of(int index) const;
    std::vector<Ipv6IfAddr> ipv6Of(int index) const;
    // What a listener asks of each datagram's sender, under one lock.
    HostTable::SenderView viewOf(const IpAddress& sender, int index) const;
    // True while a listener reads a dump: events queued meanwhile may not have reached the table
    // yet, and the other listener does not wait for them.
    bool dumping() const { return m_bDumping.load(std::memory_order_acquire); }

private:
    enum class Part
    {
        More,
        Done,
        Failed,
    };
    using Kind = HostTable::Kind;

    bool openSocket(Clock::time_point now);
    void dumpPending(Clock::time_point now);
    bool dump(Kind kind);
    bool readDump();
    ssize_t receive(int flags);
    void lose(Clock::time_point now);
    Part take(const char* data, std::size_t size);
    static HostTable::Effect applyTo(HostTable& table, const nlmsghdr& message);
    void note(const HostTable::Effect& effect);
    void setDue();

    const HostTable::Scope m_scope;
    const Opener m_opener;
    std::mutex m_readMutex; // the socket's reader: what follows, up to the table, is its own
    unsigned m_portId = 0;  // the socket's: the kernel's replies to our dumps carry it
    unsigned m_seq = 0;     // the dump's under way
    unsigned m_pending = HostTable::EVERYTHING;
    unsigned m_dumped = 0;      // the kinds read whole since the last failed dump
    bool m_bOpenFailed = false; // recorded
    Clock::time_point m_nextOpen{};
    Clock::time_point m_nextDump{};
    Clock::time_point m_lossDump{}; // the last dump after a loss: they come at most once a second
    HostTable* m_dumping = nullptr; // the table a dump is filling
    bool m_bDumpInterrupted = false;
    std::vector<char> m_buffer;
    LogLimiter m_fullLimit{std::chrono::minutes(1)};

    mutable std::mutex m_mutex; // the table's
    HostTable m_table;

    std::atomic<int> m_fd{-1};
    std::atomic<unsigned> m_version{0};
    std::atomic<bool> m_bKnown{false};
    std::atomic<bool> m_bDumping{false};
    std::atomic<Clock::rep> m_dueAt{0};
};

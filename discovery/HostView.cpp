#include "discovery/HostView.h"

#include "common/Logger.h"
#include "discovery/RtnlDecoder.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace
{
// A dump part is at most 32 kB (the kernel sizes them by our reads, up to that).
constexpr std::size_t BUFFER_BYTES = 32768;
// Event reads at one update (an event is one read): the rest waits for the next turn.
constexpr unsigned MAX_EVENT_READS = 256;
// Dumps at one update: two full rounds.
constexpr unsigned MAX_DUMPS = 6;
constexpr unsigned MAX_DUMP_READS = 10000;
constexpr int DUMP_WAIT_MS = 1000;
constexpr std::chrono::seconds RETRY{1};

// Raised for as long as it lives.
class Raised
{
public:
    explicit Raised(std::atomic<bool>& flag) : m_flag(flag) { m_flag = true; }
    ~Raised() { m_flag = false; }
    Raised(const Raised&) = delete;
    Raised& operator=(const Raised&) = delete;

private:
    std::atomic<bool>& m_flag;
};
} // namespace

HostView::Socket HostView::openNetlink(unsigned groups)
{
    Socket opened;
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    socklen_t size = sizeof(local);
    const bool bound = fd != -1 &&
                       bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0;
    if (!bound)
    {
        opened.error = errno;
        opened.failedCall = fd == -1 ? "socket(AF_NETLINK)" : "bind(AF_NETLINK)";
        if (fd != -1)
        {
            close(fd);
        }
        return opened;
    }
    // A burst of events (an interface with many addresses going away) should not overflow the
    // queue: the kernel caps the size at net.core.rmem_max; an overflow costs a dump, no more.
    const int bytes = 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    opened.fd = fd;
    opened.portId = local.nl_pid;
    return opened;
}

HostView::HostView(HostTable::Scope scope, Opener opener)
    : m_scope(std::move(scope)), m_opener(std::move(opener)), m_buffer(BUFFER_BYTES),
      m_table(m_scope)
{
}

HostView::~HostView()
{
    if (m_fd != -1)
    {
        close(m_fd);
    }
}

void HostView::open()
{
    const std::lock_guard<std::mutex> reading(m_readMutex);
    const Clock::time_point now = Clock::now();
    if (m_fd != -1 || openSocket(now))
    {
        dumpPending(now);
    }
    setDue();
}

void HostView::update()
{
    // The other listener may be reading events, which is soon done, or dumping, which may take a
    // while: this one then goes on answering from the table as it stands rather than wait behind
    // it, and asks the kernel of each sender meanwhile.
    std::unique_lock<std::mutex> reading(m_readMutex, std::try_to_lock);
    if (!reading.owns_lock())
    {
        if (dumping())
        {
            return;
        }
        reading.lock();
    }
    const Clock::time_point now = Clock::now();
    if (m_fd == -1 && (now < m_nextOpen || !openSocket(now)))
    {
        setDue();
        return;
    }
    for (unsigned reads = 0; reads < MAX_EVENT_READS; ++reads)
    {
        const ssize_t got = receive(MSG_DONTWAIT);
        if (got == 0)
        {
            break;
        }
        if (got > 0)
        {
            take(m_buffer.data(), static_cast<std::size_t>(got));
        }
        else
        {
            lose(now);
        }
    }
    if (m_pending != 0 && now >= m_nextDump)
    {
        dumpPending(now);
    }
    setDue();
}

bool HostView::openSocket(Clock::time_point now)
{
    m_nextOpen = now + RETRY;
    // Links and addresses only, IPv6's only when IPv6 is followed: routes are asked of the kernel
    // one sender at a time, never followed, for a segment's router advertisements can bring
    // thousands a second.
    const unsigned groups =
        RTMGRP_LINK | RTMGRP_IPV4_IFADDR | (m_scope.ipv6 ? RTMGRP_IPV6_IFADDR : 0U);
    const Socket opened = m_opener(groups);
    if (opened.fd == -1)
    {
        if (!m_bOpenFailed)
        {
            // Tried again once a second; written once.
            m_bOpenFailed = true;
            LOG_DISC(WARNING) << opened.failedCall << " failed" << std::strerror(opened.error)
                              << ": the host's addresses are unknown, so no search is answered";
        }
        return false;
    }
    m_portId = opened.portId;
    m_pending = HostTable::EVERYTHING;
    m_fd = opened.fd;
    return true;
}

void HostView::dumpPending(Clock::time_point now)
{
    unsigned again = 0; // interrupted: read, but owed once more
    for (unsigned round = 0; round < MAX_DUMPS && m_pending != 0 && now >= m_nextDump; ++round)
    {
        const Kind kind =
            (m_pending & HostTable::LINKS) != 0 ? HostTable::LINKS : HostTable::ADDRESSES;
        m_pending &= ~kind;
        if (!dump(kind))
        {
            m_pending |= kind;
            m_dumped &= ~kind;
            m_bKnown = false;
            m_nextDump = now + RETRY;
            break;
        }
        m_dumped |= kind;
        again |= m_bDumpInterrupted ? kind : 0U;
    }
    if (again != 0)
    {
        m_pending |= again;
        m_nextDump = std::max(m_nextDump, now + RETRY);
    }
    m_bKnown = m_dumped == HostTable::EVERYTHING;
}

bool HostView::dump(Kind kind)
{
    // Made in a table of its own, which the events read among the parts reach too, in their order:
    // a part is made as it is read, after every event queued before it, so the last word on each
    // entry wins. The view answers from the table as it was meanwhile.
    HostTable fresh(m_scope);
    if (kind != HostTable::LINKS)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        fresh.copyLinks(m_table); // which interfaces are followed
    }
    // Room for the longer of the two requests' bodies.
    constexpr std::size_t BODY = std::max(sizeof(ifinfomsg), sizeof(ifaddrmsg));
    alignas(nlmsghdr) char request[NLMSG_SPACE(BODY)] = {};
    auto* header = reinterpret_cast<nlmsghdr*>(request);
    const bool links = kind == HostTable::LINKS;
    header->nlmsg_len = NLMSG_LENGTH(links ? sizeof(ifinfomsg) : sizeof(ifaddrmsg));
    header->nlmsg_type = links ? RTM_GETLINK : RTM_GETADDR;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header->nlmsg_seq = ++m_seq;
    // Each request's family comes first in its body: without IPv6, IPv4's alone.
    auto* family = static_cast<unsigned char*>(NLMSG_DATA(header));
    *family = links || m_scope.ipv6 ? AF_UNSPEC : AF_INET;
    m_dumping = &fresh;
    m_bDumpInterrupted = false;
    bool read = false;
    {
        const Raised raised(m_bDumping);
        read =
            send(m_fd, request, header->nlmsg_len, 0) == static_cast<ssize_t>(header->nlmsg_len) &&
            readDump();
    }
    m_dumping = nullptr;
    if (read)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        note(m_table.adopt(kind, std::move(fresh)));
    }
    return read;
}

bool HostView::readDump()
{
    for (unsigned reads = 0; reads < MAX_DUMP_READS; ++reads)
    {
        const ssize_t got = receive(MSG_DONTWAIT);
        if (got > 0)
        {
            const Part part = take(m_buffer.data(), static_cast<std::size_t>(got));
            if (part != Part::More)
            {
                return part == Part::Done;
            }
        }
        else if (got < 0)
        {
            lose(Clock::now());
            m_bDumpInterrupted = true;
        }
        else
        {
            // Waited for in poll(), so that a kernel that never answers cannot hold the reader.
            pollfd readable{m_fd, POLLIN, 0};
            if (poll(&readable, 1, DUMP_WAIT_MS) != 1)
            {
                return false;
            }
        }
    }
    return false;
}

ssize_t HostView::receive(int flags)
{
    // One read: its size; 0 for none (or a failed read); -1 when messages were lost, the queue
    // having overflowed (ENOBUFS) or a message being longer than the buffer.
    const ssize_t got = recv(m_fd, m_buffer.data(), m_buffer.size(), flags | MSG_TRUNC);
    if (got < 0)
    {
        return errno == ENOBUFS ? -1 : 0;
    }
    return static_cast<std::size_t>(got) > m_buffer.size() ? -1 : got;
}

void HostView::lose(Clock::time_point now)
{
    // Everything is dumped again, but the table as it stands keeps answering meanwhile: a flood of
    // events that overflows the queue again and again costs one round of dumps a second.
    m_pending = HostTable::EVERYTHING;
    if (now < m_lossDump + RETRY)
    {
        m_nextDump = std::max(m_nextDump, m_lossDump + RETRY);
    }
    else
    {
        m_lossDump = now;
    }
}

HostView::Part HostView::take(const char* data, std::size_t size)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    HostTable::Effect effect;
    std::size_t left = size;
    for (auto* message = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(message, left);
         message = NLMSG_NEXT(message, left))
    {
        if (m_portId == 0 || message->nlmsg_pid != m_portId)
        {
            // An event: the table answers by it at once, and a dump under way takes it too.
            effect.add(applyTo(m_table, *message));
            const int full = m_dumping == nullptr ? 0 : applyTo(*m_dumping, *message).full;
            effect.full = effect.full != 0 ? effect.full : full;
            continue;
        }
        if (message->nlmsg_seq != m_seq)
        {
            continue; // the rest of a dump given up
        }
        // Linux marks the part where a table changed under the dump: read, but unsure.
        m_bDumpInterrupted = m_bDumpInterrupted || (message->nlmsg_flags & NLM_F_DUMP_INTR) != 0;
        if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR)
        {
            note(effect);
            return message->nlmsg_type == NLMSG_DONE ? Part::Done : Part::Failed;
        }
        if (m_dumping != nullptr)
        {
            effect.full = applyTo(*m_dumping, *message).full;
        }
    }
    note(effect);
    return Part::More;
}

HostTable::Effect HostView::applyTo(HostTable& table, const nlmsghdr& message)
{
    switch (message.nlmsg_type)
    {
    case RTM_NEWLINK:
    case RTM_DELLINK:
        if (HostTable::Link link; rtnl::decodeLink(message, link))
        {
            return table.applyLink(link, message.nlmsg_type == RTM_DELLINK);
        }
        break;
    case RTM_NEWADDR:
    case RTM_DELADDR:
        if (HostTable::Address address; rtnl::decodeAddress(message, address))
        {
            return table.applyAddress(address, message.nlmsg_type == RTM_DELADDR);
        }
        break;
    default:
        break;
    }
    return {};
}

void HostView::note(const HostTable::Effect& effect)
{
    // Under the table's lock.
    m_pending |= effect.owed;
    if (effect.moved)
    {
        m_version.fetch_add(1, std::memory_order_release);
    }
    std::uint64_t suppressed = 0;
    if (effect.full != 0 && m_fullLimit.allow(suppressed))
    {
        const HostTable::Link* link = m_table.linkAt(effect.full);
        LOG_DISC(WARNING) << "Interface " << (link == nullptr ? std::string("?") : link->name)
                          << " (index " << effect.full << ") has more than "
                          << HostTable::MAX_PER_INTERFACE << " addresses: the rest are not kept";
    }
}

void HostView::setDue()
{
    const Clock::time_point due = m_fd == -1       ? m_nextOpen
                                  : m_pending != 0 ? m_nextDump
                                                   : Clock::time_point::max();
    m_dueAt.store(due.time_since_epoch().count(), std::memory_order_release);
}

int HostView::indexOf(const std::string& name) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_table.indexOf(name);
}

in_addr_t HostView::ipv4Of(int index) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_table.ipv4Of(index);
}

std::vector<Ipv6IfAddr> HostView::ipv6Of(int index) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_table.ipv6Of(index);
}

HostTable::SenderView HostView::viewOf(const IpAddress& sender, int index) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    HostTable::SenderView view = m_table.viewOf(sender, index);
    view.known = known();
    return view;
}

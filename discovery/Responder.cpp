#include "discovery/Responder.h"

#include "common/Logger.h"
#include "discovery/SearchParser.h"

#include <algorithm>
#include <cstring>
#include <pthread.h>

namespace
{
std::mt19937 seededGenerator()
{
    // Seeded from the kernel's entropy so that controllers booted from one image draw different
    // delays and do not all answer a console's search in the same millisecond.
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
    return std::mt19937(seed);
}
} // namespace

Responder::Responder(const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups,
                     DatagramQueue& inbox, const AddressBoard& board, ServiceStatus& status,
                     Watchdog& watchdog)
    : m_options(options), m_inbox(inbox), m_board(board), m_status(status), m_watchdog(watchdog),
      m_ipv6Groups(ipv6Groups), m_rng(seededGenerator()), m_sender(options, ipv6Groups, m_limits)
{
    configure();
}

void Responder::configure()
{
    m_cache.configure(m_options, m_ipv6Groups);
    m_announcer.configure(m_options.notifyInterval);
}

void Responder::run()
{
    pthread_setname_np(pthread_self(), "responder");
    Datagram datagram;
    datagram.text.assign(DATAGRAM_BUF_SIZE, '\0');
    for (;;)
    {
        const Clock::time_point now = Clock::now();
        m_watchdog.turnsBy(Watchdog::RESPONDER, now);
        refreshMessages(now);
        sendDue(roundEnd(now));
        announceIfDue(now);
        const Clock::time_point wakeBy =
            std::min({m_pending.nextDue(), m_announcer.next(), m_limits.flush(now)});
        m_watchdog.turnsBy(Watchdog::RESPONDER, wakeBy);
        if (m_inbox.pop(datagram, wakeBy))
        {
            // Busy from here: with the inbox now empty, nothing else would show the watchdog
            // a responder held inside this datagram's work.
            m_watchdog.turnsBy(Watchdog::RESPONDER, Clock::now());
            handleDatagram(datagram);
        }
        else if (m_inbox.closed())
        {
            break;
        }
    }
    // Nothing more is received: the answers still waiting leave now, not at their drawn times,
    // so that a stop (a restart above all) is not held for up to MX seconds. Early is still within
    // each search's MX window, and a console that searched a moment ago still hears of the
    // service, which outlives this daemon; only the spread among controllers is lost, for one
    // pool's worth of answers at most. Then the service says goodbye.
    refreshMessages(Clock::now());
    sendDue(Clock::time_point::max());
    if (m_announcer.enabled() && m_cache.hasAny() && !m_info.info().uuid.empty())
    {
        m_sender.announce(m_cache, false);
    }
    m_limits.flush(Clock::time_point::max());
}

void Responder::refreshMessages(Clock::time_point now)
{
    const MessageCache::Change change = m_cache.refresh(m_info.info().uuid, m_board);
    if (change != MessageCache::Change::None)
    {
        m_sender.take(m_cache);
    }
    if (change == MessageCache::Change::Appeared)
    {
        m_announcer.moved(now, m_rng);
    }
    else if (change == MessageCache::Change::Lost && !m_cache.hasAny())
    {
        m_announcer.pause();
    }
    // Kept without announcements too: BOOTID moves on with each fresh set all the same.
    if (m_announcer.freshSetDue(now, m_rng))
    {
        m_cache.newBoot();
    }
}

bool Responder::screen(char* text, int& mx, SearchTarget& target, SsdpGroup group)
{
    search::Headers headers;
    const bool standard = m_options.responseFormat == ResponseFormat::Dsp0266;
    const search::Verdict verdict = search::judge(text, standard, group, headers);
    if (!answerable(verdict, headers))
    {
        return false;
    }
    mx = verdict.mx;
    target = verdict.target;
    return true;
}

bool Responder::screenUnicast(char* text, const IpAddress& to, SearchTarget& target)
{
    search::Headers headers;
    const search::Verdict verdict = search::judgeUnicast(text, to, headers);
    target = verdict.target;
    return answerable(verdict, headers);
}

bool Responder::answerable(const search::Verdict& verdict, const search::Headers& headers)
{
    // Read after the parse whatever it found, until the UUID is known: a file written after
    // start-up is picked up by a datagram once it has changed (at most once a second).
    const bool haveInfo = readRedfishdInfo();
    if (!verdict.asked || !haveInfo)
    {
        return false;
    }
    return verdict.target != SearchTarget::Uuid ||
           search::isUuidTarget(headers.find(WIRE_ST_NAME)->second, m_info.info().uuid);
}

void Responder::handleDatagram(Datagram& datagram)
{
    if (m_onDatagram)
    {
        m_onDatagram();
    }
    int mx = 0;
    SearchTarget target = SearchTarget::Redfish;
    const bool unicast = !datagram.unicastTo.empty();
    const bool asked = unicast ? screenUnicast(datagram.text.data(), datagram.unicastTo, target)
                               : screen(datagram.text.data(), mx, target, datagram.group);
    if (!asked)
    {
        return;
    }
    m_status.searched(datagram.sender);
    const int delayMs = unicast ? drawUnicastDelayMs() : drawDelayMs(mx);
    const Clock::time_point due = datagram.arrival + std::chrono::milliseconds(delayMs);
    const PendingResponses::Admission admission =
        m_pending.add({due, datagram.sender, datagram.senderLen, target, datagram.ifindex,
                       datagram.group, datagram.unicastTo});
    if (admission.verdict != PendingResponses::Admission::Taken)
    {
        recordDrop(datagram, admission);
    }
}

void Responder::recordDrop(const Datagram& datagram, const PendingResponses::Admission& admission)
{
    // A push-out drops another address's answer, a refusal this one: either is one drop.
    m_status.dropped();
    m_pendingFullLimit.write(
        [this, &datagram, &admission]
        {
            if (admission.verdict == PendingResponses::Admission::Refused)
            {
                LOG_DISC(WARNING) << "Too many pending responses, search from "
                                  << addressText(datagram.sender) << " dropped (" << admission.held
                                  << " pending for it, " << m_pending.size() << " in all)";
                return;
            }
            LOG_DISC(WARNING) << "Too many pending responses, answer to "
                              << addressText(admission.pushedOutTo) << " pushed out ("
                              << admission.pushedOutHeld << " pending for it, " << m_pending.size()
                              << " in all)";
        });
}

Responder::Clock::time_point Responder::roundEnd(Clock::time_point now) const
{
    // Under a flood the answers leave at their times exactly: sent early, they would drain the
    // pool faster than the rate it is bounded by.
    const bool crowded = m_pending.size() > PendingResponses::CAPACITY * 3 / 4;
    return crowded ? now : now + ROUND_WINDOW;
}

void Responder::sendDue(Clock::time_point by)
{
    PendingResponses::Entry due{};
    while (m_pending.popDue(by, due))
    {
        // Built for the address that the interface the search came in by has now: a response
        // never carries an address gone since the search arrived, nor another interface's. With
        // no address there now it is not sent.
        const MessageCache::Answer answer = m_cache.answer(
            due.target, due.to.sa.sa_family == AF_INET6, due.ifindex, !due.unicastTo.empty());
        // One search, answered once, whatever the number of messages it takes.
        bool sent = false;
        for (std::size_t i = 0; answer.messages != nullptr && i < answer.messages->size(); ++i)
        {
            sent = m_sender.answer((*answer.messages)[i], due.to, due.toLen, due.ifindex,
                                   *answer.from, !isWideScope(due.group), due.unicastTo) ||
                   sent;
        }
        // A send that failed (a full send buffer above all) leaves the search unanswered.
        if (sent)
        {
            m_status.answered();
        }
        else
        {
            m_status.dropped();
        }
    }
}

int Responder::drawDelayMs(int mx)
{
    // UPnP Device Architecture 1.1: the response goes out after a random delay between 0 and MX
    // seconds, which spreads the answers of many devices to one search. The bound shrinks while
    // the pool is crowded (a device may assume a smaller MX than asked). A search judged late, by
    // the inbox's WAKE_SLACK at most, is answered then if its time has passed: still well within
    // MX.
    using std::chrono::milliseconds;
    const milliseconds mxBound = milliseconds(mx * 1000);
    const auto bound = static_cast<int>(m_pending.delayBound(mxBound).count());
    return std::uniform_int_distribution<int>(0, bound - 1)(m_rng);
}

int Responder::drawUnicastDelayMs()
{
    // UPnP Device Architecture 1.1, 1.3.2: a device answers a unicast search within 1 second.
    // Only this device answers it, so there are no answers of other devices to spread; a delay
    // below 100 ms still lets a burst's answers leave in rounds and through the admission of
    // waiting answers. Once more than 25 wait, the pool's drain bound (up to 1 s when full)
    // keeps a flood's answers at the multicast ones' rate, about 512 a second, where 100 ms would
    // let 2,500 a second through before the pool even came to half full.
    using std::chrono::milliseconds;
    const milliseconds bound =
        std::clamp(m_pending.drainBound(), UNICAST_DELAY_BOUND, milliseconds(1000));
    return std::uniform_int_distribution<int>(0, static_cast<int>(bound.count()) - 1)(m_rng);
}

void Responder::announceIfDue(Clock::time_point now)
{
    if (!m_announcer.due(now))
    {
        return;
    }
    if (!readRedfishdInfo(now) || m_info.info().uuid.empty())
    {
        // Nothing to announce without the service's UUID.
        m_announcer.retry(now);
        return;
    }
    refreshMessages(now);
    m_sender.announce(m_cache, true);
    m_announcer.sent(now, m_rng);
}

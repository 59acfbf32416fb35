#pragma once

#include <chrono>
#include <random>

// When the NOTIFY announcements go out (UPnP Device Architecture 1.1, 1.2.2): a fresh set of
// rounds whenever the service appears at new addresses, a few hundred milliseconds apart since
// UDP may lose a message, then one round per interval. Only the schedule: the responder, which
// owns it, sends the rounds and moves BOOTID.UPNP.ORG on at each fresh set.
//
// The start's set begins at once. A later one waits until the addresses have held still for
// SETTLE: addresses that keep moving (a flapping link, a router advertising prefixes in turn)
// then cost one fresh set once they settle, not one per move, on this and every controller
// there. Meanwhile rounds already due go on, with the current addresses.
class Announcer
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int ROUNDS = 3;
    static constexpr std::chrono::milliseconds ROUND_GAP{500};
    // How soon a round that found nothing to announce is tried again.
    static constexpr std::chrono::seconds RETRY{1};
    // Longer than the gap between moves of addresses that keep moving, such as prefixes preferred
    // in turn by advertisements 0.6 s apart, so that those never count as still. Also keeps
    // fresh sets over a second apart, so that BOOTID, the seconds since 2026, can grow at each
    // one without running ahead of the clock.
    static constexpr std::chrono::milliseconds SETTLE{1500};

    // `intervalSeconds` 0: no announcements at all, but fresh sets are still kept (for BOOTID).
    void configure(int intervalSeconds) { m_interval = std::chrono::seconds(intervalSeconds); }
    bool enabled() const { return m_interval.count() > 0; }

    // The addresses moved (one appeared, came back or changed): the first time, the start's set
    // begins; after that a fresh set is due once they have held still for SETTLE from `now`.
    void moved(Clock::time_point now, std::mt19937& rng);
    // True once for each fresh set after the start's, when it is due: its rounds begin, and the
    // caller moves BOOTID on.
    bool freshSetDue(Clock::time_point now, std::mt19937& rng);
    // No address left: nothing to announce, and no fresh set due, until the next moved().
    void pause();

    bool due(Clock::time_point now) const { return now >= m_next; }
    // The next round, or the end of the settle time when that comes first.
    Clock::time_point next() const { return m_next < m_settled ? m_next : m_settled; }
    // A due round had nothing to send yet: tried again shortly, rounds intact.
    void retry(Clock::time_point now) { m_next = now + RETRY; }
    // A due round went out: the next one of the set, or the next interval's.
    void sent(Clock::time_point now, std::mt19937& rng);

private:
    // A fresh set of rounds, after a short random wait so that controllers started together do
    // not announce together.
    void restart(Clock::time_point now, std::mt19937& rng);

    std::chrono::seconds m_interval{0};
    int m_roundsLeft = 0;
    Clock::time_point m_next = Clock::time_point::max();
    bool m_bStarted = false;                                // the start's set has begun
    Clock::time_point m_settled = Clock::time_point::max(); // a fresh set is due then
};

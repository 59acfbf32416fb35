#pragma once

#include <chrono>
#include <random>

// When the NOTIFY announcements go out (UPnP Device Architecture 1.1, 1.2.2): a fresh set of
// rounds whenever the service appears at new addresses, a few hundred milliseconds apart since
// UDP may lose a message, then one round per interval. Only the schedule: the responder, which
// owns it, sends the rounds.
class Announcer
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int ROUNDS = 3;
    static constexpr std::chrono::milliseconds ROUND_GAP{500};
    // How soon a round that found nothing to announce is tried again.
    static constexpr std::chrono::seconds RETRY{1};

    // `intervalSeconds` 0: no announcements at all.
    void configure(int intervalSeconds) { m_interval = std::chrono::seconds(intervalSeconds); }
    bool enabled() const { return m_interval.count() > 0; }

    // The service appears at new addresses: a fresh set of rounds, after a short random wait so
    // that controllers started together do not announce together.
    void restart(Clock::time_point now, std::mt19937& rng);
    // Nothing to announce until the next restart().
    void pause() { m_next = Clock::time_point::max(); }

    bool due(Clock::time_point now) const { return now >= m_next; }
    Clock::time_point next() const { return m_next; }
    // A due round had nothing to send yet: tried again shortly, rounds intact.
    void retry(Clock::time_point now) { m_next = now + RETRY; }
    // A due round went out: the next one of the set, or the next interval's.
    void sent(Clock::time_point now, std::mt19937& rng);

private:
    std::chrono::seconds m_interval{0};
    int m_roundsLeft = 0;
    Clock::time_point m_next = Clock::time_point::max();
};

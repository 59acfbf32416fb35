#include "discovery/Announcer.h"

void Announcer::moved(Clock::time_point now, std::mt19937& rng)
{
    if (!m_bStarted)
    {
        m_bStarted = true;
        restart(now, rng);
        return;
    }
    m_settled = now + SETTLE;
}

bool Announcer::freshSetDue(Clock::time_point now, std::mt19937& rng)
{
    if (now < m_settled)
    {
        return false;
    }
    m_settled = Clock::time_point::max();
    restart(now, rng);
    return true;
}

void Announcer::pause()
{
    m_next = Clock::time_point::max();
    m_settled = Clock::time_point::max();
}

void Announcer::restart(Clock::time_point now, std::mt19937& rng)
{
    if (!enabled())
    {
        return;
    }
    m_roundsLeft = ROUNDS;
    m_next = now + std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 100)(rng));
}

void Announcer::sent(Clock::time_point now, std::mt19937& rng)
{
    if (--m_roundsLeft > 0)
    {
        m_next = now + ROUND_GAP;
        return;
    }
    // Up to a tenth early, so that controllers started together drift apart.
    const auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(m_interval);
    m_next = now + interval -
             std::chrono::milliseconds(
                 std::uniform_int_distribution<long>(0, interval.count() / 10)(rng));
}

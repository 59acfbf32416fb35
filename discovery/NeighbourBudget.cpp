#include "discovery/NeighbourBudget.h"

#include <cstring>

bool NeighbourBudget::admit(const PeerAddr& to, int ifindex, Clock::time_point now)
{
    while (!m_order.empty() && now - m_order.front().first >= WINDOW)
    {
        m_counted.erase(m_order.front().second);
        m_order.pop_front();
    }
    Key key{ifindex, {}};
    if (to.sa.sa_family == AF_INET6)
    {
        std::memcpy(key.second.data(), &to.v6.sin6_addr, key.second.size());
    }
    else
    {
        key.second[10] = key.second[11] = 0xff; // IPv4-mapped
        std::memcpy(key.second.data() + 12, &to.v4.sin_addr, sizeof(to.v4.sin_addr));
    }
    if (m_counted.count(key) != 0)
    {
        return true;
    }
    if (m_counted.size() >= SIZE)
    {
        return false;
    }
    m_counted.insert(key);
    m_order.emplace_back(now, key);
    return true;
}

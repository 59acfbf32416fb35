#include "discovery/NeighbourBudget.h"

#include <cstring>

bool NeighbourBudget::admit(const PeerAddr& to, int ifindex, Clock::time_point now)
{
    while (!m_order.empty() && now - m_order.front().at >= WINDOW)
    {
        const Counted& oldest = m_order.front();
        m_counted.erase(oldest.key);
        if (--m_perClass[oldest.senderClass] == 0)
        {
            m_perClass.erase(oldest.senderClass);
        }
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
    const ClassKey senderClass = classKey(to, ifindex);
    std::size_t& inClass = m_perClass[senderClass];
    if (m_counted.size() >= SIZE || inClass >= CLASS_SHARE)
    {
        if (inClass == 0)
        {
            m_perClass.erase(senderClass);
        }
        return false;
    }
    ++inClass;
    m_counted.insert(key);
    m_order.push_back({now, key, senderClass});
    return true;
}

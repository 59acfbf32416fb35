#include "discovery/DatagramQueue.h"

#include <arpa/inet.h>

#include <utility>

std::string addressText(const PeerAddr& addr)
{
    char text[INET6_ADDRSTRLEN] = "";
    const void* bytes = addr.sa.sa_family == AF_INET6 ? static_cast<const void*>(&addr.v6.sin6_addr)
                                                      : static_cast<const void*>(&addr.v4.sin_addr);
    inet_ntop(addr.sa.sa_family == AF_INET6 ? AF_INET6 : AF_INET, bytes, text, sizeof(text));
    return text;
}

DatagramQueue::DatagramQueue(std::size_t capacity, std::size_t bufferSize) : m_slots(capacity)
{
    for (Datagram& slot : m_slots)
    {
        slot.text.assign(bufferSize, '\0');
    }
}

bool DatagramQueue::push(Datagram& datagram)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count == m_slots.size())
        {
            return false;
        }
        Datagram& slot = m_slots[(m_head + m_count) % m_slots.size()];
        std::swap(slot.text, datagram.text);
        slot.sender = datagram.sender;
        slot.senderLen = datagram.senderLen;
        slot.arrival = datagram.arrival;
        ++m_count;
        if (m_bWaiting && m_wakeBy - datagram.arrival > WAKE_SLACK)
        {
            // One notification is enough until the consumer waits again.
            m_bWaiting = false;
            wake = true;
        }
    }
    if (wake)
    {
        // Outside the lock, so that the woken consumer does not block on it.
        m_cv.notify_one();
    }
    return true;
}

bool DatagramQueue::pop(Datagram& out, Clock::time_point wakeBy)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_count == 0 && !m_bClosed && !m_bNudged)
    {
        m_bWaiting = true;
        m_wakeBy = wakeBy;
        const bool timedOut = wakeBy == Clock::time_point::max()
                                  ? (m_cv.wait(lock), false)
                                  : m_cv.wait_until(lock, wakeBy) == std::cv_status::timeout;
        m_bWaiting = false;
        if (timedOut)
        {
            break;
        }
    }
    m_bNudged = false;
    if (m_count == 0)
    {
        return false;
    }
    Datagram& slot = m_slots[m_head];
    std::swap(slot.text, out.text);
    out.sender = slot.sender;
    out.senderLen = slot.senderLen;
    out.arrival = slot.arrival;
    m_head = (m_head + 1) % m_slots.size();
    --m_count;
    return true;
}

void DatagramQueue::nudge()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bNudged = true;
    }
    m_cv.notify_one();
}

void DatagramQueue::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosed = true;
    }
    m_cv.notify_one();
}

bool DatagramQueue::closed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bClosed;
}

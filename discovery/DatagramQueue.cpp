#include "discovery/DatagramQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

DatagramQueue::DatagramQueue(std::size_t capacity, std::size_t bufferSize)
    : m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_slots(capacity)
{
    for (Datagram& slot : m_slots)
    {
        slot.text.assign(bufferSize, '\0');
    }
}

DatagramQueue::~DatagramQueue()
{
    if (m_wakeFd != -1)
    {
        ::close(m_wakeFd);
    }
}

void DatagramQueue::wake()
{
    const std::uint64_t one = 1;
    // Fails only when the counter is full, and then the consumer is woken anyway.
    [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof(one));
}

void Datagram::endText()
{
    text[std::min<std::size_t>(static_cast<std::size_t>(std::max(length, 0)), text.size() - 1)] =
        '\0';
}

bool DatagramQueue::push(Datagram& datagram)
{
    datagram.endText();
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count == m_slots.size())
        {
            return false;
        }
        Datagram& slot = m_slots[(m_head + m_count) % m_slots.size()];
        std::swap(slot, datagram);
        ++m_count;
        noteOldest();
        if (m_bWaiting && m_wakeBy - slot.arrival > WAKE_SLACK)
        {
            // One notification is enough until the consumer waits again.
            m_bWaiting = false;
            wake = true;
        }
    }
    if (wake)
    {
        // Outside the lock, so that the woken consumer does not block on it.
        this->wake();
    }
    return true;
}

bool DatagramQueue::pop(Datagram& out, Clock::time_point wakeBy)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_count == 0 && !m_bClosed && !m_bNudged)
    {
        m_bWaiting = true;
        m_wakeBy = wakeBy;
        lock.unlock();
        pollfd woken{m_wakeFd, POLLIN, 0};
        timespec timeout{};
        const Clock::time_point now = Clock::now();
        if (m_wakeFd == -1)
        {
            // No eventfd to be woken through (none could be had): look again every 100 ms.
            wakeBy = std::min(wakeBy, now + std::chrono::milliseconds(100));
        }
        if (wakeBy > now && wakeBy != Clock::time_point::max())
        {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(wakeBy - now);
            timeout.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            timeout.tv_nsec = static_cast<long>(left.count() % 1000000000);
        }
        // A signal may cut the wait short: the caller then simply asks again.
        if (wakeBy > now &&
            ppoll(&woken, 1, wakeBy == Clock::time_point::max() ? nullptr : &timeout, nullptr) > 0)
        {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = read(m_wakeFd, &count, sizeof(count));
        }
        lock.lock();
        m_bWaiting = false;
    }
    m_bNudged = false;
    if (m_count == 0)
    {
        return false;
    }
    Datagram& slot = m_slots[m_head];
    std::swap(slot, out);
    m_head = (m_head + 1) % m_slots.size();
    --m_count;
    noteOldest();
    return true;
}

void DatagramQueue::noteOldest()
{
    const Clock::time_point oldest =
        m_count == 0 ? Clock::time_point::max() : m_slots[m_head].arrival;
    m_oldestArrival.store(oldest.time_since_epoch().count(), std::memory_order_relaxed);
}

void DatagramQueue::nudge()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bNudged = true;
    }
    wake();
}

void DatagramQueue::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosed = true;
    }
    wake();
}

bool DatagramQueue::closed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bClosed;
}

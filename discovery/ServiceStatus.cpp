#include "discovery/ServiceStatus.h"

#include "common/LogLimiter.h"
#include "common/Logger.h"

void ServiceStatus::searched(const PeerAddr& from)
{
    if (m_bKeepLast)
    {
        std::lock_guard<std::mutex> lock(m_lastMutex);
        m_last = from;
    }
}

std::string ServiceStatus::line(const std::string& addresses)
{
    PeerAddr last{};
    {
        std::lock_guard<std::mutex> lock(m_lastMutex);
        last = m_last;
    }
    std::string text = addresses + ": answered " + std::to_string(m_answered.load()) +
                       ", dropped " + std::to_string(m_dropped.load());
    if (last.sa.sa_family != AF_UNSPEC)
    {
        text += ", last search from " + addressText(last);
    }
    return text;
}

void ServiceStatus::refused(const PeerAddr& sender, LogLimiter& limit)
{
    dropped();
    limit.write(
        [&sender]
        {
            LOG_DISC(WARNING) << "Datagram from " << endpointText(sender)
                              << " dropped: no answer may go to its source";
        });
}

void ServiceStatus::inboxFull(const PeerAddr& sender, LogLimiter& limit)
{
    dropped();
    limit.write(
        [&sender]
        {
            LOG_DISC(WARNING) << "Receive queue full, datagram from " << addressText(sender)
                              << " dropped";
        });
}

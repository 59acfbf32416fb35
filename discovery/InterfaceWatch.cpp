#include "discovery/InterfaceWatch.h"

#include "common/Logger.h"
#include "discovery/Address.h"
#include "discovery/Ipv6.h"

#include <cstring>

InterfaceWatch::InterfaceWatch(Family family, std::string name, bool bothFamilies,
                               LogLimiterGroup& limits)
    : m_family(family), m_name(std::move(name)), m_bBothFamilies(bothFamilies),
      m_changeLimit(std::make_unique<LogLimiter>(
          limits, family == Family::Ipv4 ? "IPv4 address change" : "IPv6 address change",
          CHANGE_RECORD_INTERVAL, CHANGE_RECORD_BURST))
{
}

void InterfaceWatch::assume(int index, in_addr_t ipv4)
{
    m_index = index;
    m_seenIpv4 = m_ipv4 = ipv4;
    m_bKnown = true;
    // An address found at start needs no record; none is the WARNING that says so.
    m_bRecorded = ipv4 != 0;
    m_recordedIpv4 = ipv4;
    if (ipv4 == 0)
    {
        recordChange();
    }
}

void InterfaceWatch::look(const HostView& host)
{
    const int index = host.indexOf(m_name);
    const bool ipv4 = m_family == Family::Ipv4;
    see(index, index == 0 || !ipv4 ? 0 : host.ipv4Of(index),
        index == 0 || ipv4 ? std::vector<Ipv6IfAddr>{} : host.ipv6Of(index));
}

void InterfaceWatch::see(int index, in_addr_t ipv4, const std::vector<Ipv6IfAddr>& ipv6)
{
    m_index = index;
    m_seenIpv4 = ipv4;
    m_seenIpv6 = chooseIpv6Addr(ipv6, m_ipv6);
}

in_addr_t InterfaceWatch::ipv4Of(Which which) const
{
    return which == Which::Seen ? m_seenIpv4 : which == Which::Taken ? m_ipv4 : m_recordedIpv4;
}

const in6_addr& InterfaceWatch::ipv6Of(Which which) const
{
    return which == Which::Seen ? m_seenIpv6 : which == Which::Taken ? m_ipv6 : m_recordedIpv6;
}

IpAddress InterfaceWatch::address() const
{
    return m_family == Family::Ipv4 ? IpAddress::v4(m_ipv4) : IpAddress::v6(m_ipv6);
}

bool InterfaceWatch::hasAddress(Which which) const
{
    return m_family == Family::Ipv4 ? ipv4Of(which) != 0 : !IN6_IS_ADDR_UNSPECIFIED(&ipv6Of(which));
}

std::string InterfaceWatch::addressText(Which which) const
{
    return m_family == Family::Ipv4 ? ipv4Text(ipv4Of(which)) : ipv6AddrText(ipv6Of(which), m_name);
}

bool InterfaceWatch::sameAddress(Which a, Which b) const
{
    return m_family == Family::Ipv4 ? ipv4Of(a) == ipv4Of(b)
                                    : std::memcmp(&ipv6Of(a), &ipv6Of(b), sizeof(in6_addr)) == 0;
}

bool InterfaceWatch::addressChanged()
{
    const bool changed = !m_bKnown || !sameAddress(Which::Seen, Which::Taken);
    m_bKnown = true;
    m_ipv4 = m_seenIpv4;
    m_ipv6 = m_seenIpv6;
    if (changed)
    {
        m_changeLimit->write([this] { recordChange(); });
    }
    return changed;
}

void InterfaceWatch::tellHeldChange(Clock::time_point now)
{
    // A flapping link or advertisements in turn must not flood the log: a change held back by
    // the limit is told once the limit lets it through.
    const bool untold = m_bKnown && (!m_bRecorded || !sameAddress(Which::Taken, Which::Recorded));
    if (untold && m_changeLimit->ready(now))
    {
        m_changeLimit->write([this] { recordChange(); });
    }
}

void InterfaceWatch::recordChange()
{
    // The first look of an IPv6 watch writes its record too: without an address, that is the
    // WARNING that says IPv6 is not usable yet.
    if (m_bRecorded && sameAddress(Which::Taken, Which::Recorded))
    {
        return; // back where the last record left it
    }
    const bool ipv4 = m_family == Family::Ipv4;
    const char* family = ipv4 ? "IPv4" : "IPv6";
    // With both families on, searches over the other one go on being answered.
    const char* searches =
        !ipv4 ? "searches over IPv6" : (m_bBothFamilies ? "searches over IPv4" : "searches");
    if (!hasAddress(Which::Taken))
    {
        LOG_DISC(WARNING) << m_name << " has no " << family << " address: " << searches
                          << " are not answered until it has one";
    }
    else if (!hasAddress(Which::Recorded))
    {
        LOG_DISC(INFO) << m_name << " has the " << family << " address "
                       << addressText(Which::Taken) << ": " << searches << " are answered"
                       << (ipv4 ? " again" : "");
    }
    else
    {
        LOG_DISC(INFO) << "The " << family << " address of " << m_name << " changed from "
                       << addressText(Which::Recorded) << " to " << addressText(Which::Taken);
    }
    m_bRecorded = true;
    m_recordedIpv4 = m_ipv4;
    m_recordedIpv6 = m_ipv6;
}

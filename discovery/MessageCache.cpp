#include "discovery/MessageCache.h"

#include "discovery/Address.h"

#include <sys/utsname.h>

#include <algorithm>
#include <ctime>
#include <string_view>

namespace
{
constexpr int decimal(std::string_view digits)
{
    int value = 0;
    for (const char digit : digits)
    {
        value = value * 10 + (digit - '0');
    }
    return value;
}
constexpr int CACHE_MAX_AGE = decimal(WIRE_MAX_AGE);
// There is no UPnP description document whose changes CONFIGID.UPNP.ORG would count.
const char* CONFIG_ID = "1";

void addHeader(std::string& msg, const char* name, const std::string& value)
{
    msg.append(name).append(value.empty() ? ":" : ": ").append(value).append("\r\n");
}

// 2026-01-01T00:00:00Z.
constexpr std::time_t BOOTID_EPOCH = 1767225600;
constexpr std::uint32_t BOOTID_MAX = 0x7fffffff;

std::string serviceRootUrl(const std::string& host)
{
    return "https://" + host + WIRE_SERVICE_ROOT;
}

// UPnP Device Architecture 1.1, 1.2.2: what the device announces, as NT (or ST) and USN pairs:
// the root device, the device's UUID and the Redfish service type, in that order.
enum Advert
{
    ROOT_ADVERT,
    UUID_ADVERT,
    REDFISH_ADVERT,
};
std::array<std::pair<std::string, std::string>, 3> adverts(const std::string& uuid)
{
    const std::string device = WIRE_UUID_PREFIX + uuid;
    return {{{WIRE_ROOT_DEVICE, device + "::" WIRE_ROOT_DEVICE},
             {device, device},
             {WIRE_REDFISH_ST, device + "::" WIRE_REDFISH_ST}}};
}
} // namespace

MessageCache::MessageCache()
{
    // UPnP Device Architecture 1.1, 1.3.3: SERVER is "OS/version UPnP/1.1 product/version".
    utsname system{};
    uname(&system);
    m_server = std::string(system.sysname) + "/" + system.release + " UPnP/1.1 redfish-discovery/" +
               DISCOVERY_VERSION;
    m_bootId = firstBootId(std::time(nullptr));
}

std::uint32_t MessageCache::firstBootId(std::time_t now)
{
    const std::time_t since = now - BOOTID_EPOCH;
    return since <= 0 ? 0 : static_cast<std::uint32_t>(std::min<std::time_t>(since, BOOTID_MAX));
}

std::uint32_t MessageCache::nextBootId(std::uint32_t last, std::time_t now)
{
    const std::uint32_t clock = firstBootId(now);
    return clock > last ? clock : std::min(BOOTID_MAX, last + 1);
}

void MessageCache::newBoot()
{
    m_bootId = nextBootId(m_bootId, std::time(nullptr));
    build();
}

void MessageCache::configure(const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups)
{
    m_options = &options;
    m_ipv6Groups = &ipv6Groups;
    m_bBuilt = false;
}

bool MessageCache::hasAny() const
{
    return std::any_of(m_slots.begin(), m_slots.end(),
                       [](const Slot& s) { return s.now.ipv4 != 0 || !s.now.ipv6Host.empty(); });
}

MessageCache::Change MessageCache::refresh(const std::string& uuid, const AddressBoard& board)
{
    bool appeared = false;
    bool lost = false;
    bool moved = false;
    if (board.version() != m_boardVersion || m_slots.empty())
    {
        const std::vector<AddressBoard::Entry> entries = board.snapshot(m_boardVersion);
        m_slots.resize(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i)
        {
            Slot& slot = m_slots[i];
            const AddressBoard::Entry& entry = entries[i];
            const bool present = entry.ipv4 != 0 || !entry.ipv6Host.empty();
            appeared = appeared || (entry.ipv4 != 0 && entry.ipv4 != slot.now.ipv4) ||
                       (!entry.ipv6Host.empty() && entry.ipv6Host != slot.now.ipv6Host) ||
                       (present && entry.arrivals != slot.now.arrivals);
            lost = lost || (entry.ipv4 == 0 && slot.now.ipv4 != 0) ||
                   (entry.ipv6Host.empty() && !slot.now.ipv6Host.empty());
            slot.now = entry;
            // While a family has no address, its messages stay built for the last one.
            if (slot.now.ipv4 != 0 && slot.now.ipv4 != slot.builtIpv4)
            {
                slot.builtIpv4 = slot.now.ipv4;
                moved = true;
            }
            if (!slot.now.ipv6Host.empty() && slot.now.ipv6Host != slot.builtIpv6Host)
            {
                slot.builtIpv6Host = slot.now.ipv6Host;
                moved = true;
            }
        }
    }
    if (moved || uuid != m_uuid || !m_bBuilt)
    {
        m_uuid = uuid;
        build();
    }
    return appeared ? Change::Appeared : (lost ? Change::Lost : Change::None);
}

void MessageCache::build()
{
    m_bBuilt = true;
    const bool standardToo =
        m_options->unicast && m_options->responseFormat != ResponseFormat::Dsp0266;
    for (Slot& slot : m_slots)
    {
        buildAnswers(slot, m_options->responseFormat, slot.rsp);
        if (standardToo)
        {
            buildAnswers(slot, ResponseFormat::Dsp0266, slot.standardRsp);
        }
        if (m_options->notifyInterval <= 0)
        {
            continue;
        }
        for (const bool alive : {false, true})
        {
            auto& notify = slot.notify[alive ? 1 : 0];
            notify[static_cast<std::size_t>(SsdpGroup::Ipv4)] =
                notifyMessages(alive, SsdpGroup::Ipv4, slot);
            for (const Ipv6GroupAddr& group : *m_ipv6Groups)
            {
                notify[static_cast<std::size_t>(group.group.id)] =
                    notifyMessages(alive, group.group.id, slot);
            }
        }
    }
}

void MessageCache::buildAnswers(const Slot& slot, ResponseFormat format, Answers& answers) const
{
    const std::string hosts[] = {slot.builtIpv4 == 0 ? "" : ipv4Text(slot.builtIpv4),
                                 slot.builtIpv6Host};
    for (std::size_t family = 0; family < 2; ++family)
    {
        auto& rsp = answers[family];
        if (hosts[family].empty())
        {
            rsp.fill({});
            continue;
        }
        if (format == ResponseFormat::Legacy)
        {
            rsp.fill({legacyResponse(m_uuid, hosts[family])});
            continue;
        }
        // UPnP Device Architecture 1.1, 1.3.3: a search for the root device is answered with its
        // own ST and USN; one for ssdp:all with every pair the device announces.
        const std::string url = serviceRootUrl(hosts[family]);
        std::vector<std::string> all;
        for (const auto& [st, usn] : adverts(m_uuid))
        {
            all.push_back(standardResponse(st, usn, url));
        }
        rsp[static_cast<std::size_t>(SearchTarget::Redfish)] = {all[REDFISH_ADVERT]};
        rsp[static_cast<std::size_t>(SearchTarget::RootDevice)] = {all[ROOT_ADVERT]};
        rsp[static_cast<std::size_t>(SearchTarget::Uuid)] = {all[UUID_ADVERT]};
        rsp[static_cast<std::size_t>(SearchTarget::All)] = std::move(all);
    }
}

int MessageCache::slotOf(bool ipv6, int ifindex) const
{
    for (std::size_t slot = 0; ifindex != 0 && slot < m_slots.size(); ++slot)
    {
        const AddressBoard::Entry& now = m_slots[slot].now;
        if ((ipv6 ? now.ipv6Index : now.ipv4Index) == ifindex)
        {
            return static_cast<int>(slot);
        }
    }
    return -1;
}

MessageCache::Answer MessageCache::answer(SearchTarget target, bool ipv6, int ifindex,
                                          bool unicast) const
{
    const int slot = slotOf(ipv6, ifindex);
    if (slot == -1)
    {
        return {};
    }
    const auto index = static_cast<std::size_t>(slot);
    return {responses(target, ipv6, index, unicast), &m_slots[index].now};
}

const std::vector<std::string>* MessageCache::responses(SearchTarget target, bool ipv6,
                                                        std::size_t slot, bool unicast) const
{
    if (slot >= m_slots.size() || (ipv6 ? !hasIpv6(slot) : !hasIpv4(slot)))
    {
        return nullptr;
    }
    // UPnP Device Architecture 1.1, 1.3.2: whoever sends a unicast search expects the standard
    // form; the legacy consoles search by multicast only.
    const bool standard = unicast && m_options->responseFormat != ResponseFormat::Dsp0266;
    const Answers& answers = standard ? m_slots[slot].standardRsp : m_slots[slot].rsp;
    return &answers[ipv6 ? 1 : 0][static_cast<std::size_t>(target)];
}

const std::vector<std::string>& MessageCache::announcements(bool alive, SsdpGroup group,
                                                            std::size_t slot) const
{
    return m_slots.at(slot).notify[alive ? 1 : 0][static_cast<std::size_t>(group)];
}

std::string MessageCache::legacyResponse(const std::string& uuid, const std::string& host)
{
    std::string location = WIRE_LEGACY_AL;
    replacePlaceholder(location, host);
    std::string usn = WIRE_LEGACY_USN;
    replacePlaceholder(usn, uuid);

    std::string out;
    out.reserve(169 + uuid.size() + host.size());
    out.append(WIRE_STATUS_LINE)
        .append(WIRE_LEGACY_CACHE)
        .append(WIRE_LEGACY_ST)
        .append(usn)
        .append(location)
        .append(WIRE_LEGACY_EXT)
        .append("\r\n");
    return out;
}

void MessageCache::replacePlaceholder(std::string& text, const std::string& value)
{
    const std::size_t open = text.find('<');
    const std::size_t close = text.find('>');
    if (open == std::string::npos || close == std::string::npos || close < open)
    {
        return;
    }
    text.replace(open, close - open + 1, value);
}

std::string MessageCache::standardResponse(const std::string& st, const std::string& usn,
                                           const std::string& url) const
{
    // UPnP Device Architecture 1.1, 1.3.3, with AL as DSP0266 adds it. DATE is only
    // recommended there and would make every response differ; it is left out.
    std::string rsp = WIRE_STATUS_LINE;
    addHeader(rsp, "CACHE-CONTROL", "max-age=" WIRE_MAX_AGE);
    addHeader(rsp, "EXT", "");
    addHeader(rsp, "LOCATION", url);
    addHeader(rsp, "SERVER", m_server);
    addHeader(rsp, "ST", st);
    addHeader(rsp, "USN", usn);
    addHeader(rsp, "AL", url);
    addHeader(rsp, "BOOTID.UPNP.ORG", std::to_string(m_bootId));
    addHeader(rsp, "CONFIGID.UPNP.ORG", CONFIG_ID);
    return rsp.append("\r\n");
}

std::vector<std::string> MessageCache::notifyMessages(bool alive, SsdpGroup group,
                                                      const Slot& slot) const
{
    // UPnP Device Architecture 1.1, 1.2.2 and 1.2.3: one message for each NT the device
    // announces. A control point may hold an announcement for max-age seconds, which must
    // outlast the interval until the next one.
    const bool ipv4 = group == SsdpGroup::Ipv4;
    const std::string url = serviceRootUrl(ipv4 ? ipv4Text(slot.builtIpv4) : slot.builtIpv6Host);
    const char* host = WIRE_IPV4_HOST;
    for (const Ipv6Group& g : IPV6_GROUPS)
    {
        host = g.id == group ? g.host : host;
    }
    const std::string maxAge =
        "max-age=" + std::to_string(std::max(CACHE_MAX_AGE, 2 * m_options->notifyInterval));
    std::vector<std::string> messages;
    for (const auto& [nt, usn] : adverts(m_uuid))
    {
        std::string msg = "NOTIFY * HTTP/1.1\r\n";
        addHeader(msg, "HOST", host);
        if (alive)
        {
            addHeader(msg, "CACHE-CONTROL", maxAge);
            addHeader(msg, "LOCATION", url);
        }
        addHeader(msg, "NT", nt);
        addHeader(msg, "NTS", alive ? "ssdp:alive" : "ssdp:byebye");
        if (alive)
        {
            addHeader(msg, "SERVER", m_server);
        }
        addHeader(msg, "USN", usn);
        if (alive)
        {
            addHeader(msg, "AL", url);
        }
        addHeader(msg, "BOOTID.UPNP.ORG", std::to_string(m_bootId));
        addHeader(msg, "CONFIGID.UPNP.ORG", CONFIG_ID);
        messages.push_back(msg.append("\r\n"));
    }
    return messages;
}

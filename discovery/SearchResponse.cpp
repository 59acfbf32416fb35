#include "common/JsonDoc.h"
#include "common/Logger.h"
#include "common/StringConstants.h"
#include "discovery/RedfishDiscovery.h"
#include "discovery/ServiceInfo.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace
{
const std::string REDFISH_ST = "urn:dmtf-org:service:redfish-rest:1";
// There is no UPnP description document whose changes CONFIGID.UPNP.ORG would count.
const char* CONFIG_ID = "1";

void addHeader(std::string& msg, const char* name, const std::string& value)
{
    msg.append(name).append(value.empty() ? ":" : ": ").append(value).append("\r\n");
}

std::string ipv4Text(in_addr_t addr)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr, text, sizeof(text));
    return text;
}

std::string serviceRootUrl(const std::string& host)
{
    return "https://" + host + "/redfish/v1";
}
} // namespace

bool RedfishDiscovery::readRedfishdInfo()
{
    if (!m_redfishdInfo.uuid.empty())
    {
        return true;
    }

    std::ifstream file(StringConstants::REDFISH_DISC_CFG_FL());
    if (!file.is_open())
    {
        m_openFailLimit.write([] { LOG_DISC(WARNING) << "Failed to open the redfishd info file"; });
        return false;
    }

    // The file comes from another daemon: any contents are read without throwing.
    const ServiceInfo info = parseServiceInfo(file);
    switch (info.outcome)
    {
    case ServiceInfo::Outcome::ParseFailed:
        m_parseFailLimit.write(
            [&info]
            {
                JsonDoc::logParseFailure(info.errors);
                LOG_DISC(WARNING) << "Failed to parse the redfishd info";
            });
        return false;
    case ServiceInfo::Outcome::NotObject:
        m_infoKindLimit.write([]
                              { LOG_DISC(WARNING) << "The redfishd info is not a JSON object"; });
        return false;
    case ServiceInfo::Outcome::NoUuid:
        return false;
    case ServiceInfo::Outcome::UuidNotText:
        m_infoKindLimit.write(
            [] { LOG_DISC(WARNING) << "The redfishd info member uuid is not a string"; });
        return false;
    case ServiceInfo::Outcome::Uuid:
        break;
    }
    // An empty text is taken (and answered with) but not cached: the next datagram reads again.
    m_redfishdInfo.uuid = info.uuid;
    m_bRspStale = true;
    return true;
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info)
{
    buildSearchRsp(out, info, ipv4Text(m_announcedAddr));
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info, std::string host)
{
    std::string location = SVC_LOCATION();
    replacePlaceholderStr(location, host);

    std::string usn = UNIQ_SVC_NAME();
    replacePlaceholderStr(usn, info.uuid);

    out.clear();
    out.reserve(169 + info.uuid.size() + host.size());
    out.append(RSP_LINE())
        .append(CACHE_CTL())
        .append(ST_URI())
        .append(usn)
        .append(location)
        .append(EXT())
        .append(BLANK_LINE());
}

const std::vector<std::string>* RedfishDiscovery::searchResponses(SearchTarget target, bool ipv6)
{
    const in_addr_t announced = m_announcedAddr;
    refreshMessages(announced);
    if (ipv6 ? !m_bRspIpv6 : announced == 0)
    {
        return nullptr;
    }
    return &m_rsp[ipv6 ? 1 : 0][static_cast<std::size_t>(target)];
}

void RedfishDiscovery::refreshMessages(in_addr_t announced)
{
    // While a family has no address, the messages built for its last one are kept (and not
    // sent): a new address is then told apart from the old one.
    const in_addr_t ipv4 = announced != 0 ? announced : m_rspAddr;
    std::string ipv6Host;
    if (const unsigned version = m_ipv6HostVersion; version != m_rspIpv6Version)
    {
        std::lock_guard<std::mutex> lock(m_ipv6HostMutex);
        m_rspIpv6Version = version;
        ipv6Host = m_ipv6Host;
        m_bRspIpv6 = !ipv6Host.empty();
    }
    const bool ipv6Moved = !ipv6Host.empty() && ipv6Host != m_rspIpv6Host;
    if (!m_bRspStale && ipv4 == m_rspAddr && !ipv6Moved)
    {
        return;
    }
    if ((m_rspAddr != 0 && ipv4 != m_rspAddr) || (ipv6Moved && !m_rspIpv6Host.empty()))
    {
        ++m_bootId;
    }
    m_rspAddr = ipv4;
    if (ipv6Moved)
    {
        m_rspIpv6Host = std::move(ipv6Host);
    }
    m_bRspStale = false;
    const std::string hosts[] = {ipv4 == 0 ? "" : ipv4Text(ipv4), m_rspIpv6Host};
    const std::string uuid = "uuid:" + m_redfishdInfo.uuid;
    const std::string rootUsn = uuid + "::" + UPNP_ROOT_DEVICE();
    const std::string redfishUsn = uuid + "::" + REDFISH_ST;
    for (std::size_t family = 0; family < 2; ++family)
    {
        std::array<std::vector<std::string>, 3>& rsp = m_rsp[family];
        if (hosts[family].empty())
        {
            rsp.fill({});
        }
        else if (m_options.responseFormat == ResponseFormat::Legacy)
        {
            std::string one;
            buildSearchRsp(one, m_redfishdInfo, hosts[family]);
            rsp.fill({one});
        }
        else
        {
            // UPnP Device Architecture 1.1, 1.3.3: a search for the root device is answered
            // with its own ST and USN; one for ssdp:all with every pair the device announces:
            // the root device, the device's UUID and the Redfish service type.
            const std::string url = serviceRootUrl(hosts[family]);
            const std::string rootDevice = buildStandardRsp(UPNP_ROOT_DEVICE(), rootUsn, url);
            const std::string redfish = buildStandardRsp(REDFISH_ST, redfishUsn, url);
            rsp[static_cast<std::size_t>(SearchTarget::Redfish)] = {redfish};
            rsp[static_cast<std::size_t>(SearchTarget::RootDevice)] = {rootDevice};
            rsp[static_cast<std::size_t>(SearchTarget::All)] = {
                rootDevice, buildStandardRsp(uuid, uuid, url), redfish};
        }
    }
    if (m_options.notifyInterval > 0)
    {
        m_alive[static_cast<std::size_t>(SsdpGroup::Ipv4)] = buildNotifyMsgs(true);
        for (const auto& [group, addr] : m_ipv6Groups)
        {
            m_alive[static_cast<std::size_t>(group.group)] = buildNotifyMsgs(true, group.group);
        }
    }
}

std::string RedfishDiscovery::buildStandardRsp(const std::string& st, const std::string& usn,
                                               const std::string& url) const
{
    // UPnP Device Architecture 1.1, 1.3.3, with AL as DSP0266 adds it. DATE is only
    // recommended there and would make every response differ; it is left out.
    std::string rsp = "HTTP/1.1 200 OK\r\n";
    addHeader(rsp, "CACHE-CONTROL", "max-age=" + std::to_string(CACHE_MAX_AGE));
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

std::vector<std::string> RedfishDiscovery::buildNotifyMsgs(bool alive, SsdpGroup group)
{
    // UPnP Device Architecture 1.1, 1.2.2 and 1.2.3: one message for each NT the device
    // announces. A control point may hold an announcement for max-age seconds, which must
    // outlast the interval until the next one.
    const std::string& uuid = m_redfishdInfo.uuid;
    const bool ipv4 = group == SsdpGroup::Ipv4;
    const std::string url = serviceRootUrl(ipv4 ? ipv4Text(m_rspAddr) : m_rspIpv6Host);
    const char* host = HOST_FIELD_VAL();
    for (const Ipv6Group& g : IPV6_GROUPS)
    {
        host = g.group == group ? g.host : host;
    }
    const std::string maxAge =
        "max-age=" + std::to_string(std::max(CACHE_MAX_AGE, 2 * m_options.notifyInterval));
    const std::pair<std::string, std::string> adverts[] = {
        {UPNP_ROOT_DEVICE(), "uuid:" + uuid + "::" + UPNP_ROOT_DEVICE()},
        {"uuid:" + uuid, "uuid:" + uuid},
        {REDFISH_ST, "uuid:" + uuid + "::" + REDFISH_ST}};
    std::vector<std::string> messages;
    for (const auto& [nt, usn] : adverts)
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

void RedfishDiscovery::replacePlaceholderStr(std::string& text, std::string& value)
{
    const std::size_t open = text.find(OPENING_BRACKET());
    const std::size_t close = text.find(CLOSING_BRACKET());
    if (open == std::string::npos || close == std::string::npos || close < open)
    {
        return;
    }
    text.replace(open, close - open + 1, value);
}

int RedfishDiscovery::drawDelayMs(int mx)
{
    // UPnP Device Architecture 1.1: the response goes out after a random delay between 0 and
    // MX seconds, which spreads the answers of many devices to one search.
    const int bound = clampMx(static_cast<long>(mx)) * 1000;
    return std::uniform_int_distribution<int>(0, bound - 1)(m_rng);
}

bool RedfishDiscovery::sendSearchRsp(const std::string& rsp, const PeerAddr& to, socklen_t toLen)
{
    const bool ipv6 = to.sa.sa_family == AF_INET6;
    if (sendto(ipv6 ? m_v6.fd : m_v4.fd, rsp.data(), rsp.size(), 0, &to.sa, toLen) != -1)
    {
        return true;
    }
    const int error = errno;
    m_sendFailLimit.write(
        [error, &to, ipv6]
        {
            LOG_DISC(WARNING) << "sendto() failed" << std::strerror(error);
            const std::string address = addressText(to);
            LOG_DISC(WARNING) << "Addr: " << (ipv6 ? "[" + address + "]" : address) << ":"
                              << ntohs(ipv6 ? to.v6.sin6_port : to.v4.sin_port);
        });
    return false;
}

#include "common/JsonDoc.h"
#include "common/Logger.h"
#include "common/StringConstants.h"
#include "discovery/RedfishDiscovery.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace
{
const char* UUID_KEY = "uuid";
const std::string REDFISH_ST = "urn:dmtf-org:service:redfish-rest:1";
// There is no UPnP description document whose changes CONFIGID.UPNP.ORG would count.
const char* CONFIG_ID = "1";

void addHeader(std::string& msg, const char* name, const std::string& value)
{
    msg.append(name).append(value.empty() ? ":" : ": ").append(value).append("\r\n");
}

std::string serviceRootUrl(in_addr_t addr)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr, text, sizeof(text));
    return std::string("https://") + text + "/redfish/v1";
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

    JsonDoc doc(file);
    std::string errors;
    if (!doc.parse(errors))
    {
        m_parseFailLimit.write(
            [&errors]
            {
                JsonDoc::logParseFailure(errors);
                LOG_DISC(WARNING) << "Failed to parse the redfishd info";
            });
        return false;
    }

    // The file comes from another daemon: check kinds before the lookups, which would throw on
    // anything but an object holding a string, number or boolean.
    const Json::Value& root = doc.getRoot();
    if (!root.isNull() && !root.isObject())
    {
        m_infoKindLimit.write([]
                              { LOG_DISC(WARNING) << "The redfishd info is not a JSON object"; });
        return false;
    }
    Json::Value node = doc.getNode(UUID_KEY);
    if (doc.isNodeNull(node))
    {
        return false;
    }
    if (node.isArray() || node.isObject())
    {
        m_infoKindLimit.write(
            [] { LOG_DISC(WARNING) << "The redfishd info member uuid is not a string"; });
        return false;
    }
    // An empty text is taken (and answered with) but not cached: the next datagram reads again.
    m_redfishdInfo.uuid = doc.getStringValue(node);
    m_bRspStale = true;
    return true;
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info)
{
    char address[INET_ADDRSTRLEN] = "";
    const in_addr_t announced = m_announcedAddr;
    inet_ntop(AF_INET, &announced, address, sizeof(address));
    std::string addressText = address;
    std::string location = SVC_LOCATION();
    replacePlaceholderStr(location, addressText);

    std::string usn = UNIQ_SVC_NAME();
    replacePlaceholderStr(usn, info.uuid);

    out.clear();
    out.reserve(169 + info.uuid.size() + addressText.size());
    out.append(RSP_LINE())
        .append(CACHE_CTL())
        .append(ST_URI())
        .append(usn)
        .append(location)
        .append(EXT())
        .append(BLANK_LINE());
}

const std::vector<std::string>* RedfishDiscovery::searchResponses(SearchTarget target)
{
    const in_addr_t announced = m_announcedAddr;
    if (announced == 0)
    {
        return nullptr;
    }
    refreshMessages(announced);
    return &m_rsp[static_cast<std::size_t>(target)];
}

void RedfishDiscovery::refreshMessages(in_addr_t announced)
{
    if (!m_bRspStale && announced == m_rspAddr)
    {
        return;
    }
    if (m_rspAddr != 0 && announced != m_rspAddr)
    {
        ++m_bootId;
    }
    m_rspAddr = announced;
    m_bRspStale = false;
    if (m_options.responseFormat == ResponseFormat::Legacy)
    {
        std::string rsp;
        buildSearchRsp(rsp, m_redfishdInfo);
        m_rsp.fill({rsp});
    }
    else
    {
        // UPnP Device Architecture 1.1, 1.3.3: a search for the root device is answered with
        // its own ST and USN; one for ssdp:all with every pair the device announces: the root
        // device, the device's UUID and the Redfish service type.
        const std::string& uuid = m_redfishdInfo.uuid;
        const std::string url = serviceRootUrl(announced);
        const std::string rootDevice =
            buildStandardRsp(UPNP_ROOT_DEVICE(), "uuid:" + uuid + "::" + UPNP_ROOT_DEVICE(), url);
        const std::string redfish =
            buildStandardRsp(REDFISH_ST, "uuid:" + uuid + "::" + REDFISH_ST, url);
        m_rsp[static_cast<std::size_t>(SearchTarget::Redfish)] = {redfish};
        m_rsp[static_cast<std::size_t>(SearchTarget::RootDevice)] = {rootDevice};
        m_rsp[static_cast<std::size_t>(SearchTarget::All)] = {
            rootDevice, buildStandardRsp("uuid:" + uuid, "uuid:" + uuid, url), redfish};
    }
    if (m_options.notifyInterval > 0)
    {
        m_alive = buildNotifyMsgs(true);
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

std::vector<std::string> RedfishDiscovery::buildNotifyMsgs(bool alive)
{
    // UPnP Device Architecture 1.1, 1.2.2 and 1.2.3: one message for each NT the device
    // announces. A control point may hold an announcement for max-age seconds, which must
    // outlast the interval until the next one.
    const std::string& uuid = m_redfishdInfo.uuid;
    const std::string url = serviceRootUrl(m_rspAddr);
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
        addHeader(msg, "HOST", HOST_FIELD_VAL());
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
    if (sendto(m_sockFd, rsp.data(), rsp.size(), 0, &to.sa, toLen) != -1)
    {
        return true;
    }
    const int error = errno;
    m_sendFailLimit.write(
        [error, &to]
        {
            LOG_DISC(WARNING) << "sendto() failed" << std::strerror(error);
            LOG_DISC(WARNING) << "Addr: " << addressText(to) << ":" << ntohs(to.v4.sin_port);
        });
    return false;
}

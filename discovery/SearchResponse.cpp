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

void writeSuppressedNote(std::uint64_t suppressed)
{
    LOG_DISC(WARNING) << suppressed << " similar records suppressed since the last one";
}

// Writes a record that remote traffic can repeat once per datagram through its limiter, with a
// note of how many were held back since the last one.
template <typename Write> void limitedRecord(LogLimiter& limiter, Write write)
{
    std::uint64_t suppressed = 0;
    if (!limiter.allow(suppressed))
    {
        return;
    }
    if (suppressed > 0)
    {
        writeSuppressedNote(suppressed);
    }
    write();
}

// The same text as inet_ntop writes (four decimal numbers without leading zeros, dot-separated),
// without its trip through sprintf, which was a sixth of the cost of judging and answering a
// search.
std::string dottedDecimal(const in_addr& addr)
{
    const auto* octets = reinterpret_cast<const unsigned char*>(&addr.s_addr);
    std::string text; // at most 15 characters: no allocation
    for (int i = 0; i < 4; ++i)
    {
        const unsigned value = octets[i];
        if (i > 0)
        {
            text += '.';
        }
        if (value >= 100)
        {
            text += static_cast<char>('0' + value / 100);
        }
        if (value >= 10)
        {
            text += static_cast<char>('0' + value / 10 % 10);
        }
        text += static_cast<char>('0' + value % 10);
    }
    return text;
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
        limitedRecord(m_openFailLimit,
                      [] { LOG_DISC(WARNING) << "Failed to open the redfishd info file"; });
        return false;
    }

    JsonDoc doc(file);
    std::string errors;
    if (!doc.parse(errors))
    {
        limitedRecord(m_parseFailLimit,
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
        limitedRecord(m_infoKindLimit,
                      [] { LOG_DISC(WARNING) << "The redfishd info is not a JSON object"; });
        return false;
    }
    Json::Value node = doc.getNode(UUID_KEY);
    if (doc.isNodeNull(node))
    {
        return false;
    }
    if (node.isArray() || node.isObject())
    {
        limitedRecord(m_infoKindLimit,
                      [] { LOG_DISC(WARNING) << "The redfishd info member uuid is not a string"; });
        return false;
    }
    // An empty text is taken (and answered with) but not cached: the next datagram reads again.
    m_redfishdInfo.uuid = doc.getStringValue(node);
    return true;
}

void RedfishDiscovery::buildSearchRsp(std::string& out, RedfishdInfo& info)
{
    sockaddr_in ifAddr{};
    std::memcpy(&ifAddr, &m_ifAddr, sizeof(ifAddr));
    std::string address = dottedDecimal(ifAddr.sin_addr);
    std::string location = SVC_LOCATION();
    replacePlaceholderStr(location, address);

    std::string usn = UNIQ_SVC_NAME();
    replacePlaceholderStr(usn, info.uuid);

    out.clear();
    out.reserve(169 + info.uuid.size() + address.size());
    out.append(RSP_LINE())
        .append(CACHE_CTL())
        .append(ST_URI())
        .append(usn)
        .append(location)
        .append(EXT())
        .append(BLANK_LINE());
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
    const int bound = std::min(std::max(mx, 1), MX_MAX) * 1000;
    return std::uniform_int_distribution<int>(0, bound - 1)(m_rng);
}

bool RedfishDiscovery::sendSearchRsp(const std::string& rsp, const sockaddr_in* to, socklen_t toLen)
{
    if (sendto(m_sockFd, rsp.data(), rsp.size(), 0, reinterpret_cast<const sockaddr*>(to), toLen) !=
        -1)
    {
        return true;
    }
    const int error = errno;
    limitedRecord(m_sendFailLimit,
                  [error, to]
                  {
                      LOG_DISC(WARNING) << "sendto() failed" << std::strerror(error);
                      LOG_DISC(WARNING)
                          << "Addr: " << dottedDecimal(to->sin_addr) << ":" << ntohs(to->sin_port);
                  });
    return false;
}

void RedfishDiscovery::flushSuppressed(Clock::time_point now)
{
    for (LogLimiter* limiter : {&m_openFailLimit, &m_parseFailLimit, &m_infoKindLimit,
                                &m_sendFailLimit, &m_pendingFullLimit})
    {
        std::uint64_t suppressed = 0;
        if (limiter->flush(suppressed, now))
        {
            writeSuppressedNote(suppressed);
        }
    }
}

RedfishDiscovery::Clock::time_point RedfishDiscovery::nextFlush() const
{
    return std::min({m_openFailLimit.flushDue(), m_parseFailLimit.flushDue(),
                     m_infoKindLimit.flushDue(), m_sendFailLimit.flushDue(),
                     m_pendingFullLimit.flushDue()});
}

#include "services/ipfix/IpfixPortConfig.h"

#include <arpa/inet.h>

#include "proto/cairndb_ipfix.pb.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

void Be16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

void Be32(std::vector<uint8_t>& v, uint32_t x) {
    for (int shift = 24; shift >= 0; shift -= 8)
        v.push_back(static_cast<uint8_t>(x >> shift));
}

}  // namespace

std::string IpfixCollector::AddressText() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(ipv6 ? AF_INET6 : AF_INET, address.data(), text, sizeof text) == nullptr)
        return std::string();
    return text;
}

std::vector<uint8_t> IpfixPortConfig::Encode() const {
    std::vector<uint8_t> v;
    v.reserve(kHeadSize + collectors.size() * kCollectorSize);
    Be32(v, observationDomainId);
    v.push_back(samplingLocation);
    Be32(v, samplingProbability);
    Be32(v, activeTimeout);
    Be32(v, idleTimeout);
    for (const IpfixCollector& c : collectors) {
        // The ip field: a non-zero kind byte for IPv4 (in the next four bytes), zero for IPv6.
        v.push_back(c.ipv6 ? 0 : 1);
        v.insert(v.end(), c.address.begin(), c.address.end());
        Be16(v, c.port);
    }
    return v;
}

bool ReadIpfixCollectors(const pb::IpfixCollectorProfileMsg& profile,
                         std::vector<IpfixCollector>* out, std::string* why) {
    out->clear();
    out->reserve(profile.collectors_size());
    for (int i = 0; i < profile.collectors_size(); ++i) {
        const pb::IpfixCollectorMsg& m = profile.collectors(i);
        IpfixCollector c;
        if (m.ip().has_ipv4()) {
            uint32_t a = m.ip().ipv4();
            for (int b = 0; b < 4; ++b)
                c.address[b] = static_cast<uint8_t>(a >> (24 - 8 * b));
        } else if (m.ip().has_ipv6() && m.ip().ipv6().size() == 16) {
            c.ipv6 = true;
            std::copy(m.ip().ipv6().begin(), m.ip().ipv6().end(), c.address.begin());
        } else {
            *why = "collector " + std::to_string(i) + " has no IPv4 or 16-byte IPv6 address";
            return false;
        }
        if (!m.has_port() || m.port() == 0 || m.port() > 0xffff) {
            *why = "collector " + std::to_string(i) + " has UDP port " +
                   (m.has_port() ? std::to_string(m.port()) : std::string("none"));
            return false;
        }
        c.port = static_cast<uint16_t>(m.port());
        out->push_back(c);
    }
    return true;
}

bool BuildIpfixOzyPortPropUpdateData(const std::string& port, const pb::IpfixSwitchProfileMsg& p,
                                     std::vector<IpfixCollector> collectors, IpfixPortConfig* out,
                                     std::string* why) {
    CFG_DEBUG("BuildIpfixOzyPortPropUpdateData: uild ipfix config for %1 collectorCount:%2", port,
              collectors.size());
    if (collectors.size() > IpfixPortConfig::kMaxCollectors) {
        *why = std::to_string(collectors.size()) + " collectors, at most " +
               std::to_string(IpfixPortConfig::kMaxCollectors) + " fit the property";
        return false;
    }
    IpfixPortConfig c;
    if (p.has_observation_domain_id()) {
        c.observationDomainId = p.observation_domain_id();
    } else {
        CFG_INFO("GeneratePortIpfixConfig: assign default domain ID");
    }
    if (p.has_sampling_location()) {
        uint32_t s = p.sampling_location();
        if (s >= 1 && s <= 3) {
            c.samplingLocation = static_cast<uint8_t>(s);
        } else {
            CFG_WARN("Ipfix: unknown sampling location, using default");
        }
    }
    c.samplingProbability = p.config().sampling_probability();
    c.activeTimeout = p.config().active_timeout();
    c.idleTimeout = p.config().idle_timeout();
    for (const IpfixCollector& col : collectors) {
        CFG_DEBUG("BuildIpfixOzyPortPropUpdateData: collector %1, isIpv6 %2, port %3",
                  col.AddressText(), col.ipv6, col.port);
    }
    c.collectors = std::move(collectors);
    *out = std::move(c);
    return true;
}

}  // namespace CfgAgent

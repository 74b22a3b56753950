#pragma once
// The IPFIX export settings of one logical switch port, as the dataplane receives them in the
// port's "ipfix" property (dataplane/KcpPropertyTable.h): observation domain, sampling location,
// sampling probability and timeouts, then one entry per collector (17-byte address, UDP port).
//
// Build() reads them from the port's effective switch profile and the collector profile it
// names; Encode() lays them out. Plain values: no lock, no logging beyond what Build reports.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::ozy::cairndb {
class IpfixSwitchProfileMsg;
class IpfixCollectorProfileMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

struct IpfixCollector {
    bool ipv6 = false;
    std::array<uint8_t, 16> address{};  // IPv4 in the first four bytes
    uint16_t port = 0;

    std::string AddressText() const;
    bool operator==(const IpfixCollector& o) const {
        return ipv6 == o.ipv6 && address == o.address && port == o.port;
    }
};

struct IpfixPortConfig {
    static constexpr uint32_t kDefaultObservationDomainId = 0;
    static constexpr uint8_t kDefaultSamplingLocation = 1;  // ingress
    // The head and one collector entry of the property value; the property's 16-bit length
    // (with its 4-byte element head) bounds the number of collectors.
    static constexpr size_t kHeadSize = 17;
    static constexpr size_t kCollectorSize = 19;
    static constexpr size_t kMaxCollectors = (0xffff - 4 - kHeadSize) / kCollectorSize;

    uint32_t observationDomainId = kDefaultObservationDomainId;
    uint8_t samplingLocation = kDefaultSamplingLocation;
    uint32_t samplingProbability = 0;
    uint32_t activeTimeout = 0;
    uint32_t idleTimeout = 0;
    std::vector<IpfixCollector> collectors;

    std::vector<uint8_t> Encode() const;
};

// The collectors of a collector profile. A collector without an address or with a UDP port of 0
// or above 65535 is refused: false, `why` names the first one (nothing is taken from a profile
// with a refused collector, so a port never exports to half of a profile).
bool ReadIpfixCollectors(const orvane::ozy::cairndb::IpfixCollectorProfileMsg& profile,
                         std::vector<IpfixCollector>* out, std::string* why);

// The port configuration from a switch profile and its collectors ("port" names the port in the
// log lines). An unknown sampling location and a missing observation domain take their defaults;
// more collectors than kMaxCollectors: false with `why`.
bool BuildIpfixOzyPortPropUpdateData(const std::string& port,
                                     const orvane::ozy::cairndb::IpfixSwitchProfileMsg& profile,
                                     std::vector<IpfixCollector> collectors, IpfixPortConfig* out,
                                     std::string* why);

}  // namespace CfgAgent

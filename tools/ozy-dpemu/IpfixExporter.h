#pragma once
// The dataplane's IPFIX export, as far as tests and the demo need it: "dpemu/ipfix-export PORT_ID"
// reads the port's "ipfix" property as the agent programmed it and sends one IPFIX message
// (RFC 7011, version 10) to each of its collectors over UDP: a template set (template 256, the
// fields below) and a data set with one flow record, under the port's observation domain.
//
// Only collectors on loopback addresses (127.0.0.0/8, ::1) are sent to: the emulator plays a host
// on a development machine and never sends beyond it; others are reported as skipped.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace ozy::dpemu {

// The flow record: IPv4 5-tuple, counters and times (template 256, in this field order).
struct IpfixFlow {
    uint32_t source = 0;           // sourceIPv4Address (8)
    uint32_t destination = 0;      // destinationIPv4Address (12)
    uint16_t sourcePort = 0;       // sourceTransportPort (7)
    uint16_t destinationPort = 0;  // destinationTransportPort (11)
    uint8_t protocol = 0;          // protocolIdentifier (4)
    uint64_t packets = 0;          // packetDeltaCount (2)
    uint64_t octets = 0;           // octetDeltaCount (1)
    uint64_t startMs = 0;          // flowStartMilliseconds (152)
    uint64_t endMs = 0;            // flowEndMilliseconds (153)
};

// The port's export settings, read strictly from an "ipfix" property value.
struct IpfixPortSettings {
    struct Collector {
        bool ipv6 = false;
        uint8_t address[16] = {};
        uint16_t port = 0;
    };
    uint32_t observationDomainId = 0;
    uint8_t samplingLocation = 0;
    std::vector<Collector> collectors;
};

// False when the value is not a head of 17 bytes followed by whole 19-byte collector entries.
bool ParseIpfixPortSettings(const std::vector<uint8_t>& value, IpfixPortSettings* out);

// One message: header (version 10, length, export time, sequence number, domain), template set,
// data set with `flow`.
std::vector<uint8_t> BuildIpfixMessage(uint32_t domain, uint32_t exportTime, uint32_t sequence,
                                       const IpfixFlow& flow);

class IpfixExporter {
  public:
    // Sends the message for a port whose "ipfix" value is `value`; the reply describes what was
    // sent and skipped. False with `error` when the value does not parse or names no collector.
    bool Export(const std::string& portId, const std::vector<uint8_t>& value, nlohmann::json* reply,
                std::string* error);

  private:
    std::map<uint32_t, uint32_t> sequence_;  // data records sent per observation domain
};

}  // namespace ozy::dpemu

#pragma once
// One observation message of the traceflow family (types 2-10, dataplane/TraceflowProtocol.h),
// decoded strictly: every element must have its exact size (IP addresses 4 or 16 bytes, an
// uplink name 1-32), an element may appear once, unknown elements are skipped, and an element
// list that does not fit its message makes the whole message malformed. Nothing is kept from a
// malformed message.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace CfgAgent::traceflow {

struct Observation {
    uint16_t msgType = 0;
    std::optional<uint64_t> roundId;
    std::optional<uint64_t> timestamp;
    std::optional<uint8_t> obsType;
    std::optional<uint8_t> component;
    std::optional<uint32_t> sequence;
    std::string uplink;
    std::vector<uint8_t> localIp;   // empty, 4 or 16 bytes
    std::vector<uint8_t> remoteIp;  // empty, 4 or 16 bytes
    std::optional<uint32_t> vtepLabel;
    std::optional<uint8_t> peerType;
    std::optional<uint8_t> dropReason;
    std::string dvport;
    std::string vif;
    std::optional<uint16_t> vlan;
    std::optional<uint8_t> resolution;
    std::optional<std::array<uint8_t, 6>> mac;
    std::optional<uint32_t> vni;
    std::optional<uint32_t> ruleId;
    std::optional<uint8_t> replication;
    std::optional<uint8_t> resend;
};

// `msg` holds `size` bytes whose length field the link has checked. False, with the reason in
// `error`, for a malformed message.
bool DecodeObservation(const uint8_t* msg, size_t size, Observation* out, std::string* error);

}  // namespace CfgAgent::traceflow

#pragma once
// Frames of the operations-agent link for tests, written from the layout: byte 0 flags, byte 1
// type, bytes 2-5 the big-endian total length, then the serialised LcpDpMsg.
#include <cstdint>
#include <string>
#include <vector>

#include <google/protobuf/message.h>

#include "proto/lcp.pb.h"

namespace CfgAgent::test {

inline std::vector<uint8_t> LcpFrame(const std::string& body, uint8_t flags = 0, uint8_t type = 1) {
    uint32_t total = static_cast<uint32_t>(body.size() + 6);
    std::vector<uint8_t> f = {flags,
                              type,
                              static_cast<uint8_t>(total >> 24),
                              static_cast<uint8_t>(total >> 16),
                              static_cast<uint8_t>(total >> 8),
                              static_cast<uint8_t>(total)};
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

inline std::vector<uint8_t> LcpPayloadFrame(const google::protobuf::Message& payload) {
    orvane::ozy::lcp::LcpDpMsg msg;
    msg.mutable_payload()->PackFrom(payload);
    return LcpFrame(msg.SerializeAsString());
}

}  // namespace CfgAgent::test

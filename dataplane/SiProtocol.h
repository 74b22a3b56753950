#pragma once
// The service-insertion family on its kernel link "ozy_tarp_si_krnlink", shared by SIApp and the
// emulator (constants and one strict reader; each side writes its own bytes). Framing of
// DpFraming.h: a 4-byte header (type, total length), big-endian.
//
//   1  INSTANCE_ENDPOINT  dataplane -> agent, exactly kInstanceEndpointSize bytes: the header,
//                         then the service instance endpoint's VIF id (1..39 characters,
//                         NUL-padded to kVifIdField bytes)
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "dataplane/DpFraming.h"

namespace CfgAgent::si {

enum MsgType : uint16_t {
    kMsgInstanceEndpoint = 1,
};

constexpr size_t kVifIdField = 40;
constexpr size_t kInstanceEndpointSize = kDpMsgHeaderSize + kVifIdField;

// The VIF id of an INSTANCE_ENDPOINT message; nullopt when the size or length field is not
// kInstanceEndpointSize, the type differs, the id is empty, unterminated, holds a control
// character or is followed by anything but NULs.
inline std::optional<std::string> ParseInstanceEndpoint(const uint8_t* msg, size_t size) {
    if (size != kInstanceEndpointSize || DpMsgType(msg) != kMsgInstanceEndpoint ||
        DpMsgLength(msg) != kInstanceEndpointSize)
        return std::nullopt;
    const uint8_t* p = msg + kDpMsgHeaderSize;
    size_t n = 0;
    while (n < kVifIdField && p[n] != 0) {
        if (p[n] < 0x20 || p[n] > 0x7E)
            return std::nullopt;
        ++n;
    }
    if (n == 0 || n == kVifIdField)
        return std::nullopt;
    for (size_t i = n; i < kVifIdField; ++i) {
        if (p[i] != 0)
            return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace CfgAgent::si

#pragma once
// Hand-written VDR byte vectors, written from the layout (tools/ozy-dpemu/README.md), shared by
// the builder, walker and dump tests and by the emulator's and L3App's tests.
#include <cstdint>
#include <string>

#include "tests/dataplane/ByteVec.h"

namespace CfgAgent::test::vdrvec {

inline Bytes U32(uint32_t v) {
    return Cat({U16(v >> 16), U16(v & 0xFFFF)});
}

// 17-byte address entries.
inline Bytes A4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return Cat({Bytes{4, a, b, c, d}, Zeros(12)});
}
inline Bytes A6(const Bytes& sixteen) {
    return Cat({Bytes{16}, sixteen});
}
inline Bytes NoAddr() {
    return Zeros(17);
}

// Update header: type 5, total length, VDR ID, element count.
inline Bytes Update(uint32_t vdr, uint32_t count, const Bytes& elements) {
    return Cat({H("00 05"), U16(12 + elements.size()), U32(vdr), U32(count), elements});
}

// A non-route element: head (low length byte, version 1, type, op), 16-bit length, body.
inline Bytes Element(uint8_t type, uint8_t op, const Bytes& body) {
    size_t len = 6 + body.size();
    return Cat({Bytes{static_cast<uint8_t>(len), 1, type, op}, U16(len), body});
}

// 70-byte IPv4 next-hop entry.
inline Bytes Hop4(uint8_t type, const std::string& egress, const Bytes& ip4) {
    return Cat({Bytes{type}, Field(egress, 64), Bytes{4}, ip4});
}
// 82-byte IPv6 next-hop entry.
inline Bytes Hop6(uint8_t type, const std::string& egress, const Bytes& ip16) {
    return Cat({Bytes{type}, Field(egress, 64), Bytes{16}, ip16});
}

inline Bytes Fe80_1() {
    return H("fe 80 00 00 00 00 00 00 00 00 00 00 00 00 00 01");
}
inline Bytes Db8() {
    return H("20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 00");
}

// Type 4 header: sub type, eight reserved bytes.
inline Bytes DpHeader(unsigned length, uint32_t subType) {
    return Cat({H("00 04"), U16(length), U32(subType), Zeros(8)});
}

inline Bytes FullSyncRequestMsg(uint8_t scope, uint32_t vdr) {
    return Cat({DpHeader(32, 3), U32(vdr), Zeros(8), Bytes{scope}, Zeros(3)});
}

// A DAD report with entries already laid out (18 bytes each).
inline Bytes DadReportMsg(uint32_t vdr, const std::string& lif, const std::string& version,
                          const std::string& ls, unsigned count, const Bytes& entries) {
    return Cat({DpHeader(158 + entries.size(), 28), U32(vdr), Field(lif, 64), Field(version, 36),
                Field(ls, 36), U16(count), entries});
}

}  // namespace CfgAgent::test::vdrvec

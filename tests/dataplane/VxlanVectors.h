#pragma once
// Hand-written VXLAN byte vectors shared by the walker, builder and dump tests, the L2 application
// tests and the emulator tests. Written from the layout, never from the builders. The 32-bit
// address-type fields travel in host order; these vectors are for little-endian hosts.
#include "tests/dataplane/ByteVec.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the VXLAN vectors spell host-order fields little-endian");

namespace CfgAgent::test::vxlanvec {

inline Bytes U32(uint32_t v) {
    return Cat({U16(v >> 16), U16(v & 0xffff)});
}

// A host-order 32-bit address type on this (little-endian) host.
inline Bytes HostType(uint8_t t) {
    return Bytes{t, 0, 0, 0};
}

inline Bytes Msg(unsigned type, const Bytes& body) {
    return Cat({U16(type), U16(4 + body.size()), body});
}

inline Bytes Tlv(unsigned type, const Bytes& value) {
    return Cat({U16(type), U16(4 + value.size()), value});
}

// Session control: data type 1, length 9, control type, session ID.
inline Bytes Session(uint8_t control, uint32_t id) {
    return Cat({H("00 0d 00 0d 00 01 00 09"), Bytes{control}, U32(id)});
}

inline Bytes Join(uint32_t switchId, uint32_t vni, uint8_t op = 1) {
    return Cat({H("00 03 00 0d"), U32(switchId), U32(vni), Bytes{op}});
}

inline Bytes Instance(uint32_t id, uint8_t op) {
    return Cat({H("00 0f 00 09"), U32(id), Bytes{op}});
}

// VTEP entry (57 bytes): IPv4 10.0.0.x (or the IPv6 fd00::x with type 2), label, MAC
// 02:00:00:00:00:x, encap 1, MTEP 1, flag 0.
inline Bytes VtepV4(uint8_t x, uint32_t label, const Bytes& type = HostType(1)) {
    return Cat({Bytes{10, 0, 0, x}, U32(label), Zeros(4), Bytes{2, 0, 0, 0, 0, x}, Bytes{1, 1, 0},
                type, Zeros(16), Zeros(16)});
}
inline Bytes VtepV6(uint8_t x, uint32_t label) {
    Bytes v6 = Cat({H("fd 00"), Zeros(13), Bytes{x}});
    return Cat({Zeros(4), U32(label), Zeros(4), Bytes{2, 0, 0, 0, 0, x}, Bytes{1, 1, 0},
                HostType(2), v6, Zeros(16)});
}

// VM MAC entry (40 bytes): VM MAC 00:50:56:00:00:x behind VTEP 10.0.0.v (type as given).
inline Bytes MacV4(uint8_t x, uint8_t v, const Bytes& type = HostType(1)) {
    return Cat({Bytes{0x00, 0x50, 0x56, 0, 0, x}, Bytes{2, 0, 0, 0, 0, v}, Bytes{10, 0, 0, v},
                Zeros(4), type, Zeros(16)});
}
inline Bytes MacV6(uint8_t x, uint8_t v) {
    return Cat({Bytes{0x00, 0x50, 0x56, 0, 0, x}, Bytes{2, 0, 0, 0, 0, v}, Zeros(4), Zeros(4),
                HostType(2), H("fd 00"), Zeros(13), Bytes{v}});
}

// Update TLVs.
inline Bytes VtepTlv(uint32_t sw, uint32_t vni, const std::vector<Bytes>& removed,
                     const std::vector<Bytes>& added) {
    Bytes v = Cat({U32(sw), U32(vni), U16(removed.size())});
    for (const Bytes& e : removed)
        v = Cat({v, e});
    v = Cat({v, U16(added.size())});
    for (const Bytes& e : added)
        v = Cat({v, e});
    return Tlv(5, v);
}
inline Bytes MacTlv(uint32_t sw, uint32_t vni, const std::vector<Bytes>& removed,
                    const std::vector<Bytes>& added) {
    Bytes v = Cat({U32(sw), U32(vni), U16(removed.size())});
    for (const Bytes& e : removed)
        v = Cat({v, e});
    for (const Bytes& e : added)
        v = Cat({v, e});
    return Tlv(4, v);
}
inline Bytes RdVtepTlv(uint32_t sw, const std::vector<Bytes>& vteps) {
    Bytes v = U32(sw);
    for (const Bytes& e : vteps)
        v = Cat({v, e});
    return Tlv(9, v);
}
inline Bytes Update(const std::vector<Bytes>& tlvs) {
    Bytes body;
    for (const Bytes& t : tlvs)
        body = Cat({body, t});
    return Msg(5, body);
}

// State report: data type, value.
inline Bytes StateReport(unsigned dataType, const Bytes& value) {
    return Msg(12, Tlv(dataType, value));
}

// The Configure message of a session start with the default settings.
inline Bytes DefaultConfigure() {
    return H(
        "00 02 00 28 00 01 00 06 0f f5 00 03 00 06 03 e8 00 04 00 06 00 64"
        " 00 05 00 06 00 14 00 06 00 06 02 d0 00 07 00 06 02 58");
}

}  // namespace CfgAgent::test::vxlanvec

#pragma once
// Hand-written KCP byte vectors shared by the walker, dump and builder tests.
#include "tests/dataplane/ByteVec.h"

namespace CfgAgent::test::kcpvec {

// VIF record fixed part (213 bytes) with the record length given.
inline Bytes VifHead(const std::string& vif, const std::string& port, const std::string& sw,
                     const std::string& parent, uint8_t type, uint8_t smartNic, uint8_t hopover,
                     unsigned recordLength) {
    return Cat({Field(vif, 48), Field(port, 48), Field(sw, 64), Field(parent, 48),
                Bytes{type, smartNic, hopover}, U16(recordLength)});
}

// Update message: header (type 2), flag byte, elements.
inline Bytes Update(uint8_t flag, const Bytes& elements) {
    return Cat({H("00 02"), U16(5 + elements.size()), Bytes{flag}, elements});
}

inline Bytes Element(unsigned type, const Bytes& value) {
    return Cat({U16(type), U16(4 + value.size()), value});
}

// 34-byte discovered binding for 192.168.1.10 / 00:50:56:aa:bb:cc, VLAN 5, method 2, time 7.
inline Bytes BindingV4() {
    return Cat({H("01 c0 a8 01 0a"), Zeros(12), H("00 50 56 aa bb cc 00 05 02"),
                H("00 00 00 00 00 00 00 07")});
}

// 23-byte container address entry 10.0.0.7 / 02:00:00:00:00:07.
inline Bytes ContainerEntryV4() {
    return Cat({H("01 0a 00 00 07"), Zeros(12), H("02 00 00 00 00 07")});
}

}  // namespace CfgAgent::test::kcpvec

#pragma once
// Literal dataplane bytes for tests, written from the layout: a message (type, length, body), a
// TLV element (type, length, value), a big-endian field and the concatenation of parts.
// Big-endian throughout.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace CfgAgent::test {

using WireBytes = std::vector<uint8_t>;

inline WireBytes Cat(std::initializer_list<WireBytes> parts) {
    WireBytes out;
    for (const WireBytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// `v` as `n` bytes, most significant first.
inline WireBytes Be(uint64_t v, size_t n) {
    WireBytes out(n);
    for (size_t i = n; i-- > 0; v >>= 8)
        out[i] = uint8_t(v);
    return out;
}

// Element: type, 4 + value size, value.
inline WireBytes Tlv(uint16_t type, const WireBytes& value) {
    return Cat({{uint8_t(type >> 8), uint8_t(type), uint8_t((value.size() + 4) >> 8),
                 uint8_t(value.size() + 4)},
                value});
}

// Message: type, 4 + body size, body.
inline WireBytes Msg(uint16_t type, const WireBytes& body) {
    return Cat({{uint8_t(type >> 8), uint8_t(type), uint8_t((body.size() + 4) >> 8),
                 uint8_t(body.size() + 4)},
                body});
}

}  // namespace CfgAgent::test

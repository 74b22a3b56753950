#pragma once
// Hand-written byte vectors for the dataplane tests: hex text, NUL-padded text fields and
// concatenation. Deliberately independent of the production builders.
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace CfgAgent::test {

using Bytes = std::vector<uint8_t>;

// "00 03 00 09" (spaces optional).
inline Bytes H(const std::string& hex) {
    Bytes out;
    int nibble = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == '\n')
            continue;
        else
            throw std::invalid_argument("bad hex");
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    if (nibble >= 0)
        throw std::invalid_argument("odd hex");
    return out;
}

// `text` followed by NULs up to `width` bytes.
inline Bytes Field(const std::string& text, size_t width) {
    Bytes out(text.begin(), text.end());
    out.resize(width, 0);
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes Zeros(size_t n) {
    return Bytes(n, 0);
}

}  // namespace CfgAgent::test

namespace CfgAgent::test {
// Two bytes, most significant first.
inline Bytes U16(unsigned v) {
    return Bytes{static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
}  // namespace CfgAgent::test

#include "platform/cairndb/Base64.h"

#include <array>
#include <cstdint>

namespace ozy::cairndb {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> MakeReverse() {
    std::array<int8_t, 256> r{};
    for (auto& v : r)
        v = -1;
    for (int i = 0; i < 64; ++i)
        r[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return r;
}

constexpr std::array<int8_t, 256> kReverse = MakeReverse();

// The encoding of `bytes` into `o`, (bytes.size() + 2) / 3 * 4 characters.
void EncodeInto(std::string_view bytes, char* o) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t whole = bytes.size() / 3 * 3;
    for (size_t i = 0; i < whole; i += 3, o += 4) {
        const uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
        o[0] = kAlphabet[(v >> 18) & 63];
        o[1] = kAlphabet[(v >> 12) & 63];
        o[2] = kAlphabet[(v >> 6) & 63];
        o[3] = kAlphabet[v & 63];
    }
    const size_t rest = bytes.size() - whole;
    if (rest != 0) {
        uint32_t v = uint32_t{p[whole]} << 16;
        if (rest == 2)
            v |= uint32_t{p[whole + 1]} << 8;
        o[0] = kAlphabet[(v >> 18) & 63];
        o[1] = kAlphabet[(v >> 12) & 63];
        o[2] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        o[3] = '=';
    }
}

}  // namespace

// Written straight into a buffer of the final size: row bodies of megabytes are encoded for every
// write that changes them.
std::string Base64Encode(std::string_view bytes) {
    std::string out((bytes.size() + 2) / 3 * 4, '\0');
    EncodeInto(bytes, out.data());
    return out;
}

std::string Base64EncodeGrown(std::string_view text, size_t from, std::string_view bytes) {
    if (from > bytes.size() || text.size() != (from + 2) / 3 * 4)
        return Base64Encode(bytes);
    const size_t whole = from / 3;
    // One buffer of the final size: the kept groups, then the rest encoded in place.
    std::string out((bytes.size() + 2) / 3 * 4, '\0');
    text.copy(out.data(), whole * 4);
    EncodeInto(bytes.substr(whole * 3), out.data() + whole * 4);
    return out;
}

bool Base64Decode(std::string_view text, std::string* out) {
    out->clear();
    if (text.size() % 4 != 0) {
        return false;
    }
    out->reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0) {
                return false;  // data after padding
            }
            v[k] = kReverse[static_cast<unsigned char>(c)];
            if (v[k] < 0) {
                return false;
            }
        }
        uint32_t n = (static_cast<uint32_t>(v[0]) << 18) | (static_cast<uint32_t>(v[1]) << 12) |
                     (static_cast<uint32_t>(v[2]) << 6) | static_cast<uint32_t>(v[3]);
        out->push_back(static_cast<char>((n >> 16) & 0xFF));
        if (pad < 2)
            out->push_back(static_cast<char>((n >> 8) & 0xFF));
        if (pad < 1)
            out->push_back(static_cast<char>(n & 0xFF));
    }
    return true;
}

}  // namespace ozy::cairndb

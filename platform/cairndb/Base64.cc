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

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    size_t rest = bytes.size() - i;
    if (rest == 1) {
        uint32_t v = uint32_t{p[i]} << 16;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out += "==";
    } else if (rest == 2) {
        uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8);
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back('=');
    }
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

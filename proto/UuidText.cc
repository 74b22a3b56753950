#include "proto/UuidText.h"

namespace ozy::cairndb {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string UuidText(uint64_t left, uint64_t right) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (int i = 0; i < 32; ++i) {
        uint64_t half = i < 16 ? left : right;
        int shift = 60 - 4 * (i % 16);
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            out.push_back('-');
        }
        out.push_back(kHex[(half >> shift) & 0xF]);
    }
    return out;
}

bool ParseUuidText(std::string_view text, uint64_t* left, uint64_t* right) {
    if (text.size() != 36) {
        return false;
    }
    uint64_t halves[2] = {0, 0};
    int nibble = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-')
                return false;
            continue;
        }
        int v = HexValue(text[i]);
        if (v < 0)
            return false;
        halves[nibble / 16] = (halves[nibble / 16] << 4) | static_cast<uint64_t>(v);
        ++nibble;
    }
    *left = halves[0];
    *right = halves[1];
    return true;
}

std::string CanonicalUuidText(std::string_view text) {
    uint64_t left = 0, right = 0;
    if (!ParseUuidText(text, &left, &right))
        return std::string();
    return UuidText(left, right);
}

}  // namespace ozy::cairndb

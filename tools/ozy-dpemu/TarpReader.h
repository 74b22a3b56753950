#pragma once
// Bounded reading of the firewall device's big-endian layouts (platform/tarp/TarpWire.h), the
// emulator's own: every read checks the end first; the first one that does not fit fails the
// reader for good, and later reads return zeros.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace ozy::dpemu::tarp {

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

    bool Ok() const { return ok_; }
    size_t Left() const { return ok_ ? static_cast<size_t>(end_ - p_) : 0; }
    bool AtEnd() const { return ok_ && p_ == end_; }
    const uint8_t* Pos() const { return p_; }

    uint8_t U8() {
        const uint8_t* b = Take(1);
        return b ? b[0] : 0;
    }
    uint16_t U16() {
        const uint8_t* b = Take(2);
        return b ? static_cast<uint16_t>((b[0] << 8) | b[1]) : 0;
    }
    uint32_t U32() {
        const uint8_t* b = Take(4);
        return b ? (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]
                 : 0;
    }
    uint64_t U64() {
        uint64_t hi = U32();
        return (hi << 32) | U32();
    }
    // u16 length, bytes; refused (reader failed) when longer than `max`.
    std::string Str(size_t max) {
        uint16_t n = U16();
        if (n > max) {
            ok_ = false;
            return {};
        }
        const uint8_t* b = Take(n);
        return b ? std::string(reinterpret_cast<const char*>(b), n) : std::string();
    }
    // A NUL-padded field of `width` bytes, read up to its first NUL.
    std::string Fixed(size_t width) {
        const uint8_t* b = Take(width);
        if (!b)
            return {};
        const char* c = reinterpret_cast<const char*>(b);
        return std::string(c, strnlen(c, width));
    }
    // Whether a fixed field has a NUL inside its width.
    static bool Terminated(const uint8_t* field, size_t width) {
        return std::memchr(field, 0, width) != nullptr;
    }
    const uint8_t* Bytes(size_t n) { return Take(n); }
    // A sub-reader over the next `n` bytes (consumed here).
    Reader Sub(size_t n) {
        const uint8_t* b = Take(n);
        return b ? Reader(b, n) : Reader(nullptr, 0, false);
    }
    void Fail() { ok_ = false; }

  private:
    Reader(const uint8_t* data, size_t size, bool ok) : p_(data), end_(data + size), ok_(ok) {}
    const uint8_t* Take(size_t n) {
        if (!ok_ || static_cast<size_t>(end_ - p_) < n) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t* b = p_;
        p_ += n;
        return b;
    }

    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
};

}  // namespace ozy::dpemu::tarp

#pragma once
// Writing the library's side of the wire layouts of TarpWire.h (not installed for callers).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tarp/CTarpFWAddress.h"

namespace TarpFirewall::detail {

class WireWriter {
  public:
    explicit WireWriter(std::vector<uint8_t>& out) : out_(out) {}
    WireWriter& U8(uint8_t v) {
        out_.push_back(v);
        return *this;
    }
    WireWriter& U16(uint16_t v) {
        out_.push_back(static_cast<uint8_t>(v >> 8));
        out_.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    WireWriter& U32(uint32_t v) {
        U16(static_cast<uint16_t>(v >> 16));
        return U16(static_cast<uint16_t>(v));
    }
    WireWriter& U64(uint64_t v) {
        U32(static_cast<uint32_t>(v >> 32));
        return U32(static_cast<uint32_t>(v));
    }
    WireWriter& Bytes(const void* p, size_t n) {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
        return *this;
    }
    // u16 length, bytes. Callers keep texts within their checked limits.
    WireWriter& Str(const std::string& s) {
        U16(static_cast<uint16_t>(s.size()));
        return Bytes(s.data(), s.size());
    }
    // NUL-padded to `width` (the text is at most `width` bytes: checked before).
    WireWriter& Fixed(std::string_view s, size_t width) {
        size_t n = s.size() < width ? s.size() : width;
        Bytes(s.data(), n);
        out_.insert(out_.end(), width - n, 0);
        return *this;
    }
    WireWriter& Address(const CTarpFWAddress& a) {
        U8(static_cast<uint8_t>(a.kind()));
        U8(a.prefix());
        return Bytes(a.bytes().data(), 16);
    }
    // Starts a block whose size (u16 or u32) is patched by End16/End32.
    size_t Begin16() {
        U16(0);
        return out_.size();
    }
    void End16(size_t mark) {
        size_t n = out_.size() - mark;
        out_[mark - 2] = static_cast<uint8_t>(n >> 8);
        out_[mark - 1] = static_cast<uint8_t>(n);
    }
    size_t Begin32() {
        U32(0);
        return out_.size();
    }
    void End32(size_t mark) {
        size_t n = out_.size() - mark;
        for (int i = 0; i < 4; ++i)
            out_[mark - 4 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
    }
    size_t Size() const { return out_.size(); }

  private:
    std::vector<uint8_t>& out_;
};

}  // namespace TarpFirewall::detail

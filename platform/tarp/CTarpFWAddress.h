#pragma once
// One address of the firewall library: an IPv4 or IPv6 address with its prefix length, or a MAC.
// The factories refuse prefixes over 32 (IPv4) or 128 (IPv6) with CTarpFWException.
#include <array>
#include <cstdint>
#include <string>

namespace TarpFirewall {

class CTarpFWAddress {
  public:
    enum class Kind : uint8_t { kIPv4 = 4, kIPv6 = 6, kMac = 16 };

    // `addr` in host order (192.0.2.1 is 0xC0000201).
    static CTarpFWAddress IPv4(uint32_t addr, uint32_t prefix = 32);
    static CTarpFWAddress IPv6(const uint8_t (&addr)[16], uint32_t prefix = 128);
    static CTarpFWAddress Mac(const uint8_t (&mac)[6]);
    // "192.0.2.0/24", "2001:db8::/64", "02:00:00:00:00:01"; throws CTarpFWException on bad text.
    static CTarpFWAddress Parse(const std::string& text);

    Kind kind() const { return kind_; }
    uint8_t prefix() const { return prefix_; }
    // IPv4 in the first 4 bytes (network order), MAC in the first 6; the rest zero.
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }
    std::string ToString() const;

    bool operator==(const CTarpFWAddress& o) const {
        return kind_ == o.kind_ && prefix_ == o.prefix_ && bytes_ == o.bytes_;
    }
    bool operator!=(const CTarpFWAddress& o) const { return !(*this == o); }

  private:
    CTarpFWAddress(Kind kind, uint8_t prefix) : kind_(kind), prefix_(prefix) {}

    Kind kind_ = Kind::kIPv4;
    uint8_t prefix_ = 32;
    std::array<uint8_t, 16> bytes_{};
};

}  // namespace TarpFirewall

#include "platform/tarp/CTarpFWAddress.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "platform/tarp/TarpNames.h"

namespace TarpFirewall {

CTarpFWAddress CTarpFWAddress::IPv4(uint32_t addr, uint32_t prefix) {
    if (prefix > 32)
        detail::Refuse("IPv4 prefix " + std::to_string(prefix) + " over 32");
    CTarpFWAddress a(Kind::kIPv4, static_cast<uint8_t>(prefix));
    a.bytes_[0] = static_cast<uint8_t>(addr >> 24);
    a.bytes_[1] = static_cast<uint8_t>(addr >> 16);
    a.bytes_[2] = static_cast<uint8_t>(addr >> 8);
    a.bytes_[3] = static_cast<uint8_t>(addr);
    return a;
}

CTarpFWAddress CTarpFWAddress::IPv6(const uint8_t (&addr)[16], uint32_t prefix) {
    if (prefix > 128)
        detail::Refuse("IPv6 prefix " + std::to_string(prefix) + " over 128");
    CTarpFWAddress a(Kind::kIPv6, static_cast<uint8_t>(prefix));
    std::memcpy(a.bytes_.data(), addr, 16);
    return a;
}

CTarpFWAddress CTarpFWAddress::Mac(const uint8_t (&mac)[6]) {
    CTarpFWAddress a(Kind::kMac, 0);
    std::memcpy(a.bytes_.data(), mac, 6);
    return a;
}

CTarpFWAddress CTarpFWAddress::Parse(const std::string& text) {
    unsigned m[6];
    char tail;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &m[0], &m[1], &m[2], &m[3], &m[4],
                    &m[5], &tail) == 6 &&
        text.size() == 17) {
        uint8_t mac[6];
        for (int i = 0; i < 6; ++i)
            mac[i] = static_cast<uint8_t>(m[i]);
        return Mac(mac);
    }
    std::string host = text;
    long prefix = -1;
    if (size_t slash = text.find('/'); slash != std::string::npos) {
        host = text.substr(0, slash);
        std::string p = text.substr(slash + 1);
        if (p.empty() || p.size() > 3 || p.find_first_not_of("0123456789") != std::string::npos)
            detail::Refuse("bad prefix in address \"" + text + "\"");
        prefix = std::stol(p);
    }
    uint8_t buf[16];
    if (::inet_pton(AF_INET, host.c_str(), buf) == 1) {
        uint32_t v =
            (uint32_t(buf[0]) << 24) | (uint32_t(buf[1]) << 16) | (uint32_t(buf[2]) << 8) | buf[3];
        return IPv4(v, prefix < 0 ? 32 : static_cast<uint32_t>(prefix));
    }
    if (::inet_pton(AF_INET6, host.c_str(), buf) == 1)
        return IPv6(buf, prefix < 0 ? 128 : static_cast<uint32_t>(prefix));
    detail::Refuse("bad address \"" + text + "\"");
}

std::string CTarpFWAddress::ToString() const {
    char buf[64];
    switch (kind_) {
        case Kind::kMac:
            std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", bytes_[0], bytes_[1],
                          bytes_[2], bytes_[3], bytes_[4], bytes_[5]);
            return buf;
        case Kind::kIPv4:
            ::inet_ntop(AF_INET, bytes_.data(), buf, sizeof buf);
            return prefix_ == 32 ? std::string(buf)
                                 : std::string(buf) + "/" + std::to_string(prefix_);
        case Kind::kIPv6:
            ::inet_ntop(AF_INET6, bytes_.data(), buf, sizeof buf);
            return prefix_ == 128 ? std::string(buf)
                                  : std::string(buf) + "/" + std::to_string(prefix_);
    }
    return {};
}

}  // namespace TarpFirewall

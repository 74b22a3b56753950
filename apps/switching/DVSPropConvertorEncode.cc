#include "apps/switching/DVSPropConvertorEncode.h"

#include <algorithm>
#include <limits>

#include "statecache/IdText.h"

namespace CfgAgent::dvs {

void AppendBe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void AppendBe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

static void AppendBe64(std::vector<uint8_t>& out, uint64_t v) {
    AppendBe32(out, static_cast<uint32_t>(v >> 32));
    AppendBe32(out, static_cast<uint32_t>(v));
}

void AppendFixed(std::vector<uint8_t>& out, const std::string& text, size_t width) {
    size_t n = std::min(text.size(), width == 0 ? 0 : width - 1);
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    out.insert(out.end(), width - n, 0);
}

uint32_t ClampU32(uint64_t v) {
    return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                    : static_cast<uint32_t>(v);
}

void AppendUuid(std::vector<uint8_t>& out, const pb::UuidMsg& id) {
    AppendBe64(out, id.left());
    AppendBe64(out, id.right());
}

std::vector<uint8_t> UuidBytes(const std::string& serializedId) {
    pb::UuidMsg id;
    if (!id.ParseFromString(serializedId))
        id.Clear();
    std::vector<uint8_t> out;
    AppendUuid(out, id);
    return out;
}

bool IsUuidId(const std::string& id) {
    if (id.empty())
        return false;
    std::string text = IdText(id);
    return text.size() == 36 && text.compare(0, 2, "0x") != 0;
}

void AppendIp(std::vector<uint8_t>& out, const pb::IpAddressMsg& ip) {
    if (ip.has_ipv4()) {
        out.push_back(1);
        AppendBe32(out, ip.ipv4());
        out.insert(out.end(), 12, 0);
        return;
    }
    out.push_back(0);
    const std::string& v6 = ip.ipv6();
    for (size_t i = 0; i < 16; ++i)
        out.push_back(i < v6.size() ? static_cast<uint8_t>(v6[i]) : 0);
}

void AppendMac(std::vector<uint8_t>& out, uint64_t mac) {
    for (int shift = 40; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(mac >> shift));
}

std::vector<uint8_t> IpDiscoveryValue(const pb::IpDiscoveryMsg& m) {
    std::vector<uint8_t> v;
    for (bool b :
         {m.arp_snooping(), m.dhcp_snooping(), m.nd_snooping(), m.dhcpv6_snooping(), m.vmtools(),
          m.vmtools_v6(), m.trust_on_first_use(), m.duplicate_ip_detection()}) {
        v.push_back(b ? 1 : 0);
    }
    // A port learns one address per family unless told otherwise.
    AppendBe32(v, m.has_arp_binding_limit() ? m.arp_binding_limit() : 1);
    AppendBe32(v, m.has_nd_binding_limit() ? m.nd_binding_limit() : 1);
    AppendBe32(v, m.arp_binding_timeout());
    return v;
}

uint8_t PrefixOf(const pb::AddressBindingMsg& b) {
    uint32_t max = b.ip().has_ipv4() ? 32 : 128;
    return static_cast<uint8_t>(b.has_prefix_length() ? std::min(b.prefix_length(), max) : max);
}

std::vector<uint8_t> IgnoreBindingsValue(
    const google::protobuf::RepeatedPtrField<pb::AddressBindingMsg>& list) {
    std::vector<uint8_t> v;
    for (const auto& b : list) {
        AppendIp(v, b.ip());
        v.push_back(PrefixOf(b));
    }
    return v;
}

std::vector<uint8_t> AddressBindingsValue(
    const google::protobuf::RepeatedPtrField<pb::AddressBindingMsg>& list) {
    std::vector<uint8_t> v;
    for (const auto& b : list) {
        AppendIp(v, b.ip());
        AppendMac(v, b.mac());
        AppendBe16(v, static_cast<uint16_t>(std::min<uint32_t>(b.vlan(), 0xffff)));
    }
    return v;
}

}  // namespace CfgAgent::dvs

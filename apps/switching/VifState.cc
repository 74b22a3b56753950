#include "apps/switching/VifState.h"

#include <algorithm>

#include "dataplane/DpFraming.h"
#include "proto/cairndb_system.pb.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

// FNV-1a over the text, with a seed, for the name-based identifiers.
uint64_t Fnv1a(const std::string& text, uint64_t seed) {
    uint64_t h = 1469598103934665603ULL ^ seed;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

void FillAddressBinding(const IpBinding& b, pb::AddressBindingMsg* out) {
    if (b.hasAddress) {
        if (b.ipv4) {
            out->mutable_ip()->set_ipv4(LoadBe32(b.address.data()));
        } else {
            out->mutable_ip()->set_ipv6(std::string(b.address.begin(), b.address.end()));
        }
    }
    if (b.hasMac)
        out->set_mac(MacToU64(b.mac));
    if (b.vlan != 0)
        out->set_vlan(b.vlan);
}

}  // namespace

bool IpBinding::SameBinding(const IpBinding& o) const {
    if (hasAddress != o.hasAddress || hasMac != o.hasMac || vlan != o.vlan)
        return false;
    if (hasAddress && (ipv4 != o.ipv4 || address != o.address))
        return false;
    return !hasMac || mac == o.mac;
}

std::string IpBinding::Text() const {
    std::string s = hasAddress ? kcp::AddressText(ipv4, address.data()) : std::string("-");
    s += "/";
    s += hasMac ? kcp::MacText(mac.data()) : std::string("-");
    if (vlan != 0)
        s += " vlan " + std::to_string(vlan);
    return s;
}

IpBinding BindingFromKcp(const kcp::Binding& b) {
    IpBinding out;
    out.hasAddress = true;
    out.ipv4 = b.ipv4;
    out.address = b.address;
    if (b.ipv4)
        std::fill(out.address.begin() + 4, out.address.end(), 0);
    out.hasMac = true;
    out.mac = b.mac;
    out.vlan = b.vlan;
    out.method = b.method;
    out.timestamp = b.timestamp;
    return out;
}

bool IsPrintableId(const std::string& id) {
    for (unsigned char c : id) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

std::string VifObjectId(const std::string& vifId) {
    std::string id;
    if (IdFromText(vifId, &id))
        return id;
    uint64_t left = Fnv1a(vifId, 0x5bd1e995ULL);
    uint64_t right = Fnv1a(vifId, 0x9e3779b97f4a7c15ULL);
    // Version 5 and the RFC 4122 variant, as a name-based UUID carries them.
    left = (left & ~0xF000ULL) | 0x5000ULL;
    right = (right & ~(0xC0ULL << 56)) | (0x80ULL << 56);
    return SerializedUuid(left, right);
}

std::string SerializeVifState(const VifStateRecord& vif) {
    pb::VifStateMsg m;
    m.mutable_id()->ParseFromString(VifObjectId(vif.vifId));
    m.set_vif_id(vif.vifId);
    for (const IpBinding& b : vif.bindings)
        FillAddressBinding(b, m.add_ip_discovered_bindings());
    if (!vif.macs.empty())
        m.set_mac(MacToU64(vif.macs.front()));
    for (const kcp::MacAddr& mac : vif.macs)
        m.add_macs(MacToU64(mac));
    m.set_status(vif.status);
    m.set_hopover(vif.hopover);
    if (!vif.parentVifId.empty())
        m.set_parent_vif_id(vif.parentVifId);
    m.set_port_id(vif.portId);
    m.set_switch_id(vif.switchId);
    m.set_vif_type(vif.vifType);
    return m.SerializeAsString();
}

std::string SerializeHopoverStatus(const HopoverStatusRecord& hopover) {
    pb::HopoverStatusMsg m;
    m.mutable_id()->ParseFromString(VifObjectId(hopover.vifId));
    m.set_status(hopover.status);
    m.set_vif_id(hopover.vifId);
    m.set_port_id(hopover.portId);
    m.set_updated_at(hopover.updatedAt);
    return m.SerializeAsString();
}

uint64_t MacToU64(const kcp::MacAddr& mac) {
    uint64_t v = 0;
    for (uint8_t b : mac)
        v = (v << 8) | b;
    return v;
}

kcp::MacAddr MacFromU64(uint64_t value) {
    kcp::MacAddr mac{};
    for (int i = 5; i >= 0; --i) {
        mac[static_cast<size_t>(i)] = static_cast<uint8_t>(value);
        value >>= 8;
    }
    return mac;
}

}  // namespace CfgAgent

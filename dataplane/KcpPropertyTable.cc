#include "dataplane/KcpPropertyTable.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "dataplane/DpFraming.h"
#include "dataplane/KcpProtocol.h"
#include "runtime/Logger.h"

namespace CfgAgent::kcp {

namespace {

using F = FieldType;

FieldDesc U8(const char* n) {
    return {n, F::kU8, 0};
}
FieldDesc Bool(const char* n) {
    return {n, F::kBool, 0};
}
FieldDesc U16(const char* n) {
    return {n, F::kU16, 0};
}
FieldDesc U32(const char* n) {
    return {n, F::kU32, 0};
}
FieldDesc Mac(const char* n) {
    return {n, F::kMac, 0};
}
FieldDesc Ip(const char* n) {
    return {n, F::kIp, 0};
}
FieldDesc Uuid(const char* n) {
    return {n, F::kUuid, 0};
}
FieldDesc Str(const char* n, uint16_t w) {
    return {n, F::kFixedString, w};
}
FieldDesc Text(const char* n) {
    return {n, F::kText, 0};
}
template <size_t N>
FieldDesc Enum(const char* n, const char* const (&names)[N]) {
    static_assert(N < 256, "too many names");
    return {n, F::kU8, 0, names, static_cast<uint8_t>(N)};
}

const char* const kBlockStateNames[] = {"UNBLOCK", "BLOCK"};
const char* const kMacLimitPolicyNames[] = {"NONE", "ALLOW", "DROP"};
const char* const kSamplingLocationNames[] = {"", "INGRESS", "EGRESS", "BOTH"};
const char* const kShaperTypeNames[] = {"", "INGRESS", "INGRESS_BROADCAST", "EGRESS"};
const char* const kMirrorTypeNames[] = {"",
                                        "ERSPAN_SOURCE",
                                        "RSPAN_SRC",
                                        "RSPAN_DST",
                                        "LOGICAL_LOCAL_SPAN",
                                        "LOCAL_PORT_SPAN",
                                        "LOCAL_UPLINK_SPAN"};
const char* const kDirectionNames[] = {"", "INGRESS", "EGRESS", "BOTH"};
const char* const kForwardingModeNames[] = {"", "IPV4_ONLY", "IPV6_ONLY", "IPV4_AND_IPV6"};

constexpr uint8_t P = kScopePort;
constexpr uint8_t K = kScopeKrnnic;
constexpr uint8_t S = kScopeSwitch;

PropertyDesc Prop(uint16_t key, const char* name, uint8_t scopes, std::vector<FieldDesc> head,
                  const char* entriesName = nullptr, std::vector<FieldDesc> entry = {}) {
    PropertyDesc d;
    d.key = key;
    d.name = name;
    d.scopes = scopes;
    d.head = std::move(head);
    d.entriesName = entriesName;
    d.entry = std::move(entry);
    return d;
}

std::vector<PropertyDesc> BuildTable() {
    std::vector<PropertyDesc> t;
    // Port state and logical-switch properties pushed to each port.
    t.push_back(Prop(kPropBlock, "block", P | K, {Enum("state", kBlockStateNames)}));
    t.push_back(Prop(kPropLspId, "lsp_id", P, {Uuid("lsp_id")}));
    t.push_back(Prop(kPropLsId, "ls_id", P, {Uuid("ls_id")}));
    t.push_back(Prop(kPropVni, "vni", P | S, {U32("vni")}));
    t.push_back(Prop(kPropVlan, "vlan", P, {U16("vlan_id")}));
    t.push_back(Prop(kPropVlanTrunk, "vlan_trunk", P, {}, "ranges", {U16("start"), U16("end")}));
    t.push_back(Prop(kPropReplicationMode, "replication_mode", P, {U8("mode")}));
    t.push_back(Prop(kPropLsType, "ls_type", P, {U8("type")}));
    t.push_back(Prop(kPropLsSpSubtype, "ls_sp_subtype", P, {U8("subtype")}));
    t.push_back(
        Prop(kPropMacManagement, "mac_management", P,
             {Bool("learning_enabled"), U32("limit"), Enum("limit_policy", kMacLimitPolicyNames),
              Bool("unknown_unicast_flooding"), Bool("mac_change_allowed")}));
    t.push_back(Prop(kPropMacLearnStatic, "mac_learn_static", P | K, {Bool("enabled")}));
    t.push_back(
        Prop(kPropLsAttachment, "ls_attachment", P, {Str("parent_port_id", kIdSize), U16("vlan")}));
    t.push_back(Prop(kPropLatency, "latency", P, {Bool("enabled"), U32("value")}));
    // IP discovery.
    t.push_back(
        Prop(kPropIpDiscovery, "ip_discovery", P,
             {Bool("arp_snooping"), Bool("dhcp_snooping"), Bool("nd_snooping"),
              Bool("dhcpv6_snooping"), Bool("vmtools"), Bool("vmtools_v6"),
              Bool("trust_on_first_use"), Bool("duplicate_ip_detection"), U32("arp_binding_limit"),
              U32("nd_binding_limit"), U32("arp_binding_timeout")}));
    t.push_back(Prop(kPropIgnoreBindings, "ignore_bindings", P, {}, "addresses",
                     {Ip("address"), U8("prefix_length")}));
    t.push_back(Prop(kPropAddressBindings, "address_bindings", P, {}, "bindings",
                     {Ip("address"), Mac("mac"), U16("vlan")}));
    // Switch security.
    t.push_back(Prop(kPropSpoofGuard, "spoof_guard", P, {Bool("enabled")}, "whitelist",
                     {Ip("address"), U8("prefix_length"), Mac("mac"), U16("vlan")}));
    t.push_back(
        Prop(kPropBpduFilter, "bpdu_filter", P, {Bool("enabled")}, "exceptions", {Mac("mac")}));
    t.push_back(Prop(kPropDhcpFilter, "dhcp_filter", P,
                     {Bool("client_block"), Bool("server_block"), Bool("v6_client_block"),
                      Bool("v6_server_block")}));
    t.push_back(Prop(kPropNonIpBlock, "non_ip_block", P, {Bool("enabled")}));
    t.push_back(Prop(kPropRaGuard, "ra_guard", P, {Bool("enabled")}));
    t.push_back(Prop(kPropRateLimits, "rate_limits", P,
                     {Bool("enabled"), U32("rx_broadcast"), U32("rx_multicast"),
                      U32("tx_broadcast"), U32("tx_multicast")}));
    // QoS. Shaper types: 1 ingress, 2 ingress broadcast, 3 egress.
    t.push_back(
        Prop(kPropQosShapers, "qos_shapers", P, {}, "shapers",
             {Enum("type", kShaperTypeNames), Bool("enabled"), U32("average_bandwidth_kbps"),
              U32("peak_bandwidth_kbps"), U32("burst_size_bytes")}));
    t.push_back(
        Prop(kPropQosMarking, "qos_marking", P, {U8("cos"), U8("dscp"), Bool("dscp_trusted")}));
    // Mirror sessions, one instance per session name. Direction: 1 ingress, 2 egress, 3 both.
    {
        PropertyDesc d =
            Prop(kPropMirrorSession, "mirror_session", P | K | S,
                 {Str("name", kSwitchIdSize), Enum("type", kMirrorTypeNames),
                  Enum("direction", kDirectionNames), U32("snap_length"), U32("erspan_id"),
                  U32("gre_key"), U16("encap_vlan"), U8("mirror_stack"), Ip("destination")},
                 "destination_ports", {Str("port_id", kIdSize)});
        d.instancesByFirstField = true;
        t.push_back(std::move(d));
    }
    {
        PropertyDesc d = Prop(kPropMirrorUplinkSources, "mirror_uplink_sources", S,
                              {Str("name", kSwitchIdSize)}, "uplinks", {Str("port_id", kIdSize)});
        d.instancesByFirstField = true;
        t.push_back(std::move(d));
    }
    // IPFIX export.
    t.push_back(
        Prop(kPropIpfix, "ipfix", P,
             {U32("observation_domain_id"), Enum("sampling_location", kSamplingLocationNames),
              U32("sampling_probability"), U32("active_timeout"), U32("idle_timeout")},
             "collectors", {Ip("address"), U16("port")}));
    // Port extra configurations carry the configured text.
    static const char* const kTagsets[] = {"vm_tagset",  "vm_tagset1", "vm_tagset2", "vm_tagset3",
                                           "vm_tagset4", "vm_tagset5", "vm_tagset6", "vm_tagset7",
                                           "vm_tagset8", "vm_tagset9"};
    for (uint16_t i = 0; i < 10; ++i) {
        t.push_back(
            Prop(static_cast<uint16_t>(kPropVmTagset + i), kTagsets[i], P, {Text("value")}));
    }
    t.push_back(Prop(kPropSiGvm, "si_gvm", P, {Text("value")}));
    t.push_back(Prop(kPropSiSvm, "si_svm", P, {Text("value")}));
    t.push_back(Prop(kPropCloudsvcManagementIp, "cloudsvc_management_ip", P, {Text("value")}));
    t.push_back(Prop(kPropCloudsvcEdge, "cloudsvc_edge", P, {Text("value")}));
    t.push_back(Prop(kPropBridgedVlan, "bridged_vlan", P, {Text("value")}));
    t.push_back(Prop(kPropProxyArpRouterMode, "proxyarp_router_mode", P, {Text("value")}));
    t.push_back(Prop(kPropRemoteRouter, "remote_router", P, {Text("value")}));
    t.push_back(Prop(kPropPolicyRoute, "policy_route", P, {Text("value")}));
    t.push_back(Prop(kPropUdpPortsInHash, "udp_ports_in_hash", P, {Text("value")}));
    t.push_back(Prop(kPropNestedTnConfig, "nested_tn_config", P, {Text("value")}));
    t.push_back(Prop(kPropGlobalId, "global_id", P, {Text("value")}));
    t.push_back(Prop(kPropForwardRarp, "forward_rarp", P, {Text("value")}));
    t.push_back(Prop(kPropConduitParentVif, "conduit_parent_vif", P, {Text("value")}));
    t.push_back(Prop(kPropSecurityPolicySync, "security_policy_sync", P, {Text("value")}));
    // Host-switch globals.
    t.push_back(
        Prop(kPropForwardingMode, "forwarding_mode", S, {Enum("mode", kForwardingModeNames)}));
    t.push_back(
        Prop(kPropCloudsvcClusterVirtualIp, "cloudsvc_cluster_virtual_ip", S, {Text("value")}));
    t.push_back(
        Prop(kPropCloudsvcClusterMasterIp, "cloudsvc_cluster_master_ip", S, {Text("value")}));
    t.push_back(Prop(kPropCcpSession, "ccp_session", S, {Bool("connected")}));
    // Kernel interfaces.
    t.push_back(Prop(kPropVtepLabel, "vtep_label", K, {U32("label")}));
    return t;
}

struct Index {
    std::vector<PropertyDesc> table = BuildTable();
    std::unordered_map<uint16_t, const PropertyDesc*> byKey;
    std::unordered_map<std::string_view, const PropertyDesc*> byName;
    Index() {
        for (const PropertyDesc& d : table) {
            byKey.emplace(d.key, &d);
            byName.emplace(d.name, &d);
        }
    }
};

const Index& TheIndex() {
    static const Index* index = new Index();
    return *index;
}

std::string Hex(const uint8_t* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(kDigits[p[i] >> 4]);
        s.push_back(kDigits[p[i] & 15]);
    }
    return s;
}

}  // namespace

const std::vector<PropertyDesc>& KcpProperties() {
    return TheIndex().table;
}

const PropertyDesc* FindKcpProperty(uint16_t key) {
    const auto& m = TheIndex().byKey;
    auto it = m.find(key);
    return it == m.end() ? nullptr : it->second;
}

const PropertyDesc* FindKcpPropertyByName(std::string_view name) {
    const auto& m = TheIndex().byName;
    auto it = m.find(name);
    return it == m.end() ? nullptr : it->second;
}

size_t FieldWireSize(const FieldDesc& field) {
    switch (field.type) {
        case F::kU8:
        case F::kBool:
            return 1;
        case F::kU16:
            return 2;
        case F::kU32:
        case F::kIpv4:
            return 4;
        case F::kU64:
            return 8;
        case F::kMac:
            return 6;
        case F::kIp:
            return 17;
        case F::kUuid:
            return 16;
        case F::kFixedString:
            return field.width;
        case F::kText:
            return 0;
    }
    return 0;
}

size_t HeadWireSize(const PropertyDesc& desc) {
    size_t n = 0;
    for (const FieldDesc& f : desc.head)
        n += FieldWireSize(f);
    return n;
}

size_t EntryWireSize(const PropertyDesc& desc) {
    size_t n = 0;
    for (const FieldDesc& f : desc.entry)
        n += FieldWireSize(f);
    return n;
}

bool HasTextField(const PropertyDesc& desc) {
    return !desc.head.empty() && desc.head.back().type == F::kText;
}

bool ValidateKcpPropertyValue(const PropertyDesc& desc, size_t size, std::string* why) {
    size_t head = HeadWireSize(desc);
    auto fail = [&](const std::string& text) {
        if (why != nullptr)
            *why = text;
        return false;
    };
    if (size < head) {
        return fail("value of " + std::to_string(size) + " bytes is shorter than its " +
                    std::to_string(head) + "-byte head");
    }
    if (HasTextField(desc)) {
        return true;
    }
    size_t rest = size - head;
    if (desc.entriesName == nullptr) {
        if (rest != 0) {
            return fail("value of " + std::to_string(size) + " bytes, expected " +
                        std::to_string(head));
        }
        return true;
    }
    size_t entry = EntryWireSize(desc);
    if (entry == 0 || rest % entry != 0) {
        return fail("entries of " + std::to_string(rest) + " bytes are not a multiple of " +
                    std::to_string(entry));
    }
    return true;
}

bool VisitKcpPropertyFields(const PropertyDesc& desc, const uint8_t* value, size_t size,
                            const FieldVisitor& visit) {
    if (!ValidateKcpPropertyValue(desc, size)) {
        return false;
    }
    size_t pos = 0;
    for (const FieldDesc& f : desc.head) {
        size_t n = f.type == F::kText ? size - pos : FieldWireSize(f);
        visit(-1, f, value + pos, n);
        pos += n;
    }
    if (desc.entriesName != nullptr) {
        size_t entrySize = EntryWireSize(desc);
        int index = 0;
        while (pos + entrySize <= size) {
            for (const FieldDesc& f : desc.entry) {
                size_t n = FieldWireSize(f);
                visit(index, f, value + pos, n);
                pos += n;
            }
            ++index;
        }
    }
    return true;
}

const char* KcpFieldValueName(const FieldDesc& field, uint64_t value) {
    if (field.type != F::kU8 || field.names == nullptr || value >= field.nameCount) {
        return nullptr;
    }
    const char* name = field.names[value];
    return name != nullptr && name[0] != '\0' ? name : nullptr;
}

std::string KcpFieldText(const FieldDesc& field, const uint8_t* p, size_t size) {
    char buf[64];
    switch (field.type) {
        case F::kU8: {
            const char* name = KcpFieldValueName(field, p[0]);
            return name != nullptr ? std::string(name) : std::to_string(p[0]);
        }
        case F::kBool:
            return p[0] != 0 ? "true" : "false";
        case F::kU16:
            return std::to_string(LoadBe16(p));
        case F::kU32:
            return std::to_string(LoadBe32(p));
        case F::kU64:
            return std::to_string(LoadBe64(p));
        case F::kMac:
            std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3],
                          p[4], p[5]);
            return buf;
        case F::kIpv4:
            return inet_ntop(AF_INET, p, buf, sizeof buf) != nullptr ? buf : "";
        case F::kIp:
            if (p[0] != 0) {
                return inet_ntop(AF_INET, p + 1, buf, sizeof buf) != nullptr ? buf : "";
            }
            return inet_ntop(AF_INET6, p + 1, buf, sizeof buf) != nullptr ? buf : "";
        case F::kUuid:
            return Hex(p, 4) + "-" + Hex(p + 4, 2) + "-" + Hex(p + 6, 2) + "-" + Hex(p + 8, 2) +
                   "-" + Hex(p + 10, 6);
        case F::kFixedString:
        case F::kText:
            return DpFixedString(p, size);
    }
    return std::string();
}

std::vector<uint8_t> MakeKcpProperty(uint16_t key, const std::vector<uint8_t>& value) {
    const PropertyDesc* desc = FindKcpProperty(key);
    if (desc == nullptr) {
        CFG_ERROR("KCP property key %1 is not defined", key);
        return {};
    }
    std::string why;
    if (!ValidateKcpPropertyValue(*desc, value.size(), &why) ||
        value.size() > kDpMaxMsgSize - kDpTlvHeaderSize) {
        CFG_ERROR("KCP property %1 (%2): %3", desc->name, key,
                  why.empty() ? std::string("value too large") : why);
        return {};
    }
    std::vector<uint8_t> element;
    element.reserve(kDpTlvHeaderSize + value.size());
    DpBytesWriter(element).Tlv(key, value.data(), value.size());
    return element;
}

}  // namespace CfgAgent::kcp

#include "tools/ozy-dpemu/VxlanTables.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstring>

#include <nlohmann/json.hpp>

#include "dataplane/KcpWalk.h"

namespace ozy::dpemu {

using namespace CfgAgent;
using namespace CfgAgent::vxlan;

namespace {

std::string TypeText(uint16_t type) {
    return std::string(MsgTypeName(type)) + " (type " + std::to_string(type) + ")";
}

nlohmann::json VtepJson(const VtepEntry& e) {
    return {{"ip", VtepAddressText(e.addrType, e.ipv4, e.ipv6)},
            {"label", e.label},
            {"mac", kcp::MacText(e.mac.data())},
            {"encap", EncapName(e.encap)},
            {"mtep", e.mtep}};
}

template <class T>
nlohmann::json Opt(const std::optional<T>& v) {
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

// What the agent programmed for one VNI.
void AddRemoteJson(const VxlanTables::Vni& v, nlohmann::json& out) {
    out["confirmed"] = v.confirmed;
    out["link"] = v.link ? nlohmann::json{{"flag", v.linkFlag},
                                          {"multicast_proxy", v.link->multicastProxy},
                                          {"arp_proxy", v.link->arpProxy}}
                         : nlohmann::json(nullptr);
    if (v.controller) {
        const ControllerIp& c = *v.controller;
        out["controller"] = {
            {"ipv4", c.addrType == kAddrIpv4 || c.addrType == kAddrBoth ? Ipv4Text(c.ipv4) : ""},
            {"ipv6",
             c.addrType == kAddrIpv6 || c.addrType == kAddrBoth ? Ipv6Text(c.ipv6.data()) : ""},
            {"type", c.addrType}};
    } else {
        out["controller"] = nullptr;
    }
    out["mac_limit"] = Opt(v.macLimit);
    out["multicast_proxy"] = Opt(v.multicastProxy);
    out["arp_proxy"] = Opt(v.arpProxy);
    out["routing_domain"] =
        v.routingDomain ? nlohmann::json(UuidText(*v.routingDomain)) : nlohmann::json(nullptr);
    out["vtep_groups"] = v.vtepGroups;
    nlohmann::json vteps = nlohmann::json::array();
    for (const auto& [ip, e] : v.remoteVteps)
        vteps.push_back(VtepJson(e));
    nlohmann::json macs = nlohmann::json::array();
    for (const auto& [key, e] : v.remoteMacs) {
        macs.push_back({{"mac", kcp::MacText(e.vmMac.data())},
                        {"vtep", VtepAddressText(e.addrType, e.vtepIpv4, e.vtepIpv6)}});
    }
    nlohmann::json ips = nlohmann::json::array();
    for (const auto& [ip, mac] : v.remoteIps)
        ips.push_back({{"ip", ip}, {"mac", kcp::MacText(MacOfKey(mac).data())}});
    out["remote_vteps"] = std::move(vteps);
    out["remote_macs"] = std::move(macs);
    out["remote_ips"] = std::move(ips);
}

void AppendVteps(EntryBuffer& out, const std::map<std::string, VtepEntry>& vteps) {
    for (const auto& [ip, e] : vteps)
        WriteVtepEntry(e, out.Append());
}

}  // namespace

double SteadyMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t MacKey(const MacAddr& mac) {
    uint64_t v = 0;
    for (uint8_t b : mac)
        v = (v << 8) | b;
    return v;
}

MacAddr MacOfKey(uint64_t key) {
    MacAddr mac{};
    for (int i = 5; i >= 0; --i) {
        mac[static_cast<size_t>(i)] = static_cast<uint8_t>(key);
        key >>= 8;
    }
    return mac;
}

bool ParseVtepAddress(const std::string& text, uint32_t* addrType, uint32_t* ipv4, Ipv6Addr* ipv6) {
    uint8_t buf[16];
    if (inet_pton(AF_INET, text.c_str(), buf) == 1) {
        *addrType = kAddrIpv4;
        *ipv4 = LoadBe32(buf);
        ipv6->fill(0);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), buf) == 1) {
        *addrType = kAddrIpv6;
        *ipv4 = 0;
        std::memcpy(ipv6->data(), buf, 16);
        return true;
    }
    return false;
}

size_t VxlanTables::AgentMaxMsgLength() const {
    return settings ? settings->maxMsgLength : kDefaultMaxMsgLength;
}

bool VxlanTables::Apply(const MsgView& msg, std::string* error, bool* stateQuery) {
    *stateQuery = false;
    bool ok = false;
    switch (msg.type) {
        case kMsgConfigure:
            return ApplyConfigure(msg, error);
        case kMsgUpdate:
            return ApplyUpdate(msg, error);
        case kMsgVniMembership: {
            VniMembership m;
            ok = ParseVniMembership(msg, &m) && msg.length == kVniMembershipSize;
            if (!ok)
                break;
            if (!m.Join()) {
                *error = "VNI Membership Change from the agent with op " + std::to_string(m.op) +
                         " (only a join confirmation is sent)";
                return false;
            }
            Vni* v = Programmed("VNI Membership Change", m.switchId, m.vni, error);
            if (v == nullptr)
                return false;
            v->confirmed = true;
            break;
        }
        case kMsgLinkChange: {
            LinkChange m;
            ok = ParseLinkChange(msg, &m);
            if (!ok)
                break;
            if (m.vnis.empty()) {
                *error = "Link Change without a VNI";
                return false;
            }
            for (const LinkVni& l : m.vnis) {
                if (Programmed("Link Change", m.switchId, l.vni, error) == nullptr)
                    return false;
            }
            for (const LinkVni& l : m.vnis) {
                Vni& v = vnis[l.vni];
                v.link = l;
                v.linkFlag = m.flag;
            }
            break;
        }
        case kMsgVtepGroup:
            if (!ApplyVtepGroup(msg, error))
                return false;
            ok = true;
            break;
        case kMsgLsVtepGroupBinding: {
            LsVtepGroupBinding m;
            ok = ParseLsVtepGroupBinding(msg, &m) && msg.length == kLsVtepGroupBindingSize;
            if (!ok)
                break;
            Vni* v = Programmed("LS VTEP group binding", m.switchId, m.vni, error);
            if (v == nullptr)
                return false;
            if (m.op == kOpAdd && vtepGroups.count(m.label) == 0) {
                *error = "LS VTEP group binding to unknown group " + std::to_string(m.label);
                return false;
            }
            if (m.op == kOpAdd)
                v->vtepGroups.insert(m.label);
            else if (v->vtepGroups.erase(m.label) == 0)
                ++spuriousRemovals;
            break;
        }
        case kMsgRdVtepGroupBinding: {
            RdVtepGroupBinding m;
            ok = ParseRdVtepGroupBinding(msg, &m) && msg.length == kRdVtepGroupBindingSize;
            if (!ok)
                break;
            auto d = remoteDomains.find(UuidText(m.routingDomain));
            if (d == remoteDomains.end()) {
                *error = "RD VTEP group binding for routing domain " + UuidText(m.routingDomain) +
                         ", which was never joined";
                return false;
            }
            if (m.op == kOpAdd && vtepGroups.count(m.label) == 0) {
                *error = "RD VTEP group binding to unknown group " + std::to_string(m.label);
                return false;
            }
            if (m.op == kOpAdd)
                d->second.vtepGroups.insert(m.label);
            else if (d->second.vtepGroups.erase(m.label) == 0)
                ++spuriousRemovals;
            break;
        }
        case kMsgRdMembership:
            if (!ApplyRdState(msg, error))
                return false;
            ok = true;
            break;
        case kMsgGlobalReplication: {
            GlobalReplication m;
            ok = ParseGlobalReplication(msg, &m) && msg.length == kGlobalReplicationSize;
            if (!ok)
                break;
            if (instances.count(m.switchId) == 0) {
                *error = "Global replication change for switch " + std::to_string(m.switchId) +
                         ", which is not an instance of this host";
                return false;
            }
            globalReplication[m.switchId] = m.mode;
            break;
        }
        case kMsgControllerIp: {
            ControllerIp m;
            ok = ParseControllerIp(msg, &m) && msg.length == kControllerIpSize;
            if (!ok)
                break;
            if (m.addrType > kAddrBoth) {
                *error = "Controller IP Update with address type " + std::to_string(m.addrType);
                return false;
            }
            Vni* v = Programmed("Controller IP Update", m.switchId, m.vni, error);
            if (v == nullptr)
                return false;
            v->controller = m;
            break;
        }
        case kMsgStateQuery: {
            StateReport q;
            ok = ParseStateReport(msg, &q) == TlvResult::kOk &&
                 q.dataType == kStateOutOfSyncDataType && q.valueSize == 0;
            *stateQuery = ok;
            break;
        }
        default:
            *error = TypeText(msg.type) + " is not sent by the agent";
            return false;
    }
    if (!ok) {
        *error =
            TypeText(msg.type) + ": " + std::to_string(msg.length) + " bytes do not fit its layout";
        return false;
    }
    ++applied[MsgTypeName(msg.type)];
    return true;
}

bool VxlanTables::ApplyConfigure(const MsgView& msg, std::string* error) {
    Settings s = settings.value_or(Settings{});
    bool sawSettings = false;
    std::string bad;
    size_t failedAt = 0;
    bool fits = WalkTlvs(
        msg,
        [&](const DpTlv& t) {
            size_t want = ConfigureValueSizeOf(t.type);
            if (!bad.empty())
                return;
            if (want == 0 || t.valueSize != want) {
                bad = "Configure: item " + std::to_string(t.type) + " (" +
                      ConfigureItemName(t.type) + ") with a value of " +
                      std::to_string(t.valueSize) + " bytes";
                return;
            }
            if (t.type == kCfgBfd || t.type == kCfgEvpnGlobalBfd) {
                BfdConfigItem c;
                EvpnBfdItem e;
                if (t.type == kCfgBfd ? !ParseBfdConfigItem(t, &c) : !ParseEvpnBfdItem(t, &e)) {
                    bad = std::string("Configure: ") + ConfigureItemName(t.type) +
                          " item with non-zero reserved bytes, flags or padding";
                }
                return;
            }
            if (want != kCfgSettingValueSize) {
                SwitchItem item;
                ParseSwitchItem(t, &item);
                if (Programmed(ConfigureItemName(t.type), item.switchId, item.vni, &bad) ==
                    nullptr) {
                    bad = "Configure: " + bad;
                }
                return;
            }
            sawSettings = true;
            uint16_t v = LoadBe16(t.value);
            switch (t.type) {
                case kCfgMaxMsgLength:
                    s.maxMsgLength = v;
                    break;
                case kCfgFreqCtrlPeriod:
                    s.freqCtrlPeriod = v;
                    break;
                case kCfgFreqCtrlQueryLimit:
                    s.freqCtrlQueryLimit = v;
                    break;
                case kCfgFreqCtrlUpdateLimit:
                    s.freqCtrlUpdateLimit = v;
                    break;
                case kCfgBteAgeingTime:
                    s.bteAgeingTime = v;
                    break;
                case kCfgArpAgeingTime:
                    s.arpAgeingTime = v;
                    break;
            }
        },
        &failedAt);
    if (!fits) {
        *error = "Configure: item at offset " + std::to_string(failedAt) + " does not fit";
        return false;
    }
    if (!bad.empty()) {
        *error = bad;
        return false;
    }
    if (sawSettings && s.maxMsgLength < kMinMaxMsgLength) {
        *error = "Configure: maximum message length " + std::to_string(s.maxMsgLength) +
                 " is below " + std::to_string(kMinMaxMsgLength);
        return false;
    }
    if (sawSettings)
        settings = s;
    WalkTlvs(msg, [&](const DpTlv& t) {
        if (!ApplyBfdItem(t))
            ApplySwitchItem(t, nullptr);
    });
    ++applied["Configure"];
    return true;
}

bool VxlanTables::ApplyBfdItem(const DpTlv& t) {
    BfdConfigItem c;
    EvpnBfdItem e;
    if (ParseBfdConfigItem(t, &c)) {
        BfdSettings& b = bfdConfig[c.dvsUuid];
        if (c.flags & kBfdCfgHasEnable)
            b.enable = c.enable;
        if (c.flags & kBfdCfgHasInterval)
            b.healthInterval = c.healthInterval;
        if (c.flags & kBfdCfgHasLatency)
            b.latencyEnable = c.latencyEnable;
        return true;
    }
    if (ParseEvpnBfdItem(t, &e)) {
        BfdSettings& b = evpnBfd ? *evpnBfd : evpnBfd.emplace();
        if (e.flags & kEvpnBfdHasEnable)
            b.enable = e.enable;
        if (e.flags & kEvpnBfdHasInterval)
            b.healthInterval = e.healthInterval;
        if (e.flags & kEvpnBfdHasMultiplier)
            b.multiplier = e.multiplier;
        return true;
    }
    return false;
}

bool VxlanTables::CheckBfdSession(const DpTlv& t, BfdSession* out, std::string* error) {
    if (!ParseBfdSession(t, out)) {
        *error = "Update: BFD Session Update of " + std::to_string(t.valueSize) +
                 " bytes does not fit its layout (operation, family or address padding)";
        return false;
    }
    if (Programmed(DataTypeName(t.type), out->switchId, out->vni, error) == nullptr) {
        *error = "Update: " + *error;
        return false;
    }
    if (out->op == kBfdSessionRemove && bfdSessions.count(BfdKey{out->switchId, out->entry}) == 0) {
        *error = "Update: removal of BFD session " +
                 (out->family == kBfdFamilyIpv4 ? Ipv4Text(LoadBe32(out->local.data()))
                                                : Ipv6Text(out->local.data())) +
                 " on VNI " + std::to_string(out->vni) + ", which is not programmed";
        return false;
    }
    return true;
}

void VxlanTables::ApplyBfdSession(const BfdSession& s) {
    const BfdKey key{s.switchId, s.entry};
    if (s.op == kBfdSessionRemove) {
        bfdSessions.erase(key);
    } else if (!bfdSessions.emplace(key, s).second) {
        ++bfdDupAdds;
    }
}

void VxlanTables::DropBfdSessions(uint32_t vni) {
    for (auto it = bfdSessions.begin(); it != bfdSessions.end();)
        it = it->second.vni == vni ? bfdSessions.erase(it) : std::next(it);
}

bool VxlanTables::ApplySwitchItem(const DpTlv& t, std::string* error) {
    SwitchItem item;
    if (!ParseSwitchItem(t, &item))
        return false;
    Vni* v = Programmed(ConfigureItemName(t.type), item.switchId, item.vni, error);
    if (v == nullptr)
        return false;
    switch (t.type) {
        case kCfgMulticastProxy:
            v->multicastProxy = static_cast<uint8_t>(item.value);
            break;
        case kCfgArpProxy:
            v->arpProxy = static_cast<uint8_t>(item.value);
            break;
        case kCfgRoutingDomainId:
            v->routingDomain = item.routingDomain;
            break;
        case kCfgMacLimit:
            v->macLimit = item.value;
            break;
    }
    return true;
}

VxlanTables::Vni* VxlanTables::Programmed(const char* what, uint32_t switchId, uint32_t vni,
                                          std::string* error) {
    auto it = vnis.find(vni);
    if (it == vnis.end() || !it->second.joined) {
        if (error != nullptr)
            *error =
                std::string(what) + " for VNI " + std::to_string(vni) + ", which is not joined";
        return nullptr;
    }
    if (it->second.switchId != switchId) {
        if (error != nullptr) {
            *error = std::string(what) + " for VNI " + std::to_string(vni) + " under switch " +
                     std::to_string(switchId) + "; it is joined on switch " +
                     std::to_string(it->second.switchId);
        }
        return nullptr;
    }
    return &it->second;
}

bool VxlanTables::TakeQueryReply(uint16_t dataType, const ListUpdate& l) {
    if (!lastQueryReply || lastQueryReply->dataType != dataType || lastQueryReply->vni != l.vni ||
        l.removed.count != 0) {
        return false;
    }
    for (size_t i = 0; i < l.added.count; ++i) {
        std::array<std::string, 3> e;
        if (dataType == kDtVmMac) {
            VmMacEntry m = ReadVmMacEntry(l.added[i]);
            e = {kcp::MacText(m.vmMac.data()), kcp::MacText(m.vmMac.data()),
                 VtepAddressText(m.addrType, m.vtepIpv4, m.vtepIpv6)};
        } else if (dataType == kDtArpv4) {
            ArpEntry a = ReadArpEntry(l.added[i]);
            e = {Ipv4Text(a.vmIpv4), kcp::MacText(a.vmMac.data()),
                 VtepAddressText(a.addrType, a.vtepIpv4, a.vtepIpv6)};
        } else {
            NdEntry n = ReadNdEntry(l.added[i]);
            e = {Ipv6Text(n.vmIpv6.data()), kcp::MacText(n.vmMac.data()),
                 VtepAddressText(n.addrType, n.vtepIpv4, n.vtepIpv6)};
        }
        lastQueryReply->entries.push_back(std::move(e));
    }
    return true;
}

void VxlanTables::QuerySent(uint32_t vni, uint16_t dataType) {
    lastQueryReply = QueryReply{dataType, vni, 0, {}};
}

bool VxlanTables::KnownSwitch(uint32_t switchId) const {
    if (instances.count(switchId) != 0)
        return true;
    for (const auto& [vni, v] : vnis) {
        if (v.joined && v.switchId == switchId)
            return true;
    }
    return false;
}

bool VxlanTables::ApplyRdState(const MsgView& msg, std::string* error) {
    RdState m;
    if (!ParseRdState(msg, &m)) {
        *error = "Routing domain membership change: " + std::to_string(msg.length) +
                 " bytes do not fit its layout";
        return false;
    }
    const std::string rd = UuidText(m.head.routingDomain);
    if (m.head.op != kOpJoin) {
        if (msg.length != kRdMembershipSize) {
            *error = "Routing domain membership change: a leave with VTEP entries";
            return false;
        }
        if (remoteDomains.erase(rd) == 0)
            ++spuriousRemovals;
        return true;
    }
    if (!KnownSwitch(m.head.switchId)) {
        *error = "Routing domain membership change of " + rd + " for unknown switch " +
                 std::to_string(m.head.switchId);
        return false;
    }
    RemoteDomain& d = remoteDomains[rd];
    d.switchId = m.head.switchId;
    d.global = m.head.global != 0;
    for (size_t i = 0; i < m.removed.count; ++i) {
        VtepEntry e = ReadVtepEntry(m.removed[i]);
        spuriousRemovals += d.vteps.erase(VtepAddressText(e.addrType, e.ipv4, e.ipv6)) == 0 ? 1 : 0;
    }
    for (size_t i = 0; i < m.added.count; ++i) {
        VtepEntry e = ReadVtepEntry(m.added[i]);
        d.vteps[VtepAddressText(e.addrType, e.ipv4, e.ipv6)] = e;
    }
    return true;
}

bool VxlanTables::ApplyVtepGroup(const MsgView& msg, std::string* error) {
    VtepGroup m;
    if (!ParseVtepGroup(msg, &m)) {
        *error = "VTEP group: " + std::to_string(msg.length) + " bytes do not fit its layout";
        return false;
    }
    if (m.op == kOpDelete) {
        if (vtepGroups.erase(m.label) == 0)
            ++spuriousRemovals;
        // The bindings of a deleted group go with it.
        for (auto& [vni, v] : vnis)
            v.vtepGroups.erase(m.label);
        for (auto& [rd, d] : remoteDomains)
            d.vtepGroups.erase(m.label);
        return true;
    }
    if (m.op != kOpAdd ||
        (m.groupType != kGroupTypeLogicalSwitch && m.groupType != kGroupTypeRoutingDomain)) {
        *error = "VTEP group " + std::to_string(m.label) + " with op " + std::to_string(m.op) +
                 " and type " + std::to_string(m.groupType);
        return false;
    }
    for (const VtepGroupMember& g : m.members) {
        if (g.addrType != kAddrIpv4 && g.addrType != kAddrIpv6) {
            *error = "VTEP group " + std::to_string(m.label) + ": member " +
                     std::to_string(g.label) + " with address type " + std::to_string(g.addrType);
            return false;
        }
    }
    vtepGroups[m.label] = std::move(m);
    return true;
}

void VxlanTables::ClearRemote() {
    globalReplication.clear();
    bfdSessions.clear();
    bfdConfig.clear();
    evpnBfd.reset();
    lastQueryReply.reset();
    routingDomains.clear();
    remoteDomains.clear();
    vtepGroups.clear();
    for (auto& [vni, v] : vnis) {
        Vni fresh;
        fresh.switchId = v.switchId;
        fresh.joined = v.joined;
        fresh.localVteps = std::move(v.localVteps);
        fresh.localMacs = std::move(v.localMacs);
        v = std::move(fresh);
    }
}

bool VxlanTables::ApplyList(uint16_t dataType, const ListUpdate& l, std::string* error) {
    Vni* v = Programmed(DataTypeName(dataType), l.switchId, l.vni, error);
    if (v == nullptr)
        return false;
    auto count = [&](size_t erased) { spuriousRemovals += erased == 0 ? 1 : 0; };
    switch (dataType) {
        case kDtVtepMembership:
            for (size_t i = 0; i < l.removed.count; ++i) {
                VtepEntry e = ReadVtepEntry(l.removed[i]);
                count(v->remoteVteps.erase(VtepAddressText(e.addrType, e.ipv4, e.ipv6)));
            }
            for (size_t i = 0; i < l.added.count; ++i) {
                VtepEntry e = ReadVtepEntry(l.added[i]);
                v->remoteVteps[VtepAddressText(e.addrType, e.ipv4, e.ipv6)] = e;
            }
            break;
        case kDtVmMac:
            for (size_t i = 0; i < l.removed.count; ++i)
                count(v->remoteMacs.erase(MacKey(ReadVmMacEntry(l.removed[i]).vmMac)));
            for (size_t i = 0; i < l.added.count; ++i) {
                VmMacEntry e = ReadVmMacEntry(l.added[i]);
                v->remoteMacs[MacKey(e.vmMac)] = e;
            }
            break;
        case kDtVmIpv4:
        case kDtVmIpv6: {
            auto text = [&](const VmIpEntry& e) {
                return dataType == kDtVmIpv4 ? Ipv4Text(e.ipv4) : Ipv6Text(e.ipv6.data());
            };
            for (size_t i = 0; i < l.removed.count; ++i)
                count(v->remoteIps.erase(text(ReadVmIpEntry(dataType, l.removed[i]))));
            for (size_t i = 0; i < l.added.count; ++i) {
                VmIpEntry e = ReadVmIpEntry(dataType, l.added[i]);
                v->remoteIps[text(e)] = MacKey(e.mac);
            }
            break;
        }
        default:
            break;  // ARP and ND entries answer queries; nothing is kept
    }
    return true;
}

bool VxlanTables::ApplyUpdate(const MsgView& msg, std::string* error) {
    std::string bad;
    size_t failedAt = 0;
    size_t tlvs = 0;
    std::vector<std::pair<uint16_t, ListUpdate>> lists;
    std::vector<std::pair<uint32_t, std::vector<std::string>>> rdLists;
    std::vector<BfdSession> bfd;
    bool fits = WalkTlvs(
        msg,
        [&](const DpTlv& t) {
            ++tlvs;
            if (!bad.empty())
                return;
            ListUpdate l;
            uint32_t sw = 0;
            uint8_t status = 0;
            EntryList list;
            switch (ParseListUpdate(t, &l)) {
                case ListResult::kOk:
                    if ((t.type == kDtArpv4 || t.type == kDtNdv6) &&
                        !(lastQueryReply && lastQueryReply->dataType == t.type &&
                          lastQueryReply->vni == l.vni)) {
                        bad = std::string("Update: ") + DataTypeName(t.type) + " for VNI " +
                              std::to_string(l.vni) + " without a query";
                    } else if (t.type == kDtRdVtepMembership) {
                        bad = "Update: data type 9 is reported by the dataplane, not programmed";
                    } else if (Programmed(DataTypeName(t.type), l.switchId, l.vni, &bad) ==
                               nullptr) {
                        bad = "Update: " + bad;
                    } else {
                        lists.emplace_back(t.type, l);
                    }
                    return;
                case ListResult::kTooShort:
                case ListResult::kBadLength:
                    bad = std::string("Update: ") + DataTypeName(t.type) + " of " +
                          std::to_string(t.valueSize) + " bytes: counts do not match its entries";
                    return;
                case ListResult::kNotAList:
                    break;
            }
            if (t.type == kDtBfdSession) {
                BfdSession b;
                if (CheckBfdSession(t, &b, &bad))
                    bfd.push_back(b);
                return;
            }
            if (t.type == kDtRdList && ParseRdList(t, &sw, &list)) {
                if (!KnownSwitch(sw)) {
                    bad = "Update: routing domain list for unknown switch " + std::to_string(sw);
                    return;
                }
                std::vector<std::string> rds;
                for (size_t i = 0; i < list.count; ++i)
                    rds.push_back(UuidText(ReadUuid(list[i])));
                rdLists.emplace_back(sw, std::move(rds));
                return;
            }
            if (t.type == kDtVif && ParseVifUpdate(t, &status, &list))
                return;
            bad = "Update: unsupported data type " + std::to_string(t.type) + ", len " +
                  std::to_string(t.length);
        },
        &failedAt);
    if (!fits) {
        *error = "Update: TLV at offset " + std::to_string(failedAt) + " does not fit";
        return false;
    }
    if (tlvs == 0) {
        *error = "Update without a TLV";
        return false;
    }
    if (!bad.empty()) {
        *error = bad;
        return false;
    }
    bool reply = false;
    bool vteps = false;
    for (const auto& [dataType, l] : lists) {
        reply = TakeQueryReply(dataType, l) || reply;
        ApplyList(dataType, l, nullptr);  // a MAC reply also lands in the remote MACs
        vteps = vteps || (dataType == kDtVtepMembership && l.added.count + l.removed.count != 0);
    }
    if (reply && lastQueryReply)
        ++lastQueryReply->messages;
    for (const BfdSession& b : bfd)
        ApplyBfdSession(b);
    if (vteps || !bfd.empty()) {
        const double now = SteadyMs();
        remoteVtepsChangedMs = vteps ? now : remoteVtepsChangedMs;
        bfdSessionsChangedMs = bfd.empty() ? bfdSessionsChangedMs : now;
    }
    for (auto& [sw, rds] : rdLists) {
        if (rds.empty())
            routingDomains.erase(sw);
        else
            routingDomains[sw] = std::move(rds);
    }
    ++applied["Update"];
    return true;
}

std::vector<DpMsg> VxlanTables::FullSyncMessages(size_t maxMsgLength) const {
    std::vector<DpMsg> out;
    for (uint32_t id : instances)
        out.push_back(BuildInstanceChange(id, kOpInsert));
    for (const auto& [vni, v] : vnis) {
        if (v.joined)
            out.push_back(BuildVniMembership(v.switchId, vni, kOpJoin));
    }
    for (const auto& [vni, v] : vnis) {
        if (!v.joined)
            continue;
        if (!v.localVteps.empty()) {
            EntryBuffer added(kVtepEntrySize);
            AppendVteps(added, v.localVteps);
            for (DpMsg& m : BuildListUpdates(kDtVtepMembership, v.switchId, vni,
                                             EntryBuffer(kVtepEntrySize), added, maxMsgLength)) {
                out.push_back(std::move(m));
            }
        }
        if (!v.localMacs.empty()) {
            EntryBuffer added(kVmMacEntrySize);
            added.Reserve(v.localMacs.size());
            for (const auto& [key, e] : v.localMacs)
                WriteVmMacEntry(e, added.Append());
            for (DpMsg& m : BuildListUpdates(kDtVmMac, v.switchId, vni,
                                             EntryBuffer(kVmMacEntrySize), added, maxMsgLength)) {
                out.push_back(std::move(m));
            }
        }
    }
    for (const auto& [sw, vteps] : rdVteps)
        out.push_back(BuildRdVtepUpdate(sw, vteps));
    return out;
}

nlohmann::json VxlanTables::ToJson() const {
    nlohmann::json out;
    out["instances"] = instances;
    nlohmann::json vniJson = nlohmann::json::object();
    for (const auto& [vni, v] : vnis) {
        nlohmann::json vteps = nlohmann::json::array();
        for (const auto& [ip, e] : v.localVteps)
            vteps.push_back(VtepJson(e));
        nlohmann::json macs = nlohmann::json::array();
        for (const auto& [key, e] : v.localMacs) {
            macs.push_back({{"mac", kcp::MacText(e.vmMac.data())},
                            {"vtep", VtepAddressText(e.addrType, e.vtepIpv4, e.vtepIpv6)}});
        }
        nlohmann::json entry = {{"switch_id", v.switchId},
                                {"joined", v.joined},
                                {"local_vteps", vteps},
                                {"local_macs", macs}};
        AddRemoteJson(v, entry);
        vniJson[std::to_string(vni)] = std::move(entry);
    }
    out["vnis"] = vniJson;
    nlohmann::json rd = nlohmann::json::object();
    for (const auto& [sw, vteps] : rdVteps) {
        nlohmann::json list = nlohmann::json::array();
        for (const VtepEntry& e : vteps)
            list.push_back(VtepAddressText(e.addrType, e.ipv4, e.ipv6));
        rd[std::to_string(sw)] = list;
    }
    out["rd_vteps"] = rd;
    if (settings) {
        out["settings"] = {{"max_msg_length", settings->maxMsgLength},
                           {"freq_ctrl_period", settings->freqCtrlPeriod},
                           {"freq_ctrl_query_limit", settings->freqCtrlQueryLimit},
                           {"freq_ctrl_update_limit", settings->freqCtrlUpdateLimit},
                           {"bte_ageing_time", settings->bteAgeingTime},
                           {"arp_ageing_time", settings->arpAgeingTime}};
    } else {
        out["settings"] = nullptr;
    }
    nlohmann::json lists = nlohmann::json::object();
    for (const auto& [sw, rds] : routingDomains)
        lists[std::to_string(sw)] = rds;
    out["routing_domains"] = std::move(lists);
    nlohmann::json domains = nlohmann::json::object();
    for (const auto& [rd, d] : remoteDomains) {
        nlohmann::json vteps = nlohmann::json::array();
        for (const auto& [ip, e] : d.vteps)
            vteps.push_back(VtepJson(e));
        domains[rd] = {{"switch_id", d.switchId},
                       {"global", d.global},
                       {"remote_vteps", std::move(vteps)},
                       {"vtep_groups", d.vtepGroups}};
    }
    out["remote_routing_domains"] = std::move(domains);
    nlohmann::json groups = nlohmann::json::object();
    for (const auto& [label, g] : vtepGroups) {
        nlohmann::json members = nlohmann::json::array();
        for (const VtepGroupMember& m : g.members) {
            members.push_back(
                {{"label", m.label}, {"ip", VtepAddressText(m.addrType, m.ipv4, m.ipv6)}});
        }
        groups[std::to_string(label)] = {
            {"type", g.groupType}, {"protocol", g.protocol}, {"members", std::move(members)}};
    }
    out["vtep_groups"] = std::move(groups);
    nlohmann::json replication = nlohmann::json::object();
    for (const auto& [sw, mode] : globalReplication)
        replication[std::to_string(sw)] = mode;
    out["global_replication"] = std::move(replication);
    nlohmann::json sessions = nlohmann::json::array();
    for (const auto& [key, b] : bfdSessions) {
        const bool v4 = b.family == kBfdFamilyIpv4;
        const bool hasRd = b.routingDomain != UuidBytes{};
        sessions.push_back(
            {{"switch_id", b.switchId},
             {"local_ip", v4 ? Ipv4Text(LoadBe32(b.local.data())) : Ipv6Text(b.local.data())},
             {"remote_ip", v4 ? Ipv4Text(LoadBe32(b.remote.data())) : Ipv6Text(b.remote.data())},
             {"family", v4 ? "ipv4" : "ipv6"},
             {"vni", b.vni},
             {"routing_domain",
              hasRd ? nlohmann::json(UuidText(b.routingDomain)) : nlohmann::json(nullptr)},
             {"group_label", b.groupLabel}});
    }
    out["bfd_sessions"] = std::move(sessions);
    auto settingsJson = [](const BfdSettings& b, bool evpn) {
        nlohmann::json j = {{"enable", Opt(b.enable)},
                            {"vtep_health_interval", Opt(b.healthInterval)}};
        if (evpn)
            j["multiplier"] = Opt(b.multiplier);
        else
            j["latency_enable"] = Opt(b.latencyEnable);
        return j;
    };
    nlohmann::json bfdConfigs = nlohmann::json::object();
    for (const auto& [dvs, b] : bfdConfig)
        bfdConfigs[dvs] = settingsJson(b, false);
    out["bfd_config"] = std::move(bfdConfigs);
    out["evpn_bfd"] = evpnBfd ? settingsJson(*evpnBfd, true) : nlohmann::json(nullptr);
    if (lastQueryReply) {
        nlohmann::json entries = nlohmann::json::array();
        for (const auto& e : lastQueryReply->entries)
            entries.push_back({{"address", e[0]}, {"mac", e[1]}, {"vtep", e[2]}});
        out["last_query_reply"] = {{"data_type", lastQueryReply->dataType},
                                   {"vni", lastQueryReply->vni},
                                   {"messages", lastQueryReply->messages},
                                   {"entries", std::move(entries)}};
    } else {
        out["last_query_reply"] = nullptr;
    }
    out["applied"] = applied;
    return out;
}

nlohmann::json VxlanTables::Summary() const {
    size_t vteps = 0;
    size_t macs = 0;
    size_t joined = 0;
    size_t remoteVteps = 0;
    size_t remoteMacs = 0;
    size_t remoteIps = 0;
    nlohmann::json joinedVnis = nlohmann::json::array();
    for (const auto& [vni, v] : vnis) {
        joined += v.joined;
        if (v.joined)
            joinedVnis.push_back(vni);
        vteps += v.localVteps.size();
        macs += v.localMacs.size();
        remoteVteps += v.remoteVteps.size();
        remoteMacs += v.remoteMacs.size();
        remoteIps += v.remoteIps.size();
    }
    return {{"instances", instances.size()},
            {"vnis", joined},
            {"joined_vnis", joinedVnis},
            {"local_vteps", vteps},
            {"local_macs", macs},
            {"remote_vteps", remoteVteps},
            {"remote_macs", remoteMacs},
            {"remote_ips", remoteIps},
            {"bfd_sessions", bfdSessions.size()},
            {"changed_ms",
             {{"remote_vteps", remoteVtepsChangedMs}, {"bfd_sessions", bfdSessionsChangedMs}}}};
}

}  // namespace ozy::dpemu

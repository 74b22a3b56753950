#include "tools/ozy-dpemu/VxlanTables.h"

#include <arpa/inet.h>

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

void AppendVteps(EntryBuffer& out, const std::map<std::string, VtepEntry>& vteps) {
    for (const auto& [ip, e] : vteps)
        WriteVtepEntry(e, out.Append());
}

}  // namespace

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
            break;
        }
        case kMsgLinkChange: {
            LinkChange m;
            ok = ParseLinkChange(msg, &m);
            break;
        }
        case kMsgVtepGroup: {
            VtepGroup m;
            ok = ParseVtepGroup(msg, &m);
            break;
        }
        case kMsgLsVtepGroupBinding: {
            LsVtepGroupBinding m;
            ok = ParseLsVtepGroupBinding(msg, &m) && msg.length == kLsVtepGroupBindingSize;
            break;
        }
        case kMsgRdVtepGroupBinding: {
            RdVtepGroupBinding m;
            ok = ParseRdVtepGroupBinding(msg, &m) && msg.length == kRdVtepGroupBindingSize;
            break;
        }
        case kMsgRdMembership: {
            RdMembership m;
            ok = ParseRdMembership(msg, &m) && msg.length == kRdMembershipSize;
            break;
        }
        case kMsgGlobalReplication: {
            GlobalReplication m;
            ok = ParseGlobalReplication(msg, &m) && msg.length == kGlobalReplicationSize;
            break;
        }
        case kMsgControllerIp: {
            ControllerIp m;
            ok = ParseControllerIp(msg, &m) && msg.length == kControllerIpSize;
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
            if (want != kCfgSettingValueSize)
                return;  // per-switch items: checked here, kept by the remote-state tables
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
    ++applied["Configure"];
    return true;
}

bool VxlanTables::ApplyUpdate(const MsgView& msg, std::string* error) {
    std::string bad;
    size_t failedAt = 0;
    size_t tlvs = 0;
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
                    if (t.type == kDtRdVtepMembership)
                        bad = "Update: data type 9 is reported by the dataplane, not programmed";
                    return;
                case ListResult::kTooShort:
                case ListResult::kBadLength:
                    bad = std::string("Update: ") + DataTypeName(t.type) + " of " +
                          std::to_string(t.valueSize) + " bytes: counts do not match its entries";
                    return;
                case ListResult::kNotAList:
                    break;
            }
            if (t.type == kDtRdList && ParseRdList(t, &sw, &list))
                return;
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
        vniJson[std::to_string(vni)] = {{"switch_id", v.switchId},
                                        {"joined", v.joined},
                                        {"local_vteps", vteps},
                                        {"local_macs", macs}};
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
    out["applied"] = applied;
    return out;
}

nlohmann::json VxlanTables::Summary() const {
    size_t vteps = 0;
    size_t macs = 0;
    size_t joined = 0;
    for (const auto& [vni, v] : vnis) {
        joined += v.joined;
        vteps += v.localVteps.size();
        macs += v.localMacs.size();
    }
    return {{"instances", instances.size()},
            {"vnis", joined},
            {"local_vteps", vteps},
            {"local_macs", macs}};
}

}  // namespace ozy::dpemu

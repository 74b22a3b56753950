#include "tools/ozy-dpemu/VxlanFamily.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iterator>

#include <nlohmann/json.hpp>

#include "dataplane/VxlanDump.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/KcpFamily.h"
#include "tools/ozy-dpemu/RecordingFamily.h"

namespace ozy::dpemu {

using namespace CfgAgent;
using namespace CfgAgent::vxlan;

namespace {

bool ParseU32(const std::string& text, uint32_t* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > 0xffffffffull)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool ParseEncap(const std::string& text, uint8_t* out) {
    if (text == "vxlan") {
        *out = kEncapVxlan;
    } else if (text == "geneve") {
        *out = kEncapGeneve;
    } else if (text == "stt") {
        *out = kEncapStt;
    } else {
        uint32_t v = 0;
        if (!ParseU32(text, &v) || v > 255)
            return false;
        *out = static_cast<uint8_t>(v);
    }
    return true;
}

const char* StateName(int state) {
    switch (state) {
        case 1:
            return "open";
        case 2:
            return "synced";
        default:
            return "idle";
    }
}

}  // namespace

void VxlanFamily::Error(uint64_t conn, const std::string& text) {
    ++malformed_;
    CFG_ERROR("ozy-dpemu: vxlan: connection %1: %2", conn, text);
    errors_.push_back(text);
    if (errors_.size() > kKeptErrors)
        errors_.pop_front();
}

void VxlanFamily::OnConnect(uint64_t conn) {
    CFG_INFO("ozy-dpemu: vxlan: agent connected (connection %1)", conn);
}

void VxlanFamily::OnDisconnect(uint64_t conn) {
    if (conn == sessionConn_) {
        sessionConn_ = 0;
        sessionState_ = SessionState::kIdle;
        fullSyncHeld_ = false;
    }
    CFG_INFO("ozy-dpemu: vxlan: agent disconnected (connection %1)", conn);
}

bool VxlanFamily::SendTo(uint64_t conn, const DpMsg& msg) {
    if (msg.empty() || channel_ == nullptr)
        return false;
    if (Logger::enabled(kLogDebug)) {
        CFG_DEBUG("ozy-dpemu: vxlan: sending to connection %1: %2", conn,
                  DumpVxlanMessage(msg.data(), msg.size()));
    }
    ++sent_;
    return channel_->Send(conn, msg);
}

bool VxlanFamily::SendInSession(const std::vector<DpMsg>& msgs) {
    if (!InSession())
        return false;
    for (const DpMsg& m : msgs) {
        if (!SendTo(sessionConn_, m))
            return false;
    }
    return true;
}

void VxlanFamily::OnMessage(uint64_t conn, const uint8_t* msg, size_t size) {
    ++messages_;
    MsgView view;
    if (!ViewMessage(msg, size, &view)) {
        Error(conn, "message with an invalid length field");
        return;
    }
    ++byType_[MsgTypeName(view.type)];
    if (Logger::enabled(kLogDebug)) {
        CFG_DEBUG("ozy-dpemu: vxlan: received from connection %1: %2", conn,
                  DumpVxlanMessage(msg, size));
    }
    if (view.length > tables_.AgentMaxMsgLength()) {
        Error(conn, std::string(MsgTypeName(view.type)) + " of " + std::to_string(view.length) +
                        " bytes exceeds the agent's maximum of " +
                        std::to_string(tables_.AgentMaxMsgLength()));
        return;
    }
    if (view.type == kMsgSessionControl) {
        HandleSessionControl(conn, view);
        return;
    }
    std::string error;
    bool stateQuery = false;
    if (!tables_.Apply(view, &error, &stateQuery)) {
        Error(conn, error);
        return;
    }
    if (stateQuery)
        SendTo(conn, BuildStateReport(0));
}

void VxlanFamily::HandleSessionControl(uint64_t conn, const MsgView& msg) {
    SessionControl sc;
    if (ParseSessionControl(msg, &sc) != TlvResult::kOk || sc.dataType != kSessionControlDataType ||
        sc.valueSize != kSessionControlValueSize || msg.length != kSessionControlSize) {
        Error(conn,
              "L2 Mapping Session control: malformed (" + std::to_string(msg.length) + " bytes)");
        return;
    }
    if (sc.controlType != kSessionOpen) {
        Error(conn, std::string("L2 Mapping Session control: unexpected control type ") +
                        ControlTypeName(sc.controlType) + " from the agent");
        return;
    }
    CFG_INFO("ozy-dpemu: vxlan: Session Open %1 from connection %2", sc.sessionId, conn);
    sessionConn_ = conn;
    sessionId_ = sc.sessionId;
    sessionState_ = SessionState::kOpen;
    fullSyncHeld_ = false;
    ++sessionsOpened_;
    sessionOpenedMs_ = SteadyMs();
    // What the agent programmed belonged to the old session: it pushes it again after the joins.
    tables_.ClearRemote();
    std::vector<DpMsg> msgs;
    msgs.push_back(BuildSessionControl(kSessionOpenAck, sc.sessionId));
    for (DpMsg& m : tables_.FullSyncMessages(tables_.AgentMaxMsgLength()))
        msgs.push_back(std::move(m));
    if (!SendInSession(msgs))
        return;
    if (holdFullSync_) {
        fullSyncHeld_ = true;
        CFG_INFO("ozy-dpemu: vxlan: session %1: Full Sync End held", sc.sessionId);
        return;
    }
    if (SendTo(conn, BuildSessionControl(kSessionFullSyncEnd, sc.sessionId)))
        sessionState_ = SessionState::kSynced;
    CFG_INFO("ozy-dpemu: vxlan: session %1 synced", sc.sessionId);
}

CommandResult VxlanFamily::Reported(const std::string& what, const std::vector<DpMsg>& msgs) {
    for (const DpMsg& m : msgs) {
        if (m.empty())
            return CommandResult::Error(what + "; the message could not be built");
    }
    if (!InSession())
        return CommandResult::Ok(what + "; reported at the next full sync");
    reportSentMs_ = SteadyMs();
    if (!SendInSession(msgs))
        return CommandResult::Error(what + "; the message could not be sent");
    return CommandResult::Ok(what + "; sent in session " + std::to_string(sessionId_));
}

VxlanTables::Vni* VxlanFamily::JoinedVni(const std::string& text, uint32_t* vni,
                                         std::string* error) {
    if (!ParseU32(text, vni)) {
        *error = "invalid VNI \"" + text + "\"";
        return nullptr;
    }
    auto it = tables_.vnis.find(*vni);
    if (it == tables_.vnis.end() || !it->second.joined) {
        *error = "VNI " + text + " is not joined";
        return nullptr;
    }
    return &it->second;
}

CommandResult VxlanFamily::Instance(const std::vector<std::string>& a) {
    uint32_t id = 0;
    if ((a[0] != "add" && a[0] != "del") || !ParseU32(a[1], &id))
        return CommandResult::Error("usage: dpemu/vxlan-instance add|del ID");
    bool add = a[0] == "add";
    if (add ? !tables_.instances.insert(id).second : tables_.instances.erase(id) == 0)
        return CommandResult::Error("instance " + a[1] + (add ? " exists" : " does not exist"));
    return Reported(std::string("instance ") + a[1] + (add ? " added" : " removed"),
                    {BuildInstanceChange(id, add ? kOpInsert : kOpRemove)});
}

CommandResult VxlanFamily::Join(const std::vector<std::string>& a) {
    uint32_t sw = 0;
    uint32_t vni = 0;
    if (!ParseU32(a[0], &sw) || !ParseU32(a[1], &vni))
        return CommandResult::Error("usage: dpemu/vxlan-join SWITCH_ID VNI");
    VxlanTables::Vni& v = tables_.vnis[vni];
    v.switchId = sw;
    v.joined = true;
    return Reported("VNI " + a[1] + " joined on switch " + a[0],
                    {BuildVniMembership(sw, vni, kOpJoin)});
}

CommandResult VxlanFamily::Leave(const std::vector<std::string>& a) {
    uint32_t vni = 0;
    std::string error;
    VxlanTables::Vni* v = JoinedVni(a[0], &vni, &error);
    if (v == nullptr)
        return CommandResult::Error(error);
    VxlanTables::Vni left;
    left.switchId = v->switchId;
    *v = std::move(left);
    tables_.DropBfdSessions(vni);
    return Reported("VNI " + a[0] + " left", {BuildVniMembership(v->switchId, vni, kOpLeave)});
}

CommandResult VxlanFamily::LocalVtep(const std::vector<std::string>& a) {
    uint32_t vni = 0;
    std::string error;
    VxlanTables::Vni* v = JoinedVni(a[0], &vni, &error);
    if (v == nullptr)
        return CommandResult::Error(error);
    VtepEntry e;
    if ((a[1] != "add" && a[1] != "del") || !ParseVtepAddress(a[2], &e.addrType, &e.ipv4, &e.ipv6))
        return CommandResult::Error(
            "usage: dpemu/vxlan-local-vtep VNI add|del IP LABEL [MAC] [ENCAP] [MTEP]");
    const std::string key = VtepAddressText(e.addrType, e.ipv4, e.ipv6);
    EntryBuffer removed(kVtepEntrySize);
    EntryBuffer added(kVtepEntrySize);
    if (a[1] == "del") {
        auto it = v->localVteps.find(key);
        if (it == v->localVteps.end())
            return CommandResult::Error("no local VTEP " + key + " on VNI " + a[0]);
        WriteVtepEntry(it->second, removed.Append());
        v->localVteps.erase(it);
    } else {
        e.encap = kEncapVxlan;
        e.mtep = kMtepDefault;
        if (a.size() < 4 || !ParseU32(a[3], &e.label) ||
            (a.size() > 4 && !ParseMac(a[4], &e.mac)) ||
            (a.size() > 5 && !ParseEncap(a[5], &e.encap))) {
            return CommandResult::Error("invalid LABEL, MAC or ENCAP (vxlan|geneve|stt|code)");
        }
        uint32_t mtep = kMtepDefault;
        if (a.size() > 6 && (!ParseU32(a[6], &mtep) || mtep > 255))
            return CommandResult::Error("invalid MTEP");
        e.mtep = static_cast<uint8_t>(mtep);
        v->localVteps[key] = e;
        WriteVtepEntry(e, added.Append());
    }
    return Reported(
        "local VTEP " + key + (a[1] == "add" ? " added to" : " removed from") + " VNI " + a[0],
        BuildListUpdates(kDtVtepMembership, v->switchId, vni, removed, added,
                         tables_.AgentMaxMsgLength()));
}

CommandResult VxlanFamily::MacLearn(const std::vector<std::string>& a) {
    uint32_t vni = 0;
    std::string error;
    VxlanTables::Vni* v = JoinedVni(a[0], &vni, &error);
    if (v == nullptr)
        return CommandResult::Error(error);
    VmMacEntry e;
    if (!ParseMac(a[1], &e.vmMac) || !ParseVtepAddress(a[2], &e.addrType, &e.vtepIpv4, &e.vtepIpv6))
        return CommandResult::Error("usage: dpemu/vxlan-mac-learn VNI MAC VTEP_IP");
    v->localMacs[MacKey(e.vmMac)] = e;
    EntryBuffer added(kVmMacEntrySize);
    WriteVmMacEntry(e, added.Append());
    return Reported("MAC " + a[1] + " learned on VNI " + a[0],
                    BuildListUpdates(kDtVmMac, v->switchId, vni, EntryBuffer(kVmMacEntrySize),
                                     added, tables_.AgentMaxMsgLength()));
}

CommandResult VxlanFamily::Query(const std::vector<std::string>& a) {
    uint16_t dataType = 0;
    if (a[0] == "mac") {
        dataType = kDtVmMac;
    } else if (a[0] == "arp") {
        dataType = kDtArpv4;
    } else if (a[0] == "nd") {
        dataType = kDtNdv6;
    } else {
        return CommandResult::Error("usage: dpemu/vxlan-query mac|arp|nd VNI ADDR...");
    }
    uint32_t vni = 0;
    std::string error;
    VxlanTables::Vni* v = JoinedVni(a[1], &vni, &error);
    if (v == nullptr)
        return CommandResult::Error(error);
    std::vector<uint8_t> addresses;
    for (size_t i = 2; i < a.size(); ++i) {
        uint32_t type = kAddrNone;
        uint32_t ipv4 = 0;
        Ipv6Addr ipv6{};
        MacAddr mac{};
        if (dataType == kDtVmMac && ParseMac(a[i], &mac)) {
            addresses.insert(addresses.end(), mac.begin(), mac.end());
        } else if (dataType != kDtVmMac && ParseVtepAddress(a[i], &type, &ipv4, &ipv6) &&
                   (type == kAddrIpv4) == (dataType == kDtArpv4)) {
            if (type == kAddrIpv4) {
                uint8_t b[4];
                StoreBe32(b, ipv4);
                addresses.insert(addresses.end(), b, b + 4);
            } else {
                addresses.insert(addresses.end(), ipv6.begin(), ipv6.end());
            }
        } else {
            return CommandResult::Error("not a " + a[0] + " query address: " + a[i]);
        }
    }
    DpMsg q = BuildQuery(dataType, v->switchId, vni, addresses);
    if (q.empty() || q.size() > tables_.AgentMaxMsgLength())
        return CommandResult::Error("the query does not fit one message");
    tables_.QuerySent(vni, dataType);
    return Reported(
        a[0] + " query of " + std::to_string(a.size() - 2) + " address(es) on VNI " + a[1],
        {std::move(q)});
}

CommandResult VxlanFamily::MacAge(const std::vector<std::string>& a) {
    uint32_t vni = 0;
    std::string error;
    VxlanTables::Vni* v = JoinedVni(a[0], &vni, &error);
    if (v == nullptr)
        return CommandResult::Error(error);
    MacAddr mac{};
    if (!ParseMac(a[1], &mac))
        return CommandResult::Error("usage: dpemu/vxlan-mac-age VNI MAC");
    auto it = v->localMacs.find(MacKey(mac));
    if (it == v->localMacs.end())
        return CommandResult::Error("no learned MAC " + a[1] + " on VNI " + a[0]);
    EntryBuffer removed(kVmMacEntrySize);
    WriteVmMacEntry(it->second, removed.Append());
    v->localMacs.erase(it);
    return Reported("MAC " + a[1] + " aged out of VNI " + a[0],
                    BuildListUpdates(kDtVmMac, v->switchId, vni, removed,
                                     EntryBuffer(kVmMacEntrySize), tables_.AgentMaxMsgLength()));
}

CommandResult VxlanFamily::MacLearnBulk(const std::vector<std::string>& a) {
    const std::string usage = "usage: dpemu/vxlan-mac-learn-bulk VNI COUNT(1-" +
                              std::to_string(kMaxBulkMacs) + ") FIRST_MAC VTEP_IP [VNIS]";
    uint32_t firstVni = 0;
    uint32_t count = 0;
    uint32_t vniCount = 1;
    VmMacEntry e;
    if (!ParseU32(a[0], &firstVni) || !ParseU32(a[1], &count) || count == 0 ||
        !ParseMac(a[2], &e.vmMac) ||
        !ParseVtepAddress(a[3], &e.addrType, &e.vtepIpv4, &e.vtepIpv6) ||
        (a.size() > 4 && (!ParseU32(a[4], &vniCount) || vniCount == 0)) ||
        uint64_t{count} * vniCount > kMaxBulkMacs ||
        uint64_t{firstVni} + vniCount - 1 > 0xffffffu) {
        return CommandResult::Error(usage);
    }
    const uint64_t first = MacKey(e.vmMac);
    if (first + uint64_t{count} * vniCount - 1 > 0xffffffffffffull)
        return CommandResult::Error("the MAC range passes ff:ff:ff:ff:ff:ff");
    // Every VNI is checked before anything is learned, and every message made before any is
    // sent: one burst, as a dataplane learning on many VNIs at once sends it.
    std::vector<VxlanTables::Vni*> vnis;
    for (uint32_t i = 0; i < vniCount; ++i) {
        uint32_t vni = 0;
        std::string error;
        VxlanTables::Vni* v = JoinedVni(std::to_string(firstVni + i), &vni, &error);
        if (v == nullptr)
            return CommandResult::Error(error);
        vnis.push_back(v);
    }
    std::vector<DpMsg> msgs;
    uint64_t k = first;
    for (uint32_t i = 0; i < vniCount; ++i) {
        VxlanTables::Vni* v = vnis[i];
        EntryBuffer added(kVmMacEntrySize);
        added.Reserve(count);
        for (const uint64_t end = k + count; k < end; ++k) {
            e.vmMac = MacOfKey(k);
            v->localMacs[k] = e;
            WriteVmMacEntry(e, added.Append());
        }
        std::vector<DpMsg> some =
            BuildListUpdates(kDtVmMac, v->switchId, firstVni + i, EntryBuffer(kVmMacEntrySize),
                             added, tables_.AgentMaxMsgLength());
        std::move(some.begin(), some.end(), std::back_inserter(msgs));
    }
    const std::string what = vniCount == 1 ? std::to_string(count) + " MACs learned on VNI " + a[0]
                                           : std::to_string(uint64_t{count} * vniCount) +
                                                 " MACs learned on " + std::to_string(vniCount) +
                                                 " VNIs from " + a[0] + " (" +
                                                 std::to_string(count) + " each)";
    return Reported(what + " in " + std::to_string(msgs.size()) + " messages", std::move(msgs));
}

CommandResult VxlanFamily::RdVtep(const std::vector<std::string>& a) {
    uint32_t sw = 0;
    if (!ParseU32(a[0], &sw))
        return CommandResult::Error("usage: dpemu/vxlan-rd-vtep SWITCH_ID IPV4|none [IPV6]");
    std::vector<VtepEntry> vteps;
    for (size_t i = 1; i < a.size(); ++i) {
        if (a[i] == "none")
            continue;
        VtepEntry e;
        e.encap = kEncapVxlan;
        e.mtep = kMtepDefault;
        if (!ParseVtepAddress(a[i], &e.addrType, &e.ipv4, &e.ipv6) ||
            e.addrType != (i == 1 ? kAddrIpv4 : kAddrIpv6)) {
            return CommandResult::Error("usage: dpemu/vxlan-rd-vtep SWITCH_ID IPV4|none [IPV6]");
        }
        vteps.push_back(e);
    }
    if (vteps.empty()) {
        tables_.rdVteps.erase(sw);
    } else {
        tables_.rdVteps[sw] = vteps;
    }
    return Reported("routing domain VTEPs of switch " + a[0] + " set to " +
                        std::to_string(vteps.size()) + " address(es)",
                    {BuildRdVtepUpdate(sw, vteps)});
}

CommandResult VxlanFamily::Raw(const std::vector<std::string>& a) {
    std::vector<uint8_t> bytes;
    if (!ParseHex(a[0], &bytes) || bytes.size() < kDpMsgHeaderSize ||
        DpMsgLength(bytes.data()) != bytes.size()) {
        return CommandResult::Error(
            "HEX must be one whole message: hex digits whose length field is their byte count");
    }
    return Reported("raw message of type " + std::to_string(DpMsgType(bytes.data())), {bytes});
}

CommandResult VxlanFamily::HoldFullSync(const std::vector<std::string>& a) {
    if (a[0] != "on" && a[0] != "off")
        return CommandResult::Error("usage: dpemu/vxlan-hold-fullsync on|off");
    holdFullSync_ = a[0] == "on";
    if (holdFullSync_ || !fullSyncHeld_)
        return CommandResult::Ok(std::string("Full Sync End hold ") + a[0]);
    fullSyncHeld_ = false;
    if (!SendInSession({BuildSessionControl(kSessionFullSyncEnd, sessionId_)}))
        return CommandResult::Error("the held Full Sync End could not be sent");
    sessionState_ = SessionState::kSynced;
    CFG_INFO("ozy-dpemu: vxlan: session %1 synced (Full Sync End released)", sessionId_);
    return CommandResult::Ok("Full Sync End hold off; Full Sync End sent in session " +
                             std::to_string(sessionId_));
}

uint64_t VxlanFamily::AgentConn() const {
    if (sessionConn_ != 0)
        return sessionConn_;
    if (channel_ != nullptr && !channel_->Connections().empty())
        return channel_->Connections().back();
    return 0;
}

CommandResult VxlanFamily::InjectTepAlarm(const std::vector<std::string>& a) {
    static const char* const kUsage =
        "usage: dpemu/vxlan-tep-alarm NIC up|down|degraded fault|ha-active|auto-recovery "
        "[REASON_BITS]";
    TepAlarm alarm;
    alarm.nicName = a[0];
    alarm.switchName = kTepSwitchName;
    for (uint8_t s : {kTepUp, kTepDown, kTepDegraded}) {
        std::string name = TepStateName(s);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (a[1] == name)
            alarm.state = s;
    }
    for (uint8_t k : {kAlarmFault, kAlarmHaActive, kAlarmAutoRecovery}) {
        if (a[2] == AlarmKindName(k))
            alarm.kind = k;
    }
    uint32_t bits = 0;
    if (alarm.state == 0 || alarm.kind == 0 ||
        (a.size() > 3 && (!ParseU32(a[3], &bits) || bits > 255)))
        return CommandResult::Error(kUsage);
    alarm.reasons = static_cast<uint8_t>(bits);
    DpMsg m = BuildTepAlarm(alarm);
    if (m.empty())
        return CommandResult::Error("NIC longer than " + std::to_string(kAlarmNicNameSize) +
                                    " bytes");
    const uint64_t conn = AgentConn();
    if (conn == 0)
        return CommandResult::Error("no agent connected on the vxlan endpoint");
    if (!SendTo(conn, m))
        return CommandResult::Error("could not send the TEP alarm");
    ++tepAlarms_;
    return CommandResult::Ok(a[2] + " alarm of " + a[0] + " (" + a[1] + ") sent");
}

CommandResult VxlanFamily::OutOfSync(const std::vector<std::string>& args) {
    uint32_t dataType = kStateOutOfSyncDataType;
    uint32_t byte = 1;
    if ((args.size() > 0 && (!ParseU32(args[0], &dataType) || dataType > 0xffff)) ||
        (args.size() > 1 && (!ParseU32(args[1], &byte) || byte > 255)) || args.size() > 2) {
        return CommandResult::Error("usage: dpemu/out-of-sync vxlan [DT] [BYTE]");
    }
    const uint64_t conn = AgentConn();
    if (conn == 0)
        return CommandResult::Error("no agent connected on the vxlan endpoint");
    if (!SendTo(conn,
                BuildStateReport(static_cast<uint8_t>(byte), static_cast<uint16_t>(dataType)))) {
        return CommandResult::Error("could not send the State report");
    }
    return CommandResult::Ok("sent State report (data type " + std::to_string(dataType) +
                             ", out-of-sync " + std::to_string(byte) + ")");
}

void VxlanFamily::RegisterCommands(CommandTable& table) {
    auto bind = [this](CommandResult (VxlanFamily::*fn)(const std::vector<std::string>&)) {
        return [this, fn](const std::vector<std::string>& a) { return (this->*fn)(a); };
    };
    table.Add("dpemu/vxlan-instance", "add|del ID", 2, 2, bind(&VxlanFamily::Instance));
    table.Add("dpemu/vxlan-join", "SWITCH_ID VNI", 2, 2, bind(&VxlanFamily::Join));
    table.Add("dpemu/vxlan-leave", "VNI", 1, 1, bind(&VxlanFamily::Leave));
    table.Add("dpemu/vxlan-local-vtep", "VNI add|del IP LABEL [MAC] [ENCAP] [MTEP]", 3, 7,
              bind(&VxlanFamily::LocalVtep));
    table.Add("dpemu/vxlan-mac-learn", "VNI MAC VTEP_IP", 3, 3, bind(&VxlanFamily::MacLearn));
    table.Add("dpemu/vxlan-mac-age", "VNI MAC", 2, 2, bind(&VxlanFamily::MacAge));
    table.Add("dpemu/vxlan-mac-learn-bulk", "VNI COUNT FIRST_MAC VTEP_IP [VNIS]", 4, 5,
              bind(&VxlanFamily::MacLearnBulk));
    table.Add("dpemu/vxlan-rd-vtep", "SWITCH_ID IPV4|none [IPV6]", 2, 3,
              bind(&VxlanFamily::RdVtep));
    table.Add("dpemu/vxlan-raw", "HEX", 1, 1, bind(&VxlanFamily::Raw));
    table.Add("dpemu/vxlan-query", "mac|arp|nd VNI ADDR...", 3, 1000, bind(&VxlanFamily::Query));
    table.Add("dpemu/vxlan-hold-fullsync", "on|off", 1, 1, bind(&VxlanFamily::HoldFullSync));
    table.Add("dpemu/vxlan-tep-alarm", "NIC STATE fault|ha-active|auto-recovery [REASON_BITS]", 3,
              4, bind(&VxlanFamily::InjectTepAlarm));
    table.Add("dpemu/vxlan-summary", "", 0, 0, [this](const std::vector<std::string>&) {
        nlohmann::json out = tables_.Summary();
        out["session"] = {{"state", StateName(static_cast<int>(sessionState_))},
                          {"id", sessionId_},
                          {"opens", sessionsOpened_},
                          {"opened_ms", sessionOpenedMs_},
                          {"reported_ms", reportSentMs_}};
        out["errors"] = malformed_;
        return CommandResult::Ok(out.dump());
    });
}

nlohmann::json VxlanFamily::Dump() const {
    nlohmann::json out = tables_.ToJson();
    out["family"] = "vxlan";
    out["endpoint"] = channel_ != nullptr ? channel_->Endpoint() : std::string();
    out["connections"] = channel_ != nullptr ? channel_->Connections().size() : 0;
    out["session"] = {{"state", StateName(static_cast<int>(sessionState_))},
                      {"id", sessionId_},
                      {"opens", sessionsOpened_},
                      {"hold_fullsync", holdFullSync_},
                      {"fullsync_held", fullSyncHeld_}};
    out["stats"] = {{"messages", messages_},
                    {"sent", sent_},
                    {"errors", malformed_},
                    {"tep_alarms", tepAlarms_},
                    {"by_type", byType_},
                    {"spurious_removals", tables_.spuriousRemovals},
                    {"bfd_dup_adds", tables_.bfdDupAdds}};
    out["errors"] = errors_;
    return out;
}

}  // namespace ozy::dpemu

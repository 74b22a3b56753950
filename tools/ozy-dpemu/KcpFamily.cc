#include "tools/ozy-dpemu/KcpFamily.h"
#include "tools/ozy-dpemu/TarpFamily.h"

#include <set>

#include <arpa/inet.h>
#include <time.h>

#include <nlohmann/json.hpp>

#include "platform/device/DeviceFrame.h"

#include "dataplane/KcpDump.h"
#include "dataplane/KcpPropertyTable.h"
#include "dataplane/KcpProtocol.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/RecordingFamily.h"

namespace ozy::dpemu {

using namespace CfgAgent;
using namespace CfgAgent::kcp;

namespace {

const char* MsgTypeName(uint16_t type) {
    switch (type) {
        case kMsgInit:
            return "init";
        case kMsgUpdate:
            return "update";
        case kMsgNotification:
            return "notification";
        case kMsgQuery:
            return "query";
        case kMsgSessionControl:
            return "session_control";
        default:
            return "unknown";
    }
}

}  // namespace

bool ParseMac(const std::string& text, MacAddr* out) {
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < 6; ++i) {
        int hi = HexDigit(text[i * 3]);
        int lo = HexDigit(text[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != ':'))
            return false;
        (*out)[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

void KcpFamily::Error(uint64_t conn, const std::string& text) {
    ++malformed_;
    CFG_ERROR("ozy-dpemu: kcp: connection %1: %2", conn, text);
    errors_.push_back(text);
    if (errors_.size() > kKeptErrors)
        errors_.pop_front();
}

void KcpFamily::OnConnect(uint64_t conn) {
    CFG_INFO("ozy-dpemu: kcp: agent connected (connection %1)", conn);
}

void KcpFamily::OnDisconnect(uint64_t conn) {
    maxMsgLength_.erase(conn);
    pendingFragments_.erase(conn);
    pendingFragmentCount_.erase(conn);
    if (conn == sessionConn_) {
        sessionConn_ = 0;
        sessionState_ = SessionState::kIdle;
    }
    CFG_INFO("ozy-dpemu: kcp: agent disconnected (connection %1)", conn);
}

uint64_t KcpFamily::SessionConn() const {
    return sessionState_ == SessionState::kSynced ? sessionConn_ : 0;
}

bool KcpFamily::SendTo(uint64_t conn, const DpMsg& msg) {
    if (msg.empty() || channel_ == nullptr)
        return false;
    if (Logger::enabled(kLogDebug)) {
        CFG_DEBUG("ozy-dpemu: kcp: sending to connection %1: %2", conn,
                  DumpKcpMessage(msg.data(), msg.size()));
    }
    return channel_->Send(conn, msg);
}

void KcpFamily::OnMessage(uint64_t conn, const uint8_t* msg, size_t size) {
    ++messages_;
    KcpMsgView view;
    if (!ViewKcpMessage(msg, size, &view)) {
        Error(conn, "message with an invalid length field");
        return;
    }
    ++byType_[MsgTypeName(view.type)];
    if (Logger::enabled(kLogDebug)) {
        CFG_DEBUG("ozy-dpemu: kcp: received from connection %1: %2", conn,
                  DumpKcpMessage(msg, size));
    }
    switch (view.type) {
        case kMsgSessionControl:
            HandleSessionControl(conn, view);
            break;
        case kMsgUpdate:
            HandleUpdate(conn, view);
            break;
        case kMsgQuery:
            HandleQuery(conn, view);
            break;
        case kMsgInit:
            HandleInit(conn, view);
            break;
        default:
            Error(conn, "Unsupported message type " + std::to_string(view.type) + ", len " +
                            std::to_string(view.length));
            break;
    }
}

void KcpFamily::HandleSessionControl(uint64_t conn, const KcpMsgView& msg) {
    SessionControl sc;
    if (!ParseSessionControl(msg, &sc)) {
        Error(conn, "VIF Session control: malformed element");
        return;
    }
    if (sc.dataType != kSessionControlDataType) {
        Error(conn, "VIF Session control: unsupported data type " + std::to_string(sc.dataType));
        return;
    }
    switch (sc.controlType) {
        case kSessionOpen: {
            CFG_INFO("ozy-dpemu: kcp: Session Open %1 from connection %2", sc.sessionId, conn);
            sessionConn_ = conn;
            sessionId_ = sc.sessionId;
            ++sessionsOpened_;
            dpStatus_ = kDpStatusSync;
            pendingFragments_.erase(conn);
            pendingFragmentCount_.erase(conn);
            if (!SendTo(conn, BuildSessionControl(kSessionOpenAck, sc.sessionId)))
                return;
            std::vector<VifRecordSpec> records;
            for (const auto& [id, vif] : connectedVifs_) {
                records.push_back(VifSpec(id, vif, kVifConnect));
            }
            if (!SendVifRecords(conn, kOpFullSync, records))
                return;
            if (!SendTo(conn, BuildSessionControl(kSessionFullSyncEnd, sc.sessionId)))
                return;
            sessionState_ = SessionState::kSynced;
            CFG_INFO("ozy-dpemu: kcp: session %1 synced with %2 connected VIFs", sc.sessionId,
                     records.size());
            break;
        }
        case kSessionClose:
            CFG_INFO("ozy-dpemu: kcp: Session Close %1 from connection %2", sc.sessionId, conn);
            if (conn == sessionConn_ && sc.sessionId == sessionId_) {
                sessionState_ = SessionState::kClosed;
            }
            break;
        default:
            Error(conn, std::string("VIF Session control: unexpected control type ") +
                            ControlTypeName(sc.controlType) + " (" +
                            std::to_string(sc.controlType) + ") from the agent");
            break;
    }
}

void KcpFamily::HandleUpdate(uint64_t conn, const KcpMsgView& msg) {
    int64_t receivedNs = 0;
    if (recordReceipts_) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        receivedNs = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
    UpdateView u;
    if (!CheckUpdate(msg, &u)) {
        Error(conn, "Update of " + std::to_string(msg.length) + " bytes fails the length checks");
        pendingFragments_.erase(conn);
        pendingFragmentCount_.erase(conn);
        return;
    }
    const uint8_t* elements = msg.data + u.firstTlv;
    size_t size = msg.length - u.firstTlv;
    auto pending = pendingFragments_.find(conn);
    if (u.fragment || pending != pendingFragments_.end()) {
        ++fragments_;
        std::vector<uint8_t>& joined = pendingFragments_[conn];
        if (joined.size() + size > kMaxJoinedUpdate) {
            Error(conn, "fragmented Update larger than " + std::to_string(kMaxJoinedUpdate) +
                            " bytes; dropped");
            pendingFragments_.erase(conn);
            pendingFragmentCount_.erase(conn);
            return;
        }
        joined.insert(joined.end(), elements, elements + size);
        ++pendingFragmentCount_[conn];
        if (u.fragment)
            return;
        std::vector<uint8_t> whole = std::move(joined);
        size_t count = pendingFragmentCount_[conn];
        pendingFragments_.erase(conn);
        pendingFragmentCount_.erase(conn);
        CFG_DEBUG("ozy-dpemu: kcp: joined %1 fragments, %2 bytes of elements", count, whole.size());
        Apply(conn, whole.data(), whole.size(), receivedNs);
        return;
    }
    Apply(conn, elements, size, receivedNs);
}

void KcpFamily::Apply(uint64_t conn, const uint8_t* elements, size_t size, int64_t receivedNs) {
    ++updates_;
    auto error = [&](const std::string& e) { Error(conn, e); };
    if (!recordReceipts_) {
        tables_.ApplyUpdate(elements, size, error);
        return;
    }
    std::vector<std::string> portIds;
    tables_.ApplyUpdate(elements, size, error, &portIds);
    for (std::string& id : portIds) {
        if (receipts_.size() >= kMaxReceipts) {
            ++receiptsDropped_;
            continue;
        }
        receipts_.push_back(Receipt{receivedNs, std::move(id)});
    }
}

CommandResult KcpFamily::Receipts(const std::vector<std::string>& args) {
    const std::string& what = args[0];
    if (what == "start") {
        receipts_.clear();
        receiptsDropped_ = 0;
        recordReceipts_ = true;
        return CommandResult::Ok("recording the receipt of port records");
    }
    if (what == "stop") {
        recordReceipts_ = false;
        receipts_.clear();
        receiptsDropped_ = 0;
        return CommandResult::Ok("receipts no longer recorded");
    }
    if (what != "read")
        return CommandResult::Error("\"" + what + "\": expected start, read or stop");
    if (!recordReceipts_)
        return CommandResult::Error("receipts are not recorded (dpemu/kcp-receipts start)");
    nlohmann::json list = nlohmann::json::array();
    for (const Receipt& r : receipts_)
        list.push_back({r.monotonicNs, r.portId});
    nlohmann::json out = {{"receipts", std::move(list)}, {"dropped", receiptsDropped_}};
    receipts_.clear();
    receiptsDropped_ = 0;
    return CommandResult::Ok(out.dump());
}

void KcpFamily::HandleQuery(uint64_t conn, const KcpMsgView& msg) {
    DpTlvWalker walker(msg.data, kFirstTlvOffset, msg.length);
    DpTlv tlv;
    while (walker.Next(&tlv)) {
        if (tlv.type == kQueryDpStatus) {
            SendTo(conn, BuildDpStatusNotification(dpStatus_));
        } else {
            Error(conn, "Query: unsupported data type " + std::to_string(tlv.type));
        }
    }
    if (walker.Malformed())
        Error(conn, "Query: malformed element");
}

void KcpFamily::HandleInit(uint64_t conn, const KcpMsgView& msg) {
    std::optional<uint16_t> max = ParseInitMaxMsgLength(msg);
    if (!max || *max < 256) {
        Error(conn, "Init without a usable Max message length");
        return;
    }
    // Each connection says what it accepts; what is sent on a connection follows its own Init.
    maxMsgLength_[conn] = *max;
    CFG_INFO("ozy-dpemu: kcp: agent accepts messages up to %1 bytes on connection %2", *max, conn);
}

VifRecordSpec KcpFamily::VifSpec(const std::string& vifId, const ConnectedVif& vif,
                                 uint8_t status) const {
    VifRecordSpec r;
    r.vifId = vifId;
    r.portId = vif.portId;
    r.switchId = vif.switchId;
    r.vifType = vif.type;
    r.parentVifId = vif.parentVifId;
    r.smartNic = vif.smartNic;
    r.status = status;
    if (vif.mac)
        r.macs.push_back(*vif.mac);
    return r;
}

size_t KcpFamily::MaxMsgLengthOf(uint64_t conn) const {
    auto it = maxMsgLength_.find(conn);
    return it == maxMsgLength_.end() ? kDefaultMaxMsgLength : it->second;
}

bool KcpFamily::SendVifRecords(uint64_t conn, uint8_t op,
                               const std::vector<VifRecordSpec>& records) {
    const size_t maxLength = MaxMsgLengthOf(conn);
    // Size of an Update holding only the VIF Update element head: header, flag, element head, op.
    const size_t base = kUpdateFirstTlvOffset + kDpTlvHeaderSize + 1;
    std::vector<VifRecordSpec> batch;
    size_t batchSize = base;
    auto send = [&](const std::vector<VifRecordSpec>& recs) {
        if (recs.empty())
            return true;
        KcpUpdateBuilder b(maxLength);
        if (!b.AddVifUpdate(op, recs))
            return false;
        std::vector<DpMsg> msgs = b.Build();
        if (msgs.empty())
            return false;
        for (const DpMsg& m : msgs) {
            if (!SendTo(conn, m))
                return false;
        }
        return true;
    };
    for (const VifRecordSpec& r : records) {
        KcpUpdateBuilder one(maxLength);
        one.AddVifUpdate(op, {r});
        size_t recordSize = one.UnfragmentedSize() - base;
        if (base + recordSize > maxLength) {
            // Too large on its own: sent alone, spread over fragments.
            if (!send(batch) || !send({r}))
                return false;
            batch.clear();
            batchSize = base;
            continue;
        }
        if (batchSize + recordSize > maxLength) {
            if (!send(batch))
                return false;
            batch.clear();
            batchSize = base;
        }
        batch.push_back(r);
        batchSize += recordSize;
    }
    return send(batch);
}

void KcpFamily::FindPeers(const PeerLookup& lookup) {
    tarp_ = dynamic_cast<TarpFamily*>(lookup("filter"));
}

CommandResult KcpFamily::VifConnect(const std::vector<std::string>& argsIn) {
    // VIF_ID PORT_ID SWITCH_ID [MAC] [--type TYPE] [--parent VIF_ID] [--smartnic] [filter],
    // options after the rest; "filter" last also creates the VIF's firewall filter (named after
    // the VIF, port id as its logical switch port).
    std::vector<std::string> args = argsIn;
    const bool withFilter = args.size() > 3 && args.back() == "filter";
    if (withFilter)
        args.pop_back();
    std::vector<std::string> positional;
    ConnectedVif vif;
    bool typed = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) {
            if (typed || !vif.parentVifId.empty() || vif.smartNic)
                return CommandResult::Error("options follow VIF_ID PORT_ID SWITCH_ID [MAC]");
            positional.push_back(a);
            continue;
        }
        if (a == "--smartnic" && !vif.smartNic) {
            // Served by a SmartNIC: the record's SmartNIC flag (byte 209) is set.
            vif.smartNic = true;
            continue;
        }
        if (i + 1 >= args.size())
            return CommandResult::Error(a + " needs a value");
        const std::string& value = args[++i];
        if (a == "--type" && !typed) {
            if (value == "vnic") {
                vif.type = kVifVnic;
            } else if (value == "krnnic") {
                vif.type = kVifKrnnic;
            } else if (value == "container") {
                vif.type = kVifContainer;
            } else {
                return CommandResult::Error("--type takes vnic, krnnic or container, not \"" +
                                            value + "\"");
            }
            typed = true;
        } else if (a == "--parent" && vif.parentVifId.empty()) {
            if (value.empty() || value.size() >= kIdSize)
                return CommandResult::Error("--parent takes a VIF ID of 1 to 47 characters");
            vif.parentVifId = value;
        } else {
            return CommandResult::Error("unknown or repeated option " + a);
        }
    }
    if (positional.size() < 3 || positional.size() > 4)
        return CommandResult::Error(
            "usage: dpemu/vif-connect VIF_ID PORT_ID SWITCH_ID [MAC] "
            "[--type vnic|krnnic|container] [--parent VIF_ID] [--smartnic]");
    if (vif.type == kVifContainer && vif.parentVifId.empty())
        return CommandResult::Error("a container VIF needs --parent VIF_ID");
    if (vif.type != kVifContainer && !vif.parentVifId.empty())
        return CommandResult::Error("--parent is for container VIFs only");
    const std::string& vifId = positional[0];
    vif.portId = positional[1];
    vif.switchId = positional[2];
    if (positional.size() > 3) {
        MacAddr mac;
        if (!ParseMac(positional[3], &mac)) {
            return CommandResult::Error("invalid MAC \"" + positional[3] +
                                        "\" (expected aa:bb:cc:dd:ee:ff)");
        }
        vif.mac = mac;
    }
    if (vifId.empty() || vifId.size() >= kIdSize || vif.portId.size() >= kIdSize ||
        vif.switchId.size() >= kSwitchIdSize) {
        return CommandResult::Error(
            "VIF and port IDs take 1 to 47 characters, switch IDs up to 63");
    }
    if (withFilter && tarp_ == nullptr)
        return CommandResult::Error("no firewall family for the VIF's filter");
    if (withFilter && tarp_->State().FindFilter(vifId) != nullptr)
        return CommandResult::Error("filter " + vifId + " exists");
    CommandResult r = Connect(vifId, vif);
    if (!r.ok || !withFilter)
        return r;
    CommandResult f = tarp_->FilterCreate({vifId, vifId, vif.portId});
    return f.ok ? CommandResult::Ok(r.text + "; " + f.text) : f;
}

CommandResult KcpFamily::Connect(const std::string& vifId, const ConnectedVif& vif) {
    connectedVifs_[vifId] = vif;
    CFG_INFO("ozy-dpemu: kcp: VIF %1 connected (port %2, switch %3, type %4)", vifId, vif.portId,
             vif.switchId, VifTypeName(vif.type));
    uint64_t conn = SessionConn();
    if (conn == 0) {
        return CommandResult::Ok("VIF " + vifId +
                                 " connected; no KCP session is open, it is reported at the next "
                                 "full sync");
    }
    if (!SendVifRecords(conn, kOpUpdate, {VifSpec(vifId, vif, kVifConnect)})) {
        return CommandResult::Error("VIF " + vifId +
                                    " connected, but the VIF Update could not be sent");
    }
    return CommandResult::Ok("VIF " + vifId + " connected; VIF Update sent in session " +
                             std::to_string(sessionId_));
}

CommandResult KcpFamily::KrnnicAdd(const std::vector<std::string>& args) {
    VswitchDevice::Krnnic nic;
    if (!ParseIpv4(args[1], &nic.addr.ip) || !ParseIpv4(args[2], &nic.addr.mask))
        return CommandResult::Error("IP and MASK are dotted IPv4 addresses");
    nic.switchId = args[3];
    if (nic.switchId.empty() || nic.switchId.size() >= kSwitchIdSize)
        return CommandResult::Error("switch IDs take 1 to 63 characters");
    std::string why;
    if (!vswitch_.AddKrnnic(args[0], nic, &why))
        return CommandResult::Error(why);
    if (connectedVifs_.count(args[0]) != 0)
        return CommandResult::Ok("krnnic " + args[0] + " address set; its VIF is connected");
    ConnectedVif vif;
    vif.portId = args[0];
    vif.switchId = nic.switchId;
    vif.type = kVifKrnnic;
    CommandResult r = Connect(args[0], vif);
    r.text = "krnnic " + args[0] + " address set; " + r.text;
    return r;
}

CommandResult KcpFamily::KrnnicDel(const std::vector<std::string>& args) {
    if (!vswitch_.RemoveKrnnic(args[0]))
        return CommandResult::Error("no krnnic " + args[0]);
    if (connectedVifs_.count(args[0]) == 0)
        return CommandResult::Ok("krnnic " + args[0] + " removed");
    CommandResult r = VifDisconnect({args[0]});
    r.text = "krnnic " + args[0] + " removed; " + r.text;
    return r;
}

CommandResult KcpFamily::VifDisconnect(const std::vector<std::string>& args) {
    auto it = connectedVifs_.find(args[0]);
    if (it == connectedVifs_.end()) {
        return CommandResult::Error("no connected VIF " + args[0]);
    }
    ConnectedVif vif = it->second;
    connectedVifs_.erase(it);
    CFG_INFO("ozy-dpemu: kcp: VIF %1 disconnected", args[0]);
    uint64_t conn = SessionConn();
    if (conn == 0) {
        return CommandResult::Ok("VIF " + args[0] + " disconnected; no KCP session is open");
    }
    if (!SendVifRecords(conn, kOpUpdate, {VifSpec(args[0], vif, kVifDisconnect)})) {
        return CommandResult::Error("VIF " + args[0] +
                                    " disconnected, but the VIF Update could not be sent");
    }
    return CommandResult::Ok("VIF " + args[0] + " disconnected; VIF Update sent in session " +
                             std::to_string(sessionId_));
}

CommandResult KcpFamily::OutOfSync(const std::vector<std::string>& args) {
    DpMsg msg;
    std::string what;
    if (args.empty()) {
        msg = BuildDpStatusNotification(kDpStatusOutOfSync);
        what = "DP Status OutOfSync";
    } else if (args[0] == "port" && args.size() == 2) {
        msg = BuildPortOutOfSyncNotification(args[1]);
        what = "Port Property OutOfSync for " + args[1];
    } else if (args[0] == "krnnic" && args.size() == 2) {
        msg = BuildKrnnicOutOfSyncNotification(args[1]);
        what = "Krnnic Property OutOfSync for " + args[1];
    } else if (args[0] == "hopover" && args.size() == 3) {
        uint16_t type = 0;
        if (args[2] == "1" || args[2] == "2" || args[2] == "3")
            type = static_cast<uint16_t>(args[2][0] - '0');
        if (type == 0)
            return CommandResult::Error("hopover sync type must be 1, 2 or 3");
        msg = BuildHopoverSyncNotification(args[1], type);
        what = "Port container hopover fullSync for " + args[1];
    } else {
        return CommandResult::Error(
            "usage: dpemu/out-of-sync kcp [port VIF_ID | krnnic NAME | hopover VIF_ID 1|2|3]");
    }
    if (msg.empty())
        return CommandResult::Error("identifier too long");
    uint64_t conn = sessionConn_;
    if (conn == 0) {
        std::vector<uint64_t> conns =
            channel_ != nullptr ? channel_->Connections() : std::vector<uint64_t>{};
        if (!conns.empty())
            conn = conns.back();
    }
    if (conn == 0) {
        return CommandResult::Error("no agent connected on " + (channel_ != nullptr
                                                                    ? channel_->Endpoint()
                                                                    : std::string("kcp")));
    }
    if (args.empty())
        dpStatus_ = kDpStatusOutOfSync;
    if (!SendTo(conn, msg))
        return CommandResult::Error("could not send " + what);
    CFG_INFO("ozy-dpemu: kcp: sent %1", what);
    return CommandResult::Ok("sent " + what);
}

void KcpFamily::RegisterCommands(CommandTable& table) {
    table.Add("dpemu/vif-connect",
              "VIF_ID PORT_ID SWITCH_ID [MAC] [--type vnic|krnnic|container] [--parent VIF_ID] "
              "[--smartnic] [filter]",
              3, 10, [this](const std::vector<std::string>& a) { return VifConnect(a); });
    table.Add("dpemu/krnnic-add", "NAME IP MASK SWITCH_ID", 4, 4,
              [this](const std::vector<std::string>& a) { return KrnnicAdd(a); });
    table.Add("dpemu/krnnic-del", "NAME", 1, 1,
              [this](const std::vector<std::string>& a) { return KrnnicDel(a); });
    table.Add("dpemu/vif-disconnect", "VIF_ID", 1, 1,
              [this](const std::vector<std::string>& a) { return VifDisconnect(a); });
    table.Add("dpemu/kcp-receipts", "start|read|stop", 1, 1,
              [this](const std::vector<std::string>& a) { return Receipts(a); });
    // One port's properties, for pollers that would otherwise dump every port.
    table.Add("dpemu/kcp-port", "PORT_ID", 1, 1, [this](const std::vector<std::string>& a) {
        auto it = tables_.ports.find(a[0]);
        if (it == tables_.ports.end())
            return CommandResult::Error("no port " + a[0]);
        return CommandResult::Ok(KcpTables::PropertiesJson(it->second).dump());
    });
    // The port's IPFIX export: one message to each collector it was programmed with.
    table.Add("dpemu/ipfix-export", "PORT_ID", 1, 1, [this](const std::vector<std::string>& a) {
        const std::vector<uint8_t>* value = nullptr;
        if (auto it = tables_.ports.find(a[0]); it != tables_.ports.end()) {
            auto prop = it->second.find({CfgAgent::kcp::kPropIpfix, std::string()});
            if (prop != it->second.end())
                value = &prop->second;
        }
        if (value == nullptr)
            return CommandResult::Error("port " + a[0] + " has no ipfix property");
        nlohmann::json reply;
        std::string error;
        if (!ipfix_.Export(a[0], *value, &reply, &error))
            return CommandResult::Error(error);
        return CommandResult::Ok(reply.dump());
    });
    // Counts only: ports with IPFIX export, and per collector UDP port the ports exporting to it.
    table.Add("dpemu/ipfix-summary", "", 0, 0, [this](const std::vector<std::string>&) {
        size_t ports = 0;
        std::map<std::string, size_t> byPort;
        const std::pair<uint16_t, std::string> key{CfgAgent::kcp::kPropIpfix, std::string()};
        for (const auto& [id, props] : tables_.ports) {
            auto it = props.find(key);
            IpfixPortSettings s;
            if (it == props.end() || !ParseIpfixPortSettings(it->second, &s))
                continue;
            ++ports;
            std::set<uint16_t> seen;
            for (const auto& c : s.collectors) {
                if (seen.insert(c.port).second)
                    ++byPort[std::to_string(c.port)];
            }
        }
        return CommandResult::Ok(
            nlohmann::json({{"ports", ports}, {"collector_ports", byPort}}).dump());
    });
    // Counts only: how many ports are programmed and how many of them forward.
    table.Add("dpemu/kcp-summary", "", 0, 0, [this](const std::vector<std::string>&) {
        size_t unblocked = 0;
        const std::pair<uint16_t, std::string> blockKey{CfgAgent::kcp::kPropBlock, std::string()};
        for (const auto& [id, props] : tables_.ports) {
            auto block = props.find(blockKey);
            unblocked += block != props.end() && block->second.size() == 1 &&
                         block->second[0] == CfgAgent::kcp::kUnblocked;
        }
        nlohmann::json out = {{"ports", tables_.ports.size()},
                              {"unblocked", unblocked},
                              {"krnnics", tables_.krnnics.size()},
                              {"switches", tables_.switches.size()},
                              {"containers", tables_.containers.size()},
                              {"vifs", connectedVifs_.size()},
                              {"session", {{"id", sessionId_}, {"opened", sessionsOpened_}}}};
        return CommandResult::Ok(out.dump());
    });
}

nlohmann::json KcpFamily::Dump() const {
    nlohmann::json out = tables_.ToJson();
    const char* state = sessionState_ == SessionState::kSynced   ? "synced"
                        : sessionState_ == SessionState::kClosed ? "closed"
                                                                 : "idle";
    out["family"] = "kcp";
    out["endpoint"] = channel_ != nullptr ? channel_->Endpoint() : std::string();
    out["connections"] = channel_ != nullptr ? channel_->Connections().size() : 0;
    out["session"] = {{"state", state},
                      {"id", sessionId_},
                      {"opened", sessionsOpened_},
                      {"dp_status", DpStatusName(dpStatus_)},
                      {"agent_max_msg_length", MaxMsgLengthOf(sessionConn_)}};
    nlohmann::json connected = nlohmann::json::object();
    for (const auto& [id, v] : connectedVifs_) {
        connected[id] = {
            {"port_id", v.portId},         {"switch_id", v.switchId},
            {"type", VifTypeName(v.type)}, {"parent_vif_id", v.parentVifId},
            {"smartnic", v.smartNic},      {"mac", v.mac ? MacText(v.mac->data()) : std::string()}};
    }
    out["connected_vifs"] = connected;
    out["stats"] = {{"messages", messages_},
                    {"updates", updates_},
                    {"fragments", fragments_},
                    {"errors", malformed_},
                    {"by_type", byType_}};
    out["errors"] = errors_;
    return out;
}

SharedDevice KcpFamily::Device() {
    return {&vswitch_, "vswitch", ozy::device::kVswitchDevice, "virtual switch settings"};
}

bool ParseIpv4(const std::string& text, uint32_t* out) {
    in_addr a{};
    if (text.empty() || text.size() > 15 || inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    *out = ntohl(a.s_addr);
    return true;
}

std::string KcpFamily::VifOfPort(const std::string& portId) const {
    for (const auto& [vifId, vif] : connectedVifs_) {
        if (vif.portId == portId)
            return vifId;
    }
    for (const auto& [vifId, vif] : tables_.vifs) {
        if (vif.record.portId == portId)
            return vifId;
    }
    return std::string();
}

}  // namespace ozy::dpemu

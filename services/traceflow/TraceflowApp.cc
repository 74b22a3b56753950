#include "services/traceflow/TraceflowApp.h"

#include <boost/property_tree/ptree.hpp>

#include "cli/udslink/ICfgUdsLink.h"
#include "dataplane/DpFraming.h"
#include "dataplane/TraceflowProtocol.h"
#include "intake/MsgDispatcher.h"
#include "proto/UuidText.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "proto/lcp.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "services/traceflow/TraceflowCodes.h"
#include "services/traceflow/TraceflowObservation.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
namespace lcp = orvane::ozy::lcp;
using namespace traceflow;

namespace {

constexpr const char* kName = "TraceflowApp";

void SetIp(const std::vector<uint8_t>& ip, pb::IpAddressMsg* out) {
    if (ip.size() == 4)
        out->set_ipv4(LoadBe32(ip.data()));
    else
        out->set_ipv6(std::string(ip.begin(), ip.end()));
}

}  // namespace

TraceflowApp::TraceflowApp(TraceflowAppOptions options) : options_(std::move(options)) {}

TraceflowApp::~TraceflowApp() = default;

void TraceflowApp::Start(const boost::property_tree::ptree& config) {
    CFG_INFO("%1: Start", kName);
    std::string path;
    if (!config.empty())
        path = config.get<std::string>(kLinkPathKey, "");
    ozy::RefPtr<TraceflowApp> self(this);
    auto receive = [self](const uint8_t* m, size_t n) { self->HandleDpMessage(m, n); };
    auto status = [self](DataplaneLink* l, int s) { self->HandleLinkStatus(l, s); };
    if (!options_.makeLink)
        options_.makeLink = SystemKrnlinkFactory();
    link_ = options_.makeLink(path, receive, status, kLinkBufferSize);
    if (options_.opsLink != nullptr) {
        options_.opsLink->RegisterHandler(
            "orvane.ozy.lcp.TraceflowRequestMsg",
            [self](const lcp::LcpDpMsg& m) { self->HandleRequest(m); });
    }
    if (options_.configTable != nullptr) {
        options_.configTable->RegisterDesiredStateObserver(ObjectType::LOG_SWITCH_CONFIG, this);
        options_.configTable->RegisterDesiredStateObserver(ObjectType::LOG_SWITCH_PORT_CONFIG,
                                                           this);
    }
    if (options_.dispatcher != nullptr)
        options_.dispatcher->RegisterComponent(ComponentType::TF, this);
    if (link_)
        link_->Start();
}

void TraceflowApp::Stop() {
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (stopped_)
            return;
        stopped_ = true;
    }
    CFG_INFO("%1: Stop", kName);
    ozy::RefPtr<DataplaneLink> link;
    {
        AgentLockGuard lock(GlobalAgentLock());
        link = link_;
    }
    if (link)
        link->Stop();
    {
        // The link's handlers hold this application: letting go of the stopped link breaks the
        // cycle.
        AgentLockGuard lock(GlobalAgentLock());
        link_.reset();
    }
    if (options_.dispatcher != nullptr)
        options_.dispatcher->UnregisterComponent(this);
    if (options_.configTable != nullptr) {
        options_.configTable->UnregisterDesiredStateObserver(ObjectType::LOG_SWITCH_CONFIG, this);
        options_.configTable->UnregisterDesiredStateObserver(ObjectType::LOG_SWITCH_PORT_CONFIG,
                                                             this);
    }
}

void TraceflowApp::HandleLinkStatus(DataplaneLink* link, int status) {
    {
        AgentLockGuard lock(GlobalAgentLock());
        if (link != link_.get())
            return;
    }
    if (status == DataplaneLink::kLinkDown) {
        linkDown_ = true;
        CFG_DEBUG("%1: krnlink down", kName);
    } else if (status == DataplaneLink::kLinkUp) {
        linkDown_ = false;
        CFG_DEBUG("%1: krnlink up", kName);
        AgentLockGuard lock(GlobalAgentLock());
        if (intMode_)
            SendIntConfig();
    }
}

bool TraceflowApp::SendToDataplane(DpMsg msg, uint16_t type) {
    if (linkDown_ || !link_) {
        CFG_ERROR_CODE("LCP01006", "Traceflow krnlink is down.");
        return false;
    }
    CFG_DEBUG("%1: send a message to the dataplane, type %2", kName, type);
    return link_->Send(std::move(msg));
}

// ---- INT configuration ----

void TraceflowApp::UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates, bool) {
    AgentLockGuard lock(GlobalAgentLock());
    for (const CairnDBUpdateMsg& u : updates) {
        if (u.objType != ObjectType::GLOBAL_CONFIG)
            continue;
        pb::GlobalConfigMsg global;
        if (u.op == Operation::OPERATION_DELETE) {
            intMode_ = kIntNone;
            intDscp_ = 0;
        } else if (global.ParseFromString(u.data)) {
            if (!global.has_int_mode() && !global.has_int_dscp())
                continue;
            if (global.int_mode() > kIntDscpValue || global.int_dscp() > 0xFFFF) {
                CFG_ERROR_CODE("LCP01005", "%1: INT config mode %2 dscp %3 out of range, ignored",
                               kName, global.int_mode(), global.int_dscp());
                continue;
            }
            intMode_ = global.int_mode();
            intDscp_ = global.int_dscp();
        } else {
            CFG_ERROR_CODE("LCP01005", "%1: unparsable GLOBAL_CONFIG %2", kName, IdText(u.id));
            continue;
        }
        SendIntConfig();
    }
}

void TraceflowApp::SendIntConfig() {
    uint32_t mode = *intMode_;
    if (mode == kIntNone)
        CFG_INFO("%1: INT config is set to none", kName);
    else if (mode == kIntDscpBit)
        CFG_INFO("%1: INT config is set to dscp_bit", kName);
    else
        CFG_INFO("%1: INT config is set to dscp_value", kName);
    CFG_INFO(
        mode == kIntDscpBit ? "%1: INT config dscp bit = %2" : "%1: INT config dscp value = %2",
        kName, intDscp_);
    DpMsgWriter w(kMsgIntConfig, kIntConfigSize);
    w.Bytes(&mode, sizeof mode);  // host byte order, as the dataplane module reads it
    w.Be16(static_cast<uint16_t>(intDscp_));
    CFG_INFO("%1: send INT config to dataplane", kName);
    if (!SendToDataplane(w.Finish(), kMsgIntConfig))
        CFG_ERROR_CODE("LCP01006", "%1: failed to send INT config to dataplane", kName);
}

// ---- indexes ----

void TraceflowApp::ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates,
                                                   bool fullSync) {
    if (fullSync) {
        lspByVif_.clear();
        vifByLsp_.clear();
        lsByVlan_.clear();
        vlanByLs_.clear();
    }
    for (const CairnDBUpdateMsg& u : updates) {
        if (u.objType == ObjectType::LOG_SWITCH_PORT_CONFIG &&
            (u.property == PropertyType::INVALID_PROPERTY ||
             u.property == PropertyType::LSP_ATTACHMENT)) {
            auto old = vifByLsp_.find(u.id);
            if (old != vifByLsp_.end()) {
                lspByVif_.erase(old->second);
                vifByLsp_.erase(old);
            }
            pb::LogSwitchPortConfigMsg port;
            if (u.op == Operation::OPERATION_UPDATE && port.ParseFromString(u.data) &&
                port.has_attachment() && !port.attachment().vif_id().empty()) {
                lspByVif_[port.attachment().vif_id()] = u.id;
                vifByLsp_[u.id] = port.attachment().vif_id();
            }
        } else if (u.objType == ObjectType::LOG_SWITCH_CONFIG &&
                   (u.property == PropertyType::INVALID_PROPERTY ||
                    u.property == PropertyType::LS_VLAN)) {
            auto old = vlanByLs_.find(u.id);
            if (old != vlanByLs_.end()) {
                lsByVlan_.erase(old->second);
                vlanByLs_.erase(old);
            }
            pb::LogSwitchConfigMsg ls;
            if (u.op == Operation::OPERATION_UPDATE && ls.ParseFromString(u.data) &&
                ls.has_vlan()) {
                lsByVlan_[ls.vlan()] = u.id;
                vlanByLs_[u.id] = ls.vlan();
            }
        }
    }
}

// ---- requests ----

void TraceflowApp::SendStatus(uint64_t round, bool ok, const char* code, const std::string& text) {
    lcp::TraceflowStatusMsg status;
    status.set_round_id(round);
    status.set_ok(ok);
    status.set_error_code(code);
    status.set_message(text);
    if (options_.opsLink == nullptr || !options_.opsLink->SendPayload(status))
        CFG_ERROR_CODE("LCP01007", "%1: failed to send status to ozy-opsagent", kName);
}

void TraceflowApp::HandleRequest(const lcp::LcpDpMsg& msg) {
    lcp::TraceflowRequestMsg req;
    if (stopped_ || !msg.payload().UnpackTo(&req)) {
        CFG_ERROR_CODE("LCP01005", "%1: unreadable observation request", kName);
        return;
    }
    uint64_t round = req.round_id();
    auto refuse = [&](const char* code, const std::string& text) {
        SendStatus(round, false, code, text);
    };
    if (!req.has_src_port()) {
        CFG_ERROR_CODE("LCP01005", "%1: observation request has no source port", kName);
        return refuse("LCP01005", "no source port");
    }
    if (req.src_port().left() == 0 && req.src_port().right() == 0) {
        CFG_ERROR_CODE("LCP01005", "%1: observation request source port has no value", kName);
        return refuse("LCP01005", "source port has no value");
    }
    if (!req.has_packet() || req.packet().empty()) {
        CFG_ERROR_CODE("LCP01005", "%1: observation request has no packet", kName);
        return refuse("LCP01005", "no packet");
    }
    if (req.packet().size() > kMaxPacketSize) {
        CFG_ERROR_CODE("LCP01005",
                       "%1: observation request packet length = %2 exceedmaximum length", kName,
                       req.packet().size());
        return refuse("LCP01005", "packet longer than 1500 bytes");
    }
    std::string portId = req.src_port().SerializeAsString();
    CFG_INFO("%1: request port UUID %2", kName, IdText(portId));
    if (req.has_dvs_id())
        CFG_INFO("%1: request DVS UUID %2", kName, IdText(req.dvs_id().SerializeAsString()));
    IStateCacheConfigTable* table = options_.configTable;
    std::string dvport, portBody;
    if (table == nullptr || !table->GetDVPortIdByLsp(portId, &dvport)) {
        CFG_ERROR_CODE("LCP01005", "%1: find dvport %2 fail", kName, IdText(portId));
        return refuse("LCP01005", "source port not found");
    }
    pb::LogSwitchPortConfigMsg port;
    std::string lsBody;
    if (!table->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_PORT_CONFIG, portId,
                            PropertyType::INVALID_PROPERTY, &portBody) ||
        !port.ParseFromString(portBody) || !port.has_switch_id() ||
        !table->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG,
                            port.switch_id().SerializeAsString(), PropertyType::INVALID_PROPERTY,
                            &lsBody)) {
        CFG_ERROR_CODE("LCP01005", "%1: observation request find switch uuid fail", kName);
        return refuse("LCP01005", "switch of the source port not found");
    }
    if (req.has_dvs_id()) {
        std::string tz, hostSwitch, hostSwitchName;
        if (!table->GetTransportZoneOfLogicalSwitch(port.switch_id().SerializeAsString(), &tz) ||
            !table->GetHostSwitchOfTransportZone(tz, &hostSwitch, &hostSwitchName) ||
            hostSwitch != req.dvs_id().SerializeAsString()) {
            CFG_ERROR_CODE("LCP01005", "%1: observation request find switch uuid fail", kName);
            return refuse("LCP01005", "source port is not on the requested DVS");
        }
    }
    CFG_INFO("%1: request DVPort ID %2", kName, dvport);
    if (linkDown_) {
        CFG_ERROR_CODE("LCP01006", "Traceflow krnlink is down.");
        return refuse("LCP01006", "Traceflow krnlink is down.");
    }
    size_t total = kDpMsgHeaderSize + (4 + 8) + (4 + kIdSize) + (4 + req.packet().size());
    DpMsgWriter w(kMsgInject, total);
    uint8_t roundBytes[8];
    StoreBe64(roundBytes, round);
    w.Tlv(kInjRoundId, roundBytes, sizeof roundBytes);
    size_t at = w.BeginTlv(kInjDvport);
    w.FixedString(dvport, kIdSize);
    w.EndTlv(at);
    w.Tlv(kInjPacket, req.packet().data(), req.packet().size());
    CFG_INFO("%1: send request to dataplane", kName);
    if (!SendToDataplane(w.Finish(), kMsgInject))
        return refuse("LCP01006", "Traceflow krnlink is down.");
    SendStatus(round, true, "", "injected at " + dvport);
}

// ---- observations ----

void TraceflowApp::HandleDpMessage(const uint8_t* msg, size_t length) {
    uint16_t type = DpMsgType(msg);
    CFG_INFO("%1: receive a message from kernel, type: %2", kName, type);
    AgentLockGuard lock(GlobalAgentLock());
    if (stopped_)
        return;
    if (type == kMsgInternal) {
        CFG_INFO("%1: reply internal message %2", kName, type);
        SendToDataplane(DpMsg(msg, msg + length), type);
        return;
    }
    if (type < kMsgForward || type > kMsgLogicalRelay) {
        CFG_ERROR_CODE("LCP01005", "%1: unknown traceflow msg %2", kName, type);
        return;
    }
    HandleObservation(msg, length, type);
}

void TraceflowApp::HandleObservation(const uint8_t* msg, size_t length, uint16_t type) {
    Observation o;
    std::string error;
    if (!DecodeObservation(msg, length, &o, &error)) {
        CFG_ERROR_CODE("LCP01005", "%1: malformed traceflow msg %2: %3", kName, type, error);
        return;
    }
    if (o.obsType && *o.obsType != type) {
        CFG_ERROR_CODE("LCP01005", "%1: error traceflow msg type %2", kName, *o.obsType);
        return;
    }
    if (type == kMsgLogicalReceive && !o.vni && !o.vlan) {
        CFG_WARN("%1: skip invalid logical received message", kName);
        return;
    }
    lcp::TraceflowObservationMsg out;
    if (!ConvertObservation(o, &out))
        return;
    if (options_.opsLink == nullptr || !options_.opsLink->SendPayload(out))
        CFG_ERROR_CODE("LCP01007", "%1: failed to send update to controller", kName);
}

bool TraceflowApp::ConvertObservation(const Observation& o, lcp::TraceflowObservationMsg* out) {
    std::string name;
    if (o.roundId) {
        CFG_DEBUG("%1: set metadata round ID %2", kName, *o.roundId);
        out->set_round_id(*o.roundId);
    }
    if (o.timestamp) {
        CFG_DEBUG("%1: set timestamp %2", kName, *o.timestamp);
        out->set_timestamp(*o.timestamp);
    }
    out->set_observation_type(o.msgType);
    if (ObservationName(o.msgType, &name))
        out->set_observation_name(name);
    if (o.component) {
        if (ComponentName(*o.component, &name)) {
            out->set_component_type(*o.component);
            out->set_component_name(name);
        } else {
            CFG_ERROR("%1: fail to get component name %2", kName, *o.component);
        }
    }
    if (o.sequence)
        out->set_sequence(*o.sequence);
    if (!o.uplink.empty())
        out->set_uplink(o.uplink);
    if (!o.localIp.empty())
        SetIp(o.localIp, out->mutable_local_ip());
    if (!o.remoteIp.empty())
        SetIp(o.remoteIp, out->mutable_remote_ip());
    if (o.vtepLabel)
        out->set_vtep_label(*o.vtepLabel);
    if (o.peerType)
        out->set_peer_type(*o.peerType);
    if (o.dropReason) {
        out->set_drop_reason(*o.dropReason);
        if (DropReasonName(*o.dropReason, &name))
            out->set_drop_reason_name(name);
        else
            CFG_ERROR("%1: fail to get logical drop reason name %2", kName, *o.dropReason);
    }
    if (!o.dvport.empty())
        out->set_dvport_id(o.dvport);
    if (o.vlan)
        out->set_vlan(*o.vlan);
    if (o.resolution) {
        if (ResolutionName(*o.resolution, &name)) {
            out->set_resolution_type(*o.resolution);
            out->set_resolution_name(name);
        } else {
            CFG_ERROR("%1: fail to get arp resolution type name %2", kName, *o.resolution);
        }
    }
    if (o.mac)
        out->set_mac(std::string(o.mac->begin(), o.mac->end()));
    if (o.ruleId)
        out->set_rule_id(*o.ruleId);
    if (o.replication) {
        if (ReplicationName(*o.replication, &name)) {
            out->set_replication_type(*o.replication);
            out->set_replication_name(name);
        } else {
            CFG_ERROR("%1: fail to get replication type name %2", kName, *o.replication);
        }
    }
    if (o.resend) {
        if (ResendName(*o.resend, &name)) {
            out->set_resend_type(*o.resend);
            out->set_resend_name(name);
        } else {
            CFG_ERROR("%1: fail to get resend type name %2", kName, *o.resend);
        }
    }
    // Identifiers the control plane knows: the logical switch of a VNI or VLAN, the port of a VIF.
    std::string lsId;
    if (o.vni) {
        out->set_vni(*o.vni);
        if (options_.configTable != nullptr &&
            options_.configTable->FindLogicalSwitchByVni(*o.vni, &lsId)) {
            out->mutable_ls_id()->ParseFromString(lsId);
        } else {
            CFG_ERROR("%1: Failed to find LS UUID for VNI %2", kName, *o.vni);
        }
    } else if (o.vlan && o.msgType >= kMsgLogicalForward) {
        auto it = lsByVlan_.find(*o.vlan);
        if (it != lsByVlan_.end())
            out->mutable_ls_id()->ParseFromString(it->second);
        else
            CFG_ERROR("%1: Failed to find LS UUID for VLAN ID %2", kName, *o.vlan);
    }
    if (!o.vif.empty()) {
        out->set_vif_id(o.vif);
        auto it = lspByVif_.find(o.vif);
        if (it != lspByVif_.end())
            out->mutable_lsp_id()->ParseFromString(it->second);
        else
            CFG_ERROR("%1: Failed to find LSP UUID for VIF ID %2", kName, o.vif);
    }
    return true;
}

}  // namespace CfgAgent

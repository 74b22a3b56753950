// The SmartNIC side of the CairndbClient (persona 2): backing of host switches, the role of the
// local SmartNIC (active or standby), failover acknowledgements, runtime writes while standby and
// the re-publication of the runtime state when the SmartNIC becomes active. Also the runtime write
// of the other personas.
#include <iterator>
#include <map>
#include <utility>

#include "intake/CairndbClient.h"
#include "intake/ISmartNicCoordinator.h"
#include "intake/ModifyRequests.h"
#include "platform/cairndb/CairnDbClient.h"
#include "proto/UuidText.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/AgentSettings.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {

// One monitored change decoded: its op message, new and old bodies (each empty when absent or
// unreadable), and the object as it stands for the change (the old body for a CLEAR).
template <class Body, class Op>
struct DecodedChange {
    explicit DecodedChange(const pb::MonitorUpdateMsg& update) {
        if (!op.ParseFromString(update.op_msg()))
            op.Clear();
        if (!body.ParseFromString(update.object_body()))
            body.Clear();
        if (!old.ParseFromString(update.old_object_body()))
            old.Clear();
        clear = op.op().op() == pb::CLEAR;
        hasOld = !update.old_object_body().empty();
    }
    const Body& Subject() const { return clear && hasOld ? old : body; }

    Op op;
    Body body;
    Body old;
    bool clear = false;
    bool hasOld = false;
};

std::string UuidTextOf(const pb::UuidMsg& u) {
    return ozy::cairndb::UuidText(u.left(), u.right());
}

pb::UuidMsg UuidOf(const std::string& serialized) {
    pb::UuidMsg u;
    if (!u.ParseFromString(serialized))
        u.Clear();
    return u;
}

// Marks one list field of an op message as "append the single entry at index 0 of the patch body".
void AppendOne(pb::OpMsg* field) {
    field->set_op(pb::APPEND);
    pb::OpMsg* e = field->add_entries();
    e->set_op(pb::APPEND);
    e->set_index(0);
}

}  // namespace

// ---- runtime writes -----------------------------------------------------------------------------

void CairndbClient::writeRuntime(std::vector<pb::ModifyRequestMsg> requests, int kind,
                                 bool fullSync) {
    if (persona_ == kPersonaSmartnicHost && coordinator_ != nullptr) {
        coordinator_->WriteLocalRuntime(requests, kind, fullSync);
        return;
    }
    if (persona_ != kPersonaSmartnic) {
        queueWrite(std::move(requests), fullSync && kind == kRuntimeConfig);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(runtimeMutex_);
        const uint16_t vdb = mainVdbId();
        if (vdb == 0) {
            CFG_DEBUG("CairndbClient: no main vdb yet, runtime message of kind %1 dropped", kind);
            return;
        }
        if (!active_.load()) {
            // Standby: kept for the vdb; a full-sync list replaces what was kept before it.
            auto& queue = runtimeQueue_[vdb];
            if (fullSync) {
                queue.clear();
            }
            queue.insert(queue.end(), std::make_move_iterator(requests.begin()),
                         std::make_move_iterator(requests.end()));
            CFG_DEBUG("CairndbClient: standby, %1 runtime messages kept for vdb %2", queue.size(),
                      vdb);
            return;
        }
    }
    queueWrite(std::move(requests), false);
}

// ---- backing monitor (vdb 1)
// ----------------------------------------------------------------------

void CairndbClient::HyvioSmartnicMonitorUpdateCB(const pb::MonitorUpdateMsg& update) {
    AgentLockGuard lock(GlobalAgentLock());
    CFG_DEBUG("CairndbClient: HyvioSmartnicMonitorUpdateCB msg with type %1",
              static_cast<uint32_t>(update.object_type()));
    backingCache_.push_back(update.SerializeAsString());
}

void CairndbClient::HyvioSmartnicMonitorBarrierCB() {
    AgentLockGuard lock(GlobalAgentLock());
    CFG_DEBUG("CairndbClient: HyvioSmartnicMonitorBarrierCB msg with size %1",
              backingCache_.size());
    std::vector<std::string> cached;
    cached.swap(backingCache_);
    for (const std::string& bytes : cached) {
        pb::MonitorUpdateMsg update;
        if (!update.ParseFromString(bytes) ||
            update.object_type() !=
                static_cast<pb::ObjectType>(ObjectType::HOST_SWITCH_SMARTNIC_BACKING)) {
            CFG_ERROR_CODE("LCP00028", "CairndbClient: received INVALID msg from CairnDB");
            continue;
        }
        ProcessBackingMessage(update);
    }
}

void CairndbClient::ProcessBackingMessage(const pb::MonitorUpdateMsg& update) {
    DecodedChange<pb::HostSwitchSmartnicBackingMsg, pb::HostSwitchSmartnicBackingOpMsg> change(
        update);
    const pb::HostSwitchSmartnicBackingOpMsg& op = change.op;
    const bool clear = change.clear;
    const pb::HostSwitchSmartnicBackingMsg& msg = change.Subject();
    const std::string hs = UuidTextOf(msg.host_switch_id());
    CFG_INFO(
        "CairndbClient: Processing backing message with hostswitch %1, active sn %2, standby sn "
        "%3, current active "
        "sn %4, failover %5, vdb %6, local sn %7",
        hs, msg.active_sn_id(), msg.standby_sn_id(), msg.current_active_sn_id(), msg.failover(),
        msg.vdb(), localSnId_);
    auto served = servedSwitches_.find(hs);

    auto unregister = [&](uint16_t vdb) {
        UnregisterMonitorCB(vdb);
        if (mainVdbId() == vdb) {
            mainVdb_.store(0);
            active_.store(false);
        }
    };

    if (clear) {
        if (served != servedSwitches_.end()) {
            CFG_INFO("CairndbClient: Unregister vdb id %1", served->second.vdb);
            unregister(served->second.vdb);
            servedSwitches_.erase(served);
        }
        SendBackingToL2App(update, true);
        return;
    }
    if (op.op().op() != pb::SET) {
        return;
    }
    if (msg.current_active_sn_id().empty()) {
        CFG_ERROR("CairndbClient: Current active smartnic ID is empty in backing message.");
        return;
    }
    if (msg.vdb() == 0 || msg.vdb() > 0xFFFF) {
        CFG_ERROR("CairndbClient: Error vdb id in backing message.");
        return;
    }
    const uint16_t vdb = static_cast<uint16_t>(msg.vdb());
    const bool localIsActive = msg.active_sn_id() == localSnId_;
    const bool localIsStandby = msg.standby_sn_id() == localSnId_;
    if (!localIsActive && !localIsStandby) {
        if (served != servedSwitches_.end()) {
            CFG_INFO("CairndbClient: The host switch %1 is no longer offload on local sn %2", hs,
                     localSnId_);
            unregister(served->second.vdb);
            servedSwitches_.erase(served);
            SendBackingToL2App(update, false);
        } else {
            CFG_INFO(
                "CairndbClient: Ignore backing message with active sn %1 and standby sn %2, local "
                "sn %3",
                msg.active_sn_id(), msg.standby_sn_id(), localSnId_);
        }
        return;
    }
    const uint16_t mainVdb = mainVdbId();
    if (mainVdb != vdb) {
        CFG_INFO("CairndbClient: Local main vdb is %1, vdb in backing message is %2", mainVdb, vdb);
        if (mainVdb != 0) {
            // The switch moved to another vdb: follow it.
            UnregisterMonitorCB(mainVdb);
            active_.store(false);
            if (served != servedSwitches_.end())
                served->second.active = false;
        }
        mainVdb_.store(vdb);
        CFG_INFO("CairndbClient: Register vdb id %1", vdb);
        RegisterMonitorCB(vdb);
        FlushCachedReports();
    }

    const bool nowActive = msg.current_active_sn_id() == localSnId_;
    const bool known = served != servedSwitches_.end();
    const bool wasActive = known && served->second.active;
    if (known && wasActive && !nowActive) {
        CFG_INFO("CairndbClient: Change smartnic status from active to standby for switch %1", hs);
    } else if (known && !wasActive && nowActive) {
        CFG_INFO("CairndbClient: Change smartnic status from standby to active for switch %1", hs);
    } else if (!known && !nowActive) {
        if (msg.failover()) {
            CFG_INFO("CairndbClient: Change smartnic status to standby, old active is %1",
                     msg.active_sn_id());
        } else {
            CFG_INFO("CairndbClient: Change smartnic status to standby for switch %1", hs);
        }
    }
    servedSwitches_[hs] = ServedSwitch{vdb, nowActive};
    if (nowActive && !wasActive) {
        BecomeActive(hs);
    } else if (!nowActive) {
        active_.store(false);
        if (wasActive) {
            WriteFailoverAck(false, hs, "standby");
        }
    }
    SendBackingToL2App(update, false);
}

void CairndbClient::BecomeActive(const std::string& hostSwitch) {
    std::vector<pb::ModifyRequestMsg> kept;
    const uint16_t vdb = mainVdbId();
    {
        std::lock_guard<std::mutex> lock(runtimeMutex_);
        active_.store(true);
        auto it = runtimeQueue_.find(vdb);
        if (it != runtimeQueue_.end()) {
            kept.swap(it->second);
            runtimeQueue_.erase(it);
        }
    }
    CFG_INFO("CairndbClient: Flushing %1 messages in runtime msg queue to vdb %2", kept.size(),
             vdb);
    if (!kept.empty()) {
        write(kept);
    }
    RepublishRuntimeState();
    WriteFailoverAck(true, hostSwitch, "active");
}

void CairndbClient::SendBackingToL2App(const pb::MonitorUpdateMsg& update, bool clear) {
    pb::HostSwitchSmartnicBackingMsg msg;
    if (!msg.ParseFromString(clear ? update.old_object_body() : update.object_body()))
        msg.Clear();
    CairnDBUpdateMsg rec;
    rec.objType = ObjectType::HOST_SWITCH_SMARTNIC_BACKING;
    rec.id = msg.id().SerializeAsString();
    rec.data = clear ? std::string() : update.object_body();
    rec.op = clear ? Operation::OPERATION_DELETE : Operation::OPERATION_UPDATE;
    pending_.Add(ComponentType::L2APP, CairnDBUpdateList{rec});
    CFG_INFO("CairndbClient: sent SN Backing to L2app");
    // Dispatched at once, outside any configuration transaction; never the configuration's full
    // sync.
    RunBarrier(false);
}

void CairndbClient::ClearBacking() {
    const uint16_t vdb = mainVdbId();
    if (vdb != 0) {
        CFG_INFO("CairndbClient: HyvioSmartnicClearBackingMsg: Unregister vdb id %1", vdb);
        UnregisterMonitorCB(vdb);
    }
    mainVdb_.store(0);
    active_.store(false);
    backingCache_.clear();
    servedSwitches_.clear();
}

// ---- failover acknowledgement
// ---------------------------------------------------------------------

void CairndbClient::ProcessFailoverAck(const pb::MonitorUpdateMsg& update) {
    DecodedChange<pb::CfgAgentFailoverAckMsg, pb::CfgAgentFailoverAckOpMsg> change(update);
    const pb::CfgAgentFailoverAckOpMsg& op = change.op;
    // For a CLEAR the old body (empty when the change carries none).
    const pb::CfgAgentFailoverAckMsg& msg = change.clear ? change.old : change.body;
    CFG_INFO("CairndbClient: Processing CFG_AGENT_FAILOVER_ACK msg %1 with (Operation %2)",
             msg.ShortDebugString(), PBOpTypeToString(op.op().op()));
    if (!msg.sn_id().empty()) {
        // An acknowledgement written by a SmartNIC (ours included), not a request.
        return;
    }
    if (op.op().op() != pb::SET) {
        return;
    }
    const uint32_t vdb = msg.has_vdb() ? msg.vdb() : update.vdb();
    if (vdb != mainVdbId()) {
        CFG_ERROR(
            "CairndbClient: Failed to process CFG_AGENT_FAILOVER_ACK message with invaild vdbId "
            "%1, main vdb id %2",
            vdb, mainVdbId());
        return;
    }
    const std::string& failed = msg.failed_sn_id();
    if (failed.empty() || (failed != msg.active_sn_id() && failed != msg.standby_sn_id())) {
        CFG_ERROR(
            "CairndbClient: Failed to process CFG_AGENT_FAILOVER_ACK message with invaild failed "
            "sn id %1 active sn "
            "id %2, standby sn id %3",
            failed, msg.active_sn_id(), msg.standby_sn_id());
        return;
    }
    if (failed == localSnId_) {
        CFG_ERROR("CairndbClient: The failed sn id %1 is the same as local sn id", failed);
        return;
    }
    if (msg.active_sn_id() != localSnId_ && msg.standby_sn_id() != localSnId_) {
        CFG_INFO(
            "CairndbClient: Ignore invaild CFG_AGENT_FAILOVER_ACK message with active sn id %1, "
            "standby sn id %2, "
            "local sn id %3",
            msg.active_sn_id(), msg.standby_sn_id(), localSnId_);
        return;
    }
    WriteFailoverAck(true, UuidTextOf(msg.host_switch_id()),
                     "failover of " + failed + " acknowledged");
}

void CairndbClient::WriteFailoverAck(bool put, const std::string& hostSwitchId,
                                     const std::string& message) {
    const uint16_t vdb = mainVdbId();
    if (vdb == 0) {
        CFG_ERROR("CairndbClient: Invalid vdb id %1 to write CFG_AGENT_FAILOVER_ACK message", vdb);
        return;
    }
    uint64_t left = 0;
    uint64_t right = 0;
    if (!ozy::cairndb::ParseUuidText(localSnId_, &left, &right)) {
        CFG_ERROR("CairndbClient: Failed to parse local sn ID from string %1", localSnId_);
        return;
    }
    pb::ModifyRequestMsg req;
    req.set_vdb(vdb);
    if (put) {
        pb::CfgAgentFailoverAckMsg ack;
        ack.mutable_id()->set_left(left);
        ack.mutable_id()->set_right(right);
        uint64_t hl = 0;
        uint64_t hr = 0;
        if (ozy::cairndb::ParseUuidText(hostSwitchId, &hl, &hr)) {
            ack.mutable_host_switch_id()->set_left(hl);
            ack.mutable_host_switch_id()->set_right(hr);
        }
        ack.set_vdb(vdb);
        ack.set_sn_id(localSnId_);
        ack.set_message(message);
        CFG_INFO("CairndbClient: Put failover ACK message with hostswitch id %1, sn %2, message %3",
                 hostSwitchId, localSnId_, message);
        req = PutRequest(vdb, ObjectType::CFG_AGENT_FAILOVER_ACK, ack.SerializeAsString());
    } else {
        CFG_INFO(
            "CairndbClient: Delete failover ACK message with hostswitch id %1, sn %2, message %3",
            hostSwitchId, localSnId_, message);
        pb::DeleteMsg* d = req.mutable_delete_();
        d->set_object_type(pb::CFG_AGENT_FAILOVER_ACK);
        d->mutable_id()->set_left(left);
        d->mutable_id()->set_right(right);
    }
    write({req});
}

// ---- re-publication of the runtime state
// ----------------------------------------------------------

void CairndbClient::RepublishRuntimeState() {
    const uint16_t vdb = mainVdbId();
    if (!configFullSyncDone_.load()) {
        CFG_INFO("CairndbClient: Need to wait for config to fullsync with DP.");
    } else {
        std::vector<pb::ModifyRequestMsg> list;
        CFG_DEBUG("CairndbClient: put front VIF_STATE Flush object");
        list.push_back(FlushRequest(vdb, ObjectType::VIF_STATE));
        CFG_DEBUG("CairndbClient: put front HOPOVER_STATUS Flush object");
        list.push_back(FlushRequest(vdb, ObjectType::HOPOVER_STATUS));
        CairnDBUpdateList records =
            runtime_.configRuntime ? runtime_.configRuntime() : CairnDBUpdateList();
        for (const CairnDBUpdateMsg& rec : records) {
            if (rec.op != Operation::OPERATION_UPDATE) {
                continue;
            }
            const std::string idText = ObjectIdText(rec.id);
            if (rec.objType == ObjectType::VIF_STATE &&
                rec.property == PropertyType::INVALID_PROPERTY) {
                CFG_DEBUG("CairndbClient: put front VIF_STATE Put object (id %1)", idText);
                list.push_back(PutRequest(vdb, ObjectType::VIF_STATE, rec.data));
            } else if (rec.objType == ObjectType::VIF_STATE) {
                pb::VifStateOpMsg op;
                op.mutable_op()->set_op(pb::UPDATE);
                if (rec.property == PropertyType::VIF_IP_DISCOVEREDBINDING) {
                    op.mutable_ip_discovered_bindings()->set_op(pb::SET);
                } else if (rec.property == PropertyType::VIF_MAC) {
                    op.mutable_mac()->set_op(pb::SET);
                } else {
                    continue;
                }
                pb::VifStateMsg body;
                if (!body.ParseFromString(rec.data))
                    body.Clear();
                CFG_DEBUG("CairndbClient: prepare VIF_STATE Patch object (id %1) property SET",
                          idText);
                list.push_back(PatchRequest(vdb, ObjectType::VIF_STATE, rec.id, op, body));
            } else if (rec.objType == ObjectType::HOPOVER_STATUS) {
                CFG_DEBUG("CairndbClient: prepare HOPOVER_STATUS Put object (id %1)", idText);
                list.push_back(PutRequest(vdb, ObjectType::HOPOVER_STATUS, rec.data));
            }
        }
        write(list);
    }
    if (!l2FullSyncDone_.load()) {
        CFG_INFO("CairndbClient: Need to wait for L2 to fullsync with DP.");
        return;
    }
    std::vector<pb::ModifyRequestMsg> list;
    CFG_DEBUG("CairndbClient: put front LOG_SWITCH_STATE Flush object");
    list.push_back(FlushRequest(vdb, ObjectType::LOG_SWITCH_STATE));
    CFG_DEBUG("CairndbClient: put front ROUTING_DOMAIN_VTEP Flush object");
    list.push_back(FlushRequest(vdb, ObjectType::ROUTING_DOMAIN_VTEP));
    CairnDBUpdateList records = runtime_.l2Runtime ? runtime_.l2Runtime() : CairnDBUpdateList();
    for (const CairnDBUpdateMsg& rec : records) {
        if (rec.op != Operation::OPERATION_UPDATE) {
            continue;
        }
        const std::string idText = ObjectIdText(rec.id);
        const bool lsState = rec.objType == ObjectType::LOG_SWITCH_STATE ||
                             rec.objType == ObjectType::LOG_SWITCH_FIB;
        const bool rdVtep = rec.objType == ObjectType::ROUTING_DOMAIN_VTEP ||
                            rec.objType == ObjectType::ROUTING_DOMAIN_FIB;
        if (!lsState && !rdVtep) {
            CFG_ERROR("CairndbClient: Flushing l2 runtime cache with error message type %1",
                      static_cast<uint32_t>(rec.objType));
            continue;
        }
        if (rec.property == PropertyType::INVALID_PROPERTY) {
            // The L2 table keeps objects without a body: the id alone makes the object.
            std::string body = rec.data;
            if (body.empty()) {
                pb::LogSwitchStateMsg idOnly;
                *idOnly.mutable_id() = UuidOf(rec.id);
                body = idOnly.SerializeAsString();
            }
            if (lsState) {
                CFG_DEBUG("CairndbClient: put front LOG_SWITCH_STATE Put object (id %1)", idText);
                list.push_back(PutRequest(vdb, ObjectType::LOG_SWITCH_STATE, body));
            } else {
                CFG_DEBUG("CairndbClient: put front ROUTING_DOMAIN_VTEP Put object (id %1)",
                          idText);
                list.push_back(PutRequest(vdb, ObjectType::ROUTING_DOMAIN_VTEP, body));
            }
            continue;
        }
        if (lsState) {
            pb::LogSwitchStateOpMsg op;
            op.mutable_op()->set_op(pb::UPDATE);
            pb::LogSwitchStateMsg body;
            *body.mutable_id() = UuidOf(rec.id);
            bool ok = true;
            switch (rec.property) {
                case PropertyType::L2_VTEP:
                    AppendOne(op.mutable_vtep_entries());
                    ok = body.add_vtep_entries()->ParseFromString(rec.data);
                    break;
                case PropertyType::L2_VM_MAC:
                    AppendOne(op.mutable_mac_entries());
                    ok = body.add_mac_entries()->ParseFromString(rec.data);
                    break;
                case PropertyType::L2_VM_IP:
                    AppendOne(op.mutable_ip_entries());
                    ok = body.add_ip_entries()->ParseFromString(rec.data);
                    break;
                default:
                    ok = false;
                    break;
            }
            if (!ok) {
                CFG_ERROR("CairndbClient: Flushing l2 runtime cache with error message type %1",
                          static_cast<uint32_t>(rec.objType));
                continue;
            }
            CFG_DEBUG("CairndbClient: prepare LOG_SWITCH_STATE Patch object  (id %1)", idText);
            list.push_back(PatchRequest(vdb, ObjectType::LOG_SWITCH_STATE, rec.id, op, body));
        } else if (rec.property == PropertyType::L2_VTEP) {
            pb::RoutingDomainVtepOpMsg op;
            op.mutable_op()->set_op(pb::UPDATE);
            AppendOne(op.mutable_vtep_entries());
            pb::RoutingDomainVtepMsg body;
            *body.mutable_id() = UuidOf(rec.id);
            if (!body.add_vtep_entries()->ParseFromString(rec.data)) {
                CFG_ERROR("CairndbClient: Flushing l2 runtime cache with error message type %1",
                          static_cast<uint32_t>(rec.objType));
                continue;
            }
            CFG_DEBUG(
                "CairndbClient: prepare ROUTING_DOMAIN_VTEP Patch object (id %1) APPEND L2_VTEP",
                idText);
            list.push_back(PatchRequest(vdb, ObjectType::ROUTING_DOMAIN_VTEP, rec.id, op, body));
        }
    }
    write(list);
}

}  // namespace CfgAgent

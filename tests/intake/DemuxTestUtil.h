#pragma once
// Support of the Demux and SmartNIC coordinator tests: a writer that captures the request lists,
// a model of the vdbs those lists leave (a flush drops every object of its type in the vdb, a put
// stores, a delete removes, in list order), and builders of the topology's bodies and updates.
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <google/protobuf/message.h>

#include "intake/DemuxNodeKinds.h"
#include "intake/ICairndbClient.h"
#include "intake/ReportRequests.h"
#include "proto/CairndbSchema.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "tests/intake/DecodeTestUtil.h"

namespace CfgAgent::test {

// The objects of the vdbs, as the written lists leave them: (vdb, type, id) -> body.
class VdbModel {
  public:
    using Key = std::tuple<uint32_t, uint32_t, std::string>;

    void Apply(const std::vector<pb::ModifyRequestMsg>& list) {
        for (const pb::ModifyRequestMsg& r : list) {
            if (r.has_flush()) {
                for (auto it = objects_.begin(); it != objects_.end();) {
                    const bool drop =
                        std::get<0>(it->first) == r.vdb() &&
                        std::get<1>(it->first) == static_cast<uint32_t>(r.flush().object_type());
                    it = drop ? objects_.erase(it) : std::next(it);
                }
            } else if (r.has_put()) {
                const auto type = static_cast<uint32_t>(r.put().object().object_type());
                objects_[{r.vdb(), type, IdOf(type, r.put().object().body())}] =
                    r.put().object().body();
            } else if (r.has_delete_()) {
                objects_.erase({r.vdb(), static_cast<uint32_t>(r.delete_().object_type()),
                                r.delete_().id().SerializeAsString()});
            }
        }
    }
    void Put(uint32_t vdb, ObjectType type, const google::protobuf::Message& body) {
        pb::ModifyRequestMsg r;
        r.set_vdb(vdb);
        r.mutable_put()->mutable_object()->set_object_type(static_cast<pb::ObjectType>(type));
        r.mutable_put()->mutable_object()->set_body(body.SerializeAsString());
        Apply({r});
    }
    // The objects of a vdb as (type, id) pairs.
    std::set<std::pair<uint32_t, std::string>> Of(uint32_t vdb) const {
        std::set<std::pair<uint32_t, std::string>> out;
        for (const auto& [k, body] : objects_) {
            if (std::get<0>(k) == vdb)
                out.insert({std::get<1>(k), std::get<2>(k)});
        }
        return out;
    }
    bool Has(uint32_t vdb, ObjectType type, const pb::UuidMsg& id) const {
        return objects_.count({vdb, static_cast<uint32_t>(type), id.SerializeAsString()}) != 0;
    }
    std::string Body(uint32_t vdb, ObjectType type, const pb::UuidMsg& id) const {
        auto it = objects_.find({vdb, static_cast<uint32_t>(type), id.SerializeAsString()});
        return it == objects_.end() ? std::string() : it->second;
    }
    const std::map<Key, std::string>& All() const { return objects_; }

  private:
    static std::string IdOf(uint32_t type, const std::string& body) {
        const auto* info = ozy::cairndb::FindObjectType(static_cast<int>(type));
        std::unique_ptr<google::protobuf::Message> m(info->body->New());
        m->ParseFromString(body);
        const auto* f = m->GetDescriptor()->FindFieldByNumber(1);
        return m->GetReflection()->GetMessage(*m, f).SerializeAsString();
    }
    std::map<Key, std::string> objects_;
};

// Captures every written list and applies it to a model.
class CapturingWriter : public ICairndbClient {
  public:
    void write(const std::vector<pb::ModifyRequestMsg>& requests) override {
        std::lock_guard<std::mutex> l(m_);
        lists.push_back(requests);
        model.Apply(requests);
    }
    void writeRuntime(std::vector<pb::ModifyRequestMsg> requests, int kind,
                      bool fullSync) override {
        std::lock_guard<std::mutex> l(m_);
        runtime.push_back({requests.size(), kind, fullSync});
    }
    void setFullSyncDone(bool, int) override {}
    uint16_t mainVdbId() const override { return 1; }
    void getObject(ObjectType, uint16_t, const std::string&, GetObjectCallback cb) override {
        cb(LookupResult::kFailed, std::string());
    }

    std::vector<std::vector<pb::ModifyRequestMsg>> lists;
    std::vector<std::tuple<size_t, int, bool>> runtime;
    VdbModel model;

  private:
    std::mutex m_;
};

// True unless `r` is a put whose body does not parse as its type or lacks its id (field 1), which
// the database would refuse.
inline bool PutIsWellFormed(const pb::ModifyRequestMsg& r) {
    if (!r.has_put())
        return true;
    const auto* info = ozy::cairndb::FindObjectType(r.put().object().object_type());
    if (info == nullptr)
        return false;
    std::unique_ptr<google::protobuf::Message> m(info->body->New());
    if (!m->ParseFromString(r.put().object().body()))
        return false;
    const auto* f = m->GetDescriptor()->FindFieldByNumber(1);
    return m->GetReflection()->HasField(*m, f);
}

// ---- updates ------------------------------------------------------------------------------------

// A SET (or another object operation) of `body` as the library delivers it: the op message of the
// type's op class with its object operation only.
inline pb::MonitorUpdateMsg SetOf(ObjectType type, const google::protobuf::Message& body,
                                  pb::PBOpType op = pb::SET) {
    pb::MonitorUpdateMsg u;
    u.set_object_type(static_cast<pb::ObjectType>(type));
    u.set_op_msg(OpOf(type, op)->SerializeAsString());
    u.set_object_body(body.SerializeAsString());
    return u;
}

// `u` with its body or its op message replaced.
inline pb::MonitorUpdateMsg WithBody(pb::MonitorUpdateMsg u, const std::string& body) {
    u.set_object_body(body);
    return u;
}
inline pb::MonitorUpdateMsg WithOp(pb::MonitorUpdateMsg u, const std::string& op) {
    u.set_op_msg(op);
    return u;
}

// A CLEAR carrying the old body.
inline pb::MonitorUpdateMsg ClearOf(ObjectType type, const google::protobuf::Message& old) {
    pb::MonitorUpdateMsg u = SetOf(type, old, pb::CLEAR);
    u.set_old_object_body(u.object_body());
    u.clear_object_body();
    return u;
}

// ---- reports ------------------------------------------------------------------------------------

inline pb::BarrierMsg BarrierBody(uint64_t n) {
    pb::BarrierMsg m;
    *m.mutable_id() = Uuid(0xb00);
    m.set_barrier_id(n);
    return m;
}

inline pb::ProcessedBarrierMsg Processed(uint32_t vertical, uint64_t n) {
    pb::ProcessedBarrierMsg m;
    *m.mutable_id() = ReportObjectId(vertical);
    m.set_vertical_id(vertical);
    m.set_barrier_id(n);
    return m;
}

inline pb::RuntimeStatusMsg RuntimeStatus(uint32_t component, const std::vector<int>& objects,
                                          uint64_t barrier = 0) {
    pb::RuntimeStatusMsg m;
    *m.mutable_id() = ReportObjectId(component);
    m.set_component_id(component);
    if (barrier != 0)
        m.set_barrier_id(barrier);
    for (int o : objects) {
        pb::RealizationErrorMsg* e = m.add_errors();
        e->set_object_type(pb::LOG_SWITCH_PORT_CONFIG);
        *e->mutable_object_id() = Uuid(o);
        e->set_error_code(static_cast<uint32_t>(o));
        e->set_error_message("object " + std::to_string(o));
    }
    return m;
}

// ---- bodies -------------------------------------------------------------------------------------

// Distinct id ranges per kind, so that a test reads which object an id names.
inline pb::UuidMsg TnId(int n) {
    return Uuid(0x300 + n);
}
inline pb::UuidMsg HsId(int n) {
    return Uuid(0x400 + n);
}
inline pb::UuidMsg TzId(int n) {
    return Uuid(0x700 + n);
}
inline pb::UuidMsg LsId(int n) {
    return Uuid(0x100 + n);
}
inline pb::UuidMsg LspId(int n) {
    return Uuid(0x200000 + n);
}
inline pb::UuidMsg LrId(int n) {
    return Uuid(0x900 + n);
}
inline pb::UuidMsg LrpId(int n) {
    return Uuid(0xa00 + n);
}

// A transport node with host switches {hs, zones}.
inline pb::TransportNodeConfigMsg Tn(int n,
                                     const std::vector<std::pair<int, std::vector<int>>>& hs) {
    pb::TransportNodeConfigMsg m;
    *m.mutable_id() = TnId(n);
    for (const auto& [h, zones] : hs) {
        pb::TransportSwitchMsg* ts = m.add_transport_switches();
        *ts->mutable_host_switch_id() = HsId(h);
        ts->set_name("hs-" + std::to_string(h));
        for (int z : zones)
            *ts->add_transport_zone_ids() = TzId(z);
    }
    return m;
}

inline pb::LogSwitchConfigMsg Ls(int n, int zone, int routingDomain = 0) {
    pb::LogSwitchConfigMsg m;
    *m.mutable_id() = LsId(n);
    *m.mutable_transport_zone_id() = TzId(zone);
    m.set_vni(5000 + static_cast<uint32_t>(n));
    if (routingDomain != 0)
        *m.mutable_routing_domain_id() = Uuid(0x800 + routingDomain);
    return m;
}

inline pb::LogSwitchPortConfigMsg Lsp(int n, int ls, bool vif = false) {
    pb::LogSwitchPortConfigMsg m;
    *m.mutable_id() = LspId(n);
    *m.mutable_switch_id() = LsId(ls);
    if (vif) {
        m.mutable_attachment()->set_type(1);
        char text[40];
        std::snprintf(text, sizeof(text), "00000000-0000-1111-0000-0000%08x", 0x500000 + n);
        m.mutable_attachment()->set_vif_id(text);
    }
    return m;
}

inline pb::UuidMsg VifId(int n) {
    return Uuid(0x500000 + n);
}

inline pb::HostSwitchSmartnicBackingMsg Backing(int n, int hs, uint32_t vdb,
                                                const std::string& active = "sn-a") {
    pb::HostSwitchSmartnicBackingMsg m;
    *m.mutable_id() = Uuid(0x600 + n);
    *m.mutable_host_switch_id() = HsId(hs);
    m.set_vdb(vdb);
    m.set_active_sn_id(active);
    m.set_current_active_sn_id(active);
    return m;
}

inline pb::RuleMsg Rule(int n) {
    pb::RuleMsg m;
    *m.mutable_id() = Uuid(0xf00 + n);
    return m;
}

// One object of every node type below switch 1 (through host switch 1, port 1, router 1 and its
// port 1), each with the parents its fields name; `name` names its seed in the fuzz corpus.
struct SubtreeNode {
    const char* name;
    ObjectType type;
    pb::UuidMsg id;
    std::vector<std::pair<const char*, pb::UuidMsg>> refs;
    uint32_t entityType = 0;  // entity groups: the kind of their members

    std::unique_ptr<google::protobuf::Message> Body() const {
        auto body = BodyOf(type, id, refs);
        if (entityType != 0)
            static_cast<pb::EntityGroupRelationMsg&>(*body).set_entity_type(entityType);
        return body;
    }
};

inline std::vector<SubtreeNode> SubtreeOfSwitch1() {
    using OT = ObjectType;
    return {
        {"davif", OT::DA_VIF, VifId(1), {}},
        {"vtep_group", OT::VTEP_GROUP, Uuid(0xe01), {{"host_switch_id", HsId(1)}}},
        {"ls_fib", OT::LOG_SWITCH_FIB, LsId(1), {}},
        {"rd_fib", OT::ROUTING_DOMAIN_FIB, Uuid(0x801), {}},
        {"lr",
         OT::LOG_ROUTER_CONFIG,
         LrId(1),
         {{"logical_switch_ids", LsId(1)},
          {"dad_profile_id", Uuid(0xd11)},
          {"ndra_profile_id", Uuid(0xd12)}}},
        {"lrp", OT::LOG_ROUTER_PORT_CONFIG, LrpId(1), {{"lr_uuid", LrId(1)}}},
        {"fib", OT::FIB, Uuid(0xb11), {{"router_id", LrId(1)}}},
        {"arp", OT::ARP_TABLE_CONFIG, Uuid(0xb12), {{"router_port_id", LrpId(1)}}},
        {"mcast_route", OT::MULTICAST_STATIC_ROUTE, Uuid(0xb13), {{"lr_uuid", LrId(1)}}},
        {"mcast_config", OT::MULTICAST_CONFIG, Uuid(0xb14), {{"lr_uuid", LrId(1)}}},
        {"dad_state", OT::LOG_ROUTER_PORT_FIB_DAD_STATE, Uuid(0xb15), {{"lrp_id", LrpId(1)}}},
        {"prefix_list", OT::PREFIX_LIST, Uuid(0xb16), {{"router_port_id", LrpId(1)}}},
        {"dad_profile", OT::DAD_PROFILE_CONFIG, Uuid(0xd11), {}},
        {"ndra_profile", OT::NDRA_PROFILE_CONFIG, Uuid(0xd12), {}},
        {"entity_group",
         OT::ENTITY_GROUP_RELATION,
         Uuid(0xb17),
         {{"entity_ids", LspId(1)}},
         demux::kEntityLogSwitchPort},
        {"entity_group_lrp",
         OT::ENTITY_GROUP_RELATION,
         Uuid(0xb18),
         {{"entity_ids", LrpId(1)}},
         demux::kEntityLogRouterPort},
        {"nsg", OT::NSG_MEMBERSHIP_STATUS, Uuid(0xb19), {{"lsp_id", LspId(1)}}},
        {"dad_request", OT::LOG_ROUTER_PORT_DAD_REQUEST, Uuid(0xb1a), {{"lrp_id", LrpId(1)}}},
    };
}

}  // namespace CfgAgent::test

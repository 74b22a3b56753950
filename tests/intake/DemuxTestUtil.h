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

#include "intake/ICairndbClient.h"
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
    void writeRuntime(const std::vector<pb::ModifyRequestMsg>& requests, int kind,
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
    const auto* info = ozy::cairndb::FindObjectType(static_cast<int>(type));
    std::unique_ptr<google::protobuf::Message> opMsg(info->op->New());
    const auto* f = opMsg->GetDescriptor()->FindFieldByNumber(1);
    pb::OpMsg objectOp;
    objectOp.set_op(op);
    opMsg->GetReflection()->MutableMessage(opMsg.get(), f)->CopyFrom(objectOp);
    pb::MonitorUpdateMsg u;
    u.set_object_type(static_cast<pb::ObjectType>(type));
    u.set_op_msg(opMsg->SerializeAsString());
    u.set_object_body(body.SerializeAsString());
    return u;
}

// A CLEAR carrying the old body.
inline pb::MonitorUpdateMsg ClearOf(ObjectType type, const google::protobuf::Message& old) {
    pb::MonitorUpdateMsg u = SetOf(type, old, pb::CLEAR);
    u.set_old_object_body(u.object_body());
    u.clear_object_body();
    return u;
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

}  // namespace CfgAgent::test

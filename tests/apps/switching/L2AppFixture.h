#pragma once
// An L2App on fakes: a fake VXLAN kernel link, a real state cache whose runtime observer writes to
// a recording database client, and the dataplane's messages spelled as bytes. Db() replays the
// recorded runtime writes into a small model of the database (flush, put, delete and list patches
// applied as cairndb applies them), so tests read what cairndb would hold.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "apps/switching/L2App.h"
#include "platform/cairndb/OpMessages.h"
#include "platform/monitoring/AlarmTable.h"
#include "proto/CairndbSchema.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/AgentLock.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheObserver.h"
#include "tests/apps/switching/SwitchingFakes.h"
#include "tests/dataplane/VxlanVectors.h"
#include "tests/support/FakeCairndbClient.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {

namespace pb = orvane::ozy::cairndb;
using namespace vxlanvec;

constexpr const char* kVxlanLink = "ozy_vxlan_krnlink";

// Serialized UUIDs of logical switches and routing domains.
inline std::string LsId(uint64_t n) {
    return SerializedUuid(0x5a00000000000000ull, n);
}
inline std::string RdId(uint64_t n) {
    return SerializedUuid(0x7d00000000000000ull, n);
}

// Desired entry bodies.
inline std::string VtepBody(uint32_t ipv4, uint32_t label, uint64_t mac = 0) {
    pb::LogSwitchVtepEntryMsg m;
    m.mutable_ip()->set_ipv4(ipv4);
    m.set_label(label);
    if (mac != 0)
        m.set_mac(mac);
    return m.SerializeAsString();
}
inline std::string MacBody(uint64_t mac, uint32_t vtepIpv4) {
    pb::LogSwitchMacEntryMsg m;
    m.set_mac(mac);
    m.mutable_vtep_ip()->set_ipv4(vtepIpv4);
    return m.SerializeAsString();
}
inline std::string IpBody(uint32_t ipv4, uint64_t mac) {
    pb::LogSwitchIpEntryMsg m;
    m.mutable_ip()->set_ipv4(ipv4);
    m.set_mac(mac);
    return m.SerializeAsString();
}

// One desired entry of a FIB.
struct Entry {
    PropertyType property;
    std::string body;
    Operation op = Operation::OPERATION_UPDATE;
};

// The database as the runtime writes leave it: LOG_SWITCH_STATE and ROUTING_DOMAIN_VTEP rows by
// object type and id text, bodies parsed.
struct RuntimeDb {
    std::map<std::string, pb::LogSwitchStateMsg> switches;
    std::map<std::string, pb::RoutingDomainVtepMsg> domains;

    // MACs (as numbers) of a switch's row, and the VTEP addresses (IPv4 numbers; IPv6 as their
    // last byte + 0x100000000) of a row's VTEP list.
    std::set<uint64_t> Macs(const std::string& ls) const {
        std::set<uint64_t> out;
        auto it = switches.find(IdText(ls));
        if (it != switches.end()) {
            for (const auto& m : it->second.mac_entries())
                out.insert(m.mac());
        }
        return out;
    }
    template <class Row>
    static std::set<uint64_t> Vteps(const Row& row) {
        std::set<uint64_t> out;
        for (const auto& v : row.vtep_entries()) {
            if (v.ip().has_ipv4())
                out.insert(v.ip().ipv4());
            else
                out.insert(0x100000000ull + static_cast<uint8_t>(v.ip().ipv6().back()));
        }
        return out;
    }
    std::set<uint64_t> SwitchVteps(const std::string& ls) const {
        auto it = switches.find(IdText(ls));
        return it == switches.end() ? std::set<uint64_t>{} : Vteps(it->second);
    }
    std::set<uint64_t> DomainVteps(const std::string& rd) const {
        auto it = domains.find(IdText(rd));
        return it == domains.end() ? std::set<uint64_t>{} : Vteps(it->second);
    }
};

class L2AppFixture : public ::testing::Test {
  protected:
    void SetUp() override { Make(); }
    void TearDown() override {
        if (app)
            app->Stop();
        observer->UnregisterRuntimeCache();
    }

    virtual boost::property_tree::ptree Config() {
        boost::property_tree::ptree c;
        c.put("krnlink.path", kVxlanLink);
        return c;
    }

    // Options of the app beyond the fixture's tables and link.
    virtual void Tune(L2AppOptions& options) { (void)options; }

    void Make() {
        cache = ozy::MakeRef<StateCache>();
        observer = ozy::MakeRef<StateCacheObserver>(&db, cache.get());
        observer->RegisterRuntimeCache();
        L2AppOptions o;
        o.configTable = cache->ConfigTable();
        o.l2Table = cache->L2Table();
        o.makeLink = links.Factory();
        o.alarmTable = &alarms;
        Tune(o);
        app = ozy::MakeRef<L2App>(std::move(o));
        app->Init(Config());
        link = links.Get(kVxlanLink);
        ASSERT_NE(link, nullptr);
    }

    void Deliver(const Bytes& msg) { link->Deliver(msg); }
    // Link up: the app opens a session; its ID.
    uint32_t Up() {
        link->Up();
        return vxlan::CurrentSessionId();
    }
    void Ack() { Deliver(Session(2, vxlan::CurrentSessionId())); }
    void End() { Deliver(Session(3, vxlan::CurrentSessionId())); }
    // A session through its Full Sync End, with `fullSync` reported in between.
    void Synced(const std::vector<Bytes>& fullSync = {}) {
        Up();
        Ack();
        for (const Bytes& m : fullSync)
            Deliver(m);
        End();
    }

    // Desired LOG_SWITCH_CONFIG of switch `ls` with its VNI and, when given, routing domain.
    void ApplySwitch(const std::string& ls, uint32_t vni, const std::string& rd = {}) {
        CairnDBUpdateList list;
        auto rec = [&](PropertyType p, const pb::LogSwitchConfigMsg& body) {
            CairnDBUpdateMsg r;
            r.objType = ObjectType::LOG_SWITCH_CONFIG;
            r.id = ls;
            r.property = p;
            r.data = body.SerializeAsString();
            list.push_back(r);
        };
        rec(PropertyType::INVALID_PROPERTY, pb::LogSwitchConfigMsg());
        pb::LogSwitchConfigMsg v;
        v.set_vni(vni);
        rec(PropertyType::LS_VNI, v);
        if (!rd.empty()) {
            pb::LogSwitchConfigMsg r;
            r.mutable_routing_domain_id()->ParseFromString(rd);
            rec(PropertyType::LS_ROUTING_DOMAIN_ID, r);
        }
        cache->ConfigTable()->UpdateDesiredState(list, false);
    }

    // LOG_SWITCH_FIB of `ls`: its object record, then the entries.
    void ApplyFib(const std::string& ls, const std::vector<Entry>& entries, bool fullSync = false) {
        ApplyL2(ObjectType::LOG_SWITCH_FIB, ls, entries, fullSync);
    }
    // A desired L2 object (`objectOp` delete: its record after the entries, as the decoder
    // sends a cleared object).
    void ApplyL2(ObjectType type, const std::string& id, const std::vector<Entry>& entries,
                 bool fullSync = false, Operation objectOp = Operation::OPERATION_UPDATE) {
        CairnDBUpdateList list;
        CairnDBUpdateMsg object;
        object.objType = type;
        object.id = id;
        object.op = objectOp;
        if (objectOp == Operation::OPERATION_UPDATE)
            list.push_back(object);
        object.op = Operation::OPERATION_UPDATE;
        for (const Entry& e : entries) {
            CairnDBUpdateMsg r = object;
            r.property = e.property;
            r.op = e.op;
            r.data = e.body;
            list.push_back(r);
        }
        if (objectOp != Operation::OPERATION_UPDATE) {
            object.op = objectOp;
            list.push_back(object);
        }
        cache->L2Table()->UpdateDesiredState(list, fullSync);
    }
    void ApplyLs(const std::string& ls, PropertyType p, const pb::LogSwitchConfigMsg& body) {
        CairnDBUpdateMsg r;
        r.objType = ObjectType::LOG_SWITCH_CONFIG;
        r.id = ls;
        r.property = p;
        r.data = body.SerializeAsString();
        cache->ConfigTable()->UpdateDesiredState({r}, false);
    }
    // Entry bodies of a runtime object's property.
    size_t RuntimeEntries(ObjectType type, const std::string& id, PropertyType p) {
        CairnDBUpdateList out;
        cache->L2Table()->GetProperty(L2Store::kRuntime, type, id, p, &out);
        return out.size();
    }
    bool RuntimeObject(const std::string& id) {
        CairnDBUpdateList out;
        return cache->L2Table()->GetObject(L2Store::kRuntime, id, &out);
    }

    RuntimeDb Db() {
        RuntimeDb out;
        std::lock_guard<std::mutex> l(db.m);
        for (const auto& w : db.runtimeWrites) {
            for (const pb::ModifyRequestMsg& r : w.requests)
                Replay(r, &out);
        }
        return out;
    }
    size_t RuntimeWriteCount() {
        std::lock_guard<std::mutex> l(db.m);
        return db.runtimeWrites.size();
    }

    // Messages the app sent, by type.
    std::vector<DpMsg> SentOfType(uint16_t type) {
        std::vector<DpMsg> out;
        for (const DpMsg& m : link->Sent()) {
            if (m.size() >= 4 && DpMsgType(m.data()) == type)
                out.push_back(m);
        }
        return out;
    }

    size_t LogSize() const { return log.Entries().size(); }
    bool LogSince(size_t mark, const std::string& text) const {
        return log.IndexOf(text, mark) >= 0;
    }

    LogCapture log{kLogDebug};
    ozy::monitoring::AlarmTable alarms;
    FakeCairndbClient db;
    ozy::RefPtr<StateCache> cache;
    ozy::RefPtr<StateCacheObserver> observer;
    FakeLinks links;
    ozy::RefPtr<L2App> app;
    FakeLink* link = nullptr;

  private:
    template <class Row>
    static void ApplyTo(std::map<std::string, Row>& rows, const pb::ModifyRequestMsg& r) {
        if (r.has_flush()) {
            rows.clear();
        } else if (r.has_put()) {
            Row row;
            ASSERT_TRUE(row.ParseFromString(r.put().object().body()));
            rows[IdText(row.id().SerializeAsString())] = row;
        } else if (r.has_delete_()) {
            rows.erase(IdText(r.delete_().id().SerializeAsString()));
        } else if (r.has_patch()) {
            const ozy::cairndb::ObjectTypeInfo* info =
                ozy::cairndb::FindObjectType(r.patch().object_type());
            ASSERT_NE(info, nullptr);
            std::unique_ptr<google::protobuf::Message> op(info->op->New());
            Row partial;
            ASSERT_TRUE(op->ParseFromString(r.patch().op()));
            ASSERT_TRUE(partial.ParseFromString(r.patch().body()));
            std::string key = IdText(r.patch().id().SerializeAsString());
            ASSERT_TRUE(rows.count(key) != 0) << "patch of a row never put: " << key;
            bool listOps = false;
            std::string error;
            ASSERT_TRUE(ozy::cairndb::ApplyPatch(*op, partial, &rows[key], &listOps, &error))
                << error;
        }
    }
    static int TypeOf(const pb::ModifyRequestMsg& r) {
        if (r.has_flush())
            return r.flush().object_type();
        if (r.has_put())
            return r.put().object().object_type();
        if (r.has_delete_())
            return r.delete_().object_type();
        return r.patch().object_type();
    }
    static void Replay(const pb::ModifyRequestMsg& r, RuntimeDb* out) {
        if (TypeOf(r) == pb::LOG_SWITCH_STATE)
            ApplyTo(out->switches, r);
        else if (TypeOf(r) == pb::ROUTING_DOMAIN_VTEP)
            ApplyTo(out->domains, r);
    }
};

}  // namespace CfgAgent::test

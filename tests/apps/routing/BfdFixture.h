#pragma once
// A BFDTableApp on real state-cache tables (configuration, L2, L3) with a recording IL2App in place
// of L2App: it holds the switch IDs of the joined VNIs, the VNI of each switch (from the
// configuration table, as L2App reads it) and refuses sends while `accepting` is false (before an
// Open ACK). Builders write desired and runtime entries the way the decoder and L2App do.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "apps/routing/BFDTableApp.h"
#include "apps/switching/IL2App.h"
#include "dataplane/DpFraming.h"
#include "dataplane/VxlanWalk.h"
#include "proto/cairndb_bfd.pb.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentLock.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheL3Table.h"
#include "tests/dataplane/ByteVec.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {

namespace pb = orvane::ozy::cairndb;

class RecordingL2App : public IL2App {
  public:
    struct Sent {
        bool configure = false;
        uint16_t type = 0;  // data type or item
        std::vector<uint8_t> value;
    };
    bool SendSessionTlvs(uint16_t dataType, const uint8_t* values, size_t valueSize,
                         size_t count) override {
        EXPECT_LE(count, perUpdate) << "more TLVs than one Update holds";
        if (!accepting || count > perUpdate)
            return false;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* v = values + i * valueSize;
            sent.push_back({false, dataType, std::vector<uint8_t>(v, v + valueSize)});
        }
        updates.push_back(count);
        return true;
    }
    size_t SessionTlvsPerUpdate(size_t) const override { return perUpdate; }
    bool SendConfigureItem(uint16_t item, const std::vector<uint8_t>& value) override {
        if (!accepting)
            return false;
        sent.push_back({true, item, value});
        return true;
    }
    bool SwitchIdOfVni(uint32_t vni, uint32_t* switchId) const override {
        auto it = joined.find(vni);
        if (it == joined.end())
            return false;
        *switchId = it->second;
        return true;
    }
    bool VniOfLogicalSwitch(const std::string& lsId, uint32_t* vni) const override {
        std::string body;
        pb::LogSwitchConfigMsg m;
        if (config == nullptr ||
            !config->GetProperty(ConfigStore::kDesired, ObjectType::LOG_SWITCH_CONFIG, lsId,
                                 PropertyType::INVALID_PROPERTY, &body) ||
            !m.ParseFromString(body) || !m.has_vni()) {
            return false;
        }
        *vni = m.vni();
        return true;
    }
    void AddVniJoinListener(VniJoinListener listener) override { listeners.push_back(listener); }
    void RegisterFullSyncCallback(std::function<void()> callback) override {
        fullSync.push_back(callback);
    }

    // The dataplane joins (or leaves) a VNI: the listeners hear it.
    void Join(uint32_t vni, uint32_t switchId, bool join = true) {
        AgentLockGuard lock(GlobalAgentLock());
        if (join)
            joined[vni] = switchId;
        else
            joined.erase(vni);
        for (auto& l : listeners)
            l(vni, switchId, join);
    }
    void FullSyncEnd() {
        AgentLockGuard lock(GlobalAgentLock());
        for (auto& f : fullSync)
            f();
    }
    // Session TLVs sent, parsed by the shared walker: (op, VNI, switch ID) and the sessions.
    std::vector<vxlan::BfdSession> Sessions() const {
        std::vector<vxlan::BfdSession> out;
        for (const Sent& s : sent) {
            if (s.configure)
                continue;
            std::vector<uint8_t> tlv = {0, uint8_t(s.type), 0, uint8_t(s.value.size() + 4)};
            tlv.insert(tlv.end(), s.value.begin(), s.value.end());
            DpTlv t{s.type, static_cast<uint16_t>(tlv.size()), tlv.data() + 4, s.value.size()};
            vxlan::BfdSession b;
            EXPECT_TRUE(vxlan::ParseBfdSession(t, &b)) << HexOf(s.value);
            out.push_back(b);
        }
        return out;
    }
    std::vector<std::vector<uint8_t>> Items(uint16_t item) const {
        std::vector<std::vector<uint8_t>> out;
        for (const Sent& s : sent) {
            if (s.configure && s.type == item)
                out.push_back(s.value);
        }
        return out;
    }
    static std::string HexOf(const std::vector<uint8_t>& v) {
        static const char* d = "0123456789abcdef";
        std::string out;
        for (uint8_t b : v) {
            out += d[b >> 4];
            out += d[b & 15];
        }
        return out;
    }

    IStateCacheConfigTable* config = nullptr;
    bool accepting = true;
    size_t perUpdate = 60;                // TLVs one Update holds
    std::vector<size_t> updates;          // TLVs of each session Update sent
    std::map<uint32_t, uint32_t> joined;  // VNI -> switch ID
    std::vector<Sent> sent;
    std::vector<VniJoinListener> listeners;
    std::vector<std::function<void()>> fullSync;
};

inline std::string LsId(uint64_t n) {
    return SerializedUuid(0x5a00000000004000ull, n);
}
inline std::string RdId(uint64_t n) {
    return SerializedUuid(0x7d00000000004000ull, n);
}
inline std::string GroupId(uint64_t n) {
    return SerializedUuid(0x6b00000000004000ull, n);
}
inline pb::UuidMsg UuidOf(const std::string& id) {
    pb::UuidMsg u;
    u.ParseFromString(id);
    return u;
}
// 10.0.a.b
inline uint32_t V4(uint8_t a, uint8_t b) {
    return 0x0a000000u | (uint32_t(a) << 8) | b;
}
inline std::string VtepBody(uint32_t ipv4, uint32_t label) {
    pb::LogSwitchVtepEntryMsg m;
    m.mutable_ip()->set_ipv4(ipv4);
    m.set_label(label);
    return m.SerializeAsString();
}
inline std::string Vtep6Body(uint8_t last, uint32_t label) {
    pb::LogSwitchVtepEntryMsg m;
    std::string a(16, '\0');
    a[0] = char(0xfd);
    a[15] = char(last);
    m.mutable_ip()->set_ipv6(a);
    m.set_label(label);
    return m.SerializeAsString();
}

class BfdFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        cache = ozy::MakeRef<StateCache>();
        l2.config = cache->ConfigTable();
        BFDTableAppOptions o;
        o.l2App = &l2;
        o.configTable = cache->ConfigTable();
        o.l2Table = cache->L2Table();
        o.l3Table = cache->L3Table();
        app = ozy::MakeRef<BFDTableApp>(o);
        app->Start();
    }
    void TearDown() override { app->Stop(); }

    static CairnDBUpdateMsg Rec(ObjectType type, const std::string& id, PropertyType p,
                                std::string data, Operation op = Operation::OPERATION_UPDATE) {
        CairnDBUpdateMsg r;
        r.objType = type;
        r.id = id;
        r.property = p;
        r.data = std::move(data);
        r.op = op;
        return r;
    }
    // LOG_SWITCH_CONFIG: the whole body and its properties, as the decoder gives them.
    void Switch(const std::string& ls, uint32_t vni, const std::string& rd = {}, uint32_t evpn = 0,
                bool fullSync = false) {
        pb::LogSwitchConfigMsg m;
        *m.mutable_id() = UuidOf(ls);
        m.set_vni(vni);
        if (!rd.empty())
            *m.mutable_routing_domain_id() = UuidOf(rd);
        if (evpn != 0)
            m.set_evpn_mode(evpn);
        pb::LogSwitchConfigMsg v;
        v.set_vni(vni);
        pb::LogSwitchConfigMsg r;
        if (!rd.empty())
            *r.mutable_routing_domain_id() = UuidOf(rd);
        cache->ConfigTable()->UpdateDesiredState(
            {Rec(ObjectType::LOG_SWITCH_CONFIG, ls, PropertyType::INVALID_PROPERTY,
                 m.SerializeAsString()),
             Rec(ObjectType::LOG_SWITCH_CONFIG, ls, PropertyType::LS_VNI, v.SerializeAsString()),
             Rec(ObjectType::LOG_SWITCH_CONFIG, ls, PropertyType::LS_ROUTING_DOMAIN_ID,
                 rd.empty() ? std::string() : r.SerializeAsString(),
                 rd.empty() ? Operation::OPERATION_DELETE : Operation::OPERATION_UPDATE)},
            fullSync);
    }
    // Entries of a desired (FIB) or runtime (state) L2 object, after its object record.
    void L2(bool runtime, ObjectType type, const std::string& id, PropertyType p,
            const std::vector<std::string>& bodies, Operation op = Operation::OPERATION_UPDATE) {
        CairnDBUpdateList list = {Rec(type, id, PropertyType::INVALID_PROPERTY, "")};
        for (const std::string& b : bodies)
            list.push_back(Rec(type, id, p, b, op));
        if (runtime)
            cache->L2Table()->UpdateRuntimeState(list, false);
        else
            cache->L2Table()->UpdateDesiredState(list, false);
    }
    void LocalVteps(const std::string& ls, const std::vector<std::string>& bodies,
                    Operation op = Operation::OPERATION_UPDATE) {
        L2(true, ObjectType::LOG_SWITCH_STATE, ls, PropertyType::L2_VTEP, bodies, op);
    }
    void RemoteVteps(const std::string& ls, const std::vector<std::string>& bodies,
                     Operation op = Operation::OPERATION_UPDATE) {
        L2(false, ObjectType::LOG_SWITCH_FIB, ls, PropertyType::L2_VTEP, bodies, op);
    }
    void GroupLabel(const std::string& ls, uint32_t label) {
        pb::VtepLabelMsg l;
        l.set_label(label);
        L2(false, ObjectType::LOG_SWITCH_FIB, ls, PropertyType::L2_VTEP_GROUP_LABEL,
           {l.SerializeAsString()});
    }
    // VTEP_GROUP `label` with its protocol and members (label, IPv4).
    void Group(uint64_t n, uint32_t label, uint32_t protocol,
               const std::vector<std::pair<uint32_t, uint32_t>>& members) {
        pb::VtepGroupMsg g;
        g.set_key(label);
        g.set_group_type(1);
        g.set_activeness_protocol(protocol);
        CairnDBUpdateList list = {
            Rec(ObjectType::VTEP_GROUP, GroupId(n), PropertyType::INVALID_PROPERTY, ""),
            Rec(ObjectType::VTEP_GROUP, GroupId(n), PropertyType::L2_VTEP_GROUP,
                g.SerializeAsString())};
        for (const auto& [l, ip] : members) {
            pb::VtepLabelMsg m;
            m.set_label(l);
            m.mutable_vtep_ip()->set_ipv4(ip);
            list.push_back(Rec(ObjectType::VTEP_GROUP, GroupId(n),
                               PropertyType::L2_VTEP_GROUP_LABEL, m.SerializeAsString()));
        }
        cache->L2Table()->UpdateDesiredState(list, false);
    }
    void GlobalRoutingDomain(const std::string& rd) {
        pb::GlobalConfigMsg g;
        *g.mutable_global_routing_domain_id() = UuidOf(rd);
        cache->L3Table()->UpdateDesiredState(
            {Rec(ObjectType::GLOBAL_CONFIG, SerializedUuid(0x6e, 1), PropertyType::INVALID_PROPERTY,
                 g.SerializeAsString())},
            false);
    }

    // (op, VNI) of the session TLVs sent since `from`.
    std::vector<std::pair<uint16_t, uint32_t>> SentOps(size_t from = 0) const {
        std::vector<std::pair<uint16_t, uint32_t>> out;
        std::vector<vxlan::BfdSession> all = l2.Sessions();
        for (size_t i = from; i < all.size(); ++i)
            out.emplace_back(all[i].op, all[i].vni);
        return out;
    }
    size_t SessionsSent() const { return l2.Sessions().size(); }

    LogCapture log{kLogDebug};
    ozy::RefPtr<StateCache> cache;
    RecordingL2App l2;
    ozy::RefPtr<BFDTableApp> app;
};

}  // namespace CfgAgent::test

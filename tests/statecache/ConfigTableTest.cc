#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "runtime/MemoryAccounts.h"
#include "statecache/StateCacheConfigTable.h"
#include "tests/statecache/Records.h"
#include "tests/support/LogLines.h"

namespace CfgAgent {
namespace {

using test::Id;
using test::Logged;
using test::Rec;
using test::VifMac;
using test::Whole;
namespace pb = orvane::ozy::cairndb;

std::string LsBody(uint64_t n, uint32_t vni) {
    pb::LogSwitchConfigMsg m;
    *m.mutable_id() = test::Uuid(n);
    m.set_vni(vni);
    return m.SerializeAsString();
}

std::string LsVni(uint32_t vni) {
    pb::LogSwitchConfigMsg m;
    m.set_vni(vni);
    return m.SerializeAsString();
}

std::string LsVlan(uint32_t vlan) {
    pb::LogSwitchConfigMsg m;
    m.set_vlan(vlan);
    return m.SerializeAsString();
}

std::string LspAttachment(const std::string& vif, const std::string& dvport) {
    pb::LogSwitchPortConfigMsg m;
    m.mutable_attachment()->set_vif_id(vif);
    m.mutable_attachment()->set_dvport_id(dvport);
    return m.SerializeAsString();
}

constexpr ObjectType kLs = ObjectType::LOG_SWITCH_CONFIG;
constexpr ConfigStore kDesired = ConfigStore::kDesired;

// A logical switch property record.
CairnDBUpdateMsg LsRec(uint64_t n, PropertyType p, const std::string& data) {
    return Rec(kLs, Id(n), p, data);
}
// A whole logical switch: its body, or its deletion when `vni` is 0.
CairnDBUpdateMsg Ls(uint64_t n, uint32_t vni) {
    return vni ? Whole(kLs, Id(n), LsBody(n, vni))
               : Whole(kLs, Id(n), "", Operation::OPERATION_DELETE);
}

class ConfigTableTest : public ::testing::Test {
  protected:
    void Update(const CairnDBUpdateList& list, bool fullSync = false) {
        table->UpdateDesiredState(list, fullSync);
    }
    ozy::RefPtr<StateCacheConfigTable> table = ozy::MakeRef<StateCacheConfigTable>();
    test::LogCapture log{kLogDebug};
};

TEST_F(ConfigTableTest, PropertyBeforeObjectIsStoredAsAnAdd) {
    Update({LsRec(1, PropertyType::LS_VLAN, LsVlan(7))});
    std::string v;
    ASSERT_TRUE(table->GetProperty(kDesired, kLs, Id(1), PropertyType::LS_VLAN, &v));
    EXPECT_EQ(v, LsVlan(7));
    EXPECT_FALSE(table->GetProperty(kDesired, kLs, Id(1), PropertyType::INVALID_PROPERTY, &v));
    Update({LsRec(1, PropertyType::LS_VLAN, LsVlan(8))});
    Update({Ls(1, 5001)});
    EXPECT_TRUE(
        Logged(log, {"ConfigCache: Add object " + IdText(Id(1)) + " property LS_VLAN",
                     "ConfigCache: object exists, but property does not exist: " + IdText(Id(1)),
                     "ConfigCache: Update object " + IdText(Id(1)) + " property LS_VLAN",
                     "ConfigCache: Add object " + IdText(Id(1)) + " type LOG_SWITCH_CONFIG"}));
}

TEST_F(ConfigTableTest, WholeObjectDeleteRemovesEveryPropertyValue) {
    Update({Ls(1, 5001), LsRec(1, PropertyType::LS_VNI, LsVni(5001)),
            LsRec(1, PropertyType::LS_VLAN, LsVlan(7)), Ls(2, 5002)});
    CairnDBUpdateList props;
    ASSERT_TRUE(table->GetObjectProperties(kDesired, Id(1), &props));
    ASSERT_EQ(props.size(), 3u);
    EXPECT_EQ(props[0].property, PropertyType::INVALID_PROPERTY);
    EXPECT_EQ(props[1].property, PropertyType::LS_VNI);
    EXPECT_EQ(props[2].property, PropertyType::LS_VLAN);

    Update({Ls(1, 0)});
    props.clear();
    EXPECT_FALSE(table->GetObjectProperties(kDesired, Id(1), &props));
    EXPECT_FALSE(table->GetObjectProperties(kDesired, kLs, Id(1), &props));
    CairnDBUpdateList withVni;
    EXPECT_FALSE(table->GetObjectsWithProperty(kDesired, kLs, PropertyType::LS_VNI, &withVni));
    EXPECT_TRUE(Logged(
        log, {"ConfigCache: Remove object " + IdText(Id(1)) + " type LOG_SWITCH_CONFIG",
              "ConfigCache: object does not exist: [" + IdText(Id(1)) + "]",
              "ConfigCache: object does not exist: [" + IdText(Id(1)) + "][LOG_SWITCH_CONFIG]",
              "ConfigCache: object does not exist: objectType LOG_SWITCH_CONFIG propertyType "
              "LS_VNI"}));
    EXPECT_EQ(table->ObjectCount(kDesired), 1u);  // the other switch is untouched
}

TEST_F(ConfigTableTest, ObserverOfTwoTypesGetsOneListInDecodeOrder) {
    test::ConfigObserver both;
    test::ConfigObserver portsOnly;
    ASSERT_TRUE(table->RegisterDesiredStateObserver(kLs, &both));
    ASSERT_TRUE(table->RegisterDesiredStateObserver(ObjectType::LOG_SWITCH_PORT_CONFIG, &both));
    ASSERT_TRUE(
        table->RegisterDesiredStateObserver(ObjectType::LOG_SWITCH_PORT_CONFIG, &portsOnly));
    CairnDBUpdateList list = {
        Rec(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(10), PropertyType::LSP_ATTACHMENT,
            LspAttachment("vif", "dv")),
        Ls(1, 5001),
        Whole(ObjectType::TRANSPORT_NODE_CONFIG, Id(30),
              pb::TransportNodeConfigMsg().SerializeAsString() + "\x08\x01"),
        LsRec(1, PropertyType::LS_VNI, LsVni(5001)),
    };
    Update(list);
    ASSERT_EQ(both.desired.size(), 1u);
    EXPECT_EQ(both.desired[0].records, (CairnDBUpdateList{list[0], list[1], list[3]}));
    ASSERT_EQ(portsOnly.desired.size(), 1u);
    EXPECT_EQ(portsOnly.desired[0].records.size(), 1u);

    // A delta without records of its types does not reach an observer; a full sync does.
    Update({Whole(ObjectType::PROFILE, Id(40), LsBody(40, 1))});
    EXPECT_EQ(both.desired.size(), 1u);
    Update({}, true);
    ASSERT_EQ(both.desired.size(), 2u);
    EXPECT_TRUE(both.desired[1].fullSync);
    EXPECT_TRUE(both.desired[1].records.empty());
    EXPECT_TRUE(both.runtime.empty());
}

// What each observer is handed: the batch itself when it takes every record of it (two observers
// of the same table share it), otherwise a list of its own records sized once; a delta with a
// record the store refuses is copied for everyone.
TEST_F(ConfigTableTest, AnObserverTakingEveryRecordGetsTheBatchItselfOthersAnExactCopy) {
    struct Seen {
        const CairnDBUpdateList* list;
        size_t size;
        size_t capacity;
    };
    struct PointerObserver : SCConfigTableObserver {
        void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& u, bool) override {
            seen.push_back({&u, u.size(), u.capacity()});
        }
        std::vector<Seen> seen;
    };
    constexpr ObjectType kLsp = ObjectType::LOG_SWITCH_PORT_CONFIG;
    PointerObserver ports, portsToo, both, switches;
    ASSERT_TRUE(table->RegisterDesiredStateObserver(kLsp, &ports));
    ASSERT_TRUE(table->RegisterDesiredStateObserver(kLsp, &portsToo));
    ASSERT_TRUE(table->RegisterDesiredStateObserver(kLsp, &both));
    ASSERT_TRUE(table->RegisterDesiredStateObserver(kLs, &both));
    ASSERT_TRUE(table->RegisterDesiredStateObserver(kLs, &switches));
    auto port = [&](uint64_t n) {
        return Rec(kLsp, Id(n), PropertyType::LSP_ATTACHMENT, LspAttachment("vif", "dv"));
    };
    struct Case {
        const char* name;
        CairnDBUpdateList list;
        bool fullSync;
        // Per observer (ports, portsToo, both, switches): -1 not called, 0 a copy, 1 the batch.
        std::vector<int> batch;
        std::vector<size_t> sizes;
    };
    std::vector<Case> cases = {
        {"ports only", {port(10), port(11), port(12)}, false, {1, 1, 1, -1}, {3, 3, 3, 0}},
        {"a switch among ports",
         {port(10), Ls(1, 5001), port(11), port(12)},
         false,
         {0, 0, 1, 0},
         {3, 3, 4, 1}},
        {"a refused record",
         {port(10), Rec(kLsp, "", PropertyType::LSP_ATTACHMENT, "x")},
         false,
         {0, 0, 0, -1},
         {1, 1, 1, 0}},
        {"a full sync of the ports", {port(10)}, true, {1, 1, 1, 0}, {1, 1, 1, 0}},
    };
    PointerObserver* observers[] = {&ports, &portsToo, &both, &switches};
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (PointerObserver* o : observers)
            o->seen.clear();
        table->UpdateDesiredState(c.list, c.fullSync);
        for (size_t k = 0; k < 4; ++k) {
            SCOPED_TRACE(k);
            if (c.batch[k] < 0) {
                EXPECT_TRUE(observers[k]->seen.empty());
                continue;
            }
            ASSERT_EQ(observers[k]->seen.size(), 1u);
            const Seen& s = observers[k]->seen[0];
            EXPECT_EQ(s.list == &c.list, c.batch[k] == 1);
            EXPECT_EQ(s.size, c.sizes[k]);
            if (c.batch[k] == 0) {
                EXPECT_EQ(s.capacity, s.size);
            }
        }
    }
}

TEST_F(ConfigTableTest, UnsupportedOperationsAndUnusableRecordsAreSkippedAlone) {
    test::ConfigObserver obs;
    ASSERT_TRUE(table->RegisterDesiredStateObserver(kLs, &obs));
    CairnDBUpdateMsg element =
        Rec(kLs, Id(1), PropertyType::LS_VNI, LsVni(1), Operation::OPERATION_ELEMENT_SET);
    CairnDBUpdateMsg noId = Whole(kLs, "", LsBody(2, 2));
    CairnDBUpdateMsg noBody = Whole(kLs, Id(3), "");
    CairnDBUpdateMsg garbage = Whole(kLs, Id(4), std::string("\x0a\xff\xff\xff", 4));
    CairnDBUpdateMsg noType = Whole(ObjectType::OBJECT_TYPE_INVALID, Id(5), LsBody(5, 5));
    Update({element, noId, noBody, garbage, noType, Ls(6, 6)});
    EXPECT_TRUE(log.ContainsWithCode("ConfigCache: unsupported operation 3", "LCP00007"));
    EXPECT_EQ(log.Count("ConfigCache: received invalid object from controller"), 4u);
    EXPECT_EQ(table->ObjectCount(kDesired), 1u);
    std::string v;
    EXPECT_TRUE(table->GetProperty(kDesired, kLs, Id(6), PropertyType::INVALID_PROPERTY, &v));
    ASSERT_EQ(obs.desired.size(), 1u);
    EXPECT_EQ(obs.desired[0].records, CairnDBUpdateList{Ls(6, 6)});
}

TEST_F(ConfigTableTest, FullSyncLeavesExactlyWhatItDelivered) {
    Update({Ls(1, 1), LsRec(1, PropertyType::LS_VNI, LsVni(1)),
            LsRec(1, PropertyType::LS_VLAN, LsVlan(3)), Ls(2, 2)},
           true);
    EXPECT_EQ(table->FullSyncVersion(kDesired), 1u);
    // Reconnection: switch 2 was deleted meanwhile, switch 1 lost its VLAN (the decoder sends a
    // property delete for it, here left out to show that the sweep alone drops it), switch 3 is
    // new.
    Update({Ls(1, 1), LsRec(1, PropertyType::LS_VNI, LsVni(1)), Ls(3, 3)}, true);
    EXPECT_EQ(table->FullSyncVersion(kDesired), 2u);
    CairnDBUpdateList all;
    ASSERT_TRUE(table->GetObjectProperties(kDesired, Id(1), &all));
    EXPECT_EQ(all.size(), 2u);
    EXPECT_FALSE(table->GetObjectProperties(kDesired, Id(2), &all));
    EXPECT_EQ(table->ObjectCount(kDesired), 2u);
    EXPECT_TRUE(
        log.Contains("ConfigCache: Remove object " + IdText(Id(2)) + " type LOG_SWITCH_CONFIG"));
    std::string lsId;
    EXPECT_FALSE(table->FindLogicalSwitchByVni(2, &lsId));
    ASSERT_TRUE(table->FindLogicalSwitchByVni(1, &lsId));
    EXPECT_EQ(lsId, Id(1));

    auto dump = nlohmann::json::parse(table->DumpJson(kDesired));
    EXPECT_EQ(dump["FullSyncVersion"], 2);
    ASSERT_EQ(dump["objects"].size(), 2u);
    EXPECT_EQ(dump["objects"][0]["ObjectId"], IdText(Id(1)));
    EXPECT_EQ(dump["objects"][0]["body"]["vni"], 1);
    EXPECT_EQ(dump["objects"][0]["body"]["id"], IdText(Id(1)));
    EXPECT_EQ(dump["objects"][0]["properties"][0]["PropertyType"], "LS_VNI");
}

// An observer that takes a full sync's parts, and keeps every call: (records, full sync, part:
// 1 a first part, 2 a later one, 0 a batch).
struct PartObserver : SCConfigTableObserver {
    struct Call {
        CairnDBUpdateList records;
        bool fullSync;
        int part;
    };
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& u, bool f) override {
        calls.push_back({u, f, 0});
    }
    bool TakesDesiredFullSyncParts() const override { return true; }
    void ProcessConfigDesiredStateFullSyncPart(const CairnDBUpdateList& u, bool first) override {
        calls.push_back({u, true, first ? 1 : 2});
    }
    // Every record it was given, in order.
    CairnDBUpdateList Records() const {
        CairnDBUpdateList all;
        for (const Call& c : calls)
            all.insert(all.end(), c.records.begin(), c.records.end());
        return all;
    }
    std::vector<Call> calls;
};

// A table and its observers: one that takes parts (switches) and one that takes none (switches
// and ports).
struct ObservedTable {
    ObservedTable() {
        EXPECT_TRUE(table->RegisterDesiredStateObserver(kLs, &parts));
        EXPECT_TRUE(table->RegisterDesiredStateObserver(kLs, &whole));
        EXPECT_TRUE(
            table->RegisterDesiredStateObserver(ObjectType::LOG_SWITCH_PORT_CONFIG, &whole));
    }
    // `list` as parts cut before the indexes `cuts`, the last piece in the full sync's last call.
    void FullSyncInParts(const CairnDBUpdateList& list, const std::vector<size_t>& cuts) {
        size_t from = 0;
        for (size_t k = 0; k < cuts.size(); ++k) {
            table->UpdateDesiredStatePart(
                CairnDBUpdateList(list.begin() + static_cast<std::ptrdiff_t>(from),
                                  list.begin() + static_cast<std::ptrdiff_t>(cuts[k])),
                k == 0);
            from = cuts[k];
        }
        table->UpdateDesiredState(
            CairnDBUpdateList(list.begin() + static_cast<std::ptrdiff_t>(from), list.end()), true);
    }
    void Clear() {
        parts.calls.clear();
        whole.desired.clear();
    }
    ozy::RefPtr<StateCacheConfigTable> table = ozy::MakeRef<StateCacheConfigTable>();
    PartObserver parts;
    test::ConfigObserver whole;
};

CairnDBUpdateMsg PortRec(uint64_t n) {
    return Rec(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(n), PropertyType::LSP_ATTACHMENT,
               LspAttachment("vif-" + std::to_string(n), "dv"));
}

// The same table after the same full sync, in one batch and in parts: the same store (a dump),
// version and sweep, the same calls for the observer that takes no parts, and for the one that
// takes parts the same records, the full-sync flag on its last call.
TEST(ConfigTableFullSyncPartsTest, PartsEndWithTheSameCacheAndCallsAsOneBatch) {
    const CairnDBUpdateList before = {Ls(1, 1), LsRec(1, PropertyType::LS_VLAN, LsVlan(3)),
                                      Ls(2, 2), PortRec(20), PortRec(21)};
    // Switch 2 and port 21 are gone, switch 1 lost its VLAN; a refused record in the middle.
    const CairnDBUpdateList sync = {Ls(1, 1),    LsRec(1, PropertyType::LS_VNI, LsVni(1)),
                                    PortRec(20), Rec(kLs, "", PropertyType::LS_VNI, LsVni(4)),
                                    Ls(3, 3),    PortRec(22),
                                    PortRec(23)};
    const std::vector<std::vector<size_t>> cuttings = {
        {0}, {1}, {3}, {7}, {1, 2, 3, 4, 5, 6}, {2, 5}, {0, 7},
    };
    ObservedTable one;
    one.table->UpdateDesiredState(before, true);
    one.Clear();
    one.table->UpdateDesiredState(sync, true);
    for (const std::vector<size_t>& cuts : cuttings) {
        std::string name;
        for (size_t c : cuts)
            name += std::to_string(c) + " ";
        SCOPED_TRACE("cut before " + name);
        ObservedTable parted;
        parted.table->UpdateDesiredState(before, true);
        parted.Clear();
        parted.FullSyncInParts(sync, cuts);

        EXPECT_EQ(parted.table->DumpJson(kDesired), one.table->DumpJson(kDesired));
        EXPECT_EQ(parted.table->FullSyncVersion(kDesired), 2u);
        EXPECT_EQ(parted.table->ObjectCount(kDesired), one.table->ObjectCount(kDesired));
        EXPECT_EQ(parted.table->DesiredStateUpdateCount(), 2u);
        ASSERT_EQ(parted.whole.desired.size(), 1u);
        EXPECT_EQ(parted.whole.desired[0].records, one.whole.desired[0].records);
        EXPECT_TRUE(parted.whole.desired[0].fullSync);
        EXPECT_EQ(parted.parts.Records(), one.parts.Records());
        size_t firsts = 0;
        for (const PartObserver::Call& c : parted.parts.calls)
            firsts += c.part == 1 ? 1 : 0;
        EXPECT_EQ(firsts, 1u);
        EXPECT_EQ(parted.parts.calls.front().part, 1);
        EXPECT_EQ(parted.parts.calls.back().part, 0);
        EXPECT_TRUE(parted.parts.calls.back().fullSync);
    }
}

// The parts are applied as they come but the sweep waits for the last call: until then the store
// holds what the full sync has not confirmed yet, a delta among the parts stays, and a first part
// while one is open starts it over (parts of a full sync that never ended).
TEST(ConfigTableFullSyncPartsTest, TheSweepRunsAtTheLastCallAndAFirstPartStartsOver) {
    ObservedTable t;
    t.table->UpdateDesiredState({Ls(1, 1), Ls(2, 2), Ls(3, 3)}, true);
    t.Clear();
    // The VNI in switch n's body; 0 when it has none.
    auto vniOf = [&](uint64_t n) -> uint32_t {
        std::string body;
        pb::LogSwitchConfigMsg m;
        if (!t.table->GetProperty(kDesired, kLs, Id(n), PropertyType::INVALID_PROPERTY, &body) ||
            !m.ParseFromString(body)) {
            return 0;
        }
        return m.vni();
    };
    t.table->UpdateDesiredStatePart({Ls(1, 11)}, true);
    EXPECT_EQ(t.table->FullSyncVersion(kDesired), 2u);
    EXPECT_EQ(vniOf(1), 11u);
    EXPECT_EQ(vniOf(3), 3u);  // not swept yet
    EXPECT_EQ(t.table->DesiredStateUpdateCount(), 1u);
    // That full sync never ends: the next one starts with a first part.
    t.table->UpdateDesiredStatePart({Ls(2, 12)}, true);
    EXPECT_EQ(t.table->FullSyncVersion(kDesired), 3u);
    t.table->UpdateDesiredState({Ls(4, 4)}, false);  // a delta among the parts
    t.table->UpdateDesiredStatePart({}, false);
    t.table->UpdateDesiredState({Ls(5, 5)}, true);
    EXPECT_EQ(t.table->FullSyncVersion(kDesired), 3u);
    EXPECT_EQ(vniOf(1), 0u);  // only the full sync that never ended had it
    EXPECT_EQ(vniOf(3), 0u);
    EXPECT_EQ(vniOf(2), 12u);
    EXPECT_EQ(vniOf(4), 4u);
    EXPECT_EQ(vniOf(5), 5u);
    EXPECT_EQ(t.table->ObjectCount(kDesired), 3u);
    // The observer that takes none: the delta, then the second full sync's records at its end.
    ASSERT_EQ(t.whole.desired.size(), 2u);
    EXPECT_FALSE(t.whole.desired[0].fullSync);
    EXPECT_EQ(t.whole.desired[1].records, (CairnDBUpdateList{Ls(2, 12), Ls(5, 5)}));
    EXPECT_TRUE(t.whole.desired[1].fullSync);
    // The one that takes parts: both first parts, the delta, the last call (the empty later part
    // is not passed on).
    ASSERT_EQ(t.parts.calls.size(), 4u);
    EXPECT_EQ(t.parts.calls[0].part, 1);
    EXPECT_EQ(t.parts.calls[1].part, 1);
    EXPECT_EQ(t.parts.calls[1].records, (CairnDBUpdateList{Ls(2, 12)}));
    EXPECT_FALSE(t.parts.calls[2].fullSync);
    EXPECT_EQ(t.parts.calls[3].records, (CairnDBUpdateList{Ls(5, 5)}));
    EXPECT_TRUE(t.parts.calls[3].fullSync);
    // A whole full sync afterwards is one again: a version of its own, no parts kept.
    t.Clear();
    t.table->UpdateDesiredState({Ls(6, 6)}, true);
    EXPECT_EQ(t.table->FullSyncVersion(kDesired), 4u);
    EXPECT_EQ(t.table->ObjectCount(kDesired), 1u);
    ASSERT_EQ(t.whole.desired.size(), 1u);
    EXPECT_EQ(t.whole.desired[0].records, (CairnDBUpdateList{Ls(6, 6)}));
}

// The memory of the objects a full sync drops goes back to the allocator (its own statistics, read
// in this thread with no other work running), and the table's own account follows.
TEST(ConfigTableMemoryTest, AFullSyncThatDropsHalfTheObjectsFreesTheirMemory) {
    constexpr uint64_t kObjects = 20000;
    auto table = ozy::MakeRef<StateCacheConfigTable>();
    auto fullSync = [&](uint64_t count) {
        CairnDBUpdateList list;
        for (uint64_t n = 1; n <= count; ++n) {
            list.push_back(Ls(n, 5000 + n));
            list.push_back(LsRec(n, PropertyType::LS_VNI, LsVni(5000 + n)));
        }
        table->UpdateDesiredState(list, true);
    };
    const size_t empty = ozy::ReadAllocatorStats().inUse;
    fullSync(kObjects);
    const size_t whole = ozy::ReadAllocatorStats().inUse;
    const size_t wholeAccount = table->DesiredCacheBytes();
    ASSERT_GT(whole, empty + kObjects * 64) << "the objects take memory";
    fullSync(kObjects / 2);
    EXPECT_EQ(table->ObjectCount(kDesired), kObjects / 2);
    const size_t half = ozy::ReadAllocatorStats().inUse;
    // At least 40% of what the objects took is back (the hash table keeps its buckets).
    EXPECT_LT(half, whole - (whole - empty) * 4 / 10) << empty << " " << whole << " " << half;
    EXPECT_LT(table->DesiredCacheBytes(), wholeAccount * 6 / 10);
}

TEST_F(ConfigTableTest, RuntimeStoreIsSeparateWithItsOwnObservers) {
    test::ConfigObserver desiredObs;
    test::ConfigObserver runtimeObs;
    ASSERT_TRUE(table->RegisterDesiredStateObserver(ObjectType::VIF_STATE, &desiredObs));
    ASSERT_TRUE(table->RegisterRuntimeStateObserver(ObjectType::VIF_STATE, &runtimeObs));
    pb::VifStateMsg vif;
    *vif.mutable_id() = test::Uuid(7);
    vif.set_mac(0x001122334455ull);
    for (int i = 0; i < 2; ++i)
        table->UpdateRuntimeState({Whole(ObjectType::VIF_STATE, Id(7), vif.SerializeAsString())},
                                  false);
    EXPECT_TRUE(desiredObs.desired.empty());
    EXPECT_TRUE(desiredObs.runtime.empty());
    ASSERT_EQ(runtimeObs.runtime.size(), 2u);
    std::string v;
    EXPECT_TRUE(
        table->GetRuntimeState(ObjectType::VIF_STATE, Id(7), PropertyType::INVALID_PROPERTY, &v));
    EXPECT_FALSE(table->GetRuntimeState(ObjectType::VIF_STATE, Id(7), PropertyType::VIF_MAC, &v));
    table->UpdateRuntimeState({Rec(ObjectType::VIF_STATE, Id(9), PropertyType::VIF_MAC, VifMac(1))},
                              false);
    CairnDBUpdateList vifs;
    ASSERT_TRUE(table->GetObjectsOfType(ConfigStore::kRuntime, ObjectType::VIF_STATE, &vifs));
    EXPECT_EQ(vifs.size(), 2u);  // the whole body of 7 and the MAC of 9
    EXPECT_FALSE(table->GetObjectsOfType(kDesired, ObjectType::VIF_STATE, &vifs));
    EXPECT_FALSE(
        table->GetRuntimeState(ObjectType::VIF_STATE, Id(8), PropertyType::INVALID_PROPERTY, &v));
    EXPECT_EQ(table->ObjectCount(kDesired), 0u);
    EXPECT_GT(table->RuntimeCacheBytes(), 0u);
    EXPECT_TRUE(Logged(log, {"ConfigCache: create existing object operation!",
                             "ConfigCache: Object " + IdText(Id(7)) +
                                 " with state VIF_STATE has no property value",
                             "ConfigCache: state does not exist: " + IdText(Id(8)) + ", VIF_STATE",
                             "ConfigCache: Config runtime cache size(bytes): "}));

    // A runtime full sync also leaves only what it delivered.
    table->UpdateRuntimeState({}, true);
    EXPECT_EQ(table->ObjectCount(ConfigStore::kRuntime), 0u);
    ASSERT_EQ(runtimeObs.runtime.size(), 4u);
    EXPECT_TRUE(runtimeObs.runtime[3].fullSync);
}

TEST_F(ConfigTableTest, ObserverRegistrationErrors) {
    test::ConfigObserver obs;
    EXPECT_FALSE(table->RegisterDesiredStateObserver(kLs, nullptr));
    EXPECT_FALSE(table->RegisterRuntimeStateObserver(ObjectType::VIF_STATE, nullptr));
    EXPECT_TRUE(table->RegisterDesiredStateObserver(kLs, &obs));
    EXPECT_FALSE(table->RegisterDesiredStateObserver(kLs, &obs));
    EXPECT_TRUE(table->RegisterRuntimeStateObserver(ObjectType::VIF_STATE, &obs));
    EXPECT_FALSE(table->RegisterRuntimeStateObserver(ObjectType::VIF_STATE, &obs));
    EXPECT_FALSE(table->UnregisterDesiredStateObserver(kLs, nullptr));
    EXPECT_FALSE(table->UnregisterRuntimeStateObserver(ObjectType::VIF_STATE, nullptr));
    EXPECT_TRUE(
        Logged(log, {"ConfigCache: register NULL desired state observer!",
                     "ConfigCache: register NULL runtime state observer!",
                     "ConfigCache: register existing desired state observer (LOG_SWITCH_CONFIG)!",
                     "ConfigCache: register existing runtime state observer (VIF_STATE)!",
                     "ConfigCache: unregister NULL desired state observer!",
                     "ConfigCache: unregister NULL runtime state observer!"}));
    EXPECT_TRUE(table->UnregisterDesiredStateObserver(kLs, &obs));
    Update({Ls(1, 1)});
    EXPECT_TRUE(obs.desired.empty());
}

TEST_F(ConfigTableTest, AnObserverQueryingFromItsCallbackSeesTheNewState) {
    test::ConfigObserver obs;
    std::string seen;
    obs.hook = [&] { table->GetProperty(kDesired, kLs, Id(1), PropertyType::LS_VNI, &seen); };
    ASSERT_TRUE(table->RegisterDesiredStateObserver(kLs, &obs));
    Update({LsRec(1, PropertyType::LS_VNI, LsVni(42))});
    EXPECT_EQ(seen, LsVni(42));
    EXPECT_EQ(table->DesiredStateUpdateCount(), 1u);
}

TEST_F(ConfigTableTest, PortAttachmentAndTransportZoneLookups) {
    pb::LogSwitchConfigMsg ls;
    *ls.mutable_transport_zone_id() = test::Uuid(100);
    pb::TransportNodeConfigMsg tn;
    auto* sw = tn.add_transport_switches();
    *sw->mutable_host_switch_id() = test::Uuid(200);
    sw->set_name("dvs-1");
    *sw->add_transport_zone_ids() = test::Uuid(99);
    *sw->add_transport_zone_ids() = test::Uuid(100);
    Update({Rec(ObjectType::LOG_SWITCH_PORT_CONFIG, Id(10), PropertyType::LSP_ATTACHMENT,
                LspAttachment("vif-a", "dv-7")),
            LsRec(1, PropertyType::LS_TRANSPORT_ZONE_ID, ls.SerializeAsString()),
            Rec(ObjectType::TRANSPORT_NODE_CONFIG, Id(30), PropertyType::TN_TRANSPORT_SWITCHES,
                tn.SerializeAsString())});
    std::string out;
    ASSERT_TRUE(table->GetDVPortIdByLsp(Id(10), &out));
    EXPECT_EQ(out, "dv-7");
    ASSERT_TRUE(table->GetVifIdByLsp(Id(10), &out));
    EXPECT_EQ(out, "vif-a");
    EXPECT_FALSE(table->GetVifIdByLsp(Id(11), &out));

    std::string tz;
    ASSERT_TRUE(table->GetTransportZoneOfLogicalSwitch(Id(1), &tz));
    EXPECT_EQ(tz, Id(100));
    EXPECT_FALSE(table->GetTransportZoneOfLogicalSwitch(Id(2), &tz));
    std::string hs;
    std::string name;
    ASSERT_TRUE(table->GetHostSwitchOfTransportZone(Id(100), &hs, &name));
    EXPECT_EQ(hs, Id(200));
    EXPECT_EQ(name, "dvs-1");
    EXPECT_FALSE(table->GetHostSwitchOfTransportZone(Id(101), &hs, &name));
    EXPECT_TRUE(Logged(
        log, {"ConfigCache: Find DVPortID dv-7 by LSP " + IdText(Id(10)),
              "ConfigCache: Find VIFID vif-a by LSP " + IdText(Id(10)),
              "ConfigCache: object does not exist: objectId " + IdText(Id(11)),
              "ConfigCache: transport zone does not exist for logSwitch " + IdText(Id(2)),
              "ConfigCache: Host switch Id " + IdText(Id(200)) + " TZoneId " + IdText(Id(100)),
              "ConfigCache: dvs does not exist for transport zone " + IdText(Id(101))}));
}

TEST_F(ConfigTableTest, ListPropertyChangesAreLoggedElementByElement) {
    auto tnWith = [](std::initializer_list<std::pair<uint64_t, const char*>> switches) {
        pb::TransportNodeConfigMsg tn;
        for (auto [id, name] : switches) {
            auto* sw = tn.add_transport_switches();
            *sw->mutable_host_switch_id() = test::Uuid(id);
            sw->set_name(name);
        }
        return tn.SerializeAsString();
    };
    auto rec = [&](const std::string& v, Operation op = Operation::OPERATION_UPDATE) {
        return Rec(ObjectType::TRANSPORT_NODE_CONFIG, Id(30), PropertyType::TN_TRANSPORT_SWITCHES,
                   v, op);
    };
    Update({rec(tnWith({{1, "a"}, {2, "b"}}))});
    EXPECT_EQ(log.Count("ConfigCache: Add TN_TRANSPORT_SWITCHES "), 2u);
    Update({rec(tnWith({{2, "b2"}, {3, "c"}}))});
    EXPECT_EQ(log.Count("ConfigCache: Add TN_TRANSPORT_SWITCHES "), 3u);
    EXPECT_EQ(log.Count("ConfigCache: Delete TN_TRANSPORT_SWITCHES "), 1u);
    EXPECT_EQ(log.Count("ConfigCache: Update TN_TRANSPORT_SWITCHES old config "), 1u);
    EXPECT_TRUE(log.Contains("\"name\":\"b2\""));
    Update({rec("", Operation::OPERATION_DELETE)});
    EXPECT_EQ(log.Count("ConfigCache: Delete TN_TRANSPORT_SWITCHES "), 3u);

    auto lsType = [](uint32_t t) {
        pb::LogSwitchConfigMsg m;
        m.set_type(t);
        return LsRec(1, PropertyType::LS_TYPE, m.SerializeAsString());
    };
    Update({lsType(1)});
    EXPECT_FALSE(log.Contains("ConfigCache: Update LS_TYPE/LS_SP_SUBTYPE"));
    Update({lsType(2)});
    EXPECT_TRUE(
        log.Contains("ConfigCache: Update LS_TYPE/LS_SP_SUBTYPE old config type 1 sp_subtype unset "
                     "new config type 2 sp_subtype unset"));
}

TEST_F(ConfigTableTest, SizesFollowTheContentAndDumpsShowOneType) {
    size_t empty = table->DesiredCacheBytes();
    EXPECT_TRUE(log.Contains("ConfigCache: Config desired cache size(bytes): "));
    CairnDBUpdateList list;
    CairnDBUpdateList dels;
    for (uint32_t i = 0; i < 200; ++i) {
        list.push_back(Whole(kLs, Id(i), LsBody(i, i)));
        list.push_back(LsRec(i, PropertyType::LS_VNI, LsVni(i)));
        dels.push_back(Ls(i, 0));
    }
    list.push_back(Whole(ObjectType::TRANSPORT_NODE_CONFIG, Id(1000), LsBody(1000, 1)));
    Update(list);
    size_t full = table->DesiredCacheBytes();
    // At least the keys and values themselves.
    size_t payload = 0;
    for (const auto& r : list)
        payload += r.id.size() / 2 + r.data.size();
    EXPECT_GT(full, empty + payload);
    auto ls = nlohmann::json::parse(table->DumpObjectsJson(kDesired, kLs));
    EXPECT_EQ(ls.size(), 200u);
    auto tn =
        nlohmann::json::parse(table->DumpObjectsJson(kDesired, ObjectType::TRANSPORT_NODE_CONFIG));
    EXPECT_EQ(tn.size(), 1u);
    Update(dels);
    EXPECT_LT(table->DesiredCacheBytes(), full);
    EXPECT_EQ(table->ObjectCount(kDesired), 1u);
}

}  // namespace
}  // namespace CfgAgent

// CairndbClient on the fake library: monitors and their statements, updates and barriers with
// full-sync detection, the merge of cancelling records, channel status, the writer and its
// instrumentation, runtime writes and the SmartNIC-host hand-off.
#include <gmock/gmock.h>

#include <cstdlib>
#include <future>
#include <optional>
#include <thread>

#include "platform/LibraryLogLevels.h"
#include "proto/cairndb_conduit.pb.h"
#include "proto/cairndb_firewall.pb.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_routing.pb.h"
#include "proto/cairndb_si.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/AgentSettings.h"
#include "tests/intake/CairndbClientTestUtil.h"

namespace CfgAgent::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using OT = ObjectType;
using CT = ComponentType;
using PT = PropertyType;

// The statements' object types, by name, separated by spaces.
std::string Types(const std::vector<pb::MonitorStatementMsg>& statements) {
    std::string out;
    for (const auto& s : statements)
        out += (out.empty() ? "" : " ") + std::string(ObjectTypeName(s.statement().object_type()));
    return out;
}

const pb::MonitorStatementMsg* FindStatement(const std::vector<pb::MonitorStatementMsg>& statements,
                                             OT t) {
    for (const auto& s : statements) {
        if (static_cast<OT>(s.statement().object_type()) == t)
            return &s;
    }
    return nullptr;
}

pb::MonitorUpdateMsg SwitchSet(uint64_t id) {
    pb::LogSwitchConfigMsg ls;
    *ls.mutable_id() = Uuid(id);
    ls.set_vni(5000 + static_cast<uint32_t>(id));
    return MakeUpdate(OT::LOG_SWITCH_CONFIG, ObjOp<pb::LogSwitchConfigOpMsg>(pb::SET), &ls);
}

pb::LogSwitchVtepEntryMsg Vtep(uint32_t ip) {
    pb::LogSwitchVtepEntryMsg v;
    *v.mutable_ip() = Ip4(ip);
    v.set_label(7);
    return v;
}

// A modify of switch FIB 7 whose op message appends (or removes) one VTEP entry.
pb::MonitorUpdateMsg VtepChange(uint32_t ip, bool add) {
    pb::LogSwitchFibMsg without;
    *without.mutable_id() = Uuid(7);
    pb::LogSwitchFibMsg with = without;
    *with.add_vtep_entries() = Vtep(ip);
    auto op = ObjOp<pb::LogSwitchFibOpMsg>(pb::SET);
    auto* e = op.mutable_vtep_entries()->add_entries();
    e->set_op(add ? pb::APPEND : pb::REMOVE);
    return add ? MakeUpdate(OT::LOG_SWITCH_FIB, op, &with, &without)
               : MakeUpdate(OT::LOG_SWITCH_FIB, op, &without, &with);
}

class CairndbClientTest : public CairndbClientFixture {};

TEST_F(CairndbClientTest, StartRegistersTheConfigurationMonitorWithEveryStatementInOrder) {
    LogCapture logs;
    Make(kPersonaOther);
    ASSERT_TRUE(client->start());
    EXPECT_EQ(lib->StartCalls(), 1);
    EXPECT_TRUE(lib->HasMonitor(CairndbClient::kMonitorId, 1));
    auto calls = lib->ConfigureCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].monitorId, 101u);
    EXPECT_EQ(calls[0].vdb, 1u);
    EXPECT_TRUE(calls[0].remove.empty());
    const std::string expected =
        "LOG_SWITCH_CONFIG LOG_SWITCH_PORT_CONFIG TRANSPORT_NODE_CONFIG BRIDGE_CLUSTER_CONFIG "
        "PORT_MIRROR_SESSION IPFIX_CONFIGURATION PROFILE CONTAINER ENTITY_GROUP_RELATION "
        "CONTEXT_PROFILE IDS_SIGNATURES VTEP_GROUP LOG_SWITCH_FIB ROUTING_DOMAIN_FIB "
        "LOG_ROUTER_CONFIG LOG_ROUTER_PORT_CONFIG FIB ARP_TABLE_CONFIG PREFIX_LIST DA_VIF "
        "GLOBAL_CONFIG MULTICAST_CONFIG NDRA_PROFILE_CONFIG DAD_PROFILE_CONFIG "
        "LOG_ROUTER_PORT_FIB_DAD_STATE LOG_ROUTER_PORT_DAD_REQUEST NSG_MEMBERSHIP_STATUS "
        "MULTICAST_STATIC_ROUTE RULE RULE_SECTION CONFIG_SPAN IP_REPUTATION_CONFIG "
        "CONDUIT_CHANNEL_GLOBAL_CONFIG CONDUIT_CHANNEL_VIF_CONFIG CCP_SESSION SI_SERVICE_CHAIN "
        "SI_SERVICE_PATH SI_REDIRECTION_POLICY LB_SERVICE LB_VIRTUAL_SERVER LB_APPLICATION_PROFILE "
        "LB_PERSISTENCE_PROFILE LB_POOL FLEET_CLUSTER_HOST_CONFIG SECURITY_FEATURE_TOGGLE "
        "IDS_THRESHOLD_CONFIG BARRIER BFD_GLOBAL_CONFIG";
    EXPECT_EQ(Types(calls[0].add), expected);
    // Options as listed: a few samples of each value.
    EXPECT_TRUE(FindStatement(calls[0].add, OT::LOG_SWITCH_CONFIG)->option());
    EXPECT_FALSE(FindStatement(calls[0].add, OT::BRIDGE_CLUSTER_CONFIG)->option());
    EXPECT_TRUE(FindStatement(calls[0].add, OT::GLOBAL_CONFIG)->option());
    EXPECT_FALSE(FindStatement(calls[0].add, OT::BFD_GLOBAL_CONFIG)->option());

    // Select templates: the id and the listed entry fields carry SELECT, nothing else.
    auto tmpl = [&](OT type, google::protobuf::Message&& m) {
        EXPECT_TRUE(m.ParseFromString(
            FindStatement(calls[0].add, type)->statement().select().op_template()));
        return m.ShortDebugString();
    };
    EXPECT_EQ(tmpl(OT::FIB, pb::FibOpMsg()),
              "id { op: SELECT } prefix { op: SELECT } next_hops { op: SELECT }");
    EXPECT_EQ(tmpl(OT::LOG_SWITCH_FIB, pb::LogSwitchFibOpMsg()),
              "id { op: SELECT } vtep_entries { op: SELECT } mac_entries { op: SELECT } "
              "ip_entries { op: SELECT }");
    EXPECT_EQ(tmpl(OT::ROUTING_DOMAIN_FIB, pb::RoutingDomainFibOpMsg()),
              "id { op: SELECT } vtep_entries { op: SELECT }");
    EXPECT_EQ(tmpl(OT::ARP_TABLE_CONFIG, pb::ArpTableConfigOpMsg()),
              "id { op: SELECT } entries { op: SELECT }");
    // Service insertion: every field the application reads.
    EXPECT_EQ(tmpl(OT::SI_SERVICE_PATH, pb::SiServicePathOpMsg()),
              "id { op: SELECT } service_path_id { op: SELECT } service_chain_id { op: SELECT } "
              "forward { op: SELECT } reverse { op: SELECT }");
    EXPECT_EQ(tmpl(OT::SI_SERVICE_CHAIN, pb::SiServiceChainOpMsg()),
              "id { op: SELECT } service_chain_id { op: SELECT } "
              "path_selection_policy { op: SELECT }");
    EXPECT_EQ(tmpl(OT::SI_REDIRECTION_POLICY, pb::SiRedirectionPolicyOpMsg()),
              "id { op: SELECT } policy_id { op: SELECT } transport_type { op: SELECT } "
              "failure_policy { op: SELECT } service_chain_id { op: SELECT } "
              "service_plane { op: SELECT }");
    EXPECT_FALSE(FindStatement(calls[0].add, OT::RULE)->statement().has_select());

    EXPECT_LT(logs.IndexOf("CairndbClient: start"),
              logs.IndexOf("CairndbClient: RegisterMonitorCB vdb id 1"));
    EXPECT_LT(logs.IndexOf("CairndbClient: RegisterMonitorCB vdb id 1"),
              logs.IndexOf("CairndbClient: registered monitor objects"));
    EXPECT_TRUE(logs.WaitFor("CairndbClient: start thread to write message list to cairndb"));

    client->stop();
    calls = lib->ConfigureCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[1].add.empty());
    EXPECT_EQ(Types(calls[1].remove), expected);
    EXPECT_TRUE(logs.Contains("CairndbClient: unregistered monitor objects"));
    EXPECT_GT(logs.IndexOf("CairndbClient: stop",
                           logs.IndexOf("CairndbClient: unregistered monitor objects")),
              0);
    EXPECT_GE(lib->StopCalls(), 1);
}

TEST_F(CairndbClientTest, PersonaStatementsAndMonitorFailures) {
    LogCapture logs;
    Make(kPersonaSmartnicHost);
    ASSERT_TRUE(client->start());
    std::string types = Types(lib->ConfigureCalls().at(0).add);
    EXPECT_THAT(types, HasSubstr("MULTICAST_STATIC_ROUTE HOST_SWITCH_SMARTNIC_BACKING RULE"));
    EXPECT_THAT(types, Not(HasSubstr("CFG_AGENT_FAILOVER_ACK")));
    client->stop();

    SetUp();
    lib->SetConfigureResult(false);
    Make(kPersonaOther);
    ASSERT_TRUE(client->start());
    EXPECT_TRUE(
        logs.Contains("CairndbClient: RegisterMonitorCB: Failed to configure monitor for vdb 1"));
    client->stop();
    EXPECT_TRUE(
        logs.Contains("CairndbClient: UnregisterMonitorCB: Failed to configure monitor for vdb 1"));
}

TEST_F(CairndbClientTest, FirstBarrierAfterChannelUpIsTheFullSyncAndTransactionIdsCount) {
    LogCapture logs;
    Make(kPersonaOther);
    ASSERT_TRUE(client->start());
    // A barrier while the channel is down is no full sync.
    uint64_t t0 = CairndbClient::NextTransactionId();
    ASSERT_TRUE(lib->Barrier(101, 1));
    UpdateBatch b = Next();
    EXPECT_FALSE(b.second.first);
    EXPECT_EQ(b.second.second, t0);

    lib->Channel(true);
    EXPECT_TRUE(logs.Contains("CairndbClient: cairndb channel status turns to UP"));
    lib->Update(101, 1, SwitchSet(1));
    b = Commit();
    EXPECT_TRUE(b.second.first);
    EXPECT_EQ(b.second.second, t0 + 1);
    // Every component 1 to 11 sees the full sync.
    ASSERT_EQ(b.first.size(), 11u);
    for (uint32_t c = 1; c <= 11; ++c)
        EXPECT_EQ(b.first.count(static_cast<CT>(c)), 1u) << c;
    EXPECT_EQ(b.first[CT::CONFIGCACHE].size(), 20u);
    EXPECT_TRUE(b.first[CT::DFW].empty());
    EXPECT_TRUE(
        logs.Contains("CairndbClient: Transaction end (fullsync) ID " + std::to_string(t0 + 1)));
    EXPECT_GT(client->lastBarrierTime(), 0);

    // The next barrier is a delta; without updates its map is empty.
    b = Commit();
    EXPECT_FALSE(b.second.first);
    EXPECT_EQ(b.second.second, t0 + 2);
    EXPECT_TRUE(b.first.empty());
    EXPECT_TRUE(logs.Contains("CairndbClient: Transaction end (delta update) ID " +
                              std::to_string(t0 + 2)));

    // A reconnection makes the next barrier a full sync again.
    lib->Channel(false);
    EXPECT_TRUE(logs.Contains("CairndbClient: cairndb channel status turns to DOWN"));
    lib->Channel(true);
    b = Commit();
    EXPECT_TRUE(b.second.first);
    EXPECT_EQ(b.first.size(), 11u);
    EXPECT_EQ(CairndbClient::NextTransactionId(), t0 + 4);
    EXPECT_FALSE(queue->tryGet().has_value());
}

// A full sync's configuration-cache records go out in parts once fullSyncPartRecords are decoded,
// carrying the id of the full sync that the barrier then ends: the parts and the barrier's list
// are the list of the same full sync without parts, and the other lists wait for the barrier.
TEST_F(CairndbClientTest, FullSyncCacheRecordsGoInPartsThatJoinToTheOneList) {
    pb::TransportNodeConfigMsg tn;
    *tn.mutable_id() = Uuid(99);
    const pb::MonitorUpdateMsg node =
        MakeUpdate(OT::TRANSPORT_NODE_CONFIG, ObjOp<pb::TransportNodeConfigOpMsg>(pb::SET), &tn);
    // Part sizes; the first, no parts, gives the one list.
    const size_t sizes[] = {0, 25, 20, 1000, 1};
    ComponentUpdateMap whole;
    size_t nodeRecords = 0;
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        // The parts expected: the lane's records after each update (switches of 20 records).
        size_t parts = 0;
        for (size_t n = 1, lane = 0; size != 0 && n <= 5; ++n) {
            lane += 20;
            if (lane >= size) {
                ++parts;
                lane = 0;
            }
            if (n == 3 && (lane += nodeRecords) >= size) {
                ++parts;
                lane = 0;
            }
        }
        TearDown();
        SetUp();
        partRecords = size;
        ASSERT_TRUE(StartUp(kPersonaOther));
        const uint64_t t0 = CairndbClient::NextTransactionId();
        for (uint64_t n = 1; n <= 5; ++n) {
            lib->Update(101, 1, SwitchSet(n));
            if (n == 3)
                lib->Update(101, 1, node);
        }
        EXPECT_EQ(client->fullSyncParts(), parts);
        CairnDBUpdateList joined;
        for (size_t k = 0; k < parts; ++k) {
            UpdateBatch part = Next();
            EXPECT_TRUE(part.part);
            EXPECT_TRUE(part.second.first);
            EXPECT_EQ(part.second.second, t0);
            ASSERT_EQ(part.first.size(), 1u);
            const CairnDBUpdateList& list = part.first[CT::CONFIGCACHE];
            EXPECT_GE(list.size(), size);
            joined.insert(joined.end(), list.begin(), list.end());
        }
        UpdateBatch last = Commit();
        EXPECT_FALSE(last.part);
        EXPECT_TRUE(last.second.first);
        EXPECT_EQ(last.second.second, t0);
        EXPECT_EQ(last.first.size(), 11u);
        CairnDBUpdateList& rest = last.first[CT::CONFIGCACHE];
        joined.insert(joined.end(), rest.begin(), rest.end());
        rest = joined;
        if (size == 0) {
            whole = last.first;
            nodeRecords = whole[CT::CONFIGCACHE].size() - 5 * 20;
            EXPECT_GT(nodeRecords, 0u);
            EXPECT_EQ(whole[CT::CONFIGAPP].size(), nodeRecords);
        }
        EXPECT_EQ(last.first, whole);
        // Deltas go whole.
        lib->Update(101, 1, SwitchSet(9));
        UpdateBatch delta = Commit();
        EXPECT_FALSE(delta.part);
        EXPECT_EQ(delta.first[CT::CONFIGCACHE].size(), 20u);
        EXPECT_EQ(client->fullSyncParts(), parts);
        EXPECT_FALSE(queue->tryGet().has_value());
    }
}

// The decoding waits while two parts are queued and the dispatcher took neither; it goes on
// once one is taken (or after the client's wait).
TEST_F(CairndbClientTest, DecodingWaitsForTheDispatcherToTakeTheParts) {
    partRecords = 20;
    partWait = std::chrono::minutes(5);
    ASSERT_TRUE(StartUp(kPersonaOther));
    lib->Update(101, 1, SwitchSet(1));
    lib->Update(101, 1, SwitchSet(2));
    ASSERT_EQ(queue->size(), 2u);
    std::thread decoding([&] { lib->Update(101, 1, SwitchSet(3)); });
    ASSERT_TRUE(AwaitTrue([&] { return queue->producersWaiting() == 1; }));
    EXPECT_EQ(client->fullSyncParts(), 2u);
    ASSERT_TRUE(queue->tryGet().has_value());
    decoding.join();
    EXPECT_EQ(client->fullSyncParts(), 3u);
    EXPECT_EQ(queue->size(), 2u);
}

// The channel goes down after parts were sent: that full sync never ends, its id is used up, and
// the next full sync (after the reconnection) is told apart by its own.
TEST_F(CairndbClientTest, PartsOfAFullSyncCutByTheChannelUseUpItsId) {
    LogCapture logs;
    partRecords = 20;
    ASSERT_TRUE(StartUp(kPersonaOther));
    const uint64_t t0 = CairndbClient::NextTransactionId();
    lib->Update(101, 1, SwitchSet(1));
    UpdateBatch part = Next();
    EXPECT_TRUE(part.part);
    EXPECT_EQ(part.second.second, t0);
    lib->Channel(false);
    EXPECT_TRUE(logs.Contains("CairndbClient: full sync of transaction ID " + std::to_string(t0) +
                              " abandoned after its first parts: the channel went down"));
    EXPECT_EQ(CairndbClient::NextTransactionId(), t0 + 1);
    lib->Channel(false);  // nothing more to abandon
    EXPECT_EQ(CairndbClient::NextTransactionId(), t0 + 1);
    lib->Channel(true);
    lib->Update(101, 1, SwitchSet(2));
    part = Next();
    EXPECT_TRUE(part.part);
    EXPECT_EQ(part.second.second, t0 + 1);
    UpdateBatch last = Commit();
    EXPECT_TRUE(last.second.first);
    EXPECT_EQ(last.second.second, t0 + 1);
    EXPECT_TRUE(last.first[CT::CONFIGCACHE].empty());
    // Without parts sent, a drop uses up nothing.
    lib->Channel(false);
    EXPECT_EQ(CairndbClient::NextTransactionId(), t0 + 2);
}

// A full sync in parts is decoded and filed without the agent lock, so that the decoding goes on
// while the dispatcher applies a part; a delta, a client without parts or with the channel down,
// a SmartNIC host's client with its coordinator and a failover ack take the lock as before.
TEST_F(CairndbClientTest, OnlyAFullSyncInPartsIsFiledWithoutTheAgentLock) {
    struct Case {
        const char* name;
        std::optional<size_t> parts;
        bool afterFullSync;
        bool channelUp;
        bool coordinator;
        OT type;
        bool withoutLock;
    };
    const Case cases[] = {
        {"full sync in parts", 20, false, true, false, OT::LOG_SWITCH_CONFIG, true},
        {"full sync, default parts", std::nullopt, false, true, false, OT::LOG_SWITCH_PORT_CONFIG,
         true},
        {"delta", 20, true, true, false, OT::LOG_SWITCH_CONFIG, false},
        {"no parts", 0, false, true, false, OT::LOG_SWITCH_CONFIG, false},
        {"channel down", 20, false, false, false, OT::LOG_SWITCH_CONFIG, false},
        {"coordinator", 20, false, true, true, OT::LOG_SWITCH_CONFIG, false},
        {"failover ack", 20, false, true, false, OT::CFG_AGENT_FAILOVER_ACK, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        partRecords = c.parts;
        RecordingCoordinator coordinator;
        ASSERT_TRUE(StartUp(c.coordinator ? kPersonaSmartnicHost : kPersonaOther));
        if (c.coordinator)
            client->SetSmartNicCoordinator(&coordinator);
        if (c.afterFullSync)
            Commit();
        if (!c.channelUp)
            lib->Channel(false);
        EXPECT_EQ(client->FilesWithoutAgentLock(c.type), c.withoutLock);
        client->stop();
        client.reset();
    }
}

// While another thread holds the agent lock (the dispatcher applying a part), the full sync's
// updates are still decoded and filed, and its part queued; the barrier waits for the lock.
TEST_F(CairndbClientTest, AFullSyncIsFiledWhileTheAgentLockIsHeldElsewhere) {
    partRecords = 20;
    ASSERT_TRUE(StartUp(kPersonaOther));
    std::promise<void> release;
    std::promise<void> holding;
    std::thread holder([&] {
        AgentLockGuard lock(GlobalAgentLock());
        holding.set_value();
        release.get_future().wait();
    });
    holding.get_future().wait();
    auto filed = std::async(std::launch::async, [&] {
        lib->Update(101, 1, SwitchSet(1));
        lib->Update(101, 1, SwitchSet(2));
    });
    const bool done = filed.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    release.set_value();
    holder.join();
    filed.wait();
    ASSERT_TRUE(done) << "the updates waited for the agent lock";
    EXPECT_EQ(client->fullSyncParts(), 2u);
    EXPECT_TRUE(Next().part);
    EXPECT_TRUE(Next().part);
    UpdateBatch last = Commit();
    EXPECT_TRUE(last.second.first);
    EXPECT_FALSE(last.part);
}

TEST_F(CairndbClientTest, MergeLeavesOnlyTheRealChanges) {
    LogCapture logs;
    ASSERT_TRUE(StartUp(kPersonaOther));
    Commit();

    // A SET of a MAC list from three entries to two of them: one removal remains.
    pb::LogSwitchFibMsg oldFib;
    *oldFib.mutable_id() = Uuid(7);
    for (uint64_t m : {1, 2, 3})
        oldFib.add_mac_entries()->set_mac(m);
    pb::LogSwitchFibMsg newFib = oldFib;
    newFib.mutable_mac_entries()->DeleteSubrange(1, 1);
    auto op = ObjOp<pb::LogSwitchFibOpMsg>(pb::SET);
    op.mutable_mac_entries()->set_op(pb::SET);
    lib->Update(101, 1, MakeUpdate(OT::LOG_SWITCH_FIB, op, &newFib, &oldFib));
    UpdateBatch b = Commit();
    ASSERT_EQ(b.first.count(CT::L2CACHE), 1u);
    const CairnDBUpdateList& l2 = b.first[CT::L2CACHE];
    ASSERT_EQ(l2.size(), 1u);
    EXPECT_EQ(l2[0].property, PT::L2_VM_MAC);
    EXPECT_EQ(l2[0].op, Operation::OPERATION_DELETE);
    EXPECT_EQ(l2[0].data, oldFib.mac_entries(1).SerializeAsString());
    EXPECT_EQ(logs.Count("CairndbClient: merge LOG_SWITCH_FIB msg (object id "
                         "00000000-0000-1111-0000-000000000007) "
                         "property L2_VM_MAC: mac: 1"),
              1u);

    // An entry added and removed in one transaction reaches no component.
    lib->Update(101, 1, VtepChange(0x0a000001, true));
    lib->Update(101, 1, VtepChange(0x0a000001, false));
    b = Commit();
    EXPECT_EQ(b.first.count(CT::L2CACHE), 0u);

    // The same entry added twice: the duplicate is reported and both records are dispatched.
    lib->Update(101, 1, VtepChange(0x0a000002, true));
    lib->Update(101, 1, VtepChange(0x0a000002, true));
    b = Commit();
    ASSERT_EQ(b.first[CT::L2CACHE].size(), 2u);
    EXPECT_TRUE(logs.ContainsWithCode(
        "CairndbClient: find the same cairndb update LOG_SWITCH_FIB msg (object id "
        "00000000-0000-1111-0000-000000000007) property L2_VTEP operation OPERATION_UPDATE: ",
        "LCP00028"));

    // L3: a next hop replaced by itself cancels; only the new one is added.
    pb::FibMsg f1;
    *f1.mutable_id() = Uuid(20);
    *f1.add_next_hops()->mutable_ip() = Ip4(1);
    pb::FibMsg f2 = f1;
    *f2.add_next_hops()->mutable_ip() = Ip4(2);
    auto fop = ObjOp<pb::FibOpMsg>(pb::SET);
    fop.mutable_next_hops()->set_op(pb::SET);
    lib->Update(101, 1, MakeUpdate(OT::FIB, fop, &f2, &f1));
    b = Commit();
    ASSERT_EQ(b.first[CT::L3CACHE].size(), 1u);
    EXPECT_EQ(b.first[CT::L3CACHE][0].op, Operation::OPERATION_ELEMENT_SET);
    EXPECT_EQ(b.first[CT::L3CACHE][0].data, f2.next_hops(1).SerializeAsString());
}

TEST_F(CairndbClientTest, MergeKeepsEveryOtherRecordInOrder) {
    ComponentUpdateMap batch;
    auto rec = [](OT t, PT p, const std::string& data, Operation op) {
        CairnDBUpdateMsg r;
        r.objType = t;
        r.id = Uuid(1).SerializeAsString();
        r.property = p;
        r.data = data;
        r.op = op;
        return r;
    };
    batch[CT::L2CACHE] = {rec(OT::LOG_SWITCH_FIB, PT::L2_VTEP, "a", Operation::OPERATION_DELETE),
                          rec(OT::LOG_SWITCH_FIB, PT::L2_VM_IP, "a", Operation::OPERATION_UPDATE),
                          rec(OT::LOG_SWITCH_FIB, PT::L2_VTEP, "b", Operation::OPERATION_UPDATE),
                          rec(OT::LOG_SWITCH_FIB, PT::L2_VTEP, "a", Operation::OPERATION_UPDATE)};
    // Only L2CACHE and L3CACHE are merged.
    batch[CT::DFW] = {rec(OT::LOG_SWITCH_FIB, PT::L2_VTEP, "a", Operation::OPERATION_DELETE),
                      rec(OT::LOG_SWITCH_FIB, PT::L2_VTEP, "a", Operation::OPERATION_UPDATE)};
    batch[CT::L3CACHE] = {
        rec(OT::FIB, PT::L3_FIB_NEXT_HOP, "x", Operation::OPERATION_ELEMENT_SET),
        rec(OT::LOG_ROUTER_CONFIG, PT::INVALID_PROPERTY, "x", Operation::OPERATION_UPDATE),
        rec(OT::FIB, PT::L3_FIB_NEXT_HOP, "x", Operation::OPERATION_ELEMENT_CLEAR),
        rec(OT::LOG_ROUTER_CONFIG, PT::INVALID_PROPERTY, "x", Operation::OPERATION_DELETE)};
    CairndbClient::MergeCancellingRecords(batch, false);
    ASSERT_EQ(batch[CT::L2CACHE].size(), 2u);
    // The VM IP entry with the same bytes as the VTEP is a different entry.
    EXPECT_EQ(batch[CT::L2CACHE][0].property, PT::L2_VM_IP);
    EXPECT_EQ(batch[CT::L2CACHE][1].data, "b");
    EXPECT_EQ(batch[CT::DFW].size(), 2u);
    ASSERT_EQ(batch[CT::L3CACHE].size(), 2u);
    EXPECT_EQ(batch[CT::L3CACHE][0].objType, OT::LOG_ROUTER_CONFIG);
    EXPECT_EQ(batch[CT::L3CACHE][1].op, Operation::OPERATION_DELETE);
}

TEST_F(CairndbClientTest, InvalidAndUnroutedTypesAndTracing) {
    LogCapture logs;
    int savedWft = ozy::wft::library_log_level.load();
    ozy::wft::library_log_level.store(kLogDebug);
    ASSERT_TRUE(StartUp(kPersonaOther));
    pb::MonitorUpdateMsg invalid;
    lib->Update(101, 1, invalid);
    EXPECT_TRUE(
        logs.ContainsWithCode("CairndbClient: received INVALID type msg from CairnDB", "LCP00028"));
    pb::MonitorUpdateMsg runtimeType;
    runtimeType.set_object_type(pb::VIF_STATE);
    lib->Update(101, 1, runtimeType);
    pb::LogSwitchConfigMsg ls;
    *ls.mutable_id() = Uuid(3);
    lib->Update(101, 1,
                MakeUpdate(OT::LOG_SWITCH_CONFIG, ObjOp<pb::LogSwitchConfigOpMsg>(pb::SET), &ls,
                           nullptr, true));
    ozy::wft::library_log_level.store(savedWft);
    EXPECT_TRUE(
        logs.Contains("CairndbClient: received msg from cairndb with workflow tracing info: high "
                      "trace id 161, low trace id 178, "
                      "span id 195, parent id 212"));
    EXPECT_TRUE(logs.Contains("wft: span CairndbClient.MonitorUpdateCB start (1 parent contexts)"));
    UpdateBatch b = Commit();
    size_t total = 0;
    for (const auto& [comp, list] : b.first)
        total += list.size();
    EXPECT_EQ(total, 20u);  // only the switch
}

TEST_F(CairndbClientTest, WriterSubmitsInOrderAndReportsSlowSubmissions) {
    LogCapture logs;
    Make(kPersonaOther);
    ASSERT_TRUE(client->start());
    const uint64_t id0 = CairndbClient::NextWriteMessageId();
    pb::ModifyRequestMsg flush;
    flush.set_vdb(1);
    flush.mutable_flush()->set_object_type(pb::VIF_STATE);
    client->write({flush});
    client->write({flush, flush});
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 2; }));
    auto writes = lib->Writes();
    EXPECT_EQ(writes[0].size(), 1u);
    EXPECT_EQ(writes[1].size(), 2u);
    EXPECT_TRUE(logs.Contains("CairndbClient: CairnDB write message ID " + std::to_string(id0)));
    EXPECT_TRUE(
        logs.Contains("CairndbClient: CairnDB write message ID " + std::to_string(id0 + 1)));
    EXPECT_FALSE(logs.Contains("DELAY"));

    // Instrumented: a submission that takes more than one second is reported.
    AgentSettings::SetInstrument(kInstrumentCairndbClient, true);
    lib->SetWriteHook([] { AgentClock::advance(std::chrono::milliseconds(1500)); });
    client->write({flush});
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 3; }));
    EXPECT_TRUE(
        logs.WaitFor("DELAY CairnDB modifies message ID " + std::to_string(id0 + 2) + " begin "));
    lib->SetWriteHook([] { AgentClock::advance(std::chrono::milliseconds(500)); });
    client->write({flush});
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 4; }));
    AgentSettings::SetInstrument(kInstrumentCairndbClient, false);
    EXPECT_EQ(logs.Count("DELAY "), 1u);

    // Stopping ends the writer loop (the work group could not stop otherwise).
    client->stop();
    ASSERT_TRUE(AwaitTrue([&] { return !client->writerRunning(); }));
    client->write({flush});
    EXPECT_TRUE(logs.Contains("CairndbClient: Fail to put message list into cairndb write queue"));
}

TEST_F(CairndbClientTest, FullSyncDoneFlagsAndObjectLookup) {
    LogCapture logs;
    Make(kPersonaOther);
    client->setFullSyncDone(false, 1);
    EXPECT_FALSE(client->configFullSyncDone());
    client->setFullSyncDone(true, 1);
    EXPECT_TRUE(client->configFullSyncDone());
    EXPECT_FALSE(client->l2FullSyncDone());
    EXPECT_TRUE(logs.Contains("CairndbClient: Fullsync between config and DP is done."));
    client->setFullSyncDone(true, 2);
    EXPECT_TRUE(client->l2FullSyncDone());
    EXPECT_TRUE(logs.Contains("CairndbClient: Fullsync between L2 and DP is done."));
    EXPECT_EQ(client->mainVdbId(), 1u);

    ozy::cairndb::StoredObject o;
    o.oid = "00000000-0000-1111-0000-000000000003";
    o.vdb = 1;
    o.body = "body";
    lib->SetStored({o});
    std::vector<std::pair<ICairndbClient::LookupResult, std::string>> got;
    auto cb = [&](ICairndbClient::LookupResult r, const std::string& body) {
        got.emplace_back(r, body);
    };
    client->getObject(OT::VIF_STATE, 1, o.oid, cb);
    client->getObject(OT::VIF_STATE, 1, "00000000-0000-1111-0000-000000000004", cb);
    lib->SetStored({}, ozy::cairndb::Status::Error("down"));
    client->getObject(OT::VIF_STATE, 1, o.oid, cb);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].first, ICairndbClient::LookupResult::kFound);
    EXPECT_EQ(got[0].second, "body");
    EXPECT_EQ(got[1].first, ICairndbClient::LookupResult::kNotFound);
    EXPECT_EQ(got[2].first, ICairndbClient::LookupResult::kFailed);
}

TEST_F(CairndbClientTest, SmartNicHostHandsUpdatesBarriersStatusRuntimeAndReportsToTheCoordinator) {
    Make(kPersonaSmartnicHost);
    pb::ModifyRequestMsg flush;
    flush.mutable_flush()->set_object_type(pb::VIF_STATE);
    // Without a coordinator a SmartNIC host writes its runtime state directly.
    ASSERT_TRUE(client->start());
    client->writeRuntime({flush}, 1, true);
    ASSERT_TRUE(AwaitTrue([&] { return lib->WriteCount() == 1; }));

    RecordingCoordinator coordinator;
    client->SetSmartNicCoordinator(&coordinator);
    lib->Channel(true);
    pb::HostSwitchSmartnicBackingMsg backing;
    *backing.mutable_id() = Uuid(9);
    lib->Update(101, 1,
                MakeUpdate(OT::HOST_SWITCH_SMARTNIC_BACKING,
                           ObjOp<pb::HostSwitchSmartnicBackingOpMsg>(pb::SET), &backing));
    lib->Update(101, 1, SwitchSet(1));
    pb::ConduitChannelVifConfigMsg vif;
    lib->Update(101, 1,
                MakeUpdate(OT::CONDUIT_CHANNEL_VIF_CONFIG,
                           ObjOp<pb::ConduitChannelVifConfigOpMsg>(pb::SET), &vif));
    pb::RuleMsg rule;
    lib->Update(101, 1, MakeUpdate(OT::RULE, ObjOp<pb::RuleOpMsg>(pb::SET), &rule));
    lib->Barrier(101, 1);
    client->writeRuntime({flush, flush}, 2, false);
    // The host's realization reports go to the coordinator's tracking, not to the database.
    pb::ProcessedBarrierMsg processed;
    processed.set_vertical_id(1);
    processed.set_barrier_id(9);
    EXPECT_TRUE(client->reportProcessedBarrier(processed));
    pb::RuntimeStatusMsg status;
    status.set_component_id(1);
    EXPECT_TRUE(client->reportRuntimeStatus(status));
    lib->Channel(false);
    client->SetSmartNicCoordinator(nullptr);

    using Upd = std::pair<OT, DemuxRoute>;
    EXPECT_EQ(coordinator.updates,
              (std::vector<Upd>{{OT::HOST_SWITCH_SMARTNIC_BACKING, DemuxRoute::KIND_FIRST},
                                {OT::LOG_SWITCH_CONFIG, DemuxRoute::KIND},
                                {OT::RULE, DemuxRoute::GENERIC}}));
    EXPECT_EQ(coordinator.barriers, std::vector<bool>{true});
    EXPECT_EQ(coordinator.channel, (std::vector<bool>{true, false}));
    ASSERT_EQ(coordinator.runtime.size(), 1u);
    EXPECT_EQ(coordinator.runtime[0].size, 2u);
    EXPECT_EQ(coordinator.runtime[0].kind, 2);
    EXPECT_EQ(coordinator.barrierReports, std::vector<uint64_t>{9});
    EXPECT_EQ(coordinator.statusReports, std::vector<uint32_t>{1});
    EXPECT_EQ(lib->WriteCount(), 1u);
    UpdateBatch b = Next();
    EXPECT_EQ(b.first[CT::CONFIGAPP].size(), 2u);  // the backing record and the conduit VIF
}

TEST_F(CairndbClientTest, EndpointFromTheEnvironmentAndUnknownPersona) {
    LogCapture logs;
    setenv("OZY_CAIRNDB_ENDPOINT", "tcp://127.0.0.1:7001", 1);
    Make(kPersonaOther);
    unsetenv("OZY_CAIRNDB_ENDPOINT");
    EXPECT_TRUE(logs.Contains("CairndbClient: cfg-agent on tcp://127.0.0.1:7001"));
    Make(kPersonaSmartnicHost);
    EXPECT_TRUE(logs.Contains("CairndbClient: cfg-agent on tcp://127.0.0.1:2480"));
    Make(7);
    EXPECT_FALSE(client->start());
    client.reset();
}

}  // namespace
}  // namespace CfgAgent::test

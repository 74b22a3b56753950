#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheObserver.h"
#include "tests/statecache/Records.h"
#include "tests/support/FakeCairndbClient.h"
#include "tests/support/LogLines.h"

namespace CfgAgent {
namespace {

using test::Id;
using test::Logged;
using test::Rec;
using test::VifMac;
using test::VifState;
using test::Whole;
namespace pb = orvane::ozy::cairndb;

// The line the observer logs for each request it prepares.
std::string Prepared(const std::string& what, uint64_t id, const std::string& rest = "") {
    return "StateCacheObserver: prepare " + what + " object (id " + IdText(Id(id)) + ")" + rest;
}

class StateCacheObserverTest : public ::testing::Test {
  protected:
    test::LogCapture log{kLogDebug};
    test::FakeCairndbClient client;
    ozy::RefPtr<StateCache> cache = ozy::MakeRef<StateCache>();
    ozy::RefPtr<StateCacheObserver> observer =
        ozy::MakeRef<StateCacheObserver>(&client, cache.get());

    void SetUp() override { ASSERT_TRUE(observer->RegisterRuntimeCache()); }
    void TearDown() override { observer->UnregisterRuntimeCache(); }
};

TEST_F(StateCacheObserverTest, FullSyncWithoutRecordsStillFlushesBothTypesOfItsKind) {
    EXPECT_TRUE(log.Contains("StateCacheObserver: registered config and l2 runtime cache"));
    cache->ConfigTable()->UpdateRuntimeState({}, true);
    ASSERT_EQ(client.runtimeWrites.size(), 1u);
    const auto& w = client.runtimeWrites[0];
    EXPECT_EQ(w.kind, ICairndbClient::kRuntimeConfig);
    EXPECT_TRUE(w.fullSync);
    ASSERT_EQ(w.requests.size(), 2u);
    EXPECT_EQ(w.requests[0].flush().object_type(), pb::VIF_STATE);
    EXPECT_EQ(w.requests[1].flush().object_type(), pb::HOPOVER_STATUS);
    EXPECT_EQ(w.requests[0].vdb(), 1u);
    ASSERT_EQ(client.fullSyncDone.size(), 1u);
    EXPECT_EQ(client.fullSyncDone[0], std::make_pair(true, ICairndbClient::kRuntimeConfig));

    cache->L2Table()->UpdateRuntimeState({}, true);
    ASSERT_EQ(client.runtimeWrites.size(), 2u);
    EXPECT_EQ(client.runtimeWrites[1].kind, ICairndbClient::kRuntimeL2);
    ASSERT_EQ(client.runtimeWrites[1].requests.size(), 2u);
    EXPECT_EQ(client.runtimeWrites[1].requests[0].flush().object_type(), pb::LOG_SWITCH_STATE);
    EXPECT_EQ(client.runtimeWrites[1].requests[1].flush().object_type(), pb::ROUTING_DOMAIN_VTEP);
    EXPECT_EQ(client.fullSyncDone[1], std::make_pair(true, ICairndbClient::kRuntimeL2));
    EXPECT_TRUE(Logged(log, {"StateCacheObserver: prepare ROUTING_DOMAIN_VTEP Flush object",
                             "StateCacheObserver: write local l2 to CairnDB"}));
}

TEST_F(StateCacheObserverTest, VifStateBecomesPutPatchAndDelete) {
    pb::SpanContextMsg span;
    span.set_trace_id_high(1);
    span.set_trace_id_low(2);
    span.set_span_id(3);
    span.set_parent_span_id(4);
    CairnDBUpdateMsg put = Whole(ObjectType::VIF_STATE, Id(7), VifState(7, 0xa));
    put.SetTraceContext(span.SerializeAsString());
    cache->ConfigTable()->UpdateRuntimeState({put}, false);
    cache->ConfigTable()->UpdateRuntimeState(
        {Rec(ObjectType::VIF_STATE, Id(7), PropertyType::VIF_MAC, VifMac(0xb))}, false);
    cache->ConfigTable()->UpdateRuntimeState(
        {Rec(ObjectType::VIF_STATE, Id(7), PropertyType::VIF_MAC, "", Operation::OPERATION_DELETE)},
        false);
    cache->ConfigTable()->UpdateRuntimeState(
        {Whole(ObjectType::VIF_STATE, Id(7), "", Operation::OPERATION_DELETE)}, false);
    ASSERT_EQ(client.runtimeWrites.size(), 4u);
    EXPECT_EQ(client.fullSyncDone[0], std::make_pair(false, ICairndbClient::kRuntimeConfig));

    const pb::ModifyRequestMsg& p = client.runtimeWrites[0].requests.at(0);
    ASSERT_TRUE(p.has_put());
    EXPECT_EQ(p.put().object().object_type(), pb::VIF_STATE);
    EXPECT_EQ(p.put().object().body(), VifState(7, 0xa));
    EXPECT_EQ(p.put().span().span_id(), 3u);

    const pb::ModifyRequestMsg& set = client.runtimeWrites[1].requests.at(0);
    ASSERT_TRUE(set.has_patch());
    EXPECT_EQ(set.patch().id().SerializeAsString(), Id(7));
    pb::VifStateOpMsg op;
    ASSERT_TRUE(op.ParseFromString(set.patch().op()));
    EXPECT_EQ(op.mac().op(), pb::SET);
    EXPECT_FALSE(op.has_ip_discovered_bindings());
    pb::VifStateMsg body;
    ASSERT_TRUE(body.ParseFromString(set.patch().body()));
    EXPECT_EQ(body.mac(), 0xbu);

    // A VIF_MAC clear is one Patch with CLEAR and no Delete of the object.
    ASSERT_EQ(client.runtimeWrites[2].requests.size(), 1u);
    const pb::ModifyRequestMsg& clear = client.runtimeWrites[2].requests[0];
    ASSERT_TRUE(clear.has_patch());
    ASSERT_TRUE(op.ParseFromString(clear.patch().op()));
    EXPECT_EQ(op.mac().op(), pb::CLEAR);

    const pb::ModifyRequestMsg& del = client.runtimeWrites[3].requests.at(0);
    ASSERT_TRUE(del.has_delete_());
    EXPECT_EQ(del.delete_().id().SerializeAsString(), Id(7));
    EXPECT_TRUE(
        Logged(log, {"StateCacheObserver: process VIF_STATE update with workflow tracing "
                     "info: high trace id 1, low trace id 2, span id 3, parent id 4",
                     Prepared("VIF_STATE Put", 7), Prepared("VIF_STATE Patch", 7, " property SET"),
                     "property CLEAR", Prepared("VIF_STATE Delete", 7)}));
}

TEST_F(StateCacheObserverTest, WithoutAMainVdbNothingIsWritten) {
    client.vdb = 0;
    cache->ConfigTable()->UpdateRuntimeState({Whole(ObjectType::VIF_STATE, Id(7), VifState(7, 1))},
                                             true);
    cache->L2Table()->UpdateRuntimeState({Whole(ObjectType::LOG_SWITCH_STATE, Id(1), "")}, false);
    EXPECT_TRUE(client.runtimeWrites.empty());
    EXPECT_TRUE(Logged(
        log, {"StateCacheObserver: Failed to get VDB ID when processing VIF_STATE message.",
              "StateCacheObserver: Failed to get VDB ID when processing L2 runtime message."}));
    EXPECT_EQ(client.fullSyncDone.size(), 2u);  // still told, before the vdb check
}

TEST_F(StateCacheObserverTest, L2EntriesBecomeAppendAndRemovePatches) {
    CairnDBUpdateMsg vtep = Rec(ObjectType::LOG_SWITCH_STATE, Id(1), PropertyType::L2_VTEP,
                                test::Vtep(test::Ip4(0x0a000001), 9));
    cache->L2Table()->UpdateRuntimeState({Whole(ObjectType::LOG_SWITCH_STATE, Id(1), ""), vtep},
                                         false);
    ASSERT_EQ(client.runtimeWrites.size(), 1u);
    const auto& reqs = client.runtimeWrites[0].requests;
    ASSERT_EQ(reqs.size(), 2u);
    ASSERT_TRUE(reqs[0].has_put());
    pb::LogSwitchStateMsg putBody;
    ASSERT_TRUE(putBody.ParseFromString(reqs[0].put().object().body()));
    // An empty record body still names the object.
    EXPECT_EQ(putBody.id().SerializeAsString(), Id(1));
    ASSERT_TRUE(reqs[1].has_patch());
    pb::LogSwitchStateOpMsg op;
    ASSERT_TRUE(op.ParseFromString(reqs[1].patch().op()));
    EXPECT_EQ(op.vtep_entries().op(), pb::APPEND);
    ASSERT_EQ(op.vtep_entries().entries_size(), 1);
    EXPECT_EQ(op.vtep_entries().entries(0).op(), pb::APPEND);
    pb::LogSwitchStateMsg body;
    ASSERT_TRUE(body.ParseFromString(reqs[1].patch().body()));
    ASSERT_EQ(body.vtep_entries_size(), 1);
    EXPECT_EQ(body.vtep_entries(0).label(), 9u);

    CairnDBUpdateMsg remove = vtep;
    remove.op = Operation::OPERATION_DELETE;
    cache->L2Table()->UpdateRuntimeState({remove}, false);
    ASSERT_EQ(client.runtimeWrites.size(), 2u);
    ASSERT_TRUE(op.ParseFromString(client.runtimeWrites[1].requests.at(0).patch().op()));
    EXPECT_EQ(op.vtep_entries().op(), pb::REMOVE);

    // A local entry rewritten under its key: the old body leaves the list before the new one joins.
    cache->L2Table()->UpdateRuntimeState({vtep}, false);
    CairnDBUpdateMsg relabeled = Rec(ObjectType::LOG_SWITCH_STATE, Id(1), PropertyType::L2_VTEP,
                                     test::Vtep(test::Ip4(0x0a000001), 10));
    cache->L2Table()->UpdateRuntimeState({relabeled}, false);
    ASSERT_EQ(client.runtimeWrites.size(), 4u);
    const auto& replace = client.runtimeWrites[3].requests;
    ASSERT_EQ(replace.size(), 2u);
    ASSERT_TRUE(op.ParseFromString(replace[0].patch().op()));
    EXPECT_EQ(op.vtep_entries().op(), pb::REMOVE);
    ASSERT_TRUE(body.ParseFromString(replace[0].patch().body()));
    EXPECT_EQ(body.vtep_entries(0).label(), 9u);
    ASSERT_TRUE(op.ParseFromString(replace[1].patch().op()));
    EXPECT_EQ(op.vtep_entries().op(), pb::APPEND);
    ASSERT_TRUE(body.ParseFromString(replace[1].patch().body()));
    EXPECT_EQ(body.vtep_entries(0).label(), 10u);

    // A routing domain carries VTEPs only.
    auto reqs2 = StateCacheObserver::BuildL2Requests(
        {Rec(ObjectType::ROUTING_DOMAIN_VTEP, Id(2), PropertyType::L2_VTEP,
             test::Vtep(test::Ip4(1))),
         Rec(ObjectType::ROUTING_DOMAIN_VTEP, Id(2), PropertyType::L2_VM_MAC, test::Mac(1))},
        false, 5);
    ASSERT_EQ(reqs2.size(), 1u);
    EXPECT_EQ(reqs2[0].vdb(), 5u);
    EXPECT_TRUE(Logged(log, {Prepared("LOG_SWITCH_STATE Put", 1),
                             Prepared("LOG_SWITCH_STATE Patch", 1, " APPEND L2_VTEP"),
                             Prepared("LOG_SWITCH_STATE Patch", 1, " REMOVE L2_VTEP"),
                             Prepared("ROUTING_DOMAIN_VTEP Patch", 2, " APPEND L2_VTEP"),
                             "StateCacheObserver: failed to process ROUTING_DOMAIN_VTEP update "
                             "message"}));
}

// Consecutive entries of one object's list with one operation share a patch; anything between
// them (another object, list or operation, a whole object) starts the next one.
TEST_F(StateCacheObserverTest, ConsecutiveEntriesOfOneListShareAPatch) {
    auto mac = [](uint64_t ls, uint64_t m, bool remove = false) {
        CairnDBUpdateMsg r =
            Rec(ObjectType::LOG_SWITCH_STATE, Id(ls), PropertyType::L2_VM_MAC, test::Mac(m));
        if (remove)
            r.op = Operation::OPERATION_DELETE;
        return r;
    };
    CairnDBUpdateMsg bad = mac(1, 9);
    bad.data = std::string("\x0b", 1);
    auto reqs = StateCacheObserver::BuildL2Requests(
        {mac(1, 1), mac(1, 2), bad, mac(1, 3), mac(2, 4), mac(1, 5), mac(1, 1, true),
         mac(1, 2, true),
         Rec(ObjectType::LOG_SWITCH_STATE, Id(1), PropertyType::L2_VTEP,
             test::Vtep(test::Ip4(0x0a000001), 9)),
         mac(1, 7), Whole(ObjectType::LOG_SWITCH_STATE, Id(1), ""), mac(1, 6)},
        false, 1);
    // (switch, operation, MACs) of each request; "put" for a whole object.
    std::vector<std::string> got;
    for (const auto& r : reqs) {
        if (r.has_put()) {
            got.push_back("put");
            continue;
        }
        pb::LogSwitchStateOpMsg op;
        pb::LogSwitchStateMsg body;
        ASSERT_TRUE(op.ParseFromString(r.patch().op()));
        ASSERT_TRUE(body.ParseFromString(r.patch().body()));
        EXPECT_EQ(body.id().SerializeAsString(), Id(r.patch().id().right()));
        const bool vtep = body.vtep_entries_size() > 0;
        const pb::OpMsg& list = vtep ? op.vtep_entries() : op.mac_entries();
        std::string text = std::to_string(r.patch().id().right()) +
                           (list.op() == pb::APPEND ? " append" : " remove");
        ASSERT_EQ(list.entries_size(), vtep ? 1 : body.mac_entries_size());
        for (int i = 0; i < list.entries_size(); ++i) {
            EXPECT_EQ(list.entries(i).op(), list.op());
            EXPECT_EQ(list.entries(i).index(), static_cast<uint32_t>(i));
            text += vtep ? " vtep" : " " + std::to_string(body.mac_entries(i).mac());
        }
        got.push_back(text);
    }
    EXPECT_EQ(
        got, (std::vector<std::string>{"1 append 1 2 3", "2 append 4", "1 append 5", "1 remove 1 2",
                                       "1 append vtep", "1 append 7", "put", "1 append 6"}));
    EXPECT_TRUE(
        log.Contains("StateCacheObserver: failed to process LOG_SWITCH_STATE update message"));
}

// An entry joins the open patch as its bytes stand, whether they are as its serialization writes
// them (taken without a parse) or valid in another form (fields out of order: parsed to be
// checked); bytes that are not an entry fail on their own, and the patch goes on after them.
TEST_F(StateCacheObserverTest, AnEntryJoinsAsItsBytesStandInAnyValidForm) {
    auto mac = [](const std::string& data) {
        return Rec(ObjectType::LOG_SWITCH_STATE, Id(1), PropertyType::L2_VM_MAC, data);
    };
    // MAC 0x0a0b (field 1) after the VTEP's IPv4 address (field 2): valid, not canonical.
    const std::string reordered("\x12\x05\x0d\x01\x00\x00\x0a\x09\x0b\x0a\0\0\0\0\0\0", 16);
    pb::LogSwitchMacEntryMsg parsed;
    ASSERT_TRUE(parsed.ParseFromString(reordered));
    ASSERT_EQ(parsed.mac(), 0x0a0bu);
    ASSERT_NE(parsed.SerializeAsString(), reordered);
    const std::string unparsable("\x09\x01", 2);  // a fixed64 cut short
    const struct {
        const char* name;
        CairnDBUpdateList records;
        std::vector<std::vector<std::string>> patches;  // each request's entries, as bytes
    } cases[] = {
        {"canonical entries",
         {mac(test::Mac(1)), mac(test::Mac(2))},
         {{test::Mac(1), test::Mac(2)}}},
        {"a reordered entry joins",
         {mac(test::Mac(1)), mac(reordered), mac(test::Mac(2))},
         {{test::Mac(1), reordered, test::Mac(2)}}},
        // The entry that opens a patch is in its first part, written by its serialization.
        {"a reordered entry opens",
         {mac(reordered), mac(test::Mac(2))},
         {{parsed.SerializeAsString(), test::Mac(2)}}},
        {"an empty entry",
         {mac(test::Mac(1)), mac(""), mac(test::Mac(2))},
         {{test::Mac(1), test::Mac(2)}}},
        {"an unparsable entry",
         {mac(test::Mac(1)), mac(unparsable), mac(test::Mac(2))},
         {{test::Mac(1), test::Mac(2)}}},
    };
    for (const auto& c : cases) {
        const auto reqs = StateCacheObserver::BuildL2Requests(c.records, false, 1);
        ASSERT_EQ(reqs.size(), c.patches.size()) << c.name;
        for (size_t i = 0; i < reqs.size(); ++i) {
            pb::LogSwitchStateMsg head;
            ASSERT_TRUE(head.mutable_id()->ParseFromString(Id(1)));
            std::string body = head.SerializeAsString();
            for (const std::string& e : c.patches[i])
                body += '\x1a' + std::string(1, static_cast<char>(e.size())) + e;
            EXPECT_EQ(reqs[i].patch().body(), body) << c.name << " " << i;
            pb::LogSwitchStateOpMsg op;
            ASSERT_TRUE(op.ParseFromString(reqs[i].patch().op())) << c.name;
            EXPECT_EQ(op.mac_entries().entries_size(), static_cast<int>(c.patches[i].size()))
                << c.name << " " << i;
        }
    }
}

// A batch's lists, however its records are split among them, give the requests of the one list
// they make, byte for byte; a long patch's entry ops (indexes past one varint byte) are those the
// op message's own serialization writes.
TEST_F(StateCacheObserverTest, ABatchsListsGiveTheRequestsOfOneList) {
    CairnDBUpdateList all{Whole(ObjectType::LOG_SWITCH_STATE, Id(1), "")};
    for (uint64_t m = 0; m < 300; ++m) {
        if (m == 200)
            all.push_back(Whole(ObjectType::LOG_SWITCH_STATE, Id(2), ""));
        all.push_back(Rec(ObjectType::LOG_SWITCH_STATE, Id(1 + m / 200), PropertyType::L2_VM_MAC,
                          test::Mac(m)));
    }
    all.push_back(Rec(ObjectType::LOG_SWITCH_STATE, Id(1), PropertyType::L2_VM_MAC, test::Mac(7),
                      Operation::OPERATION_DELETE));
    const auto want = StateCacheObserver::BuildL2Requests(all, false, 1);
    ASSERT_EQ(want.size(), 5u);  // a put, 200 appends to 1, a put, 100 appends to 2, a removal
    pb::LogSwitchStateOpMsg op;
    *op.mutable_mac_entries() = pb::OpMsg();
    op.mutable_mac_entries()->set_op(pb::APPEND);
    for (uint32_t i = 0; i < 200; ++i) {
        pb::OpMsg* e = op.mutable_mac_entries()->add_entries();
        e->set_op(pb::APPEND);
        e->set_index(i);
    }
    EXPECT_EQ(want[1].patch().op(), op.SerializeAsString());

    const struct {
        const char* name;
        std::vector<size_t> sizes;  // of the lists, in order; the last takes the rest
    } cases[] = {
        {"one list", {}},
        {"a list per record", std::vector<size_t>(all.size() - 1, 1)},
        {"empty lists between", {0, 5, 0, 0, 100, 0}},
        {"split at each object", {1, 200, 1}},
        {"leading empty list", {0}},
    };
    for (const auto& c : cases) {
        std::vector<CairnDBUpdateList> lists;
        size_t at = 0;
        for (size_t n : c.sizes) {
            lists.emplace_back(all.begin() + at, all.begin() + at + n);
            at += n;
        }
        lists.emplace_back(all.begin() + at, all.end());
        lists.emplace_back();
        const auto got = StateCacheObserver::BuildL2Requests(lists.data(), lists.size(), false, 1);
        ASSERT_EQ(got.size(), want.size()) << c.name;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i].SerializeAsString(), want[i].SerializeAsString())
                << c.name << " " << i;
    }
    EXPECT_TRUE(StateCacheObserver::BuildL2Requests(nullptr, 0, false, 1).empty());

    // Through the table: a batch of many updates is one write, not a full sync.
    cache->L2Table()->BeginRuntimeBatch();
    for (size_t i = 0; i < all.size(); i += 7)
        cache->L2Table()->UpdateRuntimeState(
            CairnDBUpdateList(all.begin() + i, all.begin() + std::min(all.size(), i + 7)), false);
    EXPECT_TRUE(client.runtimeWrites.empty());
    cache->L2Table()->EndRuntimeBatch();
    ASSERT_EQ(client.runtimeWrites.size(), 1u);
    EXPECT_FALSE(client.runtimeWrites[0].fullSync);
    const auto& written = client.runtimeWrites[0].requests;
    ASSERT_EQ(written.size(), want.size());
    for (size_t i = 0; i < written.size(); ++i)
        EXPECT_EQ(written[i].SerializeAsString(), want[i].SerializeAsString()) << i;
}

TEST_F(StateCacheObserverTest, HopoverStatusAndUnconvertibleRecords) {
    pb::HopoverStatusMsg h;
    *h.mutable_id() = test::Uuid(3);
    h.set_status(2);
    auto reqs = StateCacheObserver::BuildConfigRequests(
        {Whole(ObjectType::HOPOVER_STATUS, Id(3), h.SerializeAsString()),
         Whole(ObjectType::HOPOVER_STATUS, Id(3), "", Operation::OPERATION_DELETE),
         Whole(ObjectType::HOPOVER_STATUS, "not-a-uuid", "", Operation::OPERATION_DELETE),
         Whole(ObjectType::HOPOVER_STATUS, Id(3), std::string("\x0b", 1)),
         Rec(ObjectType::VIF_STATE, Id(4), PropertyType::LS_VNI, VifMac(1))},
        false, 1);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_TRUE(reqs[0].has_put());
    EXPECT_TRUE(reqs[1].has_delete_());
    EXPECT_TRUE(
        Logged(log, {Prepared("HOPOVER_STATUS Put", 3), Prepared("HOPOVER_STATUS Delete", 3),
                     "StateCacheObserver: failed to process HOPOVER_STATUS deletion message",
                     "StateCacheObserver: failed to process HOPOVER_STATUS update message",
                     "StateCacheObserver: failed to process VIF_STATE update message"}));
}

TEST_F(StateCacheObserverTest, RegistrationTwiceFailsAndUnregisterStopsWrites) {
    EXPECT_FALSE(observer->RegisterRuntimeCache());
    ASSERT_TRUE(observer->UnregisterRuntimeCache());
    cache->ConfigTable()->UpdateRuntimeState({}, true);
    EXPECT_TRUE(client.runtimeWrites.empty());
    EXPECT_FALSE(observer->UnregisterRuntimeCache());
    ASSERT_TRUE(observer->RegisterRuntimeCache());
    auto dump = nlohmann::json::parse(observer->Dump());
    EXPECT_EQ(dump["registered"], true);
    EXPECT_TRUE(Logged(log, {"StateCacheObserver: failed in registering runtime cache",
                             "StateCacheObserver: unregistered config and l2 runtime cache",
                             "StateCacheObserver: failed in unregistering runtime cache",
                             "StateCacheObserver: dump {"}));
}

TEST(StateCacheTest, SizeAndTableDumpsNameEveryStore) {
    auto cache = ozy::MakeRef<StateCache>();
    auto sizes = nlohmann::json::parse(cache->DumpSizesJson());
    ASSERT_EQ(sizes.size(), 5u);
    const char* names[] = {"RuntimeConfigCache", "DesiredConfigCache", "RuntimeL2Cache",
                           "DesiredL2Cache", "DesiredL3Cache"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(sizes[i]["TableName"], names[i]);
        EXPECT_TRUE(sizes[i]["Size"].is_number_unsigned());
    }
    auto tables = nlohmann::json::parse(cache->DumpTablesJson());
    for (const char* key : {"local_config_cache", "remote_config_cache", "local_l2_cache",
                            "remote_l2_cache", "remote_l3_cache"})
        EXPECT_TRUE(tables.contains(key)) << key;
    // The tables live as long as someone holds them, even past the cache.
    ozy::RefPtr<StateCacheConfigTable> config(cache->ConfigTable());
    cache.reset();
    EXPECT_EQ(config->ObjectCount(ConfigStore::kDesired), 0u);
}

}  // namespace
}  // namespace CfgAgent

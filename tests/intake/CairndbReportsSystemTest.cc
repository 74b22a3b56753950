// Realization reports and runtime state against a real ovsdb-server. On an ordinary host the
// database client writes PROCESSED_BARRIER and RUNTIME_STATUS objects that cairnctl reads back, and
// a report without its vertical id writes nothing. On a SmartNIC host they go through realization
// tracking: a barrier applied with cairnctl reaches it through the client and the Demux, and the
// host's report is written only once every participant has realized the barrier. A large full
// sync of the VIF states, written as its differences from the stored rows, leaves the rows a flush
// would, and leaves the unchanged rows untouched.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "intake/CairndbClient.h"
#include "intake/SmartNic.h"
#include "platform/cairndb/CairnDbClient.h"
#include "proto/UuidText.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentSettings.h"
#include "runtime/WorkGroup.h"
#include "tests/intake/DemuxTestUtil.h"
#include "tests/platform/cairndb/ClientTestSupport.h"
#include "tests/support/Await.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {
namespace {

class CairndbReportsSystemTest : public ::testing::Test {
  protected:
    // The client's writer runs as a work item that holds a reference to the client, so the last
    // reference may drop on a work thread after the test: the io threads its library's timers
    // belong to must outlive the work groups.
    static void SetUpTestSuite() {
        io = new IoThreads;
        WorkGroups::Start(nullptr);
    }
    static void TearDownTestSuite() {
        WorkGroups::Stop();
        delete io;
        io = nullptr;
    }

    void SetUp() override { ASSERT_TRUE(db.Start()); }
    // A client of `persona`; on a SmartNIC host with its coordinator attached.
    void StartClient(int persona) {
        CairndbClientOptions options;
        options.persona = persona;
        options.library = std::make_shared<ozy::cairndb::CairnDbClient>(
            "cfg-agent", ozy::net::Endpoint(db.Endpoint()), io->io());
        queue = std::make_shared<UpdateQueue>(UpdateQueue::kUnbounded, true, false);
        client = ozy::MakeRef<CairndbClient>(queue, RuntimeStateSource{}, options);
        if (persona == kPersonaSmartnicHost) {
            smartnic = ozy::MakeRef<SmartNic>(client.get(), options.library);
            client->SetSmartNicCoordinator(smartnic.get());
        }
        ASSERT_TRUE(client->start());
        ASSERT_TRUE(AwaitTrue([&] { return client->channelUp(); }));
    }
    void TearDown() override {
        if (client)
            client->stop();
        if (smartnic) {
            smartnic->Stop();
            client->SetSmartNicCoordinator(nullptr);
        }
        client.reset();
        smartnic.reset();
    }

    bool Apply(const std::string& json) {
        files.WriteFile("apply.json", json);
        return RunProgram(BinPath("cairnctl"),
                          {"--endpoint", db.Endpoint(), "apply", files.path() + "/apply.json"})
                   .status == 0;
    }
    // The barrier number of the vertical's PROCESSED_BARRIER in vdb 1 ("" when there is none).
    std::string WrittenBarrier(int vertical) {
        nlohmann::json all = Get("PROCESSED_BARRIER");
        if (!all.is_array())
            return std::string();
        for (const auto& b : all) {
            if (b.value("vertical_id", 0) == vertical)
                return b.value("barrier_id", std::string());
        }
        return std::string();
    }

    // `cairnctl get TYPE` as JSON: the list of objects of the type in vdb 1.
    nlohmann::json Get(const std::string& type) {
        RunResult r = RunProgram(BinPath("cairnctl"), {"--endpoint", db.Endpoint(), "get", type});
        if (r.status != 0)
            return nlohmann::json();
        nlohmann::json doc = nlohmann::json::parse(r.output, nullptr, false);
        return doc.is_object() ? doc[type] : nlohmann::json();
    }

    static IoThreads* io;
    CairndbServer db;
    TempDir files{"ozy-reports"};
    UpdateQueuePtr queue;
    ozy::RefPtr<CairndbClient> client;
    ozy::RefPtr<SmartNic> smartnic;
};

IoThreads* CairndbReportsSystemTest::io = nullptr;

// The id of VIF `i`.
pb::UuidMsg VifId(uint64_t i) {
    pb::UuidMsg u;
    u.set_left(0x5151);
    u.set_right(i);
    return u;
}

// The full-sync list of the configuration runtime state: VIFs [first, first + n) with status 1
// (`down`: 0 for those below it) and the hopover record of VIF `hopover`.
std::vector<pb::ModifyRequestMsg> VifFullSync(uint64_t first, size_t n, uint64_t down,
                                              uint64_t hopover) {
    std::vector<pb::ModifyRequestMsg> list(2);
    list[0].set_vdb(1);
    list[0].mutable_flush()->set_object_type(pb::VIF_STATE);
    list[1].set_vdb(1);
    list[1].mutable_flush()->set_object_type(pb::HOPOVER_STATUS);
    auto put = [&](pb::ObjectType type, const google::protobuf::Message& body) {
        list.emplace_back();
        list.back().set_vdb(1);
        list.back().mutable_put()->mutable_object()->set_object_type(type);
        body.SerializeToString(list.back().mutable_put()->mutable_object()->mutable_body());
    };
    for (uint64_t i = first; i < first + n; ++i) {
        pb::VifStateMsg v;
        *v.mutable_id() = VifId(i);
        v.set_vif_id("vif-" + std::to_string(i));
        v.set_status(i < down ? 0 : 1);
        put(pb::VIF_STATE, v);
    }
    pb::HopoverStatusMsg h;
    *h.mutable_id() = VifId(hopover);
    h.set_status(1);
    put(pb::HOPOVER_STATUS, h);
    return list;
}

TEST_F(CairndbReportsSystemTest, AReconciledFullSyncLeavesTheRowsOfTheFlush) {
    StartClient(kPersonaOther);
    const size_t n = CairndbClient::kReconcileMinPuts + 40;
    // The row's _version; empty when there is no such row.
    auto version = [&](uint64_t i) {
        pb::UuidMsg id = VifId(i);
        RunResult r = db.Transact(R"([{"op":"select","table":"VIF_STATE","where":[["oid","==",")" +
                                  ozy::cairndb::UuidText(id.left(), id.right()) +
                                  R"("]],"columns":["_version"]}])");
        nlohmann::json j = nlohmann::json::parse(r.output, nullptr, false);
        if (!j.is_array() || j.empty() || j[0]["rows"].size() != 1)
            return std::string();
        return j[0]["rows"][0]["_version"].dump();
    };
    // VIF id (right half) -> status, of what cairnctl reads back.
    auto stored = [&](const std::string& type) {
        std::map<std::string, int> out;
        nlohmann::json all = Get(type);
        for (const auto& o : all.is_array() ? all : nlohmann::json::array())
            out[o.value("id", std::string())] = o.value("status", -1);
        return out;
    };
    auto expected = [&](uint64_t first, uint64_t down) {
        std::map<std::string, int> out;
        for (uint64_t i = first; i < first + n; ++i) {
            pb::UuidMsg id = VifId(i);
            out[ozy::cairndb::UuidText(id.left(), id.right())] = i < down ? 0 : 1;
        }
        return out;
    };

    // Into an empty database: every row inserted.
    client->writeRuntime(VifFullSync(0, n, 0, 0), ICairndbClient::kRuntimeConfig, true);
    ASSERT_TRUE(AwaitTrue([&] { return stored("VIF_STATE") == expected(0, 0); }));
    const std::string kept = version(100);
    const std::string changed = version(20);
    ASSERT_FALSE(kept.empty());
    // A restart: VIFs 0..19 gone, 20..29 down, n..n+19 new, the hopover record of another VIF.
    LogCapture logs(kLogInfo);
    client->writeRuntime(VifFullSync(20, n, 30, 7), ICairndbClient::kRuntimeConfig, true);
    ASSERT_TRUE(AwaitTrue([&] { return stored("VIF_STATE") == expected(20, 30); }))
        << stored("VIF_STATE").size();
    ASSERT_TRUE(AwaitTrue([&] { return stored("HOPOVER_STATUS").size() == 1; }));
    pb::UuidMsg hop = VifId(7);
    EXPECT_EQ(stored("HOPOVER_STATUS").count(ozy::cairndb::UuidText(hop.left(), hop.right())), 1u);
    EXPECT_EQ(client->reconciledWrites(), 2u);
    EXPECT_TRUE(logs.Contains(std::to_string(n - 30) + " of " + std::to_string(n + 1) +
                              " puts unchanged, 21 stale rows deleted, 1 lists"));
    EXPECT_EQ(version(100), kept) << "an unchanged row is not written";
    EXPECT_NE(version(20), changed);
    EXPECT_TRUE(version(0).empty());
}

TEST_F(CairndbReportsSystemTest, ReportsAreReadBackWithCairnctl) {
    StartClient(kPersonaOther);
    LogCapture logs(kLogInfo);
    pb::ProcessedBarrierMsg barrier;
    barrier.set_vertical_id(1);
    barrier.set_barrier_id(42);
    ASSERT_TRUE(client->reportProcessedBarrier(barrier));
    pb::RuntimeStatusMsg status;
    status.set_component_id(1);
    status.set_barrier_id(42);
    pb::RealizationErrorMsg* e = status.add_errors();
    e->set_object_type(pb::RULE);
    e->set_error_code(7);
    e->set_error_message("rule \"r1\" refused");
    ASSERT_TRUE(client->reportRuntimeStatus(status));

    nlohmann::json barriers;
    ASSERT_TRUE(AwaitTrue([&] {
        barriers = Get("PROCESSED_BARRIER");
        return barriers.is_array() && barriers.size() == 1;
    })) << barriers.dump();
    EXPECT_EQ(barriers[0]["vertical_id"], 1);
    EXPECT_EQ(barriers[0]["barrier_id"], "42");
    EXPECT_EQ(barriers[0]["id"], "00000000-0000-0000-0000-000000000001");

    nlohmann::json statuses;
    ASSERT_TRUE(AwaitTrue([&] {
        statuses = Get("RUNTIME_STATUS");
        return statuses.is_array() && statuses.size() == 1;
    })) << statuses.dump();
    EXPECT_EQ(statuses[0]["component_id"], 1);
    ASSERT_EQ(statuses[0]["errors"].size(), 1u);
    EXPECT_EQ(statuses[0]["errors"][0]["error_message"], "rule \"r1\" refused");

    // A later barrier of the same vertical replaces the object; one without a vertical id is
    // refused and changes nothing.
    barrier.set_barrier_id(43);
    ASSERT_TRUE(client->reportProcessedBarrier(barrier));
    pb::ProcessedBarrierMsg anonymous;
    anonymous.set_barrier_id(44);
    EXPECT_FALSE(client->reportProcessedBarrier(anonymous));
    EXPECT_TRUE(logs.ContainsWithCode(
        "CairndbClient: Refused ProcessedBarrierMsg has_vertical_id: false", "LCP00028"));
    ASSERT_TRUE(AwaitTrue([&] {
        barriers = Get("PROCESSED_BARRIER");
        return barriers.is_array() && barriers.size() == 1 && barriers[0]["barrier_id"] == "43";
    })) << barriers.dump();
}

TEST_F(CairndbReportsSystemTest, ASmartNicHostWritesTheBarrierOnceEveryParticipantRealizedIt) {
    StartClient(kPersonaSmartnicHost);
    Rtf& rtf = smartnic->rtf();
    rtf.SetHostVerticals({Rtf::kVerticalDfw});
    // Host switch 1 backed by the fake SmartNIC vdb 2, then barrier 5.
    ASSERT_TRUE(Apply(R"({"TRANSPORT_NODE_CONFIG": [{"id": "7e000000-0000-4000-8000-000000000001",
        "transport_switches": [{"host_switch_id": "7d000000-0000-4000-8000-000000000001",
        "name": "hs-1", "transport_zone_ids": ["7f000000-0000-4000-8000-000000000001"]}]}],
      "HOST_SWITCH_SMARTNIC_BACKING": [{"id": "6b000000-0000-4000-8000-000000000001",
        "host_switch_id": "7d000000-0000-4000-8000-000000000001", "vdb": 2,
        "active_sn_id": "sn-a", "current_active_sn_id": "sn-a"}]})"));
    ASSERT_TRUE(AwaitTrue([&] { return rtf.GetInfo().vdbs.count(2) == 1; }));
    ASSERT_TRUE(Apply(R"({"BARRIER": [{"id": "6d000000-0000-4000-8000-000000000001",
        "barrier_id": 5}]})"));
    ASSERT_TRUE(AwaitTrue([&] { return rtf.GetInfo().received.count(5) == 1; }));
    EXPECT_EQ(rtf.GetInfo().received.at(5), std::set<uint16_t>{2});

    // The host's own firewall realized it: nothing is written while vdb 2 has not.
    pb::ProcessedBarrierMsg processed;
    processed.set_vertical_id(Rtf::kVerticalDfw);
    processed.set_barrier_id(5);
    ASSERT_TRUE(client->reportProcessedBarrier(processed));
    pb::RuntimeStatusMsg status;
    status.set_component_id(1);
    status.add_errors()->set_error_message("host");
    ASSERT_TRUE(client->reportRuntimeStatus(status));
    // The SmartNIC's reports, as its vdb's monitor delivers them.
    status.mutable_errors(0)->set_error_message("vdb 2");
    rtf.UpdateFromVdb(2, SetOf(ObjectType::RUNTIME_STATUS, status));
    nlohmann::json statuses;
    ASSERT_TRUE(AwaitTrue([&] {
        statuses = Get("RUNTIME_STATUS");
        return statuses.is_array() && statuses.size() == 1 && statuses[0]["errors"].size() == 2;
    })) << statuses.dump();
    EXPECT_EQ(statuses[0]["errors"][0]["error_message"], "host");
    EXPECT_EQ(statuses[0]["errors"][1]["error_message"], "vdb 2");
    EXPECT_EQ(WrittenBarrier(Rtf::kVerticalDfw), "");

    rtf.UpdateFromVdb(2, SetOf(ObjectType::PROCESSED_BARRIER, processed));
    EXPECT_TRUE(AwaitTrue([&] { return WrittenBarrier(Rtf::kVerticalDfw) == "5"; }))
        << Get("PROCESSED_BARRIER").dump();
}

}  // namespace
}  // namespace CfgAgent::test

// Realization reports on an ordinary host against a real ovsdb-server: the database client writes
// PROCESSED_BARRIER and RUNTIME_STATUS objects that cairnctl reads back, and a report without its
// vertical id writes nothing.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "intake/CairndbClient.h"
#include "platform/cairndb/CairnDbClient.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentSettings.h"
#include "runtime/WorkGroup.h"
#include "tests/platform/cairndb/ClientTestSupport.h"
#include "tests/support/Await.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/LogCapture.h"
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

    void SetUp() override {
        ASSERT_TRUE(db.Start());
        CairndbClientOptions options;
        options.persona = kPersonaOther;
        options.library = std::make_shared<ozy::cairndb::CairnDbClient>(
            "cfg-agent", ozy::net::Endpoint(db.Endpoint()), io->io());
        queue = std::make_shared<UpdateQueue>(UpdateQueue::kUnbounded, true, false);
        client = ozy::MakeRef<CairndbClient>(queue, RuntimeStateSource{}, options);
        ASSERT_TRUE(client->start());
        ASSERT_TRUE(AwaitTrue([&] { return client->channelUp(); }));
    }
    void TearDown() override {
        if (client)
            client->stop();
        client.reset();
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
    UpdateQueuePtr queue;
    ozy::RefPtr<CairndbClient> client;
};

IoThreads* CairndbReportsSystemTest::io = nullptr;

TEST_F(CairndbReportsSystemTest, ReportsAreReadBackWithCairnctl) {
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

}  // namespace
}  // namespace CfgAgent::test

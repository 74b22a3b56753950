#pragma once
// Fixture of the CairndbClient tests: a client on the fake library, its update queue (read without
// blocking) and the process work group for the writer.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "intake/CairndbClient.h"
#include "intake/ISmartNicCoordinator.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentClock.h"
#include "runtime/AgentSettings.h"
#include "runtime/WorkGroup.h"
#include "tests/intake/DecodeTestUtil.h"
#include "tests/intake/FakeCairnDbLibrary.h"
#include "tests/support/Await.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {

constexpr const char* kLocalSn = "5a1c0000-0000-4000-8000-00000000000a";
constexpr const char* kOtherSn = "5a1c0000-0000-4000-8000-00000000000b";

class CairndbClientFixture : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { WorkGroups::Start(nullptr); }
    static void TearDownTestSuite() { WorkGroups::Stop(); }

    void SetUp() override {
        lib = std::make_shared<FakeCairnDbLibrary>();
        queue = std::make_shared<UpdateQueue>(UpdateQueue::kUnbounded, true, false);
    }
    void TearDown() override {
        if (client) {
            client->stop();
        }
        client.reset();
        AgentClock::reset();
    }

    void Make(int persona, RuntimeStateSource runtime = {}, const std::string& localSn = kLocalSn) {
        CairndbClientOptions options;
        options.persona = persona;
        options.library = lib;
        options.localSnId = localSn;
        if (partRecords) {
            options.fullSyncPartRecords = *partRecords;
            options.fullSyncPartWait = partWait;
        }
        client = ozy::MakeRef<CairndbClient>(queue, std::move(runtime), options);
    }

    // Make, then start (its result) and the channel up.
    bool StartUp(int persona, RuntimeStateSource runtime = {},
                 const std::string& localSn = kLocalSn) {
        Make(persona, std::move(runtime), localSn);
        const bool started = client->start();
        lib->Channel(true);
        return started;
    }
    // A barrier of the configuration monitor, and the batch it queued.
    UpdateBatch Commit() {
        lib->Barrier(CairndbClient::kMonitorId, 1);
        return Next();
    }

    // The next queued batch; fails the test when there is none.
    UpdateBatch Next() {
        std::optional<UpdateBatch> b = queue->tryGet();
        EXPECT_TRUE(b.has_value()) << "no batch queued";
        return b ? std::move(*b) : UpdateBatch();
    }

    std::shared_ptr<FakeCairnDbLibrary> lib;
    UpdateQueuePtr queue;
    // The client's full-sync parts, when given (else the default).
    std::optional<size_t> partRecords;
    std::chrono::milliseconds partWait{0};
    ozy::RefPtr<CairndbClient> client;
};

// A coordinator that records what the client hands over.
class RecordingCoordinator : public ISmartNicCoordinator {
  public:
    void OnConfigUpdate(const pb::MonitorUpdateMsg& update, DemuxRoute route) override {
        updates.emplace_back(static_cast<ObjectType>(update.object_type()), route);
    }
    void OnBarrier(bool fullSync) override { barriers.push_back(fullSync); }
    void OnChannelStatus(bool up) override { channel.push_back(up); }
    void WriteLocalRuntime(const std::vector<pb::ModifyRequestMsg>& requests, int kind,
                           bool fullSync) override {
        runtime.push_back({requests.size(), kind, fullSync});
    }
    bool ReportLocalProcessedBarrier(const pb::ProcessedBarrierMsg& report) override {
        barrierReports.push_back(report.barrier_id());
        return true;
    }
    bool ReportLocalRuntimeStatus(const pb::RuntimeStatusMsg& report) override {
        statusReports.push_back(report.component_id());
        return true;
    }

    struct Runtime {
        size_t size;
        int kind;
        bool fullSync;
    };
    std::vector<std::pair<ObjectType, DemuxRoute>> updates;
    std::vector<bool> barriers;
    std::vector<bool> channel;
    std::vector<Runtime> runtime;
    std::vector<uint64_t> barrierReports;
    std::vector<uint32_t> statusReports;
};

}  // namespace CfgAgent::test

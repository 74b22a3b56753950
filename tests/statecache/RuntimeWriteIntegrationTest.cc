// Runtime state written through the state cache reaches cairndb: the runtime-state observer's
// requests go through the real client library to a real ovsdb-server, and cairnctl reads them back.
// The database client here is a thin adapter over the library (the agent's own client adds the
// persona routing, which its own tests cover).
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "intake/ICairndbClient.h"
#include "platform/cairndb/CairnDbClient.h"
#include "proto/UuidText.h"
#include "proto/cairndb_modify.pb.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheObserver.h"
#include "tests/statecache/Records.h"
#include "tests/support/Await.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent {
namespace {

using test::Id;
using test::Rec;
using test::VifState;
using test::Whole;
namespace pb = orvane::ozy::cairndb;

// ICairndbClient over the library: every write is one library write, counted when it completes.
class LibraryClient : public ICairndbClient {
  public:
    explicit LibraryClient(ozy::cairndb::CairnDbClient& lib) : lib_(lib) {}
    void write(const std::vector<pb::ModifyRequestMsg>& requests) override { Submit(requests); }
    void writeRuntime(std::vector<pb::ModifyRequestMsg> requests, int, bool) override {
        Submit(requests);
    }
    void setFullSyncDone(bool, int) override {}
    uint16_t mainVdbId() const override { return 1; }
    void getObject(ObjectType type, uint16_t vdb, const std::string& oid,
                   GetObjectCallback cb) override {
        lib_.Get(static_cast<int>(type), vdb, oid,
                 [cb](const ozy::cairndb::Status& s,
                      const std::vector<ozy::cairndb::StoredObject>& objs) {
                     if (!s.ok) {
                         cb(LookupResult::kFailed, std::string());
                     } else if (objs.empty()) {
                         cb(LookupResult::kNotFound, std::string());
                     } else {
                         cb(LookupResult::kFound, objs[0].body);
                     }
                 });
    }

    std::atomic<int> done{0};
    std::atomic<int> failed{0};

  private:
    void Submit(const std::vector<pb::ModifyRequestMsg>& requests) {
        lib_.Write(requests, [this](const ozy::cairndb::Status& s) {
            if (!s.ok) {
                ADD_FAILURE() << "write failed: " << s.error;
                ++failed;
            }
            ++done;
        });
    }
    ozy::cairndb::CairnDbClient& lib_;
};

std::string Text(uint64_t n) {
    pb::UuidMsg u = test::Uuid(n);
    return ozy::cairndb::UuidText(u.left(), u.right());
}

class RuntimeWriteIntegrationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(db.Start());
        lib = std::make_unique<ozy::cairndb::CairnDbClient>("statecache-test",
                                                            ozy::net::Endpoint(db.Endpoint()), io);
        client = std::make_unique<LibraryClient>(*lib);
        observer = ozy::MakeRef<StateCacheObserver>(client.get(), cache.get());
        thread = std::thread([this] { io.run(); });
        auto up = std::make_shared<std::promise<void>>();
        auto once = std::make_shared<std::once_flag>();
        lib->SetChannelStatusCallback([up, once](bool isUp) {
            if (isUp)
                std::call_once(*once, [&] { up->set_value(); });
        });
        lib->StartAsync();
        ASSERT_EQ(up->get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
        ASSERT_TRUE(observer->RegisterRuntimeCache());
    }
    void TearDown() override {
        if (observer)
            observer->UnregisterRuntimeCache();
        if (lib)
            lib->Stop();
        guard.reset();
        io.stop();
        if (thread.joinable())
            thread.join();
    }
    // Waits until `n` writes completed.
    void AwaitWrites(int n) {
        ASSERT_TRUE(test::AwaitTrue([&] { return client->done.load() >= n; }));
    }
    // `cairnctl get TYPE` as JSON: the objects of the type.
    nlohmann::json Get(const std::string& type) {
        auto r =
            test::RunProgram(test::BinPath("cairnctl"), {"--endpoint", db.Endpoint(), "get", type});
        EXPECT_EQ(r.status, 0) << r.output;
        auto j = nlohmann::json::parse(r.output, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << r.output;
        return j.is_object() && j.contains(type) ? j[type] : nlohmann::json::array();
    }

    test::LogCapture log{kLogInfo};
    test::CairndbServer db;
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{
        io.get_executor()};
    std::thread thread;
    std::unique_ptr<ozy::cairndb::CairnDbClient> lib;
    std::unique_ptr<LibraryClient> client;
    ozy::RefPtr<StateCache> cache = ozy::MakeRef<StateCache>();
    ozy::RefPtr<StateCacheObserver> observer;
};

// One server and client for every check; each check has its objects of its own.
TEST_F(RuntimeWriteIntegrationTest, VifStateAndLocalL2EntriesReachTheDatabase) {
    StateCacheConfigTable* config = cache->ConfigTable();
    StateCacheL2Table* l2 = cache->L2Table();
    {
        SCOPED_TRACE("VIF state: full sync, delta, and a full sync replacing it");
        config->UpdateRuntimeState({Whole(ObjectType::VIF_STATE, Id(7), VifState(7, 0x0a)),
                                    Whole(ObjectType::VIF_STATE, Id(8), VifState(8, 0x0b))},
                                   true);
        AwaitWrites(1);
        auto vifs = Get("VIF_STATE");
        ASSERT_EQ(vifs.size(), 2u) << vifs.dump();
        std::map<std::string, std::string> vifIds;
        for (const auto& v : vifs)
            vifIds[v["id"]] = v["vif_id"];
        EXPECT_EQ(vifIds,
                  (std::map<std::string, std::string>{{Text(7), "vif-7"}, {Text(8), "vif-8"}}));

        // Delta: one property patched, one object deleted.
        pb::VifStateMsg mac;
        mac.set_mac(0x0c);
        config->UpdateRuntimeState(
            {Rec(ObjectType::VIF_STATE, Id(7), PropertyType::VIF_MAC, mac.SerializeAsString()),
             Whole(ObjectType::VIF_STATE, Id(8), "", Operation::OPERATION_DELETE)},
            false);
        AwaitWrites(2);
        vifs = Get("VIF_STATE");
        ASSERT_EQ(vifs.size(), 1u) << vifs.dump();
        EXPECT_EQ(vifs[0]["id"], Text(7));
        EXPECT_EQ(vifs[0]["vif_id"], "vif-7");  // the patch kept the other fields
        EXPECT_EQ(vifs[0]["mac"], "00:00:00:00:00:0c");  // MACs print as text

        config->UpdateRuntimeState({Whole(ObjectType::VIF_STATE, Id(9), VifState(9, 0x0d))}, true);
        AwaitWrites(3);
        vifs = Get("VIF_STATE");
        ASSERT_EQ(vifs.size(), 1u) << vifs.dump();
        EXPECT_EQ(vifs[0]["id"], Text(9));
    }
    {
        SCOPED_TRACE("local L2 entries are appended, replaced and removed");
        CairnDBUpdateMsg mac =
            Rec(ObjectType::LOG_SWITCH_STATE, Id(1), PropertyType::L2_VM_MAC, test::Mac(0x42));
        l2->UpdateRuntimeState({Whole(ObjectType::LOG_SWITCH_STATE, Id(1), ""),
                                Rec(ObjectType::LOG_SWITCH_STATE, Id(1), PropertyType::L2_VTEP,
                                    test::Vtep(test::Ip4(0x0a000001), 5)),
                                mac},
                               true);
        AwaitWrites(4);
        auto states = Get("LOG_SWITCH_STATE");
        ASSERT_EQ(states.size(), 1u) << states.dump();
        EXPECT_EQ(states[0]["id"], Text(1));
        ASSERT_EQ(states[0]["vtep_entries"].size(), 1u) << states.dump();
        EXPECT_EQ(states[0]["vtep_entries"][0]["label"], 5);
        EXPECT_EQ(states[0]["mac_entries"].size(), 1u);

        // The same VTEP with a new label: the list keeps one entry, the new one.
        l2->UpdateRuntimeState({Rec(ObjectType::LOG_SWITCH_STATE, Id(1), PropertyType::L2_VTEP,
                                    test::Vtep(test::Ip4(0x0a000001), 6))},
                               false);
        AwaitWrites(5);
        states = Get("LOG_SWITCH_STATE");
        ASSERT_EQ(states[0]["vtep_entries"].size(), 1u) << states.dump();
        EXPECT_EQ(states[0]["vtep_entries"][0]["label"], 6);

        mac.op = Operation::OPERATION_DELETE;
        l2->UpdateRuntimeState({mac}, false);
        AwaitWrites(6);
        states = Get("LOG_SWITCH_STATE");
        ASSERT_EQ(states.size(), 1u);
        EXPECT_FALSE(states[0].contains("mac_entries") && !states[0]["mac_entries"].empty())
            << states.dump();
    }
    {
        // The second full sync finds every entry unchanged in the runtime store; the database
        // must still hold them after its flush and rewrite.
        CairnDBUpdateList sync = {
            Whole(ObjectType::LOG_SWITCH_STATE, Id(2), ""),
            Rec(ObjectType::LOG_SWITCH_STATE, Id(2), PropertyType::L2_VTEP,
                test::Vtep(test::Ip4(0x0a000001), 5)),
            Rec(ObjectType::LOG_SWITCH_STATE, Id(2), PropertyType::L2_VM_MAC, test::Mac(0x42)),
            Rec(ObjectType::LOG_SWITCH_STATE, Id(2), PropertyType::L2_VM_IP,
                test::VmIp(test::Ip4(0x0a000005)))};
        for (int round = 1; round <= 2; ++round) {
            SCOPED_TRACE("a repeated local L2 full sync keeps every entry, round " +
                         std::to_string(round));
            l2->UpdateRuntimeState(sync, true);
            AwaitWrites(6 + round);
            auto states = Get("LOG_SWITCH_STATE");
            ASSERT_EQ(states.size(), 1u) << states.dump();
            EXPECT_EQ(states[0]["id"], Text(2));
            EXPECT_EQ(states[0]["vtep_entries"].size(), 1u) << states.dump();
            EXPECT_EQ(states[0]["mac_entries"].size(), 1u) << states.dump();
            EXPECT_EQ(states[0]["ip_entries"].size(), 1u) << states.dump();
        }
    }
    EXPECT_EQ(client->failed.load(), 0);
}

}  // namespace
}  // namespace CfgAgent

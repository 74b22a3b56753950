// IDSApp against the engine and the tarp device that ozy-dpemu plays: what a pass sends and in
// which order, the realization reports, the priming rule, engine restarts, failed applies and the
// deadline of the CLI's engine pages.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <boost/property_tree/ptree.hpp>
#include <future>
#include <nlohmann/json.hpp>

#include "ids/IDSApp.h"
#include "platform/HostRoot.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/WorkGroup.h"
#include "tests/ids/ArchiveCases.h"
#include "tests/ids/IdsRecords.h"
#include "tests/support/Await.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CliCases.h"
#include "tests/support/FakeCairndbClient.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;
using dfw::Deleted;
using namespace ids;
constexpr const char* kAppctl = "/usr/bin/ovs-appctl";

class IDSAppTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        SetThreadCounts(1, 8);
        WorkGroups::Start(nullptr);
    }
    static void TearDownTestSuite() { WorkGroups::Stop(); }

    void SetUp() override {
        if (::access(kAppctl, X_OK) != 0)
            GTEST_SKIP() << kAppctl << " is not installed (package openvswitch-common)";
        setenv("OZY_HOST_ROOT", root.path().c_str(), 1);
        level = g_idsLogLevel.exchange(kLogDebug);
        emu = std::make_unique<ChildProcess>(BinPath("ozy-dpemu"),
                                             std::vector<std::string>{"--host-root", root.path()},
                                             root.path() + "/dpemu.log");
        ASSERT_TRUE(emu->WaitForOutput("ozy-dpemu: ready")) << emu->Output();
    }
    void TearDown() override {
        if (app)
            app->stopApp();
        app.reset();
        if (emu) {
            emu->Signal(SIGTERM);
            emu->WaitExit();
        }
        unsetenv("OZY_HOST_ROOT");
        g_idsLogLevel.store(level);
    }
    void Start() {
        IDSAppOptions o;
        o.cairndb = &db;
        app = ozy::MakeRef<IDSApp>(std::move(o));
        boost::property_tree::ptree c;
        c.put("default.request_timeout_ms", 500);
        c.put("default.min_backoff_ms", 20);
        c.put("default.max_backoff_ms", 100);
        c.put("default.retry_interval_ms", 50);
        ASSERT_TRUE(app->startApp(c));
    }
    RunResult Appctl(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"--timeout=60", "-t", ozy::hostPath("/var/run/orvane/ozy-dpemu/dpemu-ctl")});
        return RunProgram(kAppctl, args);
    }
    nlohmann::json Dump(const std::string& family) {
        return nlohmann::json::parse(Appctl({"dpemu/dump", family}).output, nullptr, false);
    }
    bool AwaitIdps(const std::function<bool(const nlohmann::json&)>& pred) {
        return AwaitTrue([&] { return pred(Dump("idps")); });
    }
    // The last RUNTIME_STATUS's error text ("" none) and the last processed barrier.
    std::string LastStatus() {
        std::lock_guard<std::mutex> lock(db.m);
        if (db.statuses.empty())
            return "<none>";
        pb::RuntimeStatusMsg s;
        s.ParseFromString(db.statuses.back());
        return s.errors_size() == 0
                   ? std::string()
                   : std::to_string(s.errors(0).error_code()) + " " + s.errors(0).error_message();
    }
    uint64_t LastBarrier() {
        std::lock_guard<std::mutex> lock(db.m);
        if (db.barriers.empty())
            return 0;
        pb::ProcessedBarrierMsg b;
        b.ParseFromString(db.barriers.back());
        return b.vertical_id() == 10 ? b.barrier_id() : 0;
    }

    TempDir root{"ids-app"};
    std::unique_ptr<ChildProcess> emu;
    FakeCairndbClient db;
    ozy::RefPtr<IDSApp> app;
    int level = kLogInfo;
};

TEST_F(IDSAppTest, PassesApplyInOrderAndReportEvenWhenTheyFail) {
    LogCapture log;
    Start();
    ASSERT_TRUE(AwaitTrue([&] { return app->engine()->connected(); }));
    // Connected before the first full sync: nothing owed yet.
    EXPECT_TRUE(log.WaitFor("Ignoring setIdsConnected since IDSMsgCache is not primed."));

    const std::string gz = Tgz({{"rules/a.rules",
                                 "alert tcp any any -> any any (sid:1001;)\n"
                                 "alert tcp any any -> any any (sid:1002;)\n"
                                 "# alert tcp any any -> any any (sid:1003;)\n"}});
    app->cache()->UpdateDesiredState(
        {Toggle(80, true), Global(81, 1), Signatures(83, gz), Rule(1, 21), Rule(2, 24),
         Profile(84, "web", {{"IDS", "[2001:1:reject]"}}), Barrier(5)},
        true);
    ASSERT_TRUE(AwaitIdps([](const nlohmann::json& j) {
        return j["rules"].size() == 2 && j["sids_loaded"] == 2 && j["profiles"].contains("web");
    })) << Dump("idps").dump();
    ASSERT_TRUE(AwaitTrue([&] { return LastBarrier() == 5; }));
    EXPECT_EQ(LastStatus(), "");
    nlohmann::json tarp = Dump("tarp");
    EXPECT_EQ(tarp["ids_mode"], 1) << tarp.dump();
    EXPECT_EQ(tarp["oversubscription"], 1);
    // Mode, oversubscription, reload, profiles, rules.
    int mode = log.IndexOf("IDSApp::updateMode: Successfully enabled IDS service in DP");
    int over = log.IndexOf("IDSApp::updateOversubscription: Successfully enabled");
    int reload = log.IndexOf("sending TLV_RELOAD_SIGNATURES");
    int profiles = log.IndexOf("sending TLV_UPDATE_PROFILE_MAP");
    int rules = log.IndexOf("sending TLV_UPDATE_RULE_MAP");
    EXPECT_TRUE(mode >= 0 && mode < over && over < reload && reload < profiles && profiles < rules)
        << mode << " " << over << " " << reload << " " << profiles << " " << rules;
    nlohmann::json page = nlohmann::json::parse(app->Page("ids/get/rules", {}).text);
    EXPECT_EQ(page["ids_rules"]["result"].size(), 2u);
    EXPECT_NE(page.dump().find("Prevent"), std::string::npos);

    // A refused rule update: reported, then retried until it goes through.
    ASSERT_EQ(Appctl({"dpemu/ids-fail", "TLV_UPDATE_RULE_MAP"}).status, 0);
    app->cache()->UpdateDesiredState({Deleted(Rule(2, 24)), Barrier(6)}, false);
    ASSERT_TRUE(AwaitTrue([&] { return LastBarrier() == 6; }));
    EXPECT_TRUE(AwaitTrue([&] {
        return LastStatus().rfind("8001 failed to apply idps config", 0) == 0;
    })) << LastStatus();
    ASSERT_TRUE(AwaitIdps([](const nlohmann::json& j) { return j["rules"].size() == 1; }));
    EXPECT_TRUE(AwaitTrue([&] { return LastStatus().empty(); }));

    // The last rule deleted: the engine's map empties.
    app->cache()->UpdateDesiredState({Deleted(Rule(1, 21)), Barrier(7)}, false);
    ASSERT_TRUE(AwaitIdps([](const nlohmann::json& j) { return j["rules"].empty(); }));

    // A hostile bundle: 8001, and after a restart the engine still counts the old signatures.
    app->cache()->UpdateDesiredState(
        {Signatures(83, "\x1f\x8b not really"), Rule(3, 21), Barrier(8)}, false);
    EXPECT_TRUE(AwaitTrue([&] { return LastStatus().rfind("8001 failed to process", 0) == 0; }))
        << LastStatus();
    ASSERT_EQ(Appctl({"dpemu/ids-restart"}).status, 0);
    EXPECT_TRUE(AwaitIdps([](const nlohmann::json& j) {
        return j["reloads"] == 1 && j["sids_loaded"] == 2 && j["rules"].size() == 1 &&
               j["profiles"].contains("web");
    })) << Dump("idps").dump();
}

TEST_F(IDSAppTest, EngineStartedLateGetsEverythingAndStallsEndAtTheDeadline) {
    ASSERT_EQ(Appctl({"dpemu/ids-stop"}).status, 0);
    Start();
    app->cache()->UpdateDesiredState({Toggle(80, true), Rule(1, 24), Barrier(3)}, true);
    // The pass fails without the engine, and reports so.
    EXPECT_TRUE(
        AwaitTrue([&] { return LastStatus().rfind("8001 failed to apply idps config", 0) == 0; }));
    ASSERT_EQ(Appctl({"dpemu/ids-start"}).status, 0);
    ASSERT_TRUE(AwaitIdps(
        [](const nlohmann::json& j) { return j["rules"].size() == 1 && j["reloads"] == 1; }));
    EXPECT_TRUE(AwaitTrue([&] { return LastStatus().empty(); }));

    // A stalled engine: the page fails at the deadline; the cache answers meanwhile.
    ASSERT_EQ(Appctl({"dpemu/ids-reply", "TLV_GET_UPTIME", "stall"}).status, 0);
    auto page =
        std::async(std::launch::async, [&] { return app->Page("ids/get/engine/status", {}); });
    EXPECT_EQ(app->cache()->Rules().size(), 1u);
    EXPECT_NE(app->Page("ids/get/rules", {}).text.find("Prevent"), std::string::npos);
    CliReply r = page.get();
    EXPECT_NE(r.text.find("failed to query the IDS engine"), std::string::npos) << r.text;
    // The stream was closed and is connected again, in step.
    ASSERT_TRUE(AwaitTrue([&] { return app->engine()->connections() >= 2; }));
    EXPECT_TRUE(AwaitTrue([&] {
        return app->Page("ids/get/engine/status", {}).text.find("uptime_seconds") !=
               std::string::npos;
    }));
}

// The pages that read the engine's tables and counters, and the dumps of the cache: each answer
// as the engine (or the cache) has it, engine refusals and bad input answered as such.
TEST_F(IDSAppTest, EngineStatsPagesAndDumpsAnswerFromTheirSource) {
    Start();
    const CairnDBUpdateMsg sigs = SignatureFiles(
        85, "", Gzip(R"js([{"signature": "alert ip any any -> any any (sid:2001;)"}])js"));
    app->cache()->UpdateDesiredState(
        {Toggle(80, true), Rule(1, 24), Profile(84, "web", {{"IDS", "[2001:1:reject]"}}), sigs,
         Barrier(4)},
        true);
    ASSERT_TRUE(AwaitIdps([](const nlohmann::json& j) {
        return j["rules"].size() == 1 && j["profiles"].contains("web");
    })) << Dump("idps").dump();
    const std::string rule = "/ids_rules/result/" + Id(1);
    struct Case {
        std::vector<std::string> page;  // name, then arguments
        std::string checks;             // as ExpectJsonAt takes them
    };
    for (const Case& c : std::vector<Case>{
             {{"ids/get/engine/rules"}, rule + "=Prevent"},
             {{"ids/get/engine/profiles"}, "/ids_engine_profiles/result/0/name=web"},
             {{"ids/get/engine/globalstats"},
              "/ids_engine_globalstats/result/TLV_UPDATE_RULE_MAP?|"
              "/ids_engine_globalstats/result/TLV_RELOAD_SIGNATURES?"},
             {{"ids/get/engine/globalstats", "TLV_UPDATE_PROFILE_MAP"},
              "/ids_engine_globalstats/result#=1|"
              "/ids_engine_globalstats/result/TLV_UPDATE_PROFILE_MAP?"},
             {{"ids/get/engine/profilestats", "web"},
              "/ids_getengineprofile_stats/result/signs/2001=reject"},
             {{"ids/get/engine/profilestatus", "web"},
              "/ids_engine_profilestatus/result/name=web|"
              "/ids_engine_profilestatus/result/pcap_enabled=false"},
             {{"ids/get/engine/profilestatus", "absent"},
              "/ids_engine_profilestatus/result=profile not present"},
             {{"ids/get/engine/signaction", "web", "2001", "1"}, "/sign_action/result=reject"},
             {{"ids/get/engine/signaction", "web", "9", "1"}, "/sign_action/result=alert"},
             {{"ids/get/engine/signaction", "absent", "9", "1"},
              "/sign_action/result=failed to query the IDS engine"},
             {{"ids/get/engine/signaction", "web", "9x", "1"}, "/sign_action/result=invalid input"},
             {{"ids/get/engine/loglevel"}, "/ids_engine_loglevel/result=info"},
             {{"ids/set/engine/loglevel", "debug"}, "/ids_setengineloglevel_status/result=success"},
             {{"ids/get/engine/loglevel"}, "/ids_engine_loglevel/result=debug"},
             {{"ids/set/engine/loglevel", "loud"},
              "/ids_setengineloglevel_status/result=failed to query the IDS engine"},
             {{"ids/set/engine/alertlog", "disable"},
              "/ids_setenginealertlog_status/result=success"},
             {{"ids/get/engine/alertlog"}, "/ids_engine_alertlog/result=disabled"},
             {{"ids/set/engine/alertlog", "maybe"},
              "/ids_setenginealertlog_status/result=invalid input"},
             {{"ids/get/engine/status"}, "/ids_engine_status/result/uptime_seconds?"},
             {{"ids/dump/profiles"}, "/ids_dumpprofile_status/result=success"},
             {{"ids/dump/profiles", "absent"}, "/ids_dumpprofile_status/result=no such profile"},
             {{"ids/dump/signatures"}, "/ids_dumpsignatures_status/result=success"},
         }) {
        std::string what;
        for (const std::string& word : c.page)
            what += word + " ";
        SCOPED_TRACE(what);
        CliReply r = app->Page(c.page[0], {c.page.begin() + 1, c.page.end()});
        EXPECT_TRUE(r.ok);
        nlohmann::json doc = nlohmann::json::parse(r.text, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << r.text;
        ExpectJsonAt(doc, c.checks);
    }
    const std::string dumps = root.path() + "/var/log/ozy-idps/";
    EXPECT_EQ(ReadBinary(dumps + "dump_web"), "2001 reject\n");
    EXPECT_EQ(ReadBinary(dumps + "dump_ids_sigs.txt"),
              "2001 alert ip any any -> any any (sid:2001;)\n");
    // With IDS off the cache's pages say so instead of answering.
    app->cache()->UpdateDesiredState({Toggle(80, false), Barrier(5)}, false);
    EXPECT_NE(app->Page("ids/get/rules", {}).text.find("IDS Status: Disabled"), std::string::npos);
}

}  // namespace
}  // namespace CfgAgent::test

// The agent's engine channel against the engine that ozy-dpemu plays: background connection and
// reconnection, the version exchange, replies of every kind the engine can get wrong, and the
// deadline. A misbehaving reply never leaves the stream in use.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "ids/IDSEngine.h"
#include "platform/HostRoot.h"
#include "platform/ids/IdsEngineProtocol.h"
#include "runtime/AgentLock.h"
#include "runtime/WorkGroup.h"
#include "tests/support/Await.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::lcp::idps;
constexpr const char* kAppctl = "/usr/bin/ovs-appctl";

class IDSEngineTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        SetThreadCounts(1, 6);
        WorkGroups::Start(nullptr);
    }
    static void TearDownTestSuite() { WorkGroups::Stop(); }

    void SetUp() override {
        if (::access(kAppctl, X_OK) != 0) {
            GTEST_SKIP() << kAppctl << " is not installed (package openvswitch-common)";
        }
        setenv("OZY_HOST_ROOT", root.path().c_str(), 1);
        emu = std::make_unique<ChildProcess>(BinPath("ozy-dpemu"),
                                             std::vector<std::string>{"--host-root", root.path()},
                                             root.path() + "/dpemu.log");
        ASSERT_TRUE(emu->WaitForOutput("ozy-dpemu: ready")) << emu->Output();
    }
    void TearDown() override {
        if (engine) {
            engine->stop();
        }
        if (emu) {
            emu->Signal(SIGTERM);
            emu->WaitExit();
        }
        unsetenv("OZY_HOST_ROOT");
    }
    RunResult Appctl(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"--timeout=60", "-t", ozy::hostPath("/var/run/orvane/ozy-dpemu/dpemu-ctl")});
        return RunProgram(kAppctl, args);
    }
    nlohmann::json Idps() {
        return nlohmann::json::parse(Appctl({"dpemu/dump", "idps"}).output, nullptr, false);
    }
    void StartEngine(std::string sockPath = ozy::ids::kCommandSocketPath) {
        IDSEngine::Settings s;
        s.sockPath = std::move(sockPath);
        s.requestTimeout = std::chrono::milliseconds(500);
        s.minBackoff = std::chrono::milliseconds(20);
        s.maxBackoff = std::chrono::milliseconds(200);
        engine = new IDSEngine(s, [this] { ++connects; });
    }
    bool Connected(uint64_t n) {
        return AwaitTrue([&] { return engine->connected() && connects.load() == n; });
    }

    TempDir root{"ids-engine"};
    std::unique_ptr<ChildProcess> emu;
    ozy::RefPtr<IDSEngine> engine;
    std::atomic<uint64_t> connects{0};
};

TEST_F(IDSEngineTest, ConnectsLateReconnectsAfterRestartsAndCarriesUpdates) {
    ASSERT_EQ(Appctl({"dpemu/ids-stop"}).status, 0);
    StartEngine();
    ASSERT_TRUE(engine->initialize());  // the engine is absent: started anyway
    pb::GetRulesResponseMsg rules;
    EXPECT_FALSE(engine->listRules(&rules));
    ASSERT_EQ(Appctl({"dpemu/ids-start"}).status, 0);
    ASSERT_TRUE(Connected(1));

    pb::RuleUpdateMsg update;
    update.set_full(true);
    auto* r = update.add_rules();
    r->set_rule_id("r1");
    r->set_action(21);
    ASSERT_TRUE(engine->UpdateRuleMap(update));
    ASSERT_TRUE(engine->listRules(&rules));
    ASSERT_EQ(rules.rules_size(), 1);
    EXPECT_EQ(rules.rules(0).rule_id(), "r1");
    // An empty full update goes (it deletes the last rule); an empty incremental one does not.
    LogCapture log;
    pb::RuleUpdateMsg none;
    none.set_full(true);
    EXPECT_TRUE(engine->UpdateRuleMap(none));
    EXPECT_TRUE(Idps()["rules"].empty());
    EXPECT_FALSE(engine->UpdateRuleMap(pb::RuleUpdateMsg()));
    EXPECT_TRUE(log.ContainsWithCode("ids: IDSEngine::UpdateRuleMap: no rule data to send",
                                     "IDSERR_SEND_RULE_UPDATE"));

    // A restart is seen on the monitor socket; the channel connects again by itself.
    ASSERT_EQ(Appctl({"dpemu/ids-restart"}).status, 0);
    ASSERT_TRUE(Connected(2));
    EXPECT_TRUE(log.Contains("Detected IDS Engine restart"));
    uint64_t sids = 99;
    EXPECT_TRUE(engine->ReloadSignatures(&sids));
    EXPECT_EQ(sids, 0u);
    EXPECT_EQ(Idps()["reloads"], 1);
}

TEST_F(IDSEngineTest, RepliesTheEngineGetsWrongFailTheRequestAndBadFramingReconnects) {
    StartEngine();
    ASSERT_TRUE(engine->initialize());
    ASSERT_TRUE(Connected(1));
    LogCapture log;
    pb::GetRulesResponseMsg rules;
    // An error reply is a failure, not an empty list.
    ASSERT_EQ(Appctl({"dpemu/ids-fail", "TLV_GET_RULES"}).status, 0);
    EXPECT_FALSE(engine->listRules(&rules));
    EXPECT_TRUE(
        log.Contains("ids: IDSEngine::listRules: Received TLV_GET_RULES error from IDS "
                     "engine"));
    // Another type, or a value that is not the response: failures on a stream still in step.
    ASSERT_EQ(Appctl({"dpemu/ids-reply", "TLV_GET_RULES", "wrong-type"}).status, 0);
    EXPECT_FALSE(engine->listRules(&rules));
    ASSERT_EQ(Appctl({"dpemu/ids-reply", "TLV_GET_RULES", "garbage"}).status, 0);
    EXPECT_FALSE(engine->listRules(&rules));
    EXPECT_TRUE(log.ContainsWithCode(
        "ids: IDSEngine::listRules: Received invalid response from IDS engine for TLV_GET_RULES "
        "message",
        "IDSERR_SEND_RULE_UPDATE"));
    EXPECT_TRUE(engine->listRules(&rules));
    EXPECT_EQ(connects.load(), 1u);

    // A length over the cap, a value cut short, no reply at all: the connection is closed at once
    // or at the deadline, and a fresh one is made.
    uint64_t expected = 1;
    for (const char* fault : {"huge", "truncated", "stall"}) {
        SCOPED_TRACE(fault);
        ASSERT_EQ(Appctl({"dpemu/ids-reply", "TLV_GET_RULES", fault}).status, 0);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(engine->listRules(&rules));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
        ASSERT_TRUE(Connected(++expected));
        EXPECT_TRUE(engine->listRules(&rules));
    }
    EXPECT_TRUE(log.Contains("Reply length 4294967280 above the limit of 67108864 bytes"));
    EXPECT_TRUE(log.ContainsWithCode("ids: IDSEngine::SendRecvTlv: ERROR receiving value",
                                     "IDSERR_INTERNAL"));
}

TEST_F(IDSEngineTest, VersionRepliesWithoutAStringReturnAreRefused) {
    StartEngine();
    bool started = false;
    for (const char* reply : {R"({"version":"0.3"})", R"({"return":3})", "not json", "[]"}) {
        SCOPED_TRACE(reply);
        ASSERT_EQ(Appctl({"dpemu/ids-version", reply}).status, 0);
        LogCapture log;
        if (!started) {
            ASSERT_TRUE(engine->initialize());
            started = true;
        }
        ASSERT_TRUE(log.WaitFor("ids: IDSEngine::setupSocket: Missing required key"));
        EXPECT_FALSE(engine->connected());
    }
    EXPECT_EQ(connects.load(), 0u);
    ASSERT_EQ(Appctl({"dpemu/ids-version", "default"}).status, 0);
    ASSERT_TRUE(Connected(1));
}

TEST_F(IDSEngineTest, ASocketPathTooLongForTheAddressIsRefused) {
    LogCapture log;
    std::string path = "/var/run/ozy-idps/" + std::string(120, 'x') + ".socket";
    StartEngine(path);
    EXPECT_FALSE(engine->initialize());
    EXPECT_TRUE(log.ContainsWithCode("ids: IDSEngine::initialize: Could not create socket " + path,
                                     "IDSERR_INTERNAL"));
    engine = nullptr;
}

}  // namespace
}  // namespace CfgAgent::test

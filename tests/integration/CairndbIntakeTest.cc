// The agent binary against a real ovsdb-server: objects applied with cairnctl are decoded and
// closed as the full sync, later changes arrive as deltas reduced to the real changes, and a
// server restart gives a new full sync.
#include <gtest/gtest.h>

#include <signal.h>

#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {
namespace {

constexpr const char* kSwitch = "00000000-0000-0000-0000-0000000000a1";
constexpr const char* kPort = "00000000-0000-0000-0000-0000000000b1";
constexpr const char* kFib = "00000000-0000-0000-0000-0000000000c1";
constexpr const char* kRule = "00000000-0000-0000-0000-0000000000d1";

// The LOG_SWITCH_FIB of the switch with the given MAC entries.
std::string SwitchFib(std::initializer_list<int> macs) {
    std::string entries;
    for (int m : macs) {
        if (!entries.empty())
            entries += ", ";
        entries += R"({"mac": ")" + std::to_string(0x005056000000LL + m) +
                   R"(", "vtep_ip": {"ipv4": 167772161}})";
    }
    return std::string(R"({"LOG_SWITCH_FIB": [{"id": ")") + kSwitch + R"(", "mac_entries": [)" +
           entries + "]}]}";
}

class CairndbIntakeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(db.Start());
        root.WriteFile(
            "agent.xml",
            "<config><log><level>5</level><outputToConsole>true</outputToConsole></log>"
            "<cfgAgent><workGroup><ioThreads>2</ioThreads><workThreads>8</workThreads></workGroup>"
            "<apps/></cfgAgent></config>");
    }

    RunResult Ctl(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--endpoint", db.Endpoint()};
        all.insert(all.end(), args.begin(), args.end());
        return RunProgram(BinPath("cairnctl"), all);
    }
    void Apply(const std::string& name, const std::string& json) {
        root.WriteFile(name, json);
        RunResult r = Ctl({"apply", root.path() + "/" + name});
        ASSERT_EQ(r.status, 0) << r.output;
    }
    std::unique_ptr<ChildProcess> StartAgent() {
        std::map<std::string, std::string> env = {
            {"OZY_HOST_ROOT", root.path()},
            {"OZY_HEALTH_ENDPOINT", "tcp://127.0.0.1:" + std::to_string(FreeTcpPort())},
            {"OZY_CAIRNDB_ENDPOINT", db.Endpoint()},
            {"OZY_NODE_PERSONA", "3"}};
        return std::make_unique<ChildProcess>(
            BinPath("ozy-cfgagent"), std::vector<std::string>{"-c", root.path() + "/agent.xml"},
            root.path() + "/agent.log", env);
    }

    CairndbServer db;
    TempDir root{"ozy-intake"};
};

TEST_F(CairndbIntakeTest, FullSyncThenDeltasThenNewFullSyncAfterServerRestart) {
    Apply(
        "initial.json", std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kSwitch +
                            R"(", "vni": 5001, "switch_name": "web"}],
        "LOG_SWITCH_PORT_CONFIG": [{"id": ")" +
                            kPort + R"(", "switch_id": ")" + kSwitch +
                            R"(", "admin_state_up": true}],
        "FIB": [{"id": ")" + kFib +
                            R"(", "router_id": ")" + kSwitch +
                            R"(", "prefix": {"address": {"ipv4": 3232235520}, "prefix_length": 24},
                 "next_hops": [{"ip": {"ipv4": 167772417}}]}],
        "RULE": [{"id": ")" +
                            kRule + R"("}]})");
    Apply("fib3.json", SwitchFib({1, 2, 3}));

    auto agent = StartAgent();
    ASSERT_TRUE(agent->WaitForOutput("CairndbClient: Transaction end (fullsync) ID 1"))
        << agent->Output();
    std::string out = agent->Output();
    // In order: start, monitors, channel up, the decoded objects, the full sync.
    const char* order[] = {"Cairndb client starts",
                           "CairndbClient: start",
                           "CairndbClient: RegisterMonitorCB vdb id 1",
                           "CairndbClient: registered monitor objects",
                           "CairndbClient: cairndb channel status turns to UP",
                           "CairndbClient: Transaction end (fullsync) ID 1"};
    size_t pos = 0;
    for (const char* line : order) {
        size_t at = out.find(line, pos);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        pos = at;
    }
    size_t fullSync = out.find("CairndbClient: Transaction end (fullsync) ID 1");
    for (const char* decoded : {"Decoder: Received LOG_SWITCH_CONFIG msg (Operation SET): id {",
                                "Decoder: Received LOG_SWITCH_PORT_CONFIG msg (Operation SET): ",
                                "Decoder: Received LOG_SWITCH_FIB msg (Operation SET): ",
                                "Decoder: generate L2_VM_MAC UPDATE msg: mac: 345040224259",
                                "Decoder: Received FIB msg (Operation SET): ",
                                "Decoder: Received DFW RuleMsg msg (Operation SET): ",
                                "CairndbClient: LOG_SWITCH_CONFIG decoded into 17 record(s)",
                                "CairndbClient: LOG_SWITCH_FIB decoded into 4 record(s)",
                                "CairndbClient: FIB decoded into 3 record(s)"}) {
        size_t at = out.find(decoded);
        EXPECT_NE(at, std::string::npos) << decoded << "\n" << out;
        EXPECT_LT(at, fullSync) << decoded;
    }

    // A delta: one MAC entry removed by re-writing the list; the merge leaves the one removal.
    size_t mark = agent->Output().size();
    Apply("fib2.json", SwitchFib({1, 3}));
    ASSERT_TRUE(agent->WaitForOutput("CairndbClient: Transaction end (delta update) ID 2",
                                     std::chrono::seconds(30), mark))
        << agent->Output();
    out = agent->Output().substr(mark);
    EXPECT_NE(out.find("Decoder: generate L2_VM_MAC DELETE msg: mac: 345040224258"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("CairndbClient: merge LOG_SWITCH_FIB msg (object id " +
                       std::string(kSwitch) + ") property L2_VM_MAC: mac: 345040224257"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("CairndbClient: merge LOG_SWITCH_FIB msg (object id " +
                       std::string(kSwitch) + ") property L2_VM_MAC: mac: 345040224259"),
              std::string::npos)
        << out;

    // A removal.
    mark = agent->Output().size();
    RunResult del = Ctl({"delete", "RULE", kRule});
    ASSERT_EQ(del.status, 0) << del.output;
    ASSERT_TRUE(agent->WaitForOutput("CairndbClient: Transaction end (delta update) ID 3",
                                     std::chrono::seconds(30), mark))
        << agent->Output();
    EXPECT_NE(agent->Output().find("Decoder: Received DFW RuleMsg msg (Operation CLEAR): ", mark),
              std::string::npos);

    // The server goes away and comes back: the next barrier is a full sync again.
    mark = agent->Output().size();
    ASSERT_TRUE(db.Restart());
    ASSERT_TRUE(agent->WaitForOutput("CairndbClient: cairndb channel status turns to DOWN",
                                     std::chrono::seconds(30), mark))
        << agent->Output();
    ASSERT_TRUE(agent->WaitForOutput("CairndbClient: Transaction end (fullsync) ID 4",
                                     std::chrono::seconds(60), mark))
        << agent->Output();
    out = agent->Output().substr(mark);
    size_t up = out.find("CairndbClient: cairndb channel status turns to UP");
    ASSERT_NE(up, std::string::npos) << out;
    EXPECT_LT(up, out.find("CairndbClient: Transaction end (fullsync) ID 4"));
    EXPECT_NE(out.find("Decoder: Received LOG_SWITCH_CONFIG msg (Operation SET): "),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Decoder: Received DFW RuleMsg msg"), std::string::npos) << out;

    agent->Signal(SIGTERM);
    ASSERT_EQ(agent->WaitExit().value_or(-1), 0) << agent->Output();
    out = agent->Output();
    size_t clean = out.find("Clean up platform");
    ASSERT_NE(clean, std::string::npos);
    EXPECT_NE(out.find("CairndbClient: unregistered monitor objects", clean), std::string::npos)
        << out;
    EXPECT_NE(out.find("CairndbClient: stop", clean), std::string::npos) << out;
    EXPECT_EQ(out.find("Failed to stop work group"), std::string::npos) << out;
}

}  // namespace
}  // namespace CfgAgent::test

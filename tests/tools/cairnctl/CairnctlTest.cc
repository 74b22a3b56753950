// cairnctl and scripts/cairndb.sh against a real ovsdb-server.
#include <gtest/gtest.h>

#include "tests/support/Await.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {
namespace {

constexpr const char* kA1 = "00000000-0000-0000-0000-0000000000a1";
constexpr const char* kA2 = "00000000-0000-0000-0000-0000000000a2";

class CairnctlTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db_.Start()); }

    RunResult Ctl(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        if (env.count("OZY_CAIRNDB_ENDPOINT") == 0) {
            args.insert(args.begin(), {"--endpoint", db_.Endpoint()});
        }
        return RunProgram(BinPath("cairnctl"), args, env);
    }
    std::string File(const std::string& name, const std::string& content) {
        dir_.WriteFile(name, content);
        return dir_.path() + "/" + name;
    }

    CairndbServer db_;
    TempDir dir_{"ozy-cairnctl"};
};

TEST_F(CairnctlTest, ApplyThenGetRoundTripsObjectsWithUuidTexts) {
    std::string file = File(
        "objs.json",
        std::string(R"({"LOG_SWITCH_CONFIG": [
        {"id": ")") +
            kA1 + R"(", "vni": 5001, "transport_zone_id": "11111111-2222-3333-4444-555555555555"},
        {"id": ")" +
            kA2 + R"(", "vni": 5002, "switchName": "db"}],
      "LOG_SWITCH_PORT_CONFIG": [{"id": "00000000-0000-0000-0000-0000000000b1", "switch_id": ")" +
            kA1 + R"(", "mirror_targets": [")" + kA2 + R"("]}]})");
    auto r = Ctl({"apply", file});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("applied 3 objects"), std::string::npos) << r.output;

    r = Ctl({"get", "LOG_SWITCH_CONFIG", kA1});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find(std::string("\"id\": \"") + kA1 + "\""), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"transport_zone_id\": \"11111111-2222-3333-4444-555555555555\""),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("\"vni\": 5001"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(kA2), std::string::npos) << r.output;

    r = Ctl({"get", "LOG_SWITCH_PORT_CONFIG"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find(std::string("\"switch_id\": \"") + kA1 + "\""), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(kA2), std::string::npos) << r.output;  // a list of UUIDs

    // The output of get is valid input of apply, here into another vdb.
    std::string again = File("again.json", Ctl({"get", "LOG_SWITCH_CONFIG"}).output);
    ASSERT_EQ(Ctl({"--vdb", "7", "apply", again}).status, 0);
    r = Ctl({"--vdb", "7", "get", "LOG_SWITCH_CONFIG"});
    EXPECT_NE(r.output.find("\"vni\": 5002"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"vdb\": 7"), std::string::npos) << r.output;
}

TEST_F(CairnctlTest, BadInputIsRefusedWithAClearMessageAndNothingWritten) {
    auto r = Ctl({"apply", File("t.json", R"({"NO_SUCH_TYPE": []})")});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("unknown object type NO_SUCH_TYPE"), std::string::npos) << r.output;

    std::string mixed = std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kA1 + R"(", "vni": 1},
                                                            {"id": ")" +
                        kA2 + R"(", "vni": "many"}]})";
    r = Ctl({"apply", File("m.json", mixed)});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("LOG_SWITCH_CONFIG[1]:"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("vni"), std::string::npos) << r.output;
    r = Ctl({"get", "LOG_SWITCH_CONFIG"});
    EXPECT_EQ(r.output.find("\"vni\""), std::string::npos)
        << r.output;  // the good object was not written

    r = Ctl({"apply", File("u.json", R"({"LOG_SWITCH_CONFIG": [{"id": "not-a-uuid"}]})")});
    EXPECT_NE(r.output.find("\"not-a-uuid\" is not a UUID"), std::string::npos) << r.output;
    r = Ctl({"apply", File("n.json", R"({"LOG_SWITCH_CONFIG": [{"vni": 3}]})")});
    EXPECT_NE(r.output.find("LOG_SWITCH_CONFIG[0]: no id"), std::string::npos) << r.output;
    r = Ctl({"apply", File("j.json", "{not json")});
    EXPECT_NE(r.output.find("not a JSON object"), std::string::npos) << r.output;
    r = Ctl({"get", "FOO"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("unknown object type FOO"), std::string::npos) << r.output;

    int port = FreeTcpPort();
    r = RunProgram(BinPath("cairnctl"), {"--endpoint", "tcp://127.0.0.1:" + std::to_string(port),
                                         "--timeout", "1", "get", "RULE"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("cannot reach cairndb at tcp://127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("refused"), std::string::npos) << r.output;
}

TEST_F(CairnctlTest, DeleteRemovesTheObjectAndAMissingOneIsAnError) {
    ASSERT_EQ(Ctl({"apply", File("o.json", std::string(R"({"RULE": [{"id": ")") + kA1 + R"("}]})")})
                  .status,
              0);
    auto r = Ctl({"delete", "RULE", kA1});
    ASSERT_EQ(r.status, 0) << r.output;
    r = Ctl({"get", "RULE", kA1});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find(std::string("no RULE ") + kA1 + " in vdb 1"), std::string::npos)
        << r.output;
    r = Ctl({"delete", "RULE", kA1});
    EXPECT_NE(r.status, 0);
}

TEST_F(CairnctlTest, WatchPrintsUpdatesAndBarriersAsTheAgentReceivesThem) {
    ASSERT_EQ(Ctl({"apply", File("o.json", std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kA1 +
                                               R"(", "vni": 1}]})")})
                  .status,
              0);
    ChildProcess watch(BinPath("cairnctl"),
                       {"--endpoint", db_.Endpoint(), "--count", "2", "watch", "LOG_SWITCH_CONFIG"},
                       dir_.path() + "/watch.out");
    ASSERT_TRUE(watch.WaitForOutput("{\"barrier\":1}"));
    ASSERT_EQ(Ctl({"apply", File("p.json", std::string(R"({"LOG_SWITCH_CONFIG": [{"id": ")") + kA1 +
                                               R"(", "vni": 2}]})")})
                  .status,
              0);
    ASSERT_EQ(watch.WaitExit(), std::optional<int>(0));
    std::string out = watch.Output();
    size_t up = out.find("{\"status\":\"up\"}");
    size_t first = out.find("\"vni\":1");
    size_t b1 = out.find("{\"barrier\":1}");
    size_t second = out.find("\"old_body\"");
    size_t b2 = out.find("{\"barrier\":2}");
    ASSERT_NE(up, std::string::npos) << out;
    ASSERT_NE(second, std::string::npos) << out;
    ASSERT_NE(b2, std::string::npos) << out;
    EXPECT_LT(up, first);
    EXPECT_LT(first, b1);
    EXPECT_LT(b1, second);
    EXPECT_LT(second, b2);
    EXPECT_NE(out.find("\"vni\":{\"op\":\"SET\"}"), std::string::npos) << out;
}

TEST_F(CairnctlTest, EndpointComesFromTheEnvironment) {
    auto r = Ctl({"ping", "hi"}, {{"OZY_CAIRNDB_ENDPOINT", db_.Endpoint()}});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("hi"), std::string::npos);
    r = Ctl({"ping"}, {{"OZY_CAIRNDB_ENDPOINT", "udp://x"}});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("bad endpoint udp://x"), std::string::npos) << r.output;
}

TEST(CairnctlInitTest, CreatesADatabaseFileFromTheGeneratedSchema) {
    TempDir dir("ozy-cairnctl");
    std::string db = dir.path() + "/x.db";
    auto r = RunProgram(BinPath("cairnctl"), {"init", db});
    ASSERT_EQ(r.status, 0) << r.output;
    r = RunProgram("/usr/bin/ovsdb-tool", {"db-name", db});
    EXPECT_EQ(r.output, "cairndb\n");
    r = RunProgram(BinPath("cairnctl"), {"init", db});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("already exists"), std::string::npos);
    r = RunProgram(BinPath("cairnctl"), {"schema"});
    EXPECT_EQ(r.output, ReadFile(CairndbServer::SchemaPath()));
}

TEST(CairndbScriptTest, StartsAndStopsAPrivateServerInsideTheHostRoot) {
    TempDir root("ozy-root");
    int port = FreeTcpPort();
    std::string script = SourceDir() + "/scripts/cairndb.sh";
    std::map<std::string, std::string> env = {{"OZY_BIN_DIR", BinDir()}};
    auto r =
        RunProgram(script, {"start", "--port", std::to_string(port), "--root", root.path()}, env);
    ASSERT_EQ(r.status, 0) << r.output;
    std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
    EXPECT_NE(r.output.find(endpoint), std::string::npos) << r.output;
    EXPECT_EQ(RunProgram(BinPath("cairnctl"), {"--endpoint", endpoint, "ping"}).status, 0);
    EXPECT_EQ(RunProgram(script, {"status", "--root", root.path()}).status, 0);
    r = RunProgram(script, {"stop", "--root", root.path()});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(RunProgram(script, {"status", "--root", root.path()}).status, 0);
    r = RunProgram(BinPath("cairnctl"), {"--endpoint", endpoint, "--timeout", "1", "ping"});
    EXPECT_NE(r.status, 0);
}

}  // namespace
}  // namespace CfgAgent::test

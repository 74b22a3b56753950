// cairnctl and scripts/cairndb.sh against a real ovsdb-server.
#include <gtest/gtest.h>

#include "tests/support/Await.h"
#include "tests/support/CairndbServer.h"
#include "tests/support/CliCases.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"

namespace CfgAgent::test {
namespace {

const std::string kA1 = "00000000-0000-0000-0000-0000000000a1";
const std::string kA2 = "00000000-0000-0000-0000-0000000000a2";

TEST(CairnctlTest, ApplyGetDeleteWatchAndBadInputAgainstOneServer) {
    CairndbServer db;
    ASSERT_TRUE(db.Start());
    TempDir dir("ozy-cairnctl");
    auto file = [&](const std::string& name, const std::string& content) {
        dir.WriteFile(name, content);
        return dir.path() + "/" + name;
    };
    CliRunner ctl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--endpoint", db.Endpoint()});
        return RunProgram(BinPath("cairnctl"), args);
    };
    {
        SCOPED_TRACE("bad input is refused with a clear message and nothing written");
        std::string mixed = R"({"LOG_SWITCH_CONFIG": [{"id": ")" + kA1 + R"(", "vni": 1},
                                                     {"id": ")" +
                            kA2 + R"(", "vni": "many"}]})";
        std::string down = "tcp://127.0.0.1:" + std::to_string(FreeTcpPort());
        ExpectCli(ctl,
                  {{"apply " + file("t.json", R"({"NO_SUCH_TYPE": []})"), kFails,
                    "unknown object type NO_SUCH_TYPE"},
                   {"apply " + file("m.json", mixed), kFails, "LOG_SWITCH_CONFIG[1]:|vni"},
                   // The good object was not written.
                   {"get LOG_SWITCH_CONFIG", 0, "!\"vni\""},
                   {"apply " + file("u.json", R"({"LOG_SWITCH_CONFIG": [{"id": "not-a-uuid"}]})"),
                    kFails, "\"not-a-uuid\" is not a UUID"},
                   {"apply " + file("n.json", R"({"LOG_SWITCH_CONFIG": [{"vni": 3}]})"), kFails,
                    "LOG_SWITCH_CONFIG[0]: no id"},
                   {"apply " + file("j.json", "{not json"), kFails, "not a JSON object"},
                   {"get FOO", kFails, "unknown object type FOO"},
                   {"--endpoint " + down + " --timeout 1 get RULE", kFails,
                    "cannot reach cairndb at " + down + "|refused"}});
    }
    {
        SCOPED_TRACE("apply then get round-trips objects with UUID texts");
        std::string objs =
            R"({"LOG_SWITCH_CONFIG": [
            {"id": ")" +
            kA1 + R"(", "vni": 5001, "transport_zone_id": "11111111-2222-3333-4444-555555555555"},
            {"id": ")" +
            kA2 + R"(", "vni": 5002, "switchName": "db"}],
            "LOG_SWITCH_PORT_CONFIG": [{"id": "00000000-0000-0000-0000-0000000000b1",
                "switch_id": ")" +
            kA1 + R"(", "mirror_targets": [")" + kA2 + R"("]}]})";
        ExpectCli(ctl,
                  {{"apply " + file("objs.json", objs), 0, "applied 3 objects"},
                   {"get LOG_SWITCH_CONFIG " + kA1, 0,
                    "\"id\": \"" + kA1 + "\"|\"vni\": 5001|!" + kA2 +
                        "|\"transport_zone_id\": \"11111111-2222-3333-4444-555555555555\""},
                   // A list of UUIDs.
                   {"get LOG_SWITCH_PORT_CONFIG", 0, "\"switch_id\": \"" + kA1 + "\"|" + kA2}});
        // The output of get is valid input of apply, here into another vdb.
        std::string again = file("again.json", ctl({"get", "LOG_SWITCH_CONFIG"}).output);
        ExpectCli(ctl, {{"--vdb 7 apply " + again, 0, ""},
                        {"--vdb 7 get LOG_SWITCH_CONFIG", 0, "\"vni\": 5002|\"vdb\": 7"}});
    }
    {
        SCOPED_TRACE("delete removes the object and a missing one is an error");
        ExpectCli(ctl,
                  {{"apply " + file("o.json", R"({"RULE": [{"id": ")" + kA1 + R"("}]})"), 0, ""},
                   {"delete RULE " + kA1, 0, ""},
                   {"get RULE " + kA1, kFails, "no RULE " + kA1 + " in vdb 1"},
                   {"delete RULE " + kA1, kFails, ""}});
    }
    {
        SCOPED_TRACE("watch prints updates and barriers as the agent receives them");
        auto apply = [&](int vni) {
            return "apply " + file("v.json", R"({"LOG_SWITCH_CONFIG": [{"id": ")" + kA1 +
                                                 R"(", "vni": )" + std::to_string(vni) + "}]}");
        };
        ExpectCli(ctl, {{apply(1), 0, ""}});
        ChildProcess watch(
            BinPath("cairnctl"),
            {"--endpoint", db.Endpoint(), "--count", "2", "watch", "LOG_SWITCH_CONFIG"},
            dir.path() + "/watch.out");
        ASSERT_TRUE(watch.WaitForOutput("{\"barrier\":1}"));
        ExpectCli(ctl, {{apply(2), 0, ""}});
        ASSERT_EQ(watch.WaitExit(), std::optional<int>(0));
        std::string out = watch.Output();
        size_t at = 0;
        for (const char* next : {"{\"status\":\"up\"}", "\"vni\":1", "{\"barrier\":1}",
                                 "\"old_body\"", "{\"barrier\":2}"}) {
            size_t found = out.find(next, at);
            ASSERT_NE(found, std::string::npos) << "missing or out of order: " << next << "\n"
                                                << out;
            at = found;
        }
        EXPECT_NE(out.find("\"vni\":{\"op\":\"SET\"}"), std::string::npos) << out;
    }
    {
        SCOPED_TRACE("the endpoint comes from the environment");
        auto withEnv = [](const std::string& endpoint) -> CliRunner {
            return [endpoint](const std::vector<std::string>& args) {
                return RunProgram(BinPath("cairnctl"), args, {{"OZY_CAIRNDB_ENDPOINT", endpoint}});
            };
        };
        ExpectCli(withEnv(db.Endpoint()), {{"ping hi", 0, "hi"}});
        ExpectCli(withEnv("udp://x"), {{"ping", 2, "bad endpoint udp://x"}});
    }
}

CliRunner Program(const std::string& path, std::map<std::string, std::string> env = {}) {
    return
        [path, env](const std::vector<std::string>& args) { return RunProgram(path, args, env); };
}

// A server given an inactivity probe listens on the remote of its own remotes database, which
// holds the setting, across a restart, and serves clients as before.
TEST(CairndbServerTest, AnInactivityProbeGoesThroughTheServersRemotesDatabase) {
    CairndbServer db;
    db.SetInactivityProbe(0);
    ASSERT_TRUE(db.Start());
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start == 0 ? "first start" : "restarted");
        RunResult remotes = RunProgram("/usr/bin/ovs-appctl", {"-t", db.dir() + "/ovsdb-server.ctl",
                                                               "ovsdb-server/list-remotes"});
        EXPECT_EQ(remotes.output, "db:OzyRemotes,Remote,target\n");
        RunResult probe =
            db.Client({"query", db.OvsdbRemote(),
                       R"(["OzyRemotes", {"op": "select", "table": "Remote", "where": [],
                                "columns": ["target", "inactivity_probe"]}])"});
        EXPECT_NE(probe.output.find("\"inactivity_probe\":0"), std::string::npos) << probe.output;
        EXPECT_NE(probe.output.find("ptcp:" + std::to_string(db.port())), std::string::npos)
            << probe.output;
        ExpectCli(Program(BinPath("cairnctl")), {{"--endpoint " + db.Endpoint() + " ping", 0, ""}});
        if (start == 0) {
            ASSERT_TRUE(db.Restart());
        }
    }
}

TEST(CairnctlInitTest, CreatesADatabaseFileFromTheGeneratedSchema) {
    TempDir dir("ozy-cairnctl");
    std::string db = dir.path() + "/x.db";
    ExpectCli(Program(BinPath("cairnctl")), {{"init " + db, 0, ""}});
    ExpectCli(Program("/usr/bin/ovsdb-tool"), {{"db-name " + db, 0, "=cairndb\n"}});
    ExpectCli(Program(BinPath("cairnctl")),
              {{"init " + db, kFails, "already exists"},
               {"schema", 0, "=" + ReadFile(CairndbServer::SchemaPath())}});
}

TEST(CairndbScriptTest, StartsAndStopsAPrivateServerInsideTheHostRoot) {
    TempDir root("ozy-root");
    int port = FreeTcpPort();
    std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
    CliRunner script = Program(SourceDir() + "/scripts/cairndb.sh", {{"OZY_BIN_DIR", BinDir()}});
    ExpectCli(script,
              {{"start --port " + std::to_string(port) + " --root " + root.path(), 0, endpoint}});
    ExpectCli(Program(BinPath("cairnctl")), {{"--endpoint " + endpoint + " ping", 0, ""}});
    ExpectCli(script, {{"status --root " + root.path(), 0, ""},
                       {"stop --root " + root.path(), 0, ""},
                       {"status --root " + root.path(), kFails, ""}});
    ExpectCli(Program(BinPath("cairnctl")),
              {{"--endpoint " + endpoint + " --timeout 1 ping", kFails, ""}});
}

TEST(CairndbScriptTest, RunsAThreeMemberClusterWhoseMembersCanBeKilledFrozenAndRestarted) {
    TempDir root("ozy-root");
    // Members take the client ports PORT..PORT+2 and the cluster ports PORT+3..PORT+5.
    int port = FreeTcpPortRun(6);
    auto at = [&](int i) { return "tcp://127.0.0.1:" + std::to_string(port + i); };
    std::string r = " --root " + root.path();
    CliRunner script = Program(SourceDir() + "/scripts/cairndb.sh", {{"OZY_BIN_DIR", BinDir()}});
    ExpectCli(script, {{"cluster-start --port " + std::to_string(port) + r, 0,
                        at(0) + "," + at(1) + "," + at(2) + "\n"},
                       {"member-kill" + r, 2, "needs a member number"}});
    CliRunner cairnctl = Program(BinPath("cairnctl"));
    // One leader, two followers; a change through one member is read through another.
    ExpectCli(script, {{"cluster-status" + r, 0, "leader|follower|!stopped|!frozen"}});
    ExpectCli(cairnctl,
              {{"--endpoint " + at(1) + " apply " + SourceDir() + "/examples/topology.json", 0, ""},
               {"--endpoint " + at(2) + " get LOG_SWITCH_CONFIG", 0, "5001|5002"}});
    ExpectCli(script, {{"member-kill 3" + r, 0, ""},
                       {"freeze 2" + r, 0, ""},
                       {"cluster-status" + r, 0, "2 frozen|3 stopped"},
                       {"thaw 2" + r, 0, ""},
                       {"member-start 3" + r, 0, ""},
                       {"cluster-status" + r, 0, "!stopped|!frozen"}});
    ExpectCli(cairnctl, {{"--endpoint " + at(2) + " get LOG_SWITCH_CONFIG", 0, "5001|5002"}});
    ExpectCli(script, {{"cluster-stop" + r, 0, ""},
                       {"cluster-status" + r, 0, "1 stopped\n2 stopped\n3 stopped\n"}});
}

}  // namespace
}  // namespace CfgAgent::test

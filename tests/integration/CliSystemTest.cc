// The running agent's CLI, driven by Debian's ovs-appctl: the command list, the log-level setter
// with a bad name and with "off", argument counts refused before any handler, the simulation
// command with an unknown vertical, state-cache queries with bad arguments, and a clean stop while
// clients are connected.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"

namespace CfgAgent {
namespace {

// The agent's log line holding `text` (empty when there is none).
std::string LineWith(const std::string& log, const std::string& text, size_t from = 0) {
    size_t pos = log.find(text, from);
    if (pos == std::string::npos)
        return std::string();
    size_t begin = log.rfind('\n', pos);
    begin = begin == std::string::npos ? 0 : begin + 1;
    size_t end = log.find('\n', pos);
    return log.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// A raw client of the agent's socket.
class RawClient {
  public:
    explicit RawClient(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        connected_ =
            fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~RawClient() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool connected() const { return connected_; }
    bool Send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

class CliSystemTest : public ::testing::Test {
  protected:
    static test::AgentSystemOptions Options() {
        test::AgentSystemOptions o;
        o.agentLogLevel = 4;  // info, the level of a production agent
        return o;
    }
    void SetUp() override { ASSERT_TRUE(sys.Start()); }

    test::AgentSystem sys{Options()};
};

TEST_F(CliSystemTest, ListsEveryCommandFamily) {
    auto r = sys.AgentCtl({"list-commands"});
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* cmd : {"cfgagent/lport/status",
                            "cfgagent/l2/local",
                            "cfgagent/l2/remote",
                            "cfgagent/l3/remote",
                            "cfgagent/config/local",
                            "cfgagent/config/remote",
                            "cfgagent/cache/table",
                            "cfgagent/cache/size",
                            "cfgagent/config/lswitch",
                            "cfgagent/config/lport",
                            "cfgagent/config/tnode",
                            "cfgagent/config/bcluster",
                            "cfgagent/config/mirror",
                            "cfgagent/config/ipfix",
                            "cfgagent/config/profile",
                            "cfgagent/config/grelation",
                            "cfgagent/config/container",
                            "cfgagent/config/conduitkrn",
                            "cfgagent/config/uplink",
                            "cfgagent/config/lsportlist",
                            "cfgagent/config/ciflist",
                            "cfgagent/config/mirrorsession",
                            "cfgagent/lsp/extracfg",
                            "cfgagent/ls/extracfg",
                            "cfgagent/ls/attachmentcfg",
                            "cfgagent/statecache/logicalswitches",
                            "cfgagent/statecache/logicalswitch",
                            "cfgagent/statecache/L2arp",
                            "cfgagent/statecache/L2mac",
                            "cfgagent/statecache/L2vtep",
                            "cfgagent/statecache/L2ND",
                            "cfgagent/statecache/routing-domains",
                            "cfgagent/statecache/routing-domain-uuid",
                            "cfgagent/statecache/dr-vtep",
                            "cfgagent/statecache/tn-tep-group",
                            "cfgagent/set/loglevel",
                            "cfgagent/get/loglevel",
                            "cfgagent/set-wft/tracelevel",
                            "cfgagent/get-wft/stats",
                            "cfgagent/set-simulate/out-of-sync",
                            "dfw/vif",
                            "si/get-ordered-service-paths",
                            "ids/get/status",
                            "cfgagent/smartnic/rtf",
                            "cfgagent/bfd"}) {
        EXPECT_NE(r.output.find("  " + std::string(cmd) + " "), std::string::npos) << cmd;
    }
    std::string setter = LineWith(r.output, "  cfgagent/set/loglevel ");
    EXPECT_NE(setter.find(" LOG_LEVEL"), std::string::npos) << r.output;
}

TEST_F(CliSystemTest, LogLevelRefusesUnknownNamesAndOffSilencesTheAgent) {
    auto r = sys.AgentCtl({"cfgagent/set/loglevel", "verbose"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("Setting cfgagent logging level from info to verbose failed"),
              std::string::npos)
        << r.output;
    r = sys.AgentCtl({"cfgagent/get/loglevel"});
    EXPECT_EQ(r.output, "Current cfgagent logging level is: info\n");
    ASSERT_TRUE(sys.AwaitAgentLog("CliServer: getting log level info"));

    r = sys.AgentCtl({"cfgagent/set/loglevel", "off"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "Setting cfgagent logging level from info to off successfully\n");
    size_t silent = sys.AgentLogSize();
    // Each of these logs at info or error when the agent logs at all.
    EXPECT_EQ(sys.AgentCtl({"cfgagent/get/loglevel"}).output,
              "Current cfgagent logging level is: off\n");
    EXPECT_EQ(sys.AgentCtl({"cfgagent/set-simulate/out-of-sync", "l3"}).status, 2);
    EXPECT_EQ(sys.AgentCtl({"cfgagent/statecache/L2arp", "bad"}).status, 2);
    ASSERT_EQ(sys.AgentCtl({"cfgagent/set/loglevel", "info"}).status, 0);
    ASSERT_EQ(sys.AgentCtl({"cfgagent/get/loglevel"}).status, 0);
    // The line after the level came back is there; nothing the handlers logged while off is.
    ASSERT_TRUE(
        sys.AwaitAgentLog("CliServer: getting log level info", std::chrono::seconds(60), silent));
    std::string log = sys.Agent()->Output().substr(silent);
    EXPECT_EQ(log.find("CliServer: getting log level off"), std::string::npos) << log;
    EXPECT_EQ(log.find("unknown vertical name"), std::string::npos) << log;
    EXPECT_EQ(log.find("LS UUID invalid"), std::string::npos) << log;
    EXPECT_EQ(log.find("setting log level from off"), std::string::npos) << log;
}

TEST_F(CliSystemTest, TooManyArgumentsAreRefusedBeforeTheHandler) {
    size_t from = sys.AgentLogSize();
    auto r = sys.AgentCtl({"cfgagent/get/loglevel", "extra"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("command takes at most 0 arguments"), std::string::npos) << r.output;
    r = sys.AgentCtl({"cfgagent/statecache/L2mac", "a", "b"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("command takes at most 1 arguments"), std::string::npos) << r.output;
    r = sys.AgentCtl({"cfgagent/statecache/logicalswitch", "vni"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("command requires at least 2 arguments"), std::string::npos)
        << r.output;
    // A handler that runs logs; the refused ones before it did not.
    ASSERT_EQ(sys.AgentCtl({"cfgagent/get/loglevel"}).status, 0);
    ASSERT_TRUE(
        sys.AwaitAgentLog("CliServer: getting log level info", std::chrono::seconds(60), from));
    std::string log = sys.Agent()->Output().substr(from);
    EXPECT_EQ(log.find("CliServer: getting log level"), log.rfind("CliServer: getting log level"));
    EXPECT_EQ(log.find("CLI: "), std::string::npos) << log;
}

TEST_F(CliSystemTest, UnknownVerticalFails) {
    auto r = sys.AgentCtl({"cfgagent/set-simulate/out-of-sync", "l3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("Setting simulate out of sync for vertical l3 failed"),
              std::string::npos)
        << r.output;
    EXPECT_TRUE(sys.AwaitAgentLog("CliServer: setting simulate out of sync for vertical l3"));
    EXPECT_TRUE(sys.AwaitAgentLog("CliServer: unknown vertical name l3."));
}

// The configuration application answers the simulated DP Status OutOfSync by closing
// its KCP session and opening a new one.
TEST_F(CliSystemTest, SimulatedOutOfSyncOfConfigOpensANewKcpSession) {
    ASSERT_TRUE(sys.AwaitEmu(
        "kcp", [](const nlohmann::json& d) { return d["session"]["state"] == "synced"; }));
    nlohmann::json before = sys.EmuDump("kcp")["session"]["id"];
    auto r = sys.AgentCtl({"cfgagent/set-simulate/out-of-sync", "config"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "Setting simulate out of sync for vertical config successfully\n");
    EXPECT_TRUE(sys.AwaitEmu("kcp", [&](const nlohmann::json& d) {
        return d["session"]["id"] != before && d["session"]["state"] == "synced";
    }));
}

TEST_F(CliSystemTest, BadQueryArgumentsAreLoggedWithTheirCodes) {
    const std::string uuid = "00000000-0000-0000-0000-0000000000f1";
    struct Case {
        std::vector<std::string> args;
        const char* reply;
        std::string line;
        const char* code;
    } cases[] = {
        {{"cfgagent/statecache/L2arp", "not-a-uuid"},
         "Query logical switch ARP Table fail",
         "CLI: LS UUID invalid not-a-uuid",
         "LCP00703"},
        {{"cfgagent/statecache/logicalswitch", "vni", "424242"},
         "Query logical switch fail",
         "CLI: Get LS UUID for vni 424242 fail",
         "LCP00704"},
        {{"cfgagent/statecache/logicalswitch", "mac", "x"},
         "Query logical switch fail",
         "CLI: Unknown LS id type mac",
         "LCP00703"},
        {{"cfgagent/statecache/logicalswitch", "uuid", uuid},
         "Query logical switch fail",
         "CLI: Get logical switch fail for " + uuid,
         "LCP00704"},
        {{"cfgagent/statecache/routing-domain-uuid", "12345"},
         "Query Routing Domain fail",
         "CLI: RD UUID invalid 12345",
         "LCP00703"},
        {{"cfgagent/statecache/logicalswitches"},
         "Query logical switches fail",
         "CLI: Get logical switches fail",
         "LCP00702"},
    };
    for (const Case& c : cases) {
        size_t from = sys.AgentLogSize();
        auto r = sys.AgentCtl(c.args);
        EXPECT_EQ(r.status, 2) << c.args[0];
        EXPECT_NE(r.output.find(c.reply), std::string::npos) << r.output;
        ASSERT_TRUE(sys.AwaitAgentLog(c.line, std::chrono::seconds(60), from)) << c.line;
        std::string line = LineWith(sys.Agent()->Output(), c.line, from);
        EXPECT_NE(line.find(std::string("errorCode=\"") + c.code + "\""), std::string::npos)
            << line;
    }
    // The agent still answers.
    EXPECT_EQ(sys.AgentCtl({"cfgagent/get/loglevel"}).status, 0);
}

TEST_F(CliSystemTest, StopsCleanlyWhileClientsAreConnected) {
    RawClient idle(sys.AgentSocket());
    ASSERT_TRUE(idle.connected());
    RawClient partial(sys.AgentSocket());
    ASSERT_TRUE(partial.connected());
    ASSERT_TRUE(partial.Send(R"({"method":"cfgagent/get/loglevel","params":[)"));
    // The agent keeps answering others while those two sit there.
    ASSERT_EQ(sys.AgentCtl({"cfgagent/get/loglevel"}).status, 0);
    EXPECT_EQ(sys.StopAgent(), 0);
    EXPECT_NE(sys.Agent()->Output().find("Cli server terminated"), std::string::npos);
}

}  // namespace
}  // namespace CfgAgent

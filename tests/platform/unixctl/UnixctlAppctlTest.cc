// The unixctl server answering Debian's ovs-appctl, a client we did not write.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/unixctl/UnixctlServer.h"
#include "tests/platform/unixctl/UnixctlTestUtil.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace ozy::unixctl {
namespace {

using CfgAgent::test::TempDir;
using test::ServerThread;

constexpr const char* kAppctl = "/usr/bin/ovs-appctl";

class AppctlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(kAppctl, X_OK) != 0) {
            GTEST_SKIP() << kAppctl << " is not installed (package openvswitch-common)";
        }
        path_ = dir_.path() + "/ctl";
        ASSERT_EQ(Server::Create(path_, &server_), 0);
        server_->RegisterCommand("test/echo", "ARG [ARG]", 1, 2,
                                 [this](Connection& c, const std::vector<std::string>& args) {
                                     ++calls_;
                                     std::string text;
                                     for (const auto& a : args)
                                         text += "<" + a + ">";
                                     c.Reply(text);
                                 });
        server_->RegisterCommand("test/fail", "", 0, 0, [this](Connection& c, const auto&) {
            ++calls_;
            c.ReplyError("Query logical switch fail");
        });
        server_->RegisterCommand("test/json", "", 0, 0, [](Connection& c, const auto&) {
            c.Reply(R"({"size":{"logical_switch":2}})");
        });
        thread_ = std::make_unique<ServerThread>(*server_);
    }
    void TearDown() override { thread_.reset(); }

    // Runs ovs-appctl -t <socket> with `args`; stdout and stderr are kept apart.
    CfgAgent::test::RunResult Appctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"--timeout=60", "-t", path_});
        return CfgAgent::test::RunProgram(kAppctl, args, {}, std::chrono::seconds(60), true);
    }

    TempDir dir_{"ozy-appctl"};
    std::string path_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<ServerThread> thread_;
    std::atomic<int> calls_{0};
};

TEST_F(AppctlTest, RepliesRefusalsAndErrorsAsOvsAppctlPrintsThem) {
    const std::string table =
        "The available commands are:\n"
        "  help                    \n"
        "  list-commands           \n"
        "  test/echo               ARG [ARG]\n"
        "  test/fail               \n"
        "  test/json               \n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::vector<std::string> err;  // texts stderr holds
        int calls;                     // handler calls so far
    } cases[] = {
        {{"list-commands"}, 0, table, {}, 0},
        {{"help"}, 0, table, {}, 0},
        // Wrong argument counts and unknown commands are refused before the handler.
        {{"test/echo", "a", "b", "c"},
         2,
         "",
         {"\"test/echo\" command takes at most 2 arguments\n"},
         0},
        {{"test/echo"}, 2, "", {"\"test/echo\" command requires at least 1 arguments\n"}, 0},
        {{"test/nope"},
         2,
         "",
         {"\"test/nope\" is not a valid command (use \"list-commands\" to see a list of valid "
          "commands)\n"},
         0},
        {{"test/echo", "one", "two words \"quoted\" é"},
         0,
         "<one><two words \"quoted\" é>\n",
         {},
         1},
        {{"test/json"}, 0, "{\"size\":{\"logical_switch\":2}}\n", {}, 1},
        // An error reply gives exit status 2 and the text on stderr.
        {{"test/fail"}, 2, "", {"Query logical switch fail\n", "server returned an error"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        auto r = Appctl(c.args);
        EXPECT_EQ(r.status, c.status) << r.error;
        EXPECT_EQ(r.output, c.out);
        if (c.err.empty()) {
            EXPECT_EQ(r.error, "");
        }
        for (const std::string& text : c.err)
            EXPECT_THAT(r.error, ::testing::HasSubstr(text));
        EXPECT_EQ(calls_.load(), c.calls);
    }
    // The error text opens stderr.
    EXPECT_EQ(Appctl({"test/fail"}).error.find("Query logical switch fail\n"), 0u);
}

}  // namespace
}  // namespace ozy::unixctl

// The unixctl server answering Debian's ovs-appctl, a client we did not write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/unixctl/UnixctlServer.h"
#include "tests/platform/unixctl/UnixctlTestUtil.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace ozy::unixctl {
namespace {

using CfgAgent::test::ReadFile;
using CfgAgent::test::TempDir;
using test::ServerThread;

constexpr const char* kAppctl = "/usr/bin/ovs-appctl";

struct AppctlResult {
    int status = -1;
    std::string out;
    std::string err;
};

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
                                     for (const auto& a : args) {
                                         text += "<" + a + ">";
                                     }
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
    AppctlResult Appctl(const std::vector<std::string>& args) {
        std::string outFile = dir_.path() + "/out." + std::to_string(runs_);
        std::string errFile = dir_.path() + "/err." + std::to_string(runs_++);
        std::vector<std::string> argvStore = {kAppctl, "--timeout=60", "-t", path_};
        argvStore.insert(argvStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argvStore) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid = -1;
        AppctlResult result;
        int rc = posix_spawn(&pid, kAppctl, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            return result;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = ReadFile(outFile);
        result.err = ReadFile(errFile);
        return result;
    }

    TempDir dir_{"ozy-appctl"};
    std::string path_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<ServerThread> thread_;
    std::atomic<int> calls_{0};
    int runs_ = 0;
};

TEST_F(AppctlTest, ListCommandsAndHelpShowEveryCommandWithItsUsage) {
    const std::string table =
        "The available commands are:\n"
        "  help                    \n"
        "  list-commands           \n"
        "  test/echo               ARG [ARG]\n"
        "  test/fail               \n"
        "  test/json               \n";
    AppctlResult r = Appctl({"list-commands"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, table);
    EXPECT_EQ(r.err, "");
    r = Appctl({"help"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, table);
}

TEST_F(AppctlTest, CommandsGetTheirArgumentsAndRepliesArePrintedAsSent) {
    AppctlResult r = Appctl({"test/echo", "one", "two words \"quoted\" é"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "<one><two words \"quoted\" é>\n");
    r = Appctl({"test/json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"size\":{\"logical_switch\":2}}\n");
    EXPECT_EQ(calls_.load(), 1);
}

TEST_F(AppctlTest, WrongArgumentCountsAndUnknownCommandsAreRefusedBeforeTheHandler) {
    AppctlResult r = Appctl({"test/echo", "a", "b", "c"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("\"test/echo\" command takes at most 2 arguments\n"), std::string::npos)
        << r.err;
    r = Appctl({"test/echo"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("\"test/echo\" command requires at least 1 arguments\n"),
              std::string::npos)
        << r.err;
    r = Appctl({"test/nope"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(
        r.err.find("\"test/nope\" is not a valid command (use \"list-commands\" to see a list "
                   "of valid commands)\n"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(calls_.load(), 0);
}

TEST_F(AppctlTest, AnErrorReplyGivesExitStatusTwoAndTheTextOnStderr) {
    AppctlResult r = Appctl({"test/fail"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("Query logical switch fail\n"), 0u) << r.err;
    EXPECT_NE(r.err.find("server returned an error"), std::string::npos) << r.err;
    EXPECT_EQ(calls_.load(), 1);
}

}  // namespace
}  // namespace ozy::unixctl

// The host command runner with real programs: arguments reach the program unchanged, output is
// captured (standard error too) and bounded, exit statuses and signals are told apart, a program
// over its time limit is killed with what it started and reaped, and programs are resolved under
// the host root.
#include <gmock/gmock.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "platform/host/HostCommand.h"
#include "tests/support/Await.h"
#include "tests/support/TempDir.h"

namespace ozy::host {
namespace {

using ::testing::HasSubstr;
using Outcome = HostCommandResult::Outcome;

// True when `pid` is neither our child nor a live process (gone, or a zombie of someone else).
bool Ended(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) != -1 || errno != ECHILD)
        return false;  // still our child: not reaped
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    size_t close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
}

TEST(HostCommandTest, ArgumentsReachTheProgramUnchanged) {
    const std::vector<std::string> args = {"%s|\n", "a;b",       "$(id)",     "`uname`",
                                           "*",     "\"q\" 'r'", " spaced  ", "x > /tmp/y",
                                           "",      "a\nb"};
    HostCommandResult r = RunHostCommand("/usr/bin/printf", args);
    ASSERT_TRUE(r.ok()) << DescribeOutcome(r, {}) << r.output;
    EXPECT_EQ(r.output,
              "a;b|\n$(id)|\n`uname`|\n*|\n\"q\" 'r'|\n spaced  |\nx > /tmp/y|\n|\na\nb|\n");
    EXPECT_FALSE(r.truncated);
}

TEST(HostCommandTest, StatusesSignalsAndStartFailures) {
    struct Case {
        const char* name;
        std::string program;
        std::vector<std::string> args;
        Outcome outcome;
        int exitStatus;
        int signal;
        const char* output;
    };
    const Case cases[] = {
        {"exit status",
         "/bin/sh",
         {"-c", "echo out; echo err >&2; exit 3"},
         Outcome::kExited,
         3,
         0,
         "out\nerr\n"},
        {"signal", "/bin/sh", {"-c", "kill -TERM $$"}, Outcome::kSignaled, -1, SIGTERM, ""},
        {"missing", "/nonexistent/program", {}, Outcome::kFailedToStart, -1, 0, ""},
        {"not executable", "/etc/hostname", {}, Outcome::kFailedToStart, -1, 0, ""},
        {"relative", "printf", {"x"}, Outcome::kFailedToStart, -1, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostCommandResult r = RunHostCommand(c.program, c.args);
        EXPECT_EQ(r.outcome, c.outcome) << DescribeOutcome(r, {});
        EXPECT_EQ(r.exitStatus, c.exitStatus);
        EXPECT_EQ(r.signal, c.signal);
        EXPECT_EQ(r.output, c.output);
        EXPECT_FALSE(r.ok());
        if (r.pid > 0) {
            EXPECT_TRUE(Ended(r.pid));
        }
        if (c.outcome == Outcome::kFailedToStart) {
            EXPECT_FALSE(r.error.empty());
        }
    }
    EXPECT_THAT(RunHostCommand("/nonexistent/program", {}).error,
                HasSubstr("No such file or directory"));
}

TEST(HostCommandTest, OutputBeyondTheBoundIsCut) {
    HostCommandOptions options;
    options.maxOutput = 1000;
    HostCommandResult r = RunHostCommand("/usr/bin/head", {"-c", "300000", "/dev/zero"}, options);
    ASSERT_TRUE(r.ok()) << DescribeOutcome(r, options);
    EXPECT_EQ(r.output.size(), 1000u);
    EXPECT_TRUE(r.truncated);

    options.maxOutput = 3;
    r = RunHostCommand("/usr/bin/printf", {"abc"}, options);
    EXPECT_EQ(r.output, "abc");
    EXPECT_FALSE(r.truncated);
}

TEST(HostCommandTest, AProgramOverItsLimitIsKilledWithWhatItStartedAndReaped) {
    HostCommandOptions options;
    options.timeout = std::chrono::milliseconds(300);
    // The shell prints its background child's pid, then waits on it.
    HostCommandResult r = RunHostCommand("/bin/sh", {"-c", "sleep 60 & echo $!; wait"}, options);
    EXPECT_EQ(r.outcome, Outcome::kTimedOut) << DescribeOutcome(r, options);
    EXPECT_EQ(DescribeOutcome(r, options), "timed out after 300 ms");
    ASSERT_GT(r.pid, 0);
    EXPECT_TRUE(Ended(r.pid));
    pid_t grandchild = static_cast<pid_t>(std::atoi(r.output.c_str()));
    ASSERT_GT(grandchild, 0) << r.output;
    // Killed with the group (reaped by whoever adopted it).
    EXPECT_TRUE(CfgAgent::test::AwaitTrue([&] { return Ended(grandchild); }));

    // Within its limit a program runs to its end.
    r = RunHostCommand("/usr/bin/printf", {"done"}, options);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.output, "done");
}

TEST(HostCommandTest, ProgramsAreResolvedUnderTheHostRoot) {
    CfgAgent::test::TempDir root("ozy-hostcmd");
    root.WriteFile("bin/check_ntp_cfg.sh", "#!/bin/sh\necho \"root script $#: $1\"\n");
    ASSERT_EQ(::chmod((root.path() + "/bin/check_ntp_cfg.sh").c_str(), 0755), 0);
    ::setenv("OZY_HOST_ROOT", root.path().c_str(), 1);
    HostCommandResult r = RunHostCommand("/bin/check_ntp_cfg.sh", {"a b; c"});
    ::unsetenv("OZY_HOST_ROOT");
    ASSERT_TRUE(r.ok()) << DescribeOutcome(r, {});
    EXPECT_EQ(r.output, "root script 1: a b; c\n");
    // Outside the root the script does not exist.
    EXPECT_EQ(RunHostCommand("/bin/check_ntp_cfg.sh", {}).outcome, Outcome::kFailedToStart);
}

}  // namespace
}  // namespace ozy::host

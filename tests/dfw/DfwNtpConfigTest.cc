// The NTP check: the script's output as a verdict (only one unsigned decimal number counts, 0
// meaning good), the emulator's stand-in scripts run through the real command runner (a hanging
// one killed at a short limit and reaped), transitions (good calls back once per turn, bad
// withdraws nothing), and the loop's interval on the agent clock with a prompt stop.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "dfw/DfwLog.h"
#include "dfw/DfwNtpConfig.h"
#include "runtime/AgentClock.h"
#include "tests/support/Await.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tools/ozy-dpemu/TarpFamily.h"

namespace CfgAgent {
namespace {

using State = DfwNtpConfig::State;
using ozy::host::HostCommandOptions;
using ozy::host::HostCommandResult;

HostCommandResult Printed(const std::string& output) {
    HostCommandResult r;
    r.outcome = HostCommandResult::Outcome::kExited;
    r.exitStatus = 0;
    r.output = output;
    return r;
}

struct OutputCase {
    const char* name;
    std::string output;
    State state;
};

class DfwNtpOutputTest : public ::testing::TestWithParam<OutputCase> {};

TEST_P(DfwNtpOutputTest, OnlyOneUnsignedNumberCountsAndZeroIsGood) {
    const OutputCase& c = GetParam();
    test::LogCapture log;
    const int saved = g_dfwLogLevel;
    g_dfwLogLevel = kLogTrace;
    int ups = 0;
    DfwNtpConfig::Options o;
    o.run = [&](const std::string& program, const std::vector<std::string>& args,
                const HostCommandOptions& how) {
        EXPECT_EQ(program, "/bin/check_ntp_cfg.sh");
        EXPECT_TRUE(args.empty());
        EXPECT_EQ(how.timeout, std::chrono::seconds(30));
        return Printed(c.output);
    };
    o.onUp = [&] { ++ups; };
    auto ntp = ozy::MakeRef<DfwNtpConfig>(o);
    EXPECT_EQ(ntp->CheckOnce(), c.state);
    g_dfwLogLevel = saved;
    EXPECT_EQ(ups, c.state == State::kGood ? 1 : 0);
    EXPECT_EQ(log.ContainsWithCode("dfw: Invalid ntp config command output", "LCP01163"),
              c.state == State::kInvalid)
        << log.Dump();
    EXPECT_EQ(log.Contains("dfw: ntp is not cofigured/working"), c.state == State::kNotWorking);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, DfwNtpOutputTest,
    ::testing::Values(
        OutputCase{"Zero", "0", State::kGood}, OutputCase{"ZeroNewline", "0\n", State::kGood},
        OutputCase{"ZeroCrLf", " 0\r\n", State::kGood}, OutputCase{"One", "1", State::kNotWorking},
        OutputCase{"Largest", "4294967295\n", State::kNotWorking},
        OutputCase{"Negative", "-1", State::kInvalid}, OutputCase{"Plus", "+0", State::kInvalid},
        OutputCase{"Overflow", "4294967296", State::kInvalid},
        OutputCase{"TwentyDigits", "12345678901234567890", State::kInvalid},
        // 2^64, which wraps to 0 in 64 bits.
        OutputCase{"TwoToThe64", "18446744073709551616", State::kInvalid},
        OutputCase{"NegativeZero", "-0", State::kInvalid}, OutputCase{"Empty", "", State::kInvalid},
        OutputCase{"Blank", " \n", State::kInvalid},
        OutputCase{"Binary", std::string("0\0\x01\xff", 4), State::kInvalid},
        OutputCase{"TwoNumbers", "0 0", State::kInvalid},
        OutputCase{"Text", "ntp ok", State::kInvalid}),
    [](const auto& info) { return std::string(info.param.name); });

// The emulator's stand-in scripts, run as the agent runs them.
struct ScriptCase {
    const char* mode;
    State state;
    const char* detail;  // part of the detail the status keeps
};

class DfwNtpScriptTest : public ::testing::TestWithParam<ScriptCase> {
  protected:
    void SetUp() override { ::setenv("OZY_HOST_ROOT", root_.path().c_str(), 1); }
    void TearDown() override { ::unsetenv("OZY_HOST_ROOT"); }
    test::TempDir root_{"ozy-ntp"};
};

TEST_P(DfwNtpScriptTest, TheStandInScriptGivesItsVerdict) {
    const ScriptCase& c = GetParam();
    ozy::dpemu::TarpFamily emu;
    auto set = emu.Ntp({c.mode});
    ASSERT_TRUE(set.ok) << set.text;
    EXPECT_EQ(emu.Dump()["ntp"], c.mode);
    const int saved = g_dfwLogLevel;
    g_dfwLogLevel = kLogFatal;
    pid_t child = -1;
    DfwNtpConfig::Options o;
    o.timeout = std::chrono::milliseconds(300);
    o.run = [&](const std::string& program, const std::vector<std::string>& args,
                const HostCommandOptions& how) {
        HostCommandResult r = ozy::host::RunHostCommand(program, args, how);
        child = r.pid;
        return r;
    };
    auto ntp = ozy::MakeRef<DfwNtpConfig>(o);
    EXPECT_EQ(ntp->CheckOnce(), c.state);
    g_dfwLogLevel = saved;
    EXPECT_NE(ntp->status().detail.find(c.detail), std::string::npos) << ntp->status().detail;
    if (child > 0) {
        // Killed with its group and reaped: no process of that id is left.
        EXPECT_EQ(::kill(child, 0), -1);
        EXPECT_EQ(errno, ESRCH);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DfwNtpScriptTest,
                         ::testing::Values(ScriptCase{"ok", State::kGood, ""},
                                           ScriptCase{"bad", State::kNotWorking, "printed 1"},
                                           ScriptCase{"garbage", State::kInvalid, "not an"},
                                           ScriptCase{"hang", State::kFailed, "timed out"},
                                           ScriptCase{"missing", State::kFailed, "failed"}),
                         [](const auto& info) { return std::string(info.param.mode); });

TEST(DfwNtpConfigTest, GoodCallsBackOncePerTurnAndBadWithdrawsNothing) {
    test::LogCapture log;
    const int saved = g_dfwLogLevel;
    g_dfwLogLevel = kLogInfo;
    std::vector<std::string> outputs = {"1", "0", "0", "1", "garbage", "0"};
    size_t next = 0;
    int ups = 0;
    DfwNtpConfig::Options o;
    o.run = [&](const std::string&, const std::vector<std::string>&, const HostCommandOptions&) {
        return Printed(outputs.at(next++));
    };
    o.onUp = [&] { ++ups; };
    auto ntp = ozy::MakeRef<DfwNtpConfig>(o);
    const int wantUps[] = {0, 1, 1, 1, 1, 2};
    for (size_t i = 0; i < outputs.size(); ++i) {
        SCOPED_TRACE(outputs[i]);
        ntp->CheckOnce();
        EXPECT_EQ(ups, wantUps[i]);
    }
    g_dfwLogLevel = saved;
    EXPECT_EQ(log.Count("dfw: ntp turned"), 1u) << "only good turning bad is a transition";
    EXPECT_EQ(ntp->status().checks, outputs.size());
    auto j = nlohmann::json::parse(ntp->ToJson());
    EXPECT_EQ(j["state"], "good");
    EXPECT_EQ(j["interval_s"], 300);
}

TEST(DfwNtpConfigTest, TheLoopChecksAtStartThenEveryIntervalAndStopsAtOnce) {
    test::LogCapture log;
    std::atomic<int> runs{0};
    DfwNtpConfig::Options o;
    o.interval = std::chrono::minutes(10);
    o.run = [&](const std::string&, const std::vector<std::string>&, const HostCommandOptions&) {
        ++runs;
        return Printed("1");
    };
    auto ntp = ozy::MakeRef<DfwNtpConfig>(o);
    // Simulated time from here on: the loop's waits follow the moved clock.
    AgentClock::advance(std::chrono::seconds(0));
    const AgentClock::time_point before = AgentClock::now();
    std::thread loop([&] { ntp->Run(); });
    ASSERT_TRUE(test::AwaitTrue(
        [&] { return runs.load() == 1 && ntp->status().nextCheck != AgentClock::time_point{}; }));
    const AgentClock::time_point due = ntp->status().nextCheck;
    EXPECT_GE(due - before, std::chrono::minutes(10));
    EXPECT_LE(due - AgentClock::now(), std::chrono::minutes(10));
    AgentClock::advance(std::chrono::minutes(10));
    EXPECT_TRUE(test::AwaitTrue([&] { return runs.load() == 2; }));
    AgentClock::advance(std::chrono::minutes(10));
    EXPECT_TRUE(test::AwaitTrue([&] { return runs.load() == 3; }));
    ntp->Stop();
    loop.join();
    AgentClock::reset();
    EXPECT_TRUE(log.Contains("dfw: Exiting from Ntp query loop"));
    EXPECT_EQ(runs.load(), 3);
}

}  // namespace
}  // namespace CfgAgent

// The firewall library against a running ozy-dpemu, read back with ovs-appctl: an apply realized
// and judged by packet verdicts, a refused apply that changes nothing, and the emulator restarted
// between two applies (the library reconnects, uploads its segments again, the realized set is
// exact and the old epoch's record is not used).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/HostRoot.h"
#include "platform/device/DeviceFrame.h"
#include "platform/tarp/TarpFw.h"
#include "tests/platform/tarp/TarpTestRules.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnv.h"
#include "tests/support/UnixClient.h"

namespace ozy::tarp::test {
namespace {

using CfgAgent::test::ChildProcess;
using CfgAgent::test::RunProgram;
using CfgAgent::test::RunResult;

constexpr const char* kAppctl = "/usr/bin/ovs-appctl";

class TarpDpemuSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(kAppctl, X_OK) != 0)
            GTEST_SKIP() << kAppctl << " is not installed (package openvswitch-common)";
        setenv("OZY_HOST_ROOT", root_.path().c_str(), 1);
        StartEmulator();
    }
    void TearDown() override {
        if (handle_ != nullptr)
            FW_Terminate(handle_);
        StopEmulator();
        unsetenv("OZY_HOST_ROOT");
    }
    void StartEmulator() {
        emu_ = std::make_unique<ChildProcess>(
            CfgAgent::test::BinPath("ozy-dpemu"),
            std::vector<std::string>{"--host-root", root_.path()},
            root_.path() + "/dpemu-" + std::to_string(++starts_) + ".log");
        ASSERT_TRUE(emu_->WaitForOutput("ozy-dpemu: ready")) << emu_->Output();
    }
    void StopEmulator() {
        if (!emu_)
            return;
        emu_->Signal(SIGTERM);
        EXPECT_EQ(emu_->WaitExit(), 0) << emu_->Output();
        emu_.reset();
    }
    RunResult Appctl(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"--timeout=60", "-t", ozy::hostPath("/var/run/orvane/ozy-dpemu/dpemu-ctl")});
        return RunProgram(kAppctl, args);
    }
    std::string Ok(std::vector<std::string> args) {
        RunResult r = Appctl(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.output;
        return r.output;
    }
    nlohmann::json Json(std::vector<std::string> args) {
        return nlohmann::json::parse(Ok(std::move(args)), nullptr, false);
    }
    int Apply(const std::function<void(CTarpFWCmdList&)>& fill) {
        CTarpFWCmdList list;
        ScopedConfigFile guard(&list);
        fill(list);
        return FW_EvaluateConfigFile(handle_, &list, "f1", 0);
    }
    std::vector<std::string> RuleSets() { return RuleSetNames(handle_, "f1"); }

    CfgAgent::test::TempDir root_{"ozy-tarp"};
    std::unique_ptr<ChildProcess> emu_;
    int starts_ = 0;
    FW_Handle* handle_ = nullptr;
};

TEST_F(TarpDpemuSystemTest, AppliesAreRealizedJudgedAndSurviveAnEmulatorRestart) {
    Ok({"dpemu/filter-create", "f1", "vif-1", "lsp-1"});
    const char* options[] = {"FWIODeviceName", "/dev/ozy-tarp"};
    ASSERT_EQ(FW_Initialize(FW_LIB_VERSION, nullptr, 1, 2, options, &handle_), 0);

    SegmentPtr rules = MakeSegment(
        {MakeRule(10, kActionAllow,
                  [](CTarpFWRuleBuilder& b) {
                      b.setProtocol(6, false);
                      b.setDestPort(443, 443, false);
                      b.setContainer(RuleSide::kDest, "web");
                  }),
         MakeRule(11, kActionDrop, [](CTarpFWRuleBuilder& b) { b.setProtocol(6, false); })});
    auto full = [&](CTarpFWCmdList& l) {
        FillList(l, {MakeSet("web", {"10.0.0.0/24"}, {"10.0.0.9"})}, {rules});
    };
    ASSERT_EQ(Apply(full), 0);
    ASSERT_EQ(Apply([&](CTarpFWCmdList& l) { l.addCreateRuleSet("spare", {rules}); }), 0);

    // Realized and judged.
    nlohmann::json f = Json({"dpemu/tarp-filter", "f1"});
    ASSERT_FALSE(f.is_discarded());
    ASSERT_EQ(f["rules"].size(), 2u);
    EXPECT_EQ(f["rules"][0]["parts"][0]["destination"]["excluded"][0], "10.0.0.9/32");
    EXPECT_EQ(Json({"dpemu/tarp-eval", "f1", "in", "tcp", "10.1.1.1:5000", "10.0.0.5:443"}),
              nlohmann::json::parse(R"({"verdict":"ALLOW","rule":10,"ruleset":"mainrs",
                                        "action":"allow"})"));
    EXPECT_EQ(Json({"dpemu/tarp-eval", "f1", "in", "tcp", "10.1.1.1:5000", "10.0.0.9:443"})["rule"],
              11);
    EXPECT_EQ(
        Json({"dpemu/tarp-eval", "f1", "in", "udp", "10.1.1.1:5000", "10.0.0.5:443"})["verdict"],
        "DEFAULT");

    // Refused whole: tarp-filter does not move.
    std::string before = Ok({"dpemu/tarp-filter", "f1"});
    EXPECT_EQ(Apply([&](CTarpFWCmdList& l) {
                  l.addDestroyAddrSet("web");
                  l.addCreateRuleSet("mainrs", {MakeSegment({MakeRule(12, kActionDrop, [](auto& b) {
                                         b.setContainer(RuleSide::kSource, "undefined");
                                     })})});
              }),
              65);
    EXPECT_EQ(Ok({"dpemu/tarp-filter", "f1"}), before);
    EXPECT_EQ(RuleSets(), (std::vector<std::string>{"mainrs", "spare"}));
    std::string epoch = Json({"dpemu/dump", "tarp"})["epoch"];

    // A frame announcing more than 16 MiB, and one with a bad magic: the emulator drops that
    // connection and goes on serving the library.
    for (uint32_t magic : {ozy::device::kFrameMagic, 0x12345678u}) {
        CfgAgent::test::UnixClient c;
        ASSERT_TRUE(c.Connect(ozy::hostPath("/dev/ozy-tarp")));
        std::vector<uint8_t> header(12);
        ozy::device::EncodeFrameHeader(header.data(), kCmdApply, ozy::device::kMaxPayload + 1);
        for (int i = 0; i < 4; ++i)
            header[i] = uint8_t(magic >> (24 - 8 * i));
        ASSERT_TRUE(c.Write(header));
        char byte;
        EXPECT_EQ(::recv(c.fd(), &byte, 1, 0), 0) << "closed without a reply";
    }
    EXPECT_EQ(RuleSets(), (std::vector<std::string>{"mainrs", "spare"}));
    FW_FilterChanged(handle_, "f1");
    EXPECT_EQ(RuleSets(), (std::vector<std::string>{"mainrs", "spare"})) << "asked the device";

    // The emulator restarts; its filter comes back empty.
    StopEmulator();
    StartEmulator();
    Ok({"dpemu/filter-create", "f1", "vif-1", "lsp-1"});
    ASSERT_EQ(Apply(full), 0);
    nlohmann::json dump = Json({"dpemu/dump", "tarp"});
    EXPECT_NE(dump["epoch"], epoch);
    EXPECT_EQ(dump["stats"]["segments_uploaded"], 1);
    nlohmann::json now = Json({"dpemu/tarp-filter", "f1"});
    nlohmann::json then = nlohmann::json::parse(before);
    EXPECT_EQ(now["rules"], then["rules"]) << "exactly the rules realized before";
    EXPECT_EQ(now["addr_sets"], then["addr_sets"]);
    EXPECT_EQ(now["roots"], then["roots"]);
    EXPECT_FALSE(now["rule_sets"].contains("spare"));
    EXPECT_EQ(RuleSets(), std::vector<std::string>{"mainrs"}) << "not the old epoch's record";
    EXPECT_EQ(Json({"dpemu/tarp-eval", "f1", "in", "tcp", "10.1.1.1:5000", "10.0.0.5:443"})["rule"],
              10);
}

}  // namespace
}  // namespace ozy::tarp::test

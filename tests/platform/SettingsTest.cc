#include <gtest/gtest.h>

#include "platform/LibraryLogLevels.h"
#include "platform/SNUtil.h"
#include "platform/WorkflowUtil.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

class SNUtilTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* v :
             {"OZY_NODE_PERSONA", "OZY_SN_HOST_MGMT_IP", "OZY_SN_MGMT_IP", "OZY_SN_UUID"})
            unsetenv(v);
        setenv("OZY_HOST_ROOT", root.path().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("OZY_HOST_ROOT");
        unsetenv("OZY_NODE_PERSONA");
        SNUtil::Init();
    }
    CfgAgent::test::TempDir root;
};

TEST_F(SNUtilTest, DefaultsToOrdinaryHost) {
    SNUtil::Init();
    EXPECT_EQ(SNUtil::GetNodePersona(), 3);
    EXPECT_EQ(SNUtil::GetSNMgmtIPOnSN(), "");
}

TEST_F(SNUtilTest, FileSettingsAndEnvironmentPrecedence) {
    root.WriteFile(
        "etc/orvane/ozy/smartnic.conf",
        "# SmartNIC settings\npersona = 2\nhost_mgmt_ip=10.0.0.1\n sn_mgmt_ip = 10.0.0.2 \n"
        "sn_uuid=11111111-2222-3333-4444-555555555555\nsn_uuid.10.0.0.9=99999999-0000-0000-0000-"
        "000000000000\n"
        "garbage line\n");
    SNUtil::Init();
    EXPECT_EQ(SNUtil::GetNodePersona(), 2);
    EXPECT_EQ(SNUtil::GetSNHostMgmtIPOnSN(), "10.0.0.1");
    EXPECT_EQ(SNUtil::GetSNUUIDFromIP("10.0.0.2"), "11111111-2222-3333-4444-555555555555");
    EXPECT_EQ(SNUtil::GetSNUUIDFromIP("10.0.0.9"), "99999999-0000-0000-0000-000000000000");
    EXPECT_EQ(SNUtil::GetSNUUIDFromIP("10.0.0.3"), "");
    setenv("OZY_NODE_PERSONA", "1", 1);
    EXPECT_EQ(SNUtil::GetNodePersona(), 1);
    setenv("OZY_NODE_PERSONA", "two", 1);
    EXPECT_EQ(SNUtil::GetNodePersona(), 0);  // unparsable: refused by start-up as unknown
}

TEST(WorkflowUtilTest, SpansAreCountedAndLoggedOnlyFromInfoLevel) {
    using ozy::wft::Span;
    using ozy::wft::WorkflowUtil;
    auto count = [](const std::string& name) {
        for (const auto& [n, v] : WorkflowUtil::Stats()) {
            if (n == name)
                return v;
        }
        return int64_t{-1};
    };
    CfgAgent::test::LogCapture log(CfgAgent::kLogDebug);
    ozy::wft::library_log_level = CfgAgent::kLogDebug;
    WorkflowUtil::SetTraceLevel(2);
    int64_t roots = count("RootSpan_Total_Req");
    int64_t noParent = count("ChildSpan_No_Parent_Err");
    int64_t batch = count("ChildSpan_Batch_Span");
    int64_t low = count("ChildSpan_Low_Trace_Lvl_Span");
    { Span s("Decoder.DecodeLogSwitchConfig"); }
    { Span s("MsgDispatcher", {"", ""}); }
    { Span s("MsgDispatcher", {"ctx1", "ctx2"}); }
    WorkflowUtil::SetTraceLevel(0);
    { Span s("MsgDispatcher", {"ctx1"}); }
    WorkflowUtil::SetTraceLevel(2);
    EXPECT_EQ(count("RootSpan_Total_Req"), roots + 1);
    EXPECT_EQ(count("ChildSpan_No_Parent_Err"), noParent + 1);
    EXPECT_EQ(count("ChildSpan_Batch_Span"), batch + 1);
    EXPECT_EQ(count("ChildSpan_Low_Trace_Lvl_Span"), low + 1);
    EXPECT_TRUE(log.Contains("wft: span Decoder.DecodeLogSwitchConfig start"));
    EXPECT_EQ(log.Count("wft: span MsgDispatcher start"), 2u);
    ozy::wft::library_log_level = CfgAgent::kLogInfo;
    EXPECT_EQ(WorkflowUtil::TraceLevelFromName("debug"), 3);
    EXPECT_STREQ(WorkflowUtil::TraceLevelName(2), "info");
    EXPECT_EQ(WorkflowUtil::TraceLevelName(5), nullptr);
}

}  // namespace

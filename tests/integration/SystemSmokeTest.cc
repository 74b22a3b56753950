// The three processes come up together in one host root and answer their control sockets.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/AgentSystem.h"

namespace CfgAgent {
namespace {

TEST(SystemSmokeTest, AllThreeProcessesStartAnswerAndStop) {
    test::AgentSystem sys;
    ASSERT_TRUE(sys.Start());
    auto level = sys.AgentCtl({"cfgagent/get/loglevel"});
    EXPECT_EQ(level.status, 0) << level.output;
    EXPECT_EQ(level.output, "Current cfgagent logging level is: debug\n");
    nlohmann::json kcp = sys.EmuDump("kcp");
    ASSERT_FALSE(kcp.is_null());
    EXPECT_TRUE(kcp.contains("session"));
    auto ping = sys.Cairnctl({"ping"});
    EXPECT_EQ(ping.status, 0) << ping.output;
    EXPECT_EQ(sys.StopAgent(), 0);
}

}  // namespace
}  // namespace CfgAgent

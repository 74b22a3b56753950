#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>

#include "platform/LibraryLogLevels.h"
#include "platform/WorkflowUtil.h"
#include "runtime/AgentLock.h"
#include "runtime/AgentSettings.h"
#include "runtime/daemon/AgentConfig.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent {
namespace {

namespace pt = boost::property_tree;

TEST(AgentConfigTest, CommandLineOptions) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::string path;
        std::string err;
    } cases[] = {{{"ignored"}, true, "", ""},
                 {{"-c", "/tmp/x.xml"}, true, "/tmp/x.xml", ""},
                 {{"-s"}, false, "", "Usage: ozy-cfgagent [-c configFile]\n"}};
    for (Case& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("ozy-cfgagent")};
        for (std::string& a : c.args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStderr();
        CommandLine cl = ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(cl.ok, c.ok);
        EXPECT_EQ(cl.configPath, c.path);
    }
    EXPECT_EQ(AgentSettings::ConfigPath(), "/etc/orvane/ozy/ozy-cfgagent.xml");
}

TEST(AgentConfigTest, MalformedFileLogsCodeAndPrintsBanner) {
    test::TempDir dir;
    dir.WriteFile("bad.xml", "<config><log></config>");
    test::LogCapture log;
    pt::ptree tree;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(LoadConfigFile(dir.path() + "/bad.xml", tree));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(log.ContainsWithCode("Failed loading config file: ", "LCP00003"));
    EXPECT_EQ(out,
              "-----------------------------------\n* Error *: CfgAgent start failed.\n  "
              "Configuration file " +
                  dir.path() + "/bad.xml is invalid!\n-----------------------------------\n");
}

TEST(AgentConfigTest, FileWithoutLogKeysKeepsDefaults) {
    test::TempDir dir;
    dir.WriteFile("c.xml", "<!-- comment --><config><cfgAgent><apps/></cfgAgent></config>");
    pt::ptree tree;
    ASSERT_TRUE(LoadConfigFile(dir.path() + "/c.xml", tree));
    test::LogCapture log(kLogInfo, true);
    ApplyAgentSettings(tree);
    EXPECT_EQ(Logger::level(), kLogInfo);
    EXPECT_TRUE(Logger::console());
    EXPECT_EQ(ozy::metrics::library_log_level.load(), 4);
    EXPECT_EQ(ozy::rpc::library_log_level.load(), 4);
    EXPECT_EQ(g_dfwLogLevel.load(), 4);
    EXPECT_EQ(ozy::wft::WorkflowUtil::GetTraceLevel(), 2);
    EXPECT_TRUE(log.Contains("Workflow tracing set trace_level 2 log_level 4"));
    EXPECT_EQ(GetThreadCounts().workThreads, 32u);
}

TEST(AgentConfigTest, KeysOverrideLevelsThreadsAndInstrumentation) {
    test::TempDir dir;
    dir.WriteFile(
        "c.xml",
        "<config><log><level>5</level><outputToConsole>false</outputToConsole><dfw>2</dfw>"
        "<workflow_tracing><trace_level>3</trace_level><log_level>6</log_level></workflow_tracing>"
        "</log><cfgAgent><workGroup><ioThreads>3</ioThreads><workThreads>12</workThreads></"
        "workGroup>"
        "<debug><instrument><l2_cache>true</l2_cache></instrument></debug></cfgAgent></config>");
    pt::ptree tree;
    ASSERT_TRUE(LoadConfigFile(dir.path() + "/c.xml", tree));
    test::LogCapture log(kLogInfo, true);
    ApplyAgentSettings(tree);
    ApplyInstrumentationFlags(tree);
    EXPECT_EQ(Logger::level(), kLogDebug);
    EXPECT_FALSE(Logger::console());
    EXPECT_EQ(g_dfwLogLevel.load(), 2);
    EXPECT_EQ(ozy::wft::library_log_level.load(), 6);
    EXPECT_EQ(ozy::wft::WorkflowUtil::GetTraceLevel(), 3);
    EXPECT_EQ(GetThreadCounts().ioThreads, 3u);
    EXPECT_EQ(GetThreadCounts().workThreads, 12u);
    EXPECT_TRUE(log.Contains(
        "Instrument configCache false l2Cache true l3Cache false cairndbClient false"));
    // restore process-wide state for other tests
    g_dfwLogLevel = 4;
    ozy::wft::library_log_level = 4;
    ozy::wft::WorkflowUtil::SetTraceLevel(2);
    SetThreadCounts(2, 32);
    AgentSettings::SetInstrument(kInstrumentL2Cache, false);
    Logger::setConsole(true);
}

}  // namespace
}  // namespace CfgAgent

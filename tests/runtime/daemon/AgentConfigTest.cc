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

// `xml` read as a configuration file.
pt::ptree Load(const std::string& xml) {
    test::TempDir dir;
    dir.WriteFile("c.xml", xml);
    pt::ptree tree;
    EXPECT_TRUE(LoadConfigFile(dir.path() + "/c.xml", tree)) << xml;
    return tree;
}

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
    pt::ptree tree = Load("<!-- comment --><config><cfgAgent><apps/></cfgAgent></config>");
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
    pt::ptree tree = Load(
        "<config><log><level>5</level><outputToConsole>false</outputToConsole><dfw>2</dfw>"
        "<workflow_tracing><trace_level>3</trace_level><log_level>6</log_level></workflow_tracing>"
        "</log><cfgAgent><workGroup><ioThreads>3</ioThreads><workThreads>12</workThreads></"
        "workGroup>"
        "<debug><instrument><l2_cache>true</l2_cache></instrument></debug></cfgAgent></config>");
    test::LogCapture log(kLogInfo, true);
    ApplyAgentSettings(tree);
    ASSERT_TRUE(ApplyThreadSettings(tree, 0));
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

// Thread settings against the long-running loops: the io threads, the serial context and each
// loop hold a thread for good, and one must be left for the other work.
TEST(AgentConfigTest, UnusableThreadSettingsAreRefusedWithTheReason) {
    struct Case {
        const char* io;    // "" when the key is absent
        const char* work;  // "" when the key is absent
        unsigned loops;
        bool ok;
        const char* line;  // expected in the log (LCP00001 when refused)
    };
    const ThreadCounts defaults = DefaultThreadCounts();
    const std::string hw = std::to_string(defaults.ioThreads);
    const std::string fewerIo =
        "Work group: 1 io threads instead of one per hardware thread (" + hw + ")";
    const Case cases[] = {
        {"2", "32", 6, true, ""},
        {"2", "10", 6, true, ""},  // 2 io + serial + 6 loops + 1 free
        {"2", "9", 6, false,
         "Unusable thread setting: config.cfgAgent.workGroup.workThreads is 9, it must be at "
         "least 10 (2 io threads, the serial io context and 6 long-running loops hold one thread "
         "each, and one is needed for the other work)"},
        {"-1", "32", 2, false,
         "Unusable thread setting: config.cfgAgent.workGroup.ioThreads is -1, it must be a number "
         "from 1 to 4096"},
        {"0", "32", 2, false, "config.cfgAgent.workGroup.ioThreads is 0, it must be a number"},
        {"many", "32", 2, false, "config.cfgAgent.workGroup.ioThreads is many, it must be"},
        {"4294967295", "32", 2, false, "ioThreads is 4294967295, it must be a number"},
        {"2", "-5", 2, false, "config.cfgAgent.workGroup.workThreads is -5, it must be a number"},
        {"2", "100000", 2, false, "workThreads is 100000, it must be a number from 1 to 4096"},
        // Without the io key the default is lowered to what the work threads leave room for.
        {"", "5", 2, defaults.ioThreads >= 1, defaults.ioThreads > 1 ? fewerIo.c_str() : ""},
        {"", "4", 2, false, "workThreads is 4, it must be at least"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("io=") + c.io + " work=" + c.work);
        SetThreadCounts(7, 77);
        std::string xml = "<config><cfgAgent><workGroup>";
        if (*c.io != '\0')
            xml += std::string("<ioThreads>") + c.io + "</ioThreads>";
        if (*c.work != '\0')
            xml += std::string("<workThreads>") + c.work + "</workThreads>";
        xml += "</workGroup></cfgAgent></config>";
        pt::ptree tree = Load(xml);
        test::LogCapture log(kLogInfo);
        EXPECT_EQ(ApplyThreadSettings(tree, c.loops), c.ok) << log.Dump();
        if (c.ok) {
            EXPECT_EQ(GetThreadCounts().workThreads, static_cast<unsigned>(std::stoul(c.work)));
            if (*c.line != '\0') {
                EXPECT_TRUE(log.Contains(c.line)) << log.Dump();
            }
        } else {
            EXPECT_TRUE(log.ContainsWithCode(c.line, "LCP00001")) << log.Dump();
            // Nothing is stored from a refused file.
            EXPECT_EQ(GetThreadCounts().workThreads, 77u);
        }
    }
    SetThreadCounts(2, 32);
}

// The cairndb probe interval: a number of milliseconds within its bounds, else the default with
// the reason logged.
TEST(AgentConfigTest, CairndbProbeIntervalWithinItsBoundsOrTheDefault) {
    struct Case {
        const char* value;  // nullptr when the key is absent
        long long ms;
        const char* refused;  // expected with LCP00001 when the value is refused
    };
    const Case cases[] = {
        {nullptr, 5000, nullptr},
        {"1000", 1000, nullptr},
        {"100", 100, nullptr},
        {"600000", 600000, nullptr},
        {"99", 5000,
         "config.cfgAgent.cairndb.probeInterval is 99, it must be a number of "
         "milliseconds from 100 to 600000; 5000 is used"},
        {"600001", 5000, "probeInterval is 600001, it must be"},
        {"0", 5000, "probeInterval is 0, it must be"},
        {"-2000", 5000, "probeInterval is -2000, it must be"},
        {"2s", 5000, "probeInterval is 2s, it must be"},
        {"", 5000, "probeInterval is , it must be"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(absent)");
        pt::ptree tree;
        tree.put("config.cfgAgent.workGroup.ioThreads", "2");
        if (c.value)
            tree.put("config.cfgAgent.cairndb.probeInterval", c.value);
        test::LogCapture log(kLogInfo);
        EXPECT_EQ(CairndbProbeInterval(tree).count(), c.ms);
        if (c.refused) {
            EXPECT_TRUE(log.ContainsWithCode(c.refused, "LCP00001")) << log.Dump();
        } else {
            EXPECT_FALSE(log.Contains("Unusable cairndb setting")) << log.Dump();
        }
    }
}

}  // namespace
}  // namespace CfgAgent

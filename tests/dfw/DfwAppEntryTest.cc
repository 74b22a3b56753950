// The firewall application as start-up sees it: its settings (table of values, bad ones logged
// with LCP00001 and the default kept), its message cache registered with the dispatcher while it
// runs, and the work-group threads its loops hold.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "dfw/DfwAppEntry.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwSettings.h"
#include "intake/MsgDispatcher.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppLauncher.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

boost::property_tree::ptree Tree(const std::string& xml) {
    std::istringstream in("<config>" + xml + "</config>");
    boost::property_tree::ptree t;
    boost::property_tree::read_xml(in, t);
    return t.get_child("config");
}

struct SettingsCase {
    const char* xml;
    uint32_t interval;
    bool optimization;
    bool skipNtp;
    uint32_t importTimeout;
    bool refused;  // a value logged with LCP00001
    uint32_t ntpMinutes = 5;
};

class DfwSettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(DfwSettingsTest, ReadsOrKeepsTheDefault) {
    const SettingsCase& c = GetParam();
    test::LogCapture log;
    int saved = g_dfwLogLevel;
    g_dfwLogLevel = kLogTrace;
    DfwSettings s = DfwSettings::Read(Tree(c.xml));
    g_dfwLogLevel = saved;
    EXPECT_EQ(s.filterQueryInterval, c.interval);
    EXPECT_EQ(s.configOptimization, c.optimization);
    EXPECT_EQ(s.skipNtpCheck, c.skipNtp);
    EXPECT_EQ(s.importClearTimeout, c.importTimeout);
    EXPECT_EQ(s.ntpCheckInterval, c.ntpMinutes);
    EXPECT_EQ(log.ContainsWithCode("default used", "LCP00001"), c.refused) << log.Dump();
    EXPECT_TRUE(log.Contains("dfw: skip ntp check is enabled: " +
                             std::string(c.skipNtp ? "true" : "false")));
    EXPECT_TRUE(
        log.Contains("dfw: Filter import clear timeout: " + std::to_string(c.importTimeout)));
}

INSTANTIATE_TEST_SUITE_P(
    Values, DfwSettingsTest,
    ::testing::Values(
        SettingsCase{"", 30, false, false, 0, false},
        SettingsCase{"<default><filter_query_interval>5</filter_query_interval>"
                     "<config_optimization>true</config_optimization>"
                     "<skip_ntp_check>1</skip_ntp_check>"
                     "<filter_import_clear_timeout>90</filter_import_clear_timeout></default>",
                     5, true, true, 90, false},
        // Only a positive timeout replaces the built-in 0.
        SettingsCase{"<default><filter_import_clear_timeout>-4</filter_import_clear_timeout>"
                     "</default>",
                     30, false, false, 0, false},
        SettingsCase{"<default><filter_query_interval>0</filter_query_interval></default>", 30,
                     false, false, 0, true},
        SettingsCase{"<default><filter_query_interval>7s</filter_query_interval></default>", 30,
                     false, false, 0, true},
        SettingsCase{"<default><skip_ntp_check>yes</skip_ntp_check></default>", 30, false, false, 0,
                     true},
        SettingsCase{"<default><ntp_check_interval>60</ntp_check_interval></default>", 30, false,
                     false, 0, false, 60},
        SettingsCase{"<default><ntp_check_interval>0</ntp_check_interval></default>", 30, false,
                     false, 0, true, 5}));

TEST(DfwAppEntryTest, RegistersItsCacheWhileItRuns) {
    auto queue = std::make_shared<UpdateQueue>(UpdateQueue::kUnbounded, true, true);
    auto dispatcher = ozy::MakeRef<MsgDispatcher>(queue);
    AppContext context;
    context.dispatcher = dispatcher.get();
    DfwAppEntry entry(context);
    EXPECT_FALSE(dispatcher->IsRegistered(ComponentType::DFW));
    entry.Start(Tree("<default><skip_ntp_check>true</skip_ntp_check></default>"));
    EXPECT_TRUE(dispatcher->IsRegistered(ComponentType::DFW));
    EXPECT_TRUE(entry.settings().skipNtpCheck);
    entry.Stop();
    EXPECT_FALSE(dispatcher->IsRegistered(ComponentType::DFW));
}

TEST(DfwAppEntryTest, ItsLoopsHoldWorkGroupThreads) {
    AppContext context;
    AppLauncher launcher(BuiltinApps(), context);
    auto apps = [](const char* names) {
        std::string xml;
        std::istringstream in(names);
        std::string n;
        while (in >> n)
            xml += "<app><name>" + n + "</name><enabled>true</enabled><config/></app>";
        return Tree(xml);
    };
    const unsigned without = launcher.LoopsOf(apps("config"));
    EXPECT_EQ(launcher.LoopsOf(apps("config dfw")), without + 6);
}

}  // namespace
}  // namespace CfgAgent

#include <gtest/gtest.h>

#include <syslog.h>

#include "runtime/Logger.h"
#include "runtime/Metrics.h"
#include "runtime/OzyLogger.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent {
namespace {

struct SyslogCapture {
    SyslogCapture() {
        Logger::setSyslogHook([this](int p, const std::string& t) { lines.emplace_back(p, t); });
    }
    ~SyslogCapture() { Logger::setSyslogHook(nullptr); }
    std::vector<std::pair<int, std::string>> lines;
};

TEST(LoggerTest, LevelGatesStatementsAndArgumentsAreNotEvaluated) {
    test::LogCapture cap(kLogInfo);
    int evaluated = 0;
    auto touch = [&] { return ++evaluated; };
    CFG_DEBUG("hidden %1", touch());
    CFG_INFO("shown %1", touch());
    EXPECT_EQ(evaluated, 1);
    ASSERT_EQ(cap.Entries().size(), 1u);
    EXPECT_EQ(cap.Entries()[0].message, "shown 1");
    EXPECT_NE(cap.Entries()[0].structuredData.find("level=\"info\""), std::string::npos);
}

TEST(LoggerTest, SyslogRecordCarriesPriorityAndStructuredData) {
    test::LogCapture cap(kLogTrace);
    SyslogCapture sys;
    Logger::setSyslog(true);
    CFG_INFO("Build Number: %1", "b1");
    CFG_ERROR_CODE("LCP00003", "Failed loading config file: %1", "/x.xml");
    CFG_WARN("warned");
    CFG_DEBUG("dbg");
    Logger::setSyslog(false);
    ASSERT_EQ(sys.lines.size(), 4u);
    EXPECT_EQ(sys.lines[0].first, 182);
    EXPECT_EQ(sys.lines[1].first, 179);
    EXPECT_EQ(sys.lines[2].first, 180);
    EXPECT_EQ(sys.lines[3].first, 183);
    const std::string& err = sys.lines[1].second;
    EXPECT_EQ(err.rfind("OZY " + std::to_string(getpid()) +
                            " - [ozy@32473 comp=\"ozy-controller\" "
                            "subcomp=\"cfgAgent\" tid=\"",
                        0),
              0u)
        << err;
    EXPECT_NE(
        err.find("level=\"error\" errorCode=\"LCP00003\"] Failed loading config file: /x.xml"),
        std::string::npos)
        << err;
}

TEST(LoggerTest, TagsEntityTenantAndInvalidMarker) {
    test::LogCapture cap(kLogTrace);
    Logger rec(kLogWarn, "m %1 %2");
    rec.arg(true).arg(static_cast<uint64_t>(18446744073709551615ull));
    rec.addTag("plain").addTag("").addTag("LS-ID:abc").s2comp("sub").entId("e1");
    rec.tenant("o", "p", "v").markInvalid();
    rec.emit();
    auto e = cap.Entries().at(0);
    EXPECT_EQ(e.message, "m true 18446744073709551615");
    EXPECT_NE(e.structuredData.find(" s2comp=\"sub\" entId=\"e1\" tid=\""), std::string::npos);
    EXPECT_NE(e.structuredData.find(
                  " org=\"o\" proj=\"p\" vpc=\"v\" tag=\"plain\" LS-ID=\"abc\" invalid=\"true\"]"),
              std::string::npos)
        << e.structuredData;
}

TEST(LoggerTest, OrgWithoutProjectWritesOnlyOrg) {
    test::LogCapture cap(kLogTrace);
    Logger rec(kLogInfo, "x");
    rec.tenant("o", "", "v");
    rec.emit();
    auto sd = cap.Entries().at(0).structuredData;
    EXPECT_NE(sd.find(" org=\"o\"]"), std::string::npos) << sd;
}

TEST(LoggerTest, InvalidLevelProducesOnlySyslogLine) {
    test::LogCapture cap(kLogTrace);
    SyslogCapture sys;
    Logger rec(7, "never");
    rec.emit();
    EXPECT_TRUE(cap.Entries().empty());
    ASSERT_EQ(sys.lines.size(), 1u);
    EXPECT_EQ(sys.lines[0].first, LOG_ERR);
    EXPECT_EQ(sys.lines[0].second, "Invalid log level 7");
}

TEST(LoggerTest, PlaceholdersPositionalPrintfAndEscapes) {
    test::LogCapture cap(kLogTrace);
    CFG_INFO("%2-%1 100%% %1%", "a", 7);
    CFG_INFO("Build Number: %s, count %u, hex %X", "b", 3u, 255);
    CFG_INFO("missing %3 arg");
    CFG_INFO("char %1 ptr-null %2 dbl %3", 'c', static_cast<const void*>(nullptr), 1.5);
    auto e = cap.Entries();
    EXPECT_EQ(e[0].message, "7-a 100% a");
    EXPECT_EQ(e[1].message, "Build Number: b, count 3, hex FF");
    EXPECT_EQ(e[2].message, "missing  arg");
    EXPECT_EQ(e[3].message, "char c ptr-null (nil) dbl 1.500000");
}

TEST(LoggerTest, OffSilencesEverythingAndSetLevelExportsToLibraries) {
    test::LogCapture cap(kLogInfo);
    Logger::setLevel(kLogOff);
    EXPECT_EQ(ozy::Logger::logLevel.load(), 0);
    CFG_FATAL("nothing");
    EXPECT_TRUE(cap.Entries().empty());
    Logger::setLevel(kLogDebug);
    EXPECT_EQ(ozy::Logger::logLevel.load(), kLogDebug);
    OZY_LIB_LOG(ozy::Logger::logLevel, 4).put("lib %s %d", "x", 5).tag("errorCode:LCP00001");
    OZY_LIB_LOG(ozy::Logger::logLevel, 6).put("too verbose");
    auto e = cap.Entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].message, "lib x 5");
    EXPECT_EQ(e[0].tags.at(0), "errorCode:LCP00001");
}

TEST(LoggerTest, LevelNamesRoundTrip) {
    for (int l = kLogOff; l <= kLogTrace; ++l) {
        EXPECT_EQ(LogLevelFromName(LogLevelName(l)), l);
    }
    EXPECT_EQ(LogLevelFromName("verbose"), -1);
    EXPECT_EQ(LogLevelName(7), nullptr);
}

TEST(LoggerTest, StructuredDataReferenceListMarksUnknownKeysInvalid) {
    test::TempDir root;
    root.WriteFile("opt/orvane/ozy-common/logging/structured-data.txt", "  errorCode \n\nLS-ID\n");
    setenv("OZY_HOST_ROOT", root.path().c_str(), 1);
    Logger::reloadReferenceLists();
    test::LogCapture cap(kLogTrace);
    CFG_ERROR_CODE("LCP00001", "known");
    CFG_LOG_TAGS(kLogInfo, {"VNI:5001"}, "unknown key");
    unsetenv("OZY_HOST_ROOT");
    Logger::reloadReferenceLists();
    auto e = cap.Entries();
    EXPECT_EQ(e[0].structuredData.find("invalid"), std::string::npos);
    EXPECT_NE(e[1].structuredData.find("invalid=\"true\""), std::string::npos);
}

TEST(LoggerTest, ConsoleOffWritesNothingToStdout) {
    test::LogCapture cap(kLogInfo, /*quietConsole=*/false);
    Logger::setConsole(false);
    testing::internal::CaptureStdout();
    CFG_INFO("quiet");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    Logger::setConsole(true);
    testing::internal::CaptureStdout();
    CFG_INFO("loud");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("] loud\n"), std::string::npos);
    EXPECT_EQ(out.find("OZY"), std::string::npos);  // the console line has no syslog header
}

TEST(LoggerTest, MetricsCountProducedRecords) {
    ozy::metrics::Registry reg;
    test::LogCapture cap(kLogInfo);
    Logger::attachMetrics(&reg);
    CFG_INFO("one");
    CFG_DEBUG("not produced");
    CFG_INFO("two");
    EXPECT_EQ(reg.counter("log/count")->value(), 2);
    EXPECT_EQ(reg.latency("log/latency")->count(), 2);
    Logger::attachMetrics(nullptr);
}

}  // namespace
}  // namespace CfgAgent

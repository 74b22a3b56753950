#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include <syslog.h>

#include "runtime/Logger.h"
#include "runtime/Metrics.h"
#include "runtime/OzyLogger.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

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
    EXPECT_THAT(cap.Entries()[0].structuredData, HasSubstr("level=\"info\""));
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
    std::vector<int> priorities;
    for (const auto& line : sys.lines)
        priorities.push_back(line.first);
    EXPECT_EQ(priorities, (std::vector<int>{182, 179, 180, 183}));
    const std::string& err = sys.lines[1].second;
    EXPECT_EQ(err.rfind("OZY " + std::to_string(getpid()) +
                            " - [ozy@32473 comp=\"ozy-controller\" "
                            "subcomp=\"cfgAgent\" tid=\"",
                        0),
              0u)
        << err;
    EXPECT_THAT(
        err,
        HasSubstr("level=\"error\" errorCode=\"LCP00003\"] Failed loading config file: /x.xml"));
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
    EXPECT_THAT(e.structuredData, HasSubstr(" s2comp=\"sub\" entId=\"e1\" tid=\""));
    EXPECT_THAT(
        e.structuredData,
        HasSubstr(" org=\"o\" proj=\"p\" vpc=\"v\" tag=\"plain\" LS-ID=\"abc\" invalid=\"true\"]"));
    // An organisation without a project writes only the organisation.
    Logger orgOnly(kLogInfo, "x");
    orgOnly.tenant("o", "", "v");
    orgOnly.emit();
    EXPECT_THAT(cap.Entries().at(1).structuredData, HasSubstr(" org=\"o\"]"));
}

TEST(LoggerTest, ThreadTenantScopesNestAndARecordsOwnTenantWins) {
    test::LogCapture cap(kLogTrace);
    auto sdOf = [&](size_t i) { return cap.Entries().at(i).structuredData; };
    {
        ScopedLogTenant outer("o1", "p1", "");
        CFG_INFO("a");
        {
            ScopedLogTenant inner("o2", "p2", "v2");
            CFG_INFO("b");
            Logger rec(kLogInfo, "c");
            rec.tenant("own");
            rec.emit();
        }
        CFG_INFO("d");
        // Another thread has none.
        std::thread([] { CFG_INFO("e"); }).join();
    }
    CFG_INFO("f");
    EXPECT_NE(sdOf(0).find(" org=\"o1\" proj=\"p1\"]"), std::string::npos) << sdOf(0);
    EXPECT_NE(sdOf(1).find(" org=\"o2\" proj=\"p2\" vpc=\"v2\"]"), std::string::npos) << sdOf(1);
    EXPECT_NE(sdOf(2).find(" org=\"own\"]"), std::string::npos) << sdOf(2);
    EXPECT_NE(sdOf(3).find(" org=\"o1\" proj=\"p1\"]"), std::string::npos) << sdOf(3);
    EXPECT_EQ(sdOf(4).find("org="), std::string::npos) << sdOf(4);
    EXPECT_EQ(sdOf(5).find("org="), std::string::npos) << sdOf(5);
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
    std::vector<std::string> messages;
    for (const LogEntry& e : cap.Entries())
        messages.push_back(e.message);
    EXPECT_EQ(messages,
              (std::vector<std::string>{"7-a 100% a", "Build Number: b, count 3, hex FF",
                                        "missing  arg", "char c ptr-null (nil) dbl 1.500000"}));
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
    EXPECT_THAT(e[0].structuredData, Not(HasSubstr("invalid")));
    EXPECT_THAT(e[1].structuredData, HasSubstr("invalid=\"true\""));
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
    EXPECT_THAT(out, HasSubstr("] loud\n"));
    EXPECT_THAT(out, Not(HasSubstr("OZY")));  // the console line has no syslog header
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

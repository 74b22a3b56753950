#include "runtime/daemon/AgentConfig.h"

#include <getopt.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "intake/Decoder.h"
#include "platform/LibraryLogLevels.h"
#include "platform/WorkflowUtil.h"
#include "platform/cairndb/CairnDbClientInterface.h"
#include "runtime/AgentLock.h"
#include "runtime/AgentSettings.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace pt = boost::property_tree;

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine cl;
    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, "sc:")) != -1) {
        if (c == 'c') {
            cl.configPath = optarg;
        } else {
            fprintf(stderr, "Usage: %s [-c configFile]\n", argv[0]);
            cl.ok = false;
            return cl;
        }
    }
    return cl;
}

bool LoadConfigFile(const std::string& path, pt::ptree& tree, const std::string& openPath) {
    CFG_DEBUG("Try loading config file: %1", path);
    try {
        pt::read_xml(openPath.empty() ? path : openPath, tree,
                     pt::xml_parser::no_comments | pt::xml_parser::trim_whitespace);
        return true;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        // The parser names the file it opened; the log names the logical path.
        std::string reason = e.what();
        if (const auto* pe = dynamic_cast<const pt::file_parser_error*>(&e)) {
            reason = path + (pe->line() != 0 ? "(" + std::to_string(pe->line()) + ")" : "") +
                     ": " + pe->message();
        }
        CFG_ERROR_CODE("LCP00003", "Failed loading config file: %1", reason);
        std::cout << "-----------------------------------\n* Error *: CfgAgent start failed.\n"
                     "  Configuration file "
                  << path << " is invalid!\n-----------------------------------\n";
        std::cout.flush();
        return false;
    }
}

namespace {

void readLevel(const pt::ptree& tree, const char* key, std::atomic<int>& level) {
    if (auto v = tree.get_optional<int>(key))
        level.store(*v);
}

}  // namespace

void ApplyAgentSettings(const pt::ptree& tree) {
    int agentLevel = tree.get_optional<int>("config.log.level").value_or(kLogInfo);
    bool console = tree.get_optional<bool>("config.log.outputToConsole").value_or(true);
    Logger::setConsole(console);
    readLevel(tree, "config.log.metrics", ozy::metrics::library_log_level);
    readLevel(tree, "config.log.net", ozy::net::library_log_level);
    readLevel(tree, "config.log.rpc", ozy::rpc::library_log_level);
    readLevel(tree, "config.log.cairndb", ozy::cairndb::library_log_level);
    readLevel(tree, "config.log.upm", ozy::upm::library_log_level);
    readLevel(tree, "config.log.conduit", g_conduitLogLevel);
    readLevel(tree, "config.log.dfw", g_dfwLogLevel);
    readLevel(tree, "config.log.ids", g_idsLogLevel);
    int traceLevel = tree.get_optional<int>("config.log.workflow_tracing.trace_level").value_or(2);
    ozy::wft::WorkflowUtil::SetTraceLevel(static_cast<uint8_t>(traceLevel));
    readLevel(tree, "config.log.workflow_tracing.log_level", ozy::wft::library_log_level);
    CFG_INFO("Workflow tracing set trace_level %1 log_level %2", traceLevel,
             ozy::wft::library_log_level.load());
    readLevel(tree, "config.log.sha", ozy::sha::library_log_level);
    // The realtime feature switch of the logical switch port decoder (off unless set).
    Decoder::SetRealtimeFeatureEnabled(
        tree.get_optional<bool>("config.cfgAgent.features.EozyDpVswitchRT").value_or(false));

    Logger::setLevel(agentLevel);
    openlog("cfgAgent", LOG_PID, LOG_DAEMON);
    setlogmask(0xff);
}

namespace {

constexpr const char* kIoThreadsKey = "config.cfgAgent.workGroup.ioThreads";
constexpr const char* kWorkThreadsKey = "config.cfgAgent.workGroup.workThreads";

// A whole number from the file (a count or a duration): absent (nullopt with `text` empty), or
// its text and, when it is a whole number, its value.
std::optional<long long> ReadCount(const pt::ptree& tree, const char* key, std::string* text) {
    boost::optional<std::string> v = tree.get_optional<std::string>(key);
    text->clear();
    if (!v)
        return std::nullopt;
    *text = *v;
    const char* begin = v->c_str();
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(begin, &end, 10);
    if (v->empty() || end == begin || *end != '\0' || errno == ERANGE)
        return std::nullopt;
    return n;
}

}  // namespace

bool ApplyThreadSettings(const pt::ptree& tree, unsigned loops) {
    const ThreadCounts defaults = DefaultThreadCounts();
    std::string ioText, workText;
    std::optional<long long> io = ReadCount(tree, kIoThreadsKey, &ioText);
    std::optional<long long> work = ReadCount(tree, kWorkThreadsKey, &workText);
    bool ok = true;
    if (!ioText.empty() && (!io || *io < 1 || *io > kMaxThreads)) {
        CFG_ERROR_CODE("LCP00001",
                       "Unusable thread setting: %1 is %2, it must be a number from 1 to %3",
                       kIoThreadsKey, ioText, kMaxThreads);
        ok = false;
    }
    if (!workText.empty() && (!work || *work < 1 || *work > kMaxThreads)) {
        CFG_ERROR_CODE("LCP00001",
                       "Unusable thread setting: %1 is %2, it must be a number from 1 to %3",
                       kWorkThreadsKey, workText, kMaxThreads);
        ok = false;
    }
    if (!ok)
        return false;
    long long workThreads = work ? *work : defaults.workThreads;
    long long ioThreads = io ? *io : defaults.ioThreads;
    if (!io && ioThreads + 1 + loops >= workThreads && workThreads > 2 + loops) {
        long long lowered = workThreads - 2 - loops;
        CFG_INFO("Work group: %1 io threads instead of one per hardware thread (%2), so that the "
                 "%3 work threads keep one free",
                 lowered, ioThreads, workThreads);
        ioThreads = lowered;
    }
    // Held for the life of the process: the io loops, the serial context, the long-running loops.
    if (ioThreads + 1 + loops >= workThreads) {
        CFG_ERROR_CODE("LCP00001",
                       "Unusable thread setting: %1 is %2, it must be at least %3 (%4 io threads, "
                       "the serial io context and %5 long-running loops hold one thread each, and "
                       "one is needed for the other work)",
                       kWorkThreadsKey, workThreads, ioThreads + 2 + loops, ioThreads, loops);
        return false;
    }
    SetThreadCounts(static_cast<unsigned>(ioThreads), static_cast<unsigned>(workThreads));
    return true;
}

std::chrono::milliseconds CairndbProbeInterval(const pt::ptree& tree) {
    static const char* const kKey = "config.cfgAgent.cairndb.probeInterval";
    if (!tree.get_optional<std::string>(kKey))
        return std::chrono::milliseconds(kDefaultCairndbProbeMs);
    std::string text;
    std::optional<long long> ms = ReadCount(tree, kKey, &text);
    if (!ms || *ms < kMinCairndbProbeMs || *ms > kMaxCairndbProbeMs) {
        CFG_ERROR_CODE("LCP00001",
                       "Unusable cairndb setting: %1 is %2, it must be a number of milliseconds "
                       "from %3 to %4; %5 is used",
                       kKey, text, kMinCairndbProbeMs, kMaxCairndbProbeMs, kDefaultCairndbProbeMs);
        return std::chrono::milliseconds(kDefaultCairndbProbeMs);
    }
    CFG_INFO("Cairndb probe interval %1 ms", *ms);
    return std::chrono::milliseconds(*ms);
}

void ApplyInstrumentationFlags(const pt::ptree& tree) {
    static const char* const keys[4] = {"config.cfgAgent.debug.instrument.config_cache",
                                        "config.cfgAgent.debug.instrument.l2_cache",
                                        "config.cfgAgent.debug.instrument.l3_cache",
                                        "config.cfgAgent.debug.instrument.cairndb_client"};
    for (int i = 0; i < 4; ++i) {
        AgentSettings::SetInstrument(static_cast<InstrumentFlag>(i),
                                     tree.get_optional<bool>(keys[i]).value_or(false));
    }
    CFG_INFO("Instrument configCache %1 l2Cache %2 l3Cache %3 cairndbClient %4",
             AgentSettings::Instrument(kInstrumentConfigCache),
             AgentSettings::Instrument(kInstrumentL2Cache),
             AgentSettings::Instrument(kInstrumentL3Cache),
             AgentSettings::Instrument(kInstrumentCairndbClient));
}

}  // namespace CfgAgent

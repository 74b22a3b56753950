#include "runtime/daemon/AgentConfig.h"

#include <getopt.h>
#include <syslog.h>

#include <cstdio>
#include <iostream>

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

bool LoadConfigFile(const std::string& path, pt::ptree& tree) {
    CFG_DEBUG("Try loading config file: %1", path);
    try {
        pt::read_xml(path, tree, pt::xml_parser::no_comments | pt::xml_parser::trim_whitespace);
        return true;
    } catch (const std::exception& e) {
        CFG_ERROR_CODE("LCP00003", "Failed loading config file: %1", e.what());
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
    ThreadCounts counts = GetThreadCounts();
    if (auto v = tree.get_optional<int>("config.cfgAgent.workGroup.ioThreads")) {
        counts.ioThreads = static_cast<unsigned>(*v);
    }
    if (auto v = tree.get_optional<int>("config.cfgAgent.workGroup.workThreads")) {
        counts.workThreads = static_cast<unsigned>(*v);
    }
    SetThreadCounts(counts.ioThreads, counts.workThreads);

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

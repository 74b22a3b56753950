#pragma once
// The configuration file: command line, XML loading and the agent-wide keys (thread counts, log
// levels, workflow tracing, instrumentation flags). Runs on the main thread during start-up.
#include <chrono>
#include <optional>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

namespace CfgAgent {

struct CommandLine {
    bool ok = true;
    std::string configPath;  // empty: the default path
};

// getopt with "sc:"; any option other than -c prints the usage line to standard error.
CommandLine ParseCommandLine(int argc, char** argv);

// Loads and parses the XML file (comments dropped, whitespace trimmed) into `tree`, reading it from
// `openPath` when given (the default path under the host root); log lines and the banner name
// `path`. On failure logs "Failed loading config file: %1" (LCP00003), prints the error banner and
// returns false. Running out of memory is not a bad file: std::bad_alloc propagates.
bool LoadConfigFile(const std::string& path, boost::property_tree::ptree& tree,
                    const std::string& openPath = std::string());

// Applies the agent-wide keys in start-up order: agent and library log levels, workflow tracing,
// the realtime feature switch ("config.cfgAgent.features.EozyDpVswitchRT"), the agent level on the
// logger, syslog. Missing keys keep their defaults.
void ApplyAgentSettings(const boost::property_tree::ptree& tree);

// The largest thread count either work-group key may give.
constexpr long long kMaxThreads = 4096;

// Reads, checks and stores the work-group thread counts ("config.cfgAgent.workGroup.ioThreads"
// and ".workThreads"). The io threads, the serial io context and every long-running loop (`loops`:
// the agent's own and those of the enabled applications) each hold a work-group thread for the
// life of the process, and at least one more must be left for the other work: a setting that does
// not allow it, or that is not a number from 1 to kMaxThreads, is logged ("Unusable thread
// setting: ...", LCP00001) and false is returned (start-up ends). Without the io key, the default
// (the hardware threads) is lowered to what the work threads leave room for, with an info line.
bool ApplyThreadSettings(const boost::property_tree::ptree& tree, unsigned loops);

// Reads the four instrumentation flags and logs them.
void ApplyInstrumentationFlags(const boost::property_tree::ptree& tree);

// The cairndb session's probe interval ("config.cfgAgent.cairndb.probeInterval", milliseconds):
// after this much silence the member is probed, after twice this it is left for the next one.
constexpr long long kDefaultCairndbProbeMs = 5000;
constexpr long long kMinCairndbProbeMs = 100;
constexpr long long kMaxCairndbProbeMs = 600000;
// The configured interval, or the default when the key is absent; a value that is not a number
// of milliseconds from kMinCairndbProbeMs to kMaxCairndbProbeMs is logged ("Unusable cairndb
// setting: ...", LCP00001) and the default is used.
std::chrono::milliseconds CairndbProbeInterval(const boost::property_tree::ptree& tree);

}  // namespace CfgAgent

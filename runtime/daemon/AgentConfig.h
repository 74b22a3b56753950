#pragma once
// The configuration file: command line, XML loading and the agent-wide keys (thread counts, log
// levels, workflow tracing, instrumentation flags). Runs on the main thread during start-up.
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

// Loads and parses the XML file (comments dropped, whitespace trimmed) into `tree`. On failure
// logs "Failed loading config file: %1" (LCP00003), prints the error banner and returns false.
bool LoadConfigFile(const std::string& path, boost::property_tree::ptree& tree);

// Applies the agent-wide keys in start-up order: thread counts, agent and library log levels,
// workflow tracing, the realtime feature switch ("config.cfgAgent.features.EozyDpVswitchRT"), the
// agent level on the logger, syslog. Missing keys keep their defaults.
void ApplyAgentSettings(const boost::property_tree::ptree& tree);

// Reads the four instrumentation flags and logs them.
void ApplyInstrumentationFlags(const boost::property_tree::ptree& tree);

}  // namespace CfgAgent

#pragma once
// Process-wide settings written once by start-up and read everywhere: the configuration file path
// and tree, the instrumentation flags and the node persona.
#include <atomic>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

namespace CfgAgent {

enum InstrumentFlag : int {
    kInstrumentConfigCache = 0,
    kInstrumentL2Cache = 1,
    kInstrumentL3Cache = 2,
    kInstrumentCairndbClient = 3,
};

enum NodePersona : int {
    kPersonaSmartnicHost = 1,
    kPersonaSmartnic = 2,
    kPersonaOther = 3,
};

class AgentSettings {
  public:
    static constexpr const char* kDefaultConfigPath = "/etc/orvane/ozy/ozy-cfgagent.xml";

    static const std::string& ConfigPath();
    static void SetConfigPath(const std::string& path);

    // The parsed configuration file, kept for the life of the process.
    static boost::property_tree::ptree& ConfigTree();

    static bool Instrument(InstrumentFlag flag);
    static void SetInstrument(InstrumentFlag flag, bool on);

    static int Persona();
    static void SetPersona(int persona);
};

}  // namespace CfgAgent

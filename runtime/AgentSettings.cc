#include "runtime/AgentSettings.h"

#include <mutex>

#include <boost/property_tree/ptree.hpp>

namespace CfgAgent {

namespace {
std::mutex g_pathMutex;
std::string& path() {
    static std::string* p =
        new std::string(std::string("/etc/orvane/ozy/") + "ozy-cfgagent" + ".xml");
    return *p;
}
std::atomic<bool> g_instrument[4];
std::atomic<int> g_persona{kPersonaOther};
}  // namespace

const std::string& AgentSettings::ConfigPath() {
    std::lock_guard<std::mutex> lock(g_pathMutex);
    return path();
}

void AgentSettings::SetConfigPath(const std::string& p) {
    std::lock_guard<std::mutex> lock(g_pathMutex);
    path() = p;
}

boost::property_tree::ptree& AgentSettings::ConfigTree() {
    static boost::property_tree::ptree* tree = new boost::property_tree::ptree();
    return *tree;
}

bool AgentSettings::Instrument(InstrumentFlag flag) {
    return flag >= 0 && flag < 4 && g_instrument[flag].load(std::memory_order_relaxed);
}

void AgentSettings::SetInstrument(InstrumentFlag flag, bool on) {
    if (flag >= 0 && flag < 4)
        g_instrument[flag].store(on, std::memory_order_relaxed);
}

int AgentSettings::Persona() {
    return g_persona.load(std::memory_order_relaxed);
}
void AgentSettings::SetPersona(int persona) {
    g_persona.store(persona, std::memory_order_relaxed);
}

}  // namespace CfgAgent

#include "platform/tarp/TarpLog.h"

#include <strings.h>

#include <algorithm>
#include <atomic>

#include "platform/tarp/TarpFw.h"
#include "runtime/Logger.h"

namespace TarpFirewall::detail {

namespace {

std::atomic<FW_LogCallback> g_callback{nullptr};
std::atomic<int> g_maxLevel{CfgAgent::kLogInfo};
std::atomic<int> g_verbose[FW_COMPONENT_COUNT];

constexpr const char* kComponents[FW_COMPONENT_COUNT] = {"all",     "config", "device",
                                                         "segment", "query",  "settings"};
constexpr const char* kLevels[FW_VERBOSE_MAX + 1] = {"off", "debug", "verbose", "noise", "trace"};

}  // namespace

void Log(int level, const std::string& text) {
    FW_LogCallback cb = g_callback.load(std::memory_order_acquire);
    if (cb != nullptr && level <= g_maxLevel.load(std::memory_order_relaxed))
        cb(level, text.c_str());
}

bool VerboseOn(int component, int verbosity) {
    return component > 0 && component < FW_COMPONENT_COUNT &&
           verbosity <= g_verbose[component].load(std::memory_order_relaxed);
}

void Verbose(int component, int verbosity, const std::string& text) {
    if (VerboseOn(component, verbosity))
        Log(CfgAgent::kLogInfo, std::string(kComponents[component]) + ": " + text);
}

}  // namespace TarpFirewall::detail

using namespace TarpFirewall::detail;

void FW_AgentLogger(int level, const char* text) {
    CFG_LOG_AT(CfgAgent::g_dfwLogLevel, level, {}, "tarpfw: %1", text);
}

int FW_RegisterLogger(FW_LogCallback callback, int maxLevel) {
    g_maxLevel.store(maxLevel, std::memory_order_relaxed);
    g_callback.store(callback, std::memory_order_release);
    return 0;
}

int FW_GetLibVerboseLevel(int component, int* level) {
    if (component < 0 || component >= FW_COMPONENT_COUNT || level == nullptr)
        return 22;
    if (component != FW_COMPONENT_ALL) {
        *level = g_verbose[component].load();
        return 0;
    }
    int max = 0;
    for (int c = 1; c < FW_COMPONENT_COUNT; ++c)
        max = std::max(max, g_verbose[c].load());
    *level = max;
    return 0;
}

int FW_SetLibVerboseLevel(int component, int level) {
    if (component < 0 || component >= FW_COMPONENT_COUNT || level < 0 || level > FW_VERBOSE_MAX)
        return 22;
    for (int c = 1; c < FW_COMPONENT_COUNT; ++c) {
        if (component == FW_COMPONENT_ALL || component == c)
            g_verbose[c].store(level);
    }
    return 0;
}

const char* FW_ComponentToString(int component) {
    return component >= 0 && component < FW_COMPONENT_COUNT ? kComponents[component] : nullptr;
}

int FW_StringToComponent(const char* name) {
    for (int c = 0; name != nullptr && c < FW_COMPONENT_COUNT; ++c) {
        if (strcasecmp(name, kComponents[c]) == 0)
            return c;
    }
    return -1;
}

const char* FW_VerboseLevelToString(int level) {
    return level >= 0 && level <= FW_VERBOSE_MAX ? kLevels[level] : nullptr;
}

int FW_StringToVerboseLevel(const char* name) {
    for (int l = 0; name != nullptr && l <= FW_VERBOSE_MAX; ++l) {
        if (strcasecmp(name, kLevels[l]) == 0)
            return l;
    }
    return -1;
}

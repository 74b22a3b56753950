#include "platform/WorkflowUtil.h"

#include <chrono>
#include <mutex>

#include "platform/LibraryLogLevels.h"
#include "runtime/Logger.h"

namespace ozy::wft {

namespace {

std::atomic<int> g_traceLevel{2};

enum Counter {
    kRootTotal,
    kRootStartErr,
    kRootSampleOut,
    kRootLowLevel,
    kChildTotal,
    kChildStartErr,
    kChildNoParent,
    kChildInvalidCtx,
    kChildSampleOut,
    kChildBatch,
    kChildLowLevel,
    kCounterCount
};

const char* const kCounterNames[kCounterCount] = {
    "RootSpan_Total_Req",          "RootSpan_Start_Span_Err",
    "RootSpan_Sample_Out_Span",    "RootSpan_Low_Trace_Lvl_Span",
    "ChildSpan_Total_Req",         "ChildSpan_Start_Span_Err",
    "ChildSpan_No_Parent_Err",     "ChildSpan_Invalid_Trace_Ctx_Err",
    "ChildSpan_Sample_Out_Span",   "ChildSpan_Batch_Span",
    "ChildSpan_Low_Trace_Lvl_Span"};

std::atomic<int64_t> g_counters[kCounterCount];

std::mutex g_serviceMutex;
std::string& serviceName() {
    static std::string* s = new std::string("ozy-cfgagent");
    return *s;
}

int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char* const kLevelNames[] = {"off", "warn", "info", "debug", "trace"};

}  // namespace

void WorkflowUtil::Init(void* /*client*/, const std::string& service) {
    std::lock_guard<std::mutex> lock(g_serviceMutex);
    serviceName() = service;
}

const std::string& WorkflowUtil::ServiceName() {
    std::lock_guard<std::mutex> lock(g_serviceMutex);
    return serviceName();
}

void WorkflowUtil::SetTraceLevel(uint8_t level) {
    g_traceLevel.store(level);
}
uint8_t WorkflowUtil::GetTraceLevel() {
    return static_cast<uint8_t>(g_traceLevel.load());
}

const char* WorkflowUtil::TraceLevelName(int level) {
    return level >= 0 && level <= 4 ? kLevelNames[level] : nullptr;
}

int WorkflowUtil::TraceLevelFromName(const std::string& name) {
    for (int i = 0; i <= 4; ++i) {
        if (name == kLevelNames[i])
            return i;
    }
    return -1;
}

std::vector<std::pair<std::string, int64_t>> WorkflowUtil::Stats() {
    std::vector<std::pair<std::string, int64_t>> out;
    for (int i = 0; i < kCounterCount; ++i)
        out.emplace_back(kCounterNames[i], g_counters[i].load());
    return out;
}

Span::Span(const char* name) : name_(name) {
    Begin(true, 0, false);
}

Span::Span(const char* name, const std::vector<std::string>& parentContexts, bool expectParent)
    : name_(name) {
    size_t parents = 0;
    for (const auto& p : parentContexts) {
        if (!p.empty())
            ++parents;
    }
    Begin(false, parents, expectParent);
}

void Span::Begin(bool root, size_t parents, bool expectParent) {
    g_counters[root ? kRootTotal : kChildTotal].fetch_add(1, std::memory_order_relaxed);
    if (g_traceLevel.load(std::memory_order_relaxed) < 2) {
        g_counters[root ? kRootLowLevel : kChildLowLevel].fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (!root && parents == 0 && expectParent) {
        g_counters[kChildNoParent].fetch_add(1, std::memory_order_relaxed);
    }
    if (!root && parents > 1) {
        g_counters[kChildBatch].fetch_add(1, std::memory_order_relaxed);
    }
    recording_ = true;
    startMicros_ = nowMicros();
    CFG_LOG_AT(library_log_level, CfgAgent::kLogDebug, {},
               "wft: span %1 start (%2 parent contexts)", name_, parents);
}

void Span::SetTag(const char* key, const std::string& value) {
    if (recording_)
        tags_.emplace_back(key, value);
}

Span::~Span() {
    if (!recording_)
        return;
    std::string tags;
    for (const auto& [k, v] : tags_) {
        tags += ' ';
        tags += k;
        tags += '=';
        tags += v;
    }
    CFG_LOG_AT(library_log_level, CfgAgent::kLogDebug, {}, "wft: span %1 end after %2 us%3", name_,
               nowMicros() - startMicros_, tags);
}

}  // namespace ozy::wft

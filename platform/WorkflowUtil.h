#pragma once
// Workflow tracing: span contexts travel with configuration changes; each pipeline stage opens a
// span named "Class.Operation" linked to the contexts it received. Spans are logged at debug level
// (library level ozy::wft::library_log_level) and counted; the counters are shown by the CLI.
//
// Trace levels: 0 off, 1 warn, 2 info (default), 3 debug, 4 trace. Spans are recorded from level
// 2 up; below it they only count as low-trace-level spans. A disabled span costs one comparison.
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ozy::wft {

class WorkflowUtil {
  public:
    // Binds tracing to the database client (spans are reported under `service`).
    static void Init(void* client, const std::string& service);
    static void SetTraceLevel(uint8_t level);
    static uint8_t GetTraceLevel();
    // Name of a trace level ("off", "warn", "info", "debug", "trace"); nullptr when invalid.
    static const char* TraceLevelName(int level);
    static int TraceLevelFromName(const std::string& name);
    // Counter name and value, in a fixed order.
    static std::vector<std::pair<std::string, int64_t>> Stats();
    static const std::string& ServiceName();
};

// A span for the lifetime of the object. With no parent contexts it is a root span; with parents
// (serialized span contexts, empty ones ignored) a child span linked to all of them.
class Span {
  public:
    explicit Span(const char* name);
    Span(const char* name, const std::vector<std::string>& parentContexts,
         bool expectParent = true);
    ~Span();
    Span(const Span&) = delete;
    Span& operator=(const Span&) = delete;

    void SetTag(const char* key, const std::string& value);
    bool recording() const { return recording_; }

  private:
    void Begin(bool root, size_t parents, bool expectParent);

    const char* name_;
    bool recording_ = false;
    int64_t startMicros_ = 0;
    std::vector<std::pair<const char*, std::string>> tags_;
};

}  // namespace ozy::wft

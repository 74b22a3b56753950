#pragma once
// The agent's logger.
//
// Every component logs through CfgAgent::Logger, usually via the CFG_* macros below. A statement
// names a level, a format with positional placeholders ("%1", "%2", ...), its arguments and
// optional tags ("errorCode:LCP00027"). A produced record goes to the system log and, when the
// console flag is set, to standard output; tests add capture sinks. A statement above the current
// level costs one relaxed load and one comparison: its arguments are not even evaluated.
//
// Thread-safety: statements may be issued from any thread; emit() serialises output. The level
// variables are relaxed atomics written by start-up and the CLI.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ozy::metrics {
class Registry;
}

namespace CfgAgent {

enum LogLevel : int {
    kLogOff = 0,
    kLogFatal = 1,
    kLogError = 2,
    kLogWarn = 3,
    kLogInfo = 4,
    kLogDebug = 5,
    kLogTrace = 6,
};

// The agent level (default info).
extern std::atomic<int> g_agentLogLevel;
// Areas with their own level: container-interface bus, distributed firewall, intrusion detection.
extern std::atomic<int> g_conduitLogLevel;
extern std::atomic<int> g_dfwLogLevel;
extern std::atomic<int> g_idsLogLevel;

// "fatal", "error", "warn", "info", "debug", "trace"; "off" for 0; nullptr for anything else.
const char* LogLevelName(int level);
// Inverse of LogLevelName (accepts "off" too); -1 for an unknown name.
int LogLevelFromName(std::string_view name);

// One produced record, as handed to sinks.
struct LogEntry {
    int level = 0;
    std::string message;            // formatted message text
    std::vector<std::string> tags;  // as given ("errorCode:LCP00003")
    std::string structuredData;     // "[ozy@32473 comp=... ]"
    std::string line;               // console line: timestamp, structured data, message
};

// Converts one log argument to text: integers in decimal, booleans as "true"/"false", pointers in
// hexadecimal, floating values with six decimals, characters as themselves.
std::string LogPointerText(const void* p);
std::string LogDoubleText(double v);

template <typename T>
std::string ToLogText(const T& v) {
    using U = std::decay_t<T>;
    if constexpr (std::is_same_v<U, bool>) {
        return v ? "true" : "false";
    } else if constexpr (std::is_same_v<U, char>) {
        return std::string(1, v);
    } else if constexpr (std::is_enum_v<U>) {
        return std::to_string(static_cast<long long>(v));
    } else if constexpr (std::is_integral_v<U>) {
        return std::to_string(v);
    } else if constexpr (std::is_floating_point_v<U>) {
        return LogDoubleText(static_cast<double>(v));
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string(std::string_view(v));
    } else if constexpr (std::is_pointer_v<U>) {
        return LogPointerText(static_cast<const void*>(v));
    } else {
        static_assert(std::is_same_v<U, void>, "no log text conversion for this type");
        return {};
    }
}

// A log record. Built on the caller's stack, emitted once.
class Logger {
  public:
    Logger(int level, std::string_view format);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    template <typename T>
    Logger& arg(const T& v) {
        args_.push_back(ToLogText(v));
        return *this;
    }
    // Appends a tag unless empty; a tag without ':' is written with the key "tag".
    Logger& addTag(std::string_view tag);
    Logger& s2comp(std::string_view name);
    Logger& entId(std::string_view id);
    // Organisation, project and VPC; empty trailing parts are left out.
    Logger& tenant(std::string_view org, std::string_view proj = {}, std::string_view vpc = {});
    Logger& markInvalid();

    // Formats the record, writes it to every sink and clears it.
    void emit();

    // The formatted message of this record (placeholders replaced).
    std::string formattedMessage() const;

    // --- process-wide settings ---
    static bool enabled(int level) {
        return level <= g_agentLogLevel.load(std::memory_order_relaxed);
    }
    // Sets the agent level and copies it into ozy::Logger::logLevel.
    static void setLevel(int level);
    static int level() { return g_agentLogLevel.load(std::memory_order_relaxed); }
    static void setConsole(bool on);
    static bool console();
    // Syslog output on or off (on by default).
    static void setSyslog(bool on);
    // The program named in every record's structured data (subcomp; "cfgAgent" unless set). Set
    // once at start-up, before any thread logs, by programs other than the agent.
    static void setSubcomponent(const char* name);

    // Sinks receive every produced record (tests, the CLI). Returns an id for removeSink.
    using Sink = std::function<void(const LogEntry&)>;
    static int addSink(Sink sink);
    static void removeSink(int id);
    // Replaces the syslog(3) call (priority, text); used by tests to observe syslog output.
    using SyslogHook = std::function<void(int priority, const std::string& text)>;
    static void setSyslogHook(SyslogHook hook);
    // Sends a text to the system log (or the hook) at a raw priority.
    static void syslogRaw(int priority, const std::string& text);
    // Counting of produced records and of the time spent on them.
    static void attachMetrics(ozy::metrics::Registry* registry);
    // Loads the message-id and structured-data reference lists again (tests).
    static void reloadReferenceLists();

  private:
    int level_;
    std::string_view format_;
    std::vector<std::string> args_;
    std::string s2comp_;
    std::string entId_;
    std::string org_, proj_, vpc_;
    std::vector<std::string> tags_;
    bool invalid_ = false;
};

// The tenant (organisation, project, VPC) of the work the calling thread does right now: while
// one lives, records issued on this thread that name no tenant of their own carry it. Scopes nest;
// the destructor restores the enclosing one.
class ScopedLogTenant {
  public:
    ScopedLogTenant(std::string_view org, std::string_view proj, std::string_view vpc);
    ~ScopedLogTenant();
    ScopedLogTenant(const ScopedLogTenant&) = delete;
    ScopedLogTenant& operator=(const ScopedLogTenant&) = delete;

  private:
    std::string saved_[3];
};

namespace detail {
template <typename... Args>
void LogStatement(int level, std::initializer_list<std::string_view> tags, std::string_view format,
                  const Args&... args) {
    Logger rec(level, format);
    (rec.arg(args), ...);
    for (std::string_view t : tags) {
        rec.addTag(t);
    }
    rec.emit();
}
}  // namespace detail

// The reaction to running out of memory anywhere: gives back the memory set aside by
// ReserveMemoryForAllocFailure, logs `errorLine` (when given) at error, sends the agent-wide
// out-of-memory text "CFGAGENT_ALLOC_FAIL : CfgAgent error: no memory!" to the system log at
// LOG_ERR (and to the console when it is on), flushes all output and exits with status 1. Nothing
// on this path allocates: the lines are built on the stack and written with write(2).
[[noreturn]] void ExitOnAllocFailure(const char* errorLine = nullptr);
// Sets `bytes` aside for ExitOnAllocFailure (start-up calls it once).
void ReserveMemoryForAllocFailure(size_t bytes);

}  // namespace CfgAgent

// Generic forms: CFG_LOG_AT compares against a given level variable (per-area levels).
#define CFG_LOG_AT(levelVar, lvl, tags, ...)                            \
    do {                                                                \
        if ((lvl) <= (levelVar).load(std::memory_order_relaxed)) {      \
            ::CfgAgent::detail::LogStatement((lvl), tags, __VA_ARGS__); \
        }                                                               \
    } while (0)
#define CFG_LOG(lvl, ...) CFG_LOG_AT(::CfgAgent::g_agentLogLevel, lvl, {}, __VA_ARGS__)
#define CFG_LOG_TAGS(lvl, tags, ...) CFG_LOG_AT(::CfgAgent::g_agentLogLevel, lvl, tags, __VA_ARGS__)

#define CFG_FATAL(...) CFG_LOG(::CfgAgent::kLogFatal, __VA_ARGS__)
#define CFG_ERROR(...) CFG_LOG(::CfgAgent::kLogError, __VA_ARGS__)
#define CFG_WARN(...) CFG_LOG(::CfgAgent::kLogWarn, __VA_ARGS__)
#define CFG_INFO(...) CFG_LOG(::CfgAgent::kLogInfo, __VA_ARGS__)
#define CFG_DEBUG(...) CFG_LOG(::CfgAgent::kLogDebug, __VA_ARGS__)
#define CFG_TRACE(...) CFG_LOG(::CfgAgent::kLogTrace, __VA_ARGS__)
// With an error code: CFG_ERROR_CODE("LCP00121", "Could not open %1 socket", name).
#define CFG_ERROR_CODE(code, ...) \
    CFG_LOG_TAGS(::CfgAgent::kLogError, {"errorCode:" code}, __VA_ARGS__)
#define CFG_WARN_CODE(code, ...) \
    CFG_LOG_TAGS(::CfgAgent::kLogWarn, {"errorCode:" code}, __VA_ARGS__)
#define CFG_INFO_CODE(code, ...) \
    CFG_LOG_TAGS(::CfgAgent::kLogInfo, {"errorCode:" code}, __VA_ARGS__)

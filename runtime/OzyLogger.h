#pragma once
// The logger as exported to the libraries linked into the agent (database client, RPC, metrics,
// tracing). They format printf-style and compare against ozy::Logger::logLevel, which the agent's
// setLevel keeps equal to the agent level; records go through the same sinks as the agent's own.
#include <atomic>
#include <string>
#include <vector>

namespace ozy {

class Logger {
  public:
    explicit Logger(int level);
    ~Logger();  // emits the record
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Formats the message printf-style into the record.
    Logger& put(const char* format, ...) __attribute__((format(printf, 2, 3)));
    Logger& tag(const char* text);     // ignored when null or empty
    Logger& entid(const char* text);   // ignored when null or empty
    Logger& s2comp(const char* text);  // the pointer is kept, not copied

    static std::atomic<int> logLevel;

  private:
    int level_;
    std::string message_;
    std::vector<std::string> tags_;
    std::string entId_;
    const char* s2comp_ = nullptr;
};

}  // namespace ozy

// Library-style statement: OZY_LIB_LOG(ozy::cairndb::library_log_level, 4).put("x %d", 1);
#define OZY_LIB_LOG(levelVar, lvl)                            \
    if ((lvl) > (levelVar).load(std::memory_order_relaxed)) { \
    } else                                                    \
        ::ozy::Logger(lvl)

#pragma once
// Captures the records the logger produces while it lives, and raises the agent level for the
// test (restored on destruction).
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/Logger.h"

namespace CfgAgent::test {

class LogCapture {
  public:
    explicit LogCapture(int level = kLogTrace, bool quietConsole = true);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogEntry> Entries() const;
    // Messages containing `text`.
    size_t Count(const std::string& text) const;
    bool Contains(const std::string& text) const { return Count(text) > 0; }
    // A record whose message contains `text` and that carries the tag "errorCode:<code>".
    bool ContainsWithCode(const std::string& text, const std::string& code) const;
    // Index of the first message containing `text` at or after `from`; -1 when absent.
    int IndexOf(const std::string& text, size_t from = 0) const;
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    void Clear();
    std::string Dump() const;

  private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
    int sinkId_;
    int savedLevel_;
    bool savedConsole_;
};

}  // namespace CfgAgent::test

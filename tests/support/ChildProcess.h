#pragma once
// A child program for integration tests: started with fork/exec (no shell), its standard output
// and error appended to one log file, waited for by condition (a line in its output, its exit).
// The destructor kills what is still running.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace CfgAgent::test {

class ChildProcess {
  public:
    // `env` entries are added to (or replace) the test's own environment. Standard error goes to
    // `errFile` when one is given.
    ChildProcess(std::string program, std::vector<std::string> args, std::string logFile,
                 std::map<std::string, std::string> env = {}, const std::string& errFile = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& logFile() const { return logFile_; }
    std::string Output() const;
    bool OutputContains(const std::string& text) const;
    // Waits until the output holds `text` (from byte `from` on); false on timeout or exit.
    bool WaitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30),
                       size_t from = 0);
    void Signal(int sig);
    // The exit status (0-255) or 128+signal; nothing on timeout.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool Running();

  private:
    std::string program_;
    std::string logFile_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a program to completion and returns (exit status, combined output); standard error is
// kept apart in `error` when `separateStderr`.
struct RunResult {
    int status;
    std::string output;
    std::string error;
};
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(60),
                     bool separateStderr = false);

}  // namespace CfgAgent::test

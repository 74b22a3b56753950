#pragma once
// Running a host program (a host script, a system tool) and reading what it prints.
//
// The program is named by its absolute logical path and resolved under the host root
// (platform/HostRoot.h); it is started with fork/exec and no shell, so arguments reach it exactly
// as given, whatever characters they hold. Its standard output and standard error are captured
// together, up to a bound (the rest is read and dropped, so the program never blocks on a full
// pipe). With a time limit, a program still running at the limit is killed with its process
// group (SIGKILL) and reaped: no zombie is left behind.
//
// RunHostCommand blocks the calling thread until the program has ended (or was killed): call it
// from a work item or a loop of its own, never from an io thread or under the global agent lock.
// Safe to call from several threads at once.
#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace ozy::host {

struct HostCommandOptions {
    // Zero: no limit.
    std::chrono::milliseconds timeout{0};
    // Bytes of output kept; more is read and dropped.
    size_t maxOutput = 64 * 1024;
};

struct HostCommandResult {
    enum class Outcome {
        kExited,         // exitStatus holds the status
        kSignaled,       // ended by signal `signal`
        kTimedOut,       // killed at the time limit
        kFailedToStart,  // not found, not executable, or no resources; `error` says why
    };
    Outcome outcome = Outcome::kFailedToStart;
    int exitStatus = -1;
    int signal = 0;
    std::string output;
    bool truncated = false;  // output beyond maxOutput was dropped
    std::string error;
    pid_t pid = -1;  // the child's process id (reaped), -1 when none was started

    bool ok() const { return outcome == Outcome::kExited && exitStatus == 0; }
};

// Runs `program` (absolute logical path) with `args` (argv[1]...; argv[0] is the program).
HostCommandResult RunHostCommand(const std::string& program, const std::vector<std::string>& args,
                                 const HostCommandOptions& options = {});

// "exited with status 3", "killed by signal 9", "timed out after 500 ms", "failed to start: ..."
std::string DescribeOutcome(const HostCommandResult& result, const HostCommandOptions& options);

}  // namespace ozy::host

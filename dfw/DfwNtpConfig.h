#pragma once
// Whether the host's time service works, which time-based sections need (DfwMain holds them back
// until it does, unless "default.skip_ntp_check" is set).
//
// Its own work item runs the host script "/bin/check_ntp_cfg.sh" (resolved under the host root,
// no shell) once at start and then every `interval`, each run limited to `timeout`: a script still
// running at the limit is killed with its process group and reaped by the command runner. The
// script prints a decimal number: 0 the service works, any other number it does not. Output that
// is not one unsigned decimal number of at most 10 digits (surrounding white space allowed) --
// empty, signed, too long, binary -- is invalid (LCP01163) and counts as not working; so does a
// script that cannot run or does not exit with status 0.
//
// Turning good calls `onUp` (DfwMain::SetNtpUp(true), which wakes the process loop). Turning bad is
// logged and withdraws nothing: time-based sections already applied stay applied.
//
// Threads: Run is the loop of the work item; it waits on a condition variable until the next check
// is due on AgentClock (tests move that clock), so Stop returns at once unless a check is running
// (which ends at its time limit at the latest). `onUp` is called on the loop, never after Stop.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/HostCommand.h"
#include "runtime/AgentClock.h"
#include "runtime/RefCounted.h"

namespace CfgAgent {

class DfwNtpConfig : public ozy::RefCounted<DfwNtpConfig, ozy::IRefCountable> {
  public:
    static constexpr const char* kScript = "/bin/check_ntp_cfg.sh";
    static constexpr std::chrono::seconds kScriptTimeout{30};

    enum class State { kUnknown, kGood, kNotWorking, kInvalid, kFailed };
    using Runner = std::function<ozy::host::HostCommandResult(
        const std::string& program, const std::vector<std::string>& args,
        const ozy::host::HostCommandOptions& options)>;

    struct Options {
        std::chrono::milliseconds interval = std::chrono::minutes(5);
        std::chrono::milliseconds timeout = kScriptTimeout;
        std::function<void()> onUp;
        Runner run;  // empty: ozy::host::RunHostCommand
    };
    struct Status {
        State state = State::kUnknown;
        uint64_t checks = 0;
        std::string detail;  // why the last check was not good
        // When the loop runs the next check (AgentClock); unset while none is scheduled.
        AgentClock::time_point nextCheck{};
    };

    explicit DfwNtpConfig(Options options);
    ~DfwNtpConfig() override;

    // Posts the loop; false when the work group refused it (logged).
    bool Start();
    void Stop();
    // The loop: a check at once, then one per interval until Stop.
    void Run();
    // One check on the calling thread; the state it found.
    State CheckOnce();

    Status status() const;
    // "dfw/ntp": {"state", "checks", "detail", "interval_s"} as JSON text.
    std::string ToJson() const;

    // The script's output as a verdict: kGood (0), kNotWorking (another number) or kInvalid with
    // `why` saying what is wrong.
    static State ParseOutput(const std::string& output, std::string* why);
    static const char* StateName(State state);

  private:
    Options options_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool running_ = false;
    bool stopping_ = false;
    Status status_;
};

}  // namespace CfgAgent

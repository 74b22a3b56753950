#include "dfw/DfwNtpConfig.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "dfw/DfwLog.h"
#include "runtime/WorkGroup.h"
#include "runtime/WorkItem.h"

namespace CfgAgent {

namespace {

constexpr size_t kMaxDigits = 10;  // what fits 32 bits
constexpr size_t kShownOutput = 64;

bool Space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The output as a log can show it: printable ASCII, the rest as \xNN, bounded.
std::string Shown(const std::string& out) {
    std::string s;
    for (size_t i = 0; i < out.size() && i < kShownOutput; ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            s += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            s += buf;
        }
    }
    if (out.size() > kShownOutput)
        s += "...";
    return s;
}

}  // namespace

DfwNtpConfig::DfwNtpConfig(Options options) : options_(std::move(options)) {
    if (!options_.run)
        options_.run = ozy::host::RunHostCommand;
}

DfwNtpConfig::~DfwNtpConfig() = default;

const char* DfwNtpConfig::StateName(State state) {
    switch (state) {
        case State::kGood:
            return "good";
        case State::kNotWorking:
            return "not working";
        case State::kInvalid:
            return "invalid output";
        case State::kFailed:
            return "failed to run";
        case State::kUnknown:
            break;
    }
    return "unknown";
}

DfwNtpConfig::State DfwNtpConfig::ParseOutput(const std::string& output, std::string* why) {
    size_t begin = 0, end = output.size();
    while (begin < end && Space(output[begin]))
        ++begin;
    while (end > begin && Space(output[end - 1]))
        --end;
    if (begin == end) {
        *why = "empty output";
        return State::kInvalid;
    }
    uint64_t value = 0;
    for (size_t i = begin; i < end; ++i) {
        const char c = output[i];
        if (c < '0' || c > '9') {
            *why = "not an unsigned decimal number";
            return State::kInvalid;
        }
        if (i - begin >= kMaxDigits) {
            *why = "more than 10 digits";
            return State::kInvalid;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX) {
        *why = "out of range";
        return State::kInvalid;
    }
    why->clear();
    return value == 0 ? State::kGood : State::kNotWorking;
}

DfwNtpConfig::State DfwNtpConfig::CheckOnce() {
    ozy::host::HostCommandOptions how;
    how.timeout = options_.timeout;
    how.maxOutput = 4096;
    const ozy::host::HostCommandResult r = options_.run(kScript, {}, how);
    std::string detail;
    State state;
    if (r.outcome != ozy::host::HostCommandResult::Outcome::kExited || r.exitStatus != 0) {
        detail = ozy::host::DescribeOutcome(r, how);
        DFW_ERROR("dfw: failed to run the ntp config command (%1: %2)", kScript, detail);
        state = State::kFailed;
    } else {
        state = ParseOutput(r.output, &detail);
        if (state == State::kInvalid) {
            DFW_ERROR_CODE("LCP01163", "dfw: Invalid ntp config command output %1 err:%2",
                           Shown(r.output), detail);
        } else if (state == State::kNotWorking) {
            detail = "the script printed " + Shown(r.output);
            DFW_WARN("dfw: ntp is not cofigured/working");
        }
    }
    std::function<void()> onUp;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool wasGood = status_.state == State::kGood;
        ++status_.checks;
        status_.state = state;
        status_.detail = detail;
        if (state == State::kGood && !wasGood && !stopping_)
            onUp = options_.onUp;
        if (state != State::kGood && wasGood)
            DFW_WARN(
                "dfw: ntp turned %1; time-based configuration already applied is kept until it "
                "is good again",
                StateName(state));
    }
    if (onUp) {
        DFW_INFO("dfw: ntp is up");
        onUp();
    }
    return state;
}

bool DfwNtpConfig::Start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
        stopping_ = false;
    }
    if (!WorkGroups::Post(MakeWorkItem(&DfwNtpConfig::Run, this, "DfwNtpConfig"))) {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        DFW_ERROR_CODE("LCP00002", "dfw: Failed to start DFW app: %1, %2", "ntp check",
                       "not posted");
        return false;
    }
    return true;
}

void DfwNtpConfig::Stop() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    // The callback may hold the process loop, which holds this: letting it go ends the cycle.
    options_.onUp = nullptr;
    wake_.notify_all();
    // A check in progress ends at its own time limit; the loop is not waited for beyond a moment.
    wake_.wait_for(lock, std::chrono::seconds(1), [this] { return !running_; });
}

void DfwNtpConfig::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    running_ = true;
    while (!stopping_) {
        lock.unlock();
        CheckOnce();
        lock.lock();
        const AgentClock::time_point due = AgentClock::now() + options_.interval;
        status_.nextCheck = due;
        while (!stopping_ && AgentClock::now() < due)
            wake_.wait_for(lock, AgentWaitTraits::to_wait_duration(due));
    }
    DFW_INFO("dfw: Exiting from Ntp query loop");
    status_.nextCheck = {};
    running_ = false;
    wake_.notify_all();
}

DfwNtpConfig::Status DfwNtpConfig::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::string DfwNtpConfig::ToJson() const {
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    Status s = status();
    nlohmann::json j = {{"state", StateName(s.state)},
                        {"checks", s.checks},
                        {"detail", s.detail},
                        {"interval_s", duration_cast<seconds>(options_.interval).count()}};
    if (s.nextCheck != AgentClock::time_point{})
        j["next_check_in_s"] = duration_cast<seconds>(s.nextCheck - AgentClock::now()).count();
    return j.dump();
}

}  // namespace CfgAgent

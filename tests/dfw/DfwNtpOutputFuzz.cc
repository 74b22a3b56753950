// Fuzz target of the NTP check script's output (whatever the host script prints). Invariants: a
// verdict other than invalid only for one run of at most 10 digits between white space, good
// exactly when its value is 0, and an invalid verdict always says why.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dfw/DfwNtpConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using State = CfgAgent::DfwNtpConfig::State;
    const std::string out(reinterpret_cast<const char*>(data), size);
    std::string why;
    const State s = CfgAgent::DfwNtpConfig::ParseOutput(out, &why);
    const size_t first = out.find_first_not_of(" \t\r\n");
    const size_t last = out.find_last_not_of(" \t\r\n");
    const std::string core = first == std::string::npos ? "" : out.substr(first, last - first + 1);
    const bool digits = !core.empty() && core.size() <= 10 &&
                        core.find_first_not_of("0123456789") == std::string::npos;
    if (s == State::kInvalid) {
        if (why.empty() || (digits && std::stoull(core) <= UINT32_MAX))
            __builtin_trap();
        return 0;
    }
    if (!digits || std::stoull(core) > UINT32_MAX || !why.empty())
        __builtin_trap();
    if ((s == State::kGood) != (std::stoull(core) == 0))
        __builtin_trap();
    return 0;
}

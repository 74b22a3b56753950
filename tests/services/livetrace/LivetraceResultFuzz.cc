// Fuzz target: the agent's readers of the live-trace family's results. The first byte picks the
// reader (result decoder, or a fragment chain fed the input cut in three pieces); the rest is the
// message, its length field set to the input's size.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/Logger.h"
#include "services/livetrace/LivetraceFragments.h"
#include "services/livetrace/LivetraceMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        CfgAgent::Logger::setLevel(CfgAgent::kLogOff);
        return true;
    }();
    (void)quiet;
    if (size < 11 || size > 0x10000)
        return 0;
    std::vector<uint8_t> msg(data + 1, data + size);
    msg[2] = static_cast<uint8_t>(msg.size() >> 8);
    msg[3] = static_cast<uint8_t>(msg.size());
    std::string error;
    if (data[0] % 2 == 0) {
        CfgAgent::livetrace::Result r;
        if (CfgAgent::livetrace::DecodeResult(msg.data(), msg.size(), &r, &error) && r.data)
            (void)(r.data[0] + r.data[r.dataSize - 1]);
        return 0;
    }
    CfgAgent::livetrace::LivetraceFragments frags(
        CfgAgent::livetrace::LivetraceFragments::Limits{4, 8192, std::chrono::seconds(1)});
    CfgAgent::DpMsg whole;
    auto now = CfgAgent::AgentClock::now();
    for (int i = 0; i < 3; ++i) {
        if (frags.Add(msg.data(), msg.size(), now, &whole, &error) ==
            CfgAgent::livetrace::LivetraceFragments::Outcome::kComplete) {
            CfgAgent::livetrace::Result r;
            (void)CfgAgent::livetrace::DecodeResult(whole.data(), whole.size(), &r, &error);
        }
        msg[9] = static_cast<uint8_t>(msg[9] + 1);  // the next index
    }
    frags.Expire(now + std::chrono::seconds(2));
    return 0;
}

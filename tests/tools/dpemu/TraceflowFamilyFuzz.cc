// Fuzz target: the emulator's decoders of what the agent sends on the traceflow family and the
// operations-agent link. The first byte picks the reader; the rest is the message (its length
// field set to the input's size so that the element walk sees all of it).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/Logger.h"
#include "tests/tools/dpemu/RecordingChannel.h"
#include "tools/ozy-dpemu/OpsAgent.h"
#include "tools/ozy-dpemu/TraceflowFamily.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        CfgAgent::Logger::setLevel(CfgAgent::kLogOff);
        return true;
    }();
    (void)quiet;
    if (size < 1)
        return 0;
    std::vector<uint8_t> msg(data + 1, data + size);
    if (data[0] % 2 == 0) {
        std::string error;
        (void)ozy::dpemu::LcpFrameSize(msg.data(), msg.size(), &error);
        return 0;
    }
    if (msg.size() < 4 || msg.size() > 0xFFFF)
        return 0;
    msg[2] = static_cast<uint8_t>(msg.size() >> 8);
    msg[3] = static_cast<uint8_t>(msg.size());
    ozy::dpemu::test::RecordingChannel channel("ozy_traceflow_krnlink", {1});
    ozy::dpemu::TraceflowFamily family;
    family.Attach(&channel);
    family.OnMessage(1, msg.data(), msg.size());
    (void)family.Dump();
    return 0;
}

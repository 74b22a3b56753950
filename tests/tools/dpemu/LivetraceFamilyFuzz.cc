// Fuzz target: the emulator's decoders of what the agent sends on the live-trace family (CREATE,
// DELETE), then one frame offered to whatever session the input created. The message's length
// field is set to the input's size so that the element walk sees all of it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/Logger.h"
#include "tests/tools/dpemu/RecordingChannel.h"
#include "tools/ozy-dpemu/LivetraceFamily.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        CfgAgent::Logger::setLevel(CfgAgent::kLogOff);
        return true;
    }();
    (void)quiet;
    if (size < 4 || size > 0xFFFF)
        return 0;
    std::vector<uint8_t> msg(data, data + size);
    msg[2] = static_cast<uint8_t>(size >> 8);
    msg[3] = static_cast<uint8_t>(size);
    ozy::dpemu::test::RecordingChannel channel("livetrace_ozyt_krnlink", {1});
    ozy::dpemu::LivetraceFamily family;
    family.Attach(&channel);
    family.OnMessage(1, msg.data(), msg.size());
    for (uint32_t slot = 0; slot < 32; ++slot)
        family.OfferFrame(slot, msg.data(), msg.size(), msg.size() + 100, (size & 1) != 0, 0);
    (void)family.Dump();
    return 0;
}

// Fuzz target for the kernel-NIC address ioctl's frames as a device or the agent reads them: the
// request's name and the reply's address; what decodes must encode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/device/FcVswitchIoctls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ozy::device;
    if (auto name = DecodeKrnnicName(data, size)) {
        auto again = EncodeKrnnicName(*name);
        if (!again || *again != std::vector<uint8_t>(data, data + size))
            std::abort();
    }
    if (auto addr = DecodeKrnnicAddr(data, size)) {
        if (EncodeKrnnicAddr(*addr) != std::vector<uint8_t>(data, data + size))
            std::abort();
    }
    return 0;
}

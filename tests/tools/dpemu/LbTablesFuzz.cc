// Fuzz target: any bytes as a load-balancer update of the firewall device (FW_Ioctl 43). A buffer
// the tables accept must decode again to the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "platform/device/LbConfigBuffer.h"
#include "tools/ozy-dpemu/LbTables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ozy::dpemu::LbTables tables;
    if (size > (1u << 20))
        return 0;
    const uint64_t before = tables.Updates();
    const bool ok = tables.Ioctl(data, size).status == 0;
    if (ok != (tables.Updates() == before + 1))
        std::abort();
    std::string why;
    if (ok != ozy::device::DecodeLbConfig(data, size, &why).has_value())
        std::abort();
    volatile size_t keep = tables.Dump().size();
    (void)keep;
    return 0;
}

// Fuzz target: any bytes as an SI_Ioctl request of the firewall device (with the first byte as
// the command, the rest as count, size and entries), and as an overlay MAC table request.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/device/SiIoctls.h"
#include "tools/ozy-dpemu/SiDevices.h"
#include "tools/ozy-dpemu/SiTables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ozy::dpemu::SiTables tables;
    static ozy::dpemu::Ovl2Device ovl2;
    if (size < 1 || size > (1u << 20))
        return 0;
    static const uint32_t kCommands[] = {26, 3, 4, 5, 10, 11};
    std::vector<uint8_t> req(data + 1, data + size);
    if (req.size() >= 4) {
        const uint32_t c = kCommands[data[0] % 6];
        req[0] = 0, req[1] = 0, req[2] = 0, req[3] = static_cast<uint8_t>(c);
    }
    tables.Ioctl(req.data(), req.size());
    ovl2.Ioctl(data[0] & 1 ? ozy::device::kOvl2AddMac : ozy::device::kOvl2DelMac, data + 1,
               size - 1);
    volatile size_t keep = tables.Dump().size() + ovl2.Dump().size();
    (void)keep;
    return 0;
}

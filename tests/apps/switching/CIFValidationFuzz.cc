// Fuzz target for the checks of a container interface: the bytes are split into a child port id,
// a host VIF id, a VLAN and binding MACs; nothing may crash, and what passes must be in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apps/switching/CIFValidation.h"
#include "runtime/Logger.h"
#include "tests/fuzz/QuietLogs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CfgAgent::test::QuietLogs(CfgAgent::kLogInfo);
    std::string text(reinterpret_cast<const char*>(data), size);
    // "<child port id>\n<host VIF>\n" then 4 bytes of VLAN and 8-byte MACs (0 = a binding without).
    size_t a = text.find('\n');
    size_t b = a == std::string::npos ? a : text.find('\n', a + 1);
    std::string child = text.substr(0, a);
    std::string host = a == std::string::npos ? std::string() : text.substr(a + 1, b - a - 1);
    std::string rest = b == std::string::npos ? std::string() : text.substr(b + 1);
    if (auto id = CfgAgent::ParseChildPortId(child)) {
        if (id->vmPortId.size() != 36 || child.size() > 48)
            std::abort();
    }
    std::optional<uint32_t> vlan;
    if (rest.size() >= 4) {
        uint32_t v;
        std::memcpy(&v, rest.data(), 4);
        vlan = v;
        rest.erase(0, 4);
    }
    if (CfgAgent::ValidateCifVif(host, vlan) && (*vlan < 1 || *vlan > 4094))
        std::abort();
    std::vector<std::optional<uint64_t>> macs;
    for (size_t i = 0; i + 8 <= rest.size(); i += 8) {
        uint64_t m;
        std::memcpy(&m, rest.data() + i, 8);
        macs.push_back(m == 0 ? std::nullopt : std::optional<uint64_t>(m));
    }
    uint64_t mac = 0;
    if (CfgAgent::ValidateCifMac(macs, &mac) && (mac == 0 || (mac >> 48) != 0 || (mac >> 40) & 1))
        std::abort();
    return 0;
}

// Fuzz target: any bytes as a port's "ipfix" value, read by the emulator's exporter; a value it
// accepts has whole collector entries and makes a well-formed message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tools/ozy-dpemu/IpfixExporter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> value(data, data + size);
    ozy::dpemu::IpfixPortSettings s;
    if (!ozy::dpemu::ParseIpfixPortSettings(value, &s))
        return 0;
    if (17 + 19 * s.collectors.size() != size)
        std::abort();
    std::vector<uint8_t> msg =
        ozy::dpemu::BuildIpfixMessage(s.observationDomainId, 0, 0, ozy::dpemu::IpfixFlow{});
    if (msg.size() != 109 || (msg[2] << 8 | msg[3]) != 109)
        std::abort();
    return 0;
}

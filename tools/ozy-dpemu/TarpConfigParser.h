#pragma once
// Strict decoding of what the firewall library sends the device: configurations (kCmdApply) and
// segments of rules (kCmdSegmentPut), from the layouts of platform/tarp/TarpWire.h. Anything that
// does not fit the layout exactly (truncated, trailing bytes, unknown command or tag, repeated
// element, over-long name, start above end, bad family or prefix) is refused with the reason.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/ozy-dpemu/TarpModel.h"

namespace ozy::dpemu::tarp {

struct ConfigCommand {
    uint16_t code = 0;
    std::string name;
    AddrSet addrSet;
    Container container;
    std::vector<uint64_t> segments;
    std::vector<std::string> roots;
    uint32_t chunkId = 0;
    IpRepChunk chunk;
};

struct ParsedConfig {
    std::string filter;
    std::vector<ConfigCommand> commands;
};

// False with `why` set when the bytes are not a well-formed configuration.
bool ParseConfig(const uint8_t* data, size_t size, ParsedConfig* out, std::string* why);

// A complete segment whose name must be `hash`; fills rules, names and bytes.
bool ParseSegment(const uint8_t* data, size_t size, uint64_t hash, Segment* out, std::string* why);

}  // namespace ozy::dpemu::tarp

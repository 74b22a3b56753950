#pragma once
// Renders a command list into the configuration the device takes (kCmdApply, TarpWire.h).
#include <cstdint>
#include <string>
#include <vector>

namespace TarpFirewall {
class CTarpFWCmdList;
}

namespace TarpFirewall::detail {

// Replaces `out` with the configuration of `list` for `filter`.
void RenderConfig(const CTarpFWCmdList& list, const std::string& filter, std::vector<uint8_t>& out);

}  // namespace TarpFirewall::detail

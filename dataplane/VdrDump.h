#pragma once
// The debug rendering of one VDR message (either direction): the title "VDR Message", then the
// message's type and its decoded content, one line per element, in a 1024-byte buffer (title
// included) that stops when full. A message that does not parse is rendered with the reason.
#include <cstddef>
#include <cstdint>
#include <string>

namespace CfgAgent::vdr {

constexpr size_t kDumpBufferSize = 1024;

std::string DumpVdrMessage(const uint8_t* msg, size_t size);

}  // namespace CfgAgent::vdr

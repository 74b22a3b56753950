#pragma once
// The debug rendering of one VXLAN message: the title "VXLAN Message", then one line for the
// message (a tab, its name, ": len = %u" and its fields) and, for TLV messages, one line per TLV
// with its entries indented further. Built in a 1024-byte buffer, title included; the text stops
// when the buffer is full. Malformed input is rendered up to the first part that does not fit.
#include <cstddef>
#include <cstdint>
#include <string>

namespace CfgAgent::vxlan {

constexpr size_t kDumpBufferSize = 1024;

std::string DumpVxlanMessage(const uint8_t* msg, size_t available);

}  // namespace CfgAgent::vxlan

#pragma once
// The debug rendering of one KCP message: the title "KCP Message", then one line per element
// (a tab, the element's name, ": len = %u" and its decoded fields), nested records and properties
// indented further. The text is built in a 1024-byte buffer, title included, and stops when the
// buffer is full. Malformed input is rendered up to the first element that does not fit.
#include <cstddef>
#include <cstdint>
#include <string>

namespace CfgAgent::kcp {

constexpr size_t kDumpBufferSize = 1024;

std::string DumpKcpMessage(const uint8_t* msg, size_t available);

}  // namespace CfgAgent::kcp

#include "cli/udslink/CfgUdsServerConnection.h"

#include "cli/udslink/LcpFrameLayout.h"

namespace CfgAgent {

size_t CfgUdsServerConnection::HeaderSize() const {
    return lcp::kFrameHeaderSize;
}

size_t CfgUdsServerConnection::PayloadSizeFromHeader(const uint8_t* header) const {
    uint32_t total = (static_cast<uint32_t>(header[2]) << 24) |
                     (static_cast<uint32_t>(header[3]) << 16) |
                     (static_cast<uint32_t>(header[4]) << 8) | header[5];
    return total < lcp::kFrameHeaderSize + 1 ? 0 : total - lcp::kFrameHeaderSize;
}

}  // namespace CfgAgent

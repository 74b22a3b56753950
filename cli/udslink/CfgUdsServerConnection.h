#pragma once
// A connection of the operations-agent link: a Unix-domain connection with the link's 6-byte
// header (LcpFrameLayout.h), whose total length (bytes 2-5) gives the payload size.
#include "net/UdsConnection.h"

namespace CfgAgent {

class CfgUdsServerConnection : public Common::UdsConnection {
  public:
    using UdsConnection::UdsConnection;

    size_t HeaderSize() const override;
    // Total length minus the header, or 0 when the total is below 7 (the link then sees a
    // message whose length disagrees with its header and drops it).
    size_t PayloadSizeFromHeader(const uint8_t* header) const override;
};

}  // namespace CfgAgent

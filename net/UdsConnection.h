#pragma once
// A framed connection over a Unix-domain stream socket. Differs from a TCP connection only where
// a local socket has nothing to say: no remote endpoint, no available-byte count. Subclasses
// choose the framing (CfgUdsServerConnection: the 6-byte header of the operations-agent link).
#include <boost/asio/local/stream_protocol.hpp>

#include "net/BasicConnection.h"

namespace Common {

class UdsConnection : public BasicConnection<boost::asio::local::stream_protocol> {
  public:
    UdsConnection(boost::asio::local::stream_protocol::socket socket, ConnectionStrand strand,
                  uint32_t id, TcpConnectionListener* listener, ConnectionLimits limits = {});

    std::string RemoteEndpoint() const override { return std::string(); }
    size_t AvailableBytes() const override { return 0; }
};

}  // namespace Common

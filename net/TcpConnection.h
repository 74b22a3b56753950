#pragma once
// A framed connection over a TCP socket: "TcpConnection(" id ")(remote=...,local=...):" in its
// log lines, the default framing (4-byte big-endian payload length). The agent's links use
// Unix-domain connections; this one serves links to peers on other hosts.
#include <boost/asio/ip/tcp.hpp>

#include "net/BasicConnection.h"

namespace Common {

class TcpConnection : public BasicConnection<boost::asio::ip::tcp> {
  public:
    TcpConnection(boost::asio::ip::tcp::socket socket, ConnectionStrand strand, uint32_t id,
                  TcpConnectionListener* listener, ConnectionLimits limits = {});
};

}  // namespace Common

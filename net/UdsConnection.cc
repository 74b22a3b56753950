#include "net/UdsConnection.h"

namespace Common {

UdsConnection::UdsConnection(boost::asio::local::stream_protocol::socket socket,
                             ConnectionStrand strand, uint32_t id, TcpConnectionListener* listener,
                             ConnectionLimits limits)
    : BasicConnection("UdsConnection", std::move(socket), std::move(strand), id, listener, limits) {
}

}  // namespace Common

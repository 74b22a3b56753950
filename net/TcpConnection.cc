#include "net/TcpConnection.h"

namespace Common {

TcpConnection::TcpConnection(boost::asio::ip::tcp::socket socket, ConnectionStrand strand,
                             uint32_t id, TcpConnectionListener* listener, ConnectionLimits limits)
    : BasicConnection("TcpConnection", std::move(socket), std::move(strand), id, listener, limits) {
}

}  // namespace Common

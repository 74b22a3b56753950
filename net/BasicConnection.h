#pragma once
// BasicConnection<Protocol>: one framed stream connection over a Boost.Asio stream socket, the
// implementation behind TcpConnection and UdsConnection.
//
// Reads: header, then the payload the header announces (refused beyond the listener's maximum),
// then the whole message to the listener; repeated until an error or end of stream, which closes
// the connection and reports status 0 once. Writes: queued from any thread under the connection
// mutex (bounded in bytes), written from the queue head on the connection's strand, several queued
// buffers per write.
//
// Every completion runs on the strand the server gave (shared by the server and all its
// connections) and holds a counted reference to the connection, so a connection lives as long as
// work for it is pending; the listener must outlive the io context's handlers.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/error_code.hpp>

#include "net/StreamConnection.h"

namespace Common {

class TcpConnectionListener;

using ConnectionStrand = boost::asio::strand<boost::asio::io_context::executor_type>;

struct ConnectionLimits {
    static constexpr size_t kDefaultMaxQueuedBytes = 64u * 1024u * 1024u;
    size_t maxQueuedBytes = kDefaultMaxQueuedBytes;
};

template <typename Protocol>
class BasicConnection : public StreamConnection,
                        public std::enable_shared_from_this<BasicConnection<Protocol>> {
  public:
    using Socket = typename Protocol::socket;

    // `kind` ("TcpConnection", "UdsConnection") starts the description.
    BasicConnection(const char* kind, Socket socket, ConnectionStrand strand, uint32_t id,
                    TcpConnectionListener* listener, ConnectionLimits limits = {});
    ~BasicConnection() override;

    // Called (on the strand) once the connection has closed and reported status 0; the server
    // forgets the connection there.
    void SetClosedHandler(std::function<void(uint32_t id)> handler) {
        closedHandler_ = std::move(handler);
    }

    uint32_t ConnectionId() const override { return id_; }
    void Start() override;
    bool Write(std::vector<uint8_t> buffer) override;
    void Stop() override;
    std::string RemoteEndpoint() const override;
    size_t AvailableBytes() const override;
    std::string Description() const override;

    // Default framing: a 4-byte big-endian payload length.
    size_t HeaderSize() const override { return 4; }
    size_t PayloadSizeFromHeader(const uint8_t* header) const override;

    // Closes the socket at once, without reporting: only when no thread runs the io context
    // (the owner's shutdown).
    void CloseNow();
    bool Closed() const;
    size_t QueuedBytes() const;

  protected:
    Socket& socket() { return socket_; }

  private:
    void ReadHeader();
    void OnRead(const boost::system::error_code& ec, size_t bytes, bool header);
    void StartWrite();
    void OnWrite(const boost::system::error_code& ec, size_t bytes);
    void Fail(const char* op, const boost::system::error_code& ec, size_t bytes);
    void CloseAndReport();

    Socket socket_;
    ConnectionStrand strand_;
    const uint32_t id_;
    TcpConnectionListener* const listener_;
    const ConnectionLimits limits_;
    std::function<void(uint32_t)> closedHandler_;
    std::string description_;

    // Strand only.
    std::vector<uint8_t> readBuf_;
    size_t headerSize_ = 0;
    bool reported_ = false;
    size_t inFlight_ = 0;  // buffers of the current write

    mutable std::mutex mutex_;  // guards the queue and the flags below
    std::deque<std::vector<uint8_t>> queue_;
    size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool closed_ = false;
};

}  // namespace Common

#pragma once
// A message-oriented stream connection as its listener and its server see it.
//
// A connection reads whole framed messages (a fixed-size header, then a payload whose size the
// header gives: HeaderSize and PayloadSizeFromHeader, chosen by subclasses) and hands each to its
// listener; it writes whole messages queued from any thread. The implementation is
// BasicConnection<Protocol> (Unix-domain and TCP); this interface keeps Boost.Asio out of the code
// that only uses connections.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Common {

class StreamConnection {
  public:
    virtual ~StreamConnection() = default;

    // Assigned by the server; never 0.
    virtual uint32_t ConnectionId() const = 0;
    // Begins reading ("%s start").
    virtual void Start() = 0;
    // Queues one whole message (header included). Any thread. False, with a log line, when the
    // connection is closed or its outgoing queue would pass its bound.
    virtual bool Write(std::vector<uint8_t> buffer) = 0;
    // Closes the connection; the listener then sees status 0. Any thread.
    virtual void Stop() = 0;

    virtual std::string RemoteEndpoint() const = 0;
    virtual size_t AvailableBytes() const = 0;
    // The prefix of every log line of this connection.
    virtual std::string Description() const = 0;

    // Framing: the header is read first, then PayloadSizeFromHeader(header) more bytes.
    virtual size_t HeaderSize() const = 0;
    virtual size_t PayloadSizeFromHeader(const uint8_t* header) const = 0;
};

}  // namespace Common

#pragma once
// What a connection reports to the link that owns it. Calls arrive on the connection's io
// context, serialised per server (accepts, reads and status changes of one server never overlap).
#include <cstddef>
#include <cstdint>

namespace Common {

class StreamConnection;

class TcpConnectionListener {
  public:
    // The largest message (header included) a connection of this listener accepts. A header that
    // announces more closes the connection (OnOversizedMessage, then status 0): one peer cannot
    // make the process allocate what it announces.
    static constexpr size_t kDefaultMaxMessageSize = 16u * 1024u * 1024u;

    virtual ~TcpConnectionListener() = default;

    // status: non-zero connected, 0 disconnected.
    virtual void OnConnectionStatusChanged(uint32_t connId, int status) = 0;
    // One whole message, header included. The bytes are valid only during the call. A message
    // cut short by the peer's end of stream is handed over as it arrived, shorter than its header
    // says (or shorter than a header), before the disconnection is reported.
    virtual void OnMessageReceived(StreamConnection& conn, const uint8_t* bytes, size_t length) = 0;

    virtual size_t MaxMessageSize() const { return kDefaultMaxMessageSize; }
    // A header announced `announced` bytes, more than MaxMessageSize(); the connection closes.
    virtual void OnOversizedMessage(uint32_t connId, uint64_t announced) {
        (void)connId;
        (void)announced;
    }
};

}  // namespace Common

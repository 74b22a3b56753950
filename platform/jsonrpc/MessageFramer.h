#pragma once
// Splits a byte stream into JSON texts, the way the unixctl protocol carries them: JSON-RPC
// messages written back to back with optional whitespace between them and no other delimiter.
//
// Bytes are appended with Append(); Next() hands out one complete top-level object at a time. The
// framer only finds message boundaries (brackets outside strings); the text is parsed afterwards.
// Anything that cannot start an object, nesting deeper than kMaxDepth, and a message that grows
// beyond the size bound are reported as errors, after which the stream is unusable.
//
// Used by the unixctl server and client and by the RPC server; not thread-safe.
#include <cstddef>
#include <string>

namespace ozy::jsonrpc {

class MessageFramer {
  public:
    enum class Status { kNeedMore, kMessage, kNotAnObject, kTooDeep, kTooLarge };
    static constexpr int kMaxDepth = 32;

    explicit MessageFramer(size_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

    void Append(const char* data, size_t size) { buffer_.append(data, size); }
    // Stores the next complete message in `*message` and returns kMessage, or tells why not. A
    // message larger than kKeptCapacity, or one that is all the framer holds, is moved out with
    // the buffer rather than copied.
    Status Next(std::string* message);
    // True when bytes other than whitespace wait for the rest of their message.
    bool HasPartialMessage() const;
    // Bytes held (complete and partial messages).
    size_t BufferedBytes() const { return buffer_.size() - start_; }
    // Bytes the buffer has allocated. Once drained, a buffer grown past kKeptCapacity by one large
    // message is released, so that a peak (a monitor's initial rows) is not held for the
    // connection's life.
    size_t CapacityBytes() const { return buffer_.capacity(); }
    static constexpr size_t kKeptCapacity = 64 * 1024;

    static const char* StatusText(Status status);

  private:
    void Compact();

    std::string buffer_;
    size_t maxMessageBytes_;
    size_t start_ = 0;  // first byte not yet handed out
    // Scan state of the message that starts at start_ (valid while depth_ > 0).
    size_t scan_ = 0;
    int depth_ = 0;
    bool inString_ = false;
    bool escape_ = false;
};

}  // namespace ozy::jsonrpc

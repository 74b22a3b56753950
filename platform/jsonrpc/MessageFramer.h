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
#include <functional>
#include <string>
#include <string_view>

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

    // Lets the elements of one array be taken out of a message while it still arrives, so that a
    // reply of many rows never exists whole: `check` is called with the message's text up to and
    // including the bracket of the first array that opens `depth` containers deep (only when that
    // text is at most kMaxCutPrefix bytes), and its true makes that array's elements takeable.
    using CutCheck = std::function<bool(std::string_view prefix)>;
    static constexpr size_t kMaxCutPrefix = 4096;
    void SetElementCut(int depth, CutCheck check);
    // Appends to `*out` the elements of the message's takeable array that are complete and
    // followed by their comma, each with its comma, and removes them from the message (which is
    // handed out without them); false when there are none. Taken bytes still count towards the
    // message's size bound.
    bool TakeElements(std::string* out);

    static const char* StatusText(Status status);

  private:
    void Compact();
    void StartMessage();

    // Where the takeable array is in its message.
    enum class Cut { kUnseen, kOpen, kNone };

    std::string buffer_;
    size_t maxMessageBytes_;
    size_t start_ = 0;  // first byte not yet handed out
    // Scan state of the message that starts at start_ (valid while depth_ > 0).
    size_t scan_ = 0;
    int depth_ = 0;
    bool inString_ = false;
    bool escape_ = false;
    int cutDepth_ = 0;  // 0: no array is ever taken
    CutCheck cutCheck_;
    Cut cut_ = Cut::kNone;
    // From start_: the first byte of the takeable array's first untaken element, and the end of
    // its last complete element's comma.
    size_t cutStart_ = 0;
    size_t cutEnd_ = 0;
    size_t taken_ = 0;  // bytes of the message taken out
};

}  // namespace ozy::jsonrpc

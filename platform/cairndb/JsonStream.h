#pragma once
// Splits the byte stream of a JSON-RPC session into complete top-level JSON objects. The OVSDB
// protocol sends objects back to back without delimiters; this scanner tracks nesting outside
// strings, so that each object is handed over once and parsed once. It checks structure only;
// the parser judges the content.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace ozy::cairndb {

class JsonStream {
  public:
    explicit JsonStream(size_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

    // Appends bytes and calls `onMessage` for every object they complete. False on a protocol
    // error (a top-level byte that cannot start an object, a message above the size limit, nesting
    // underflow); `error` then says which, and the stream must be reset.
    bool Feed(std::string_view bytes, const std::function<void(std::string_view)>& onMessage,
              std::string* error);
    void Reset();
    // Bytes held that belong to an incomplete message.
    size_t Pending() const { return buffer_.size() - start_; }

  private:
    size_t maxMessageBytes_;
    std::string buffer_;
    size_t start_ = 0;  // first byte of the current message (or of whitespace before it)
    size_t scan_ = 0;   // next byte to scan
    int depth_ = 0;
    bool inString_ = false;
    bool escape_ = false;
};

}  // namespace ozy::cairndb

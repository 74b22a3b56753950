#pragma once
// Splits a byte stream carrying concatenated JSON-RPC 1.0 messages into complete top-level JSON
// objects. It only tracks nesting and strings; the caller parses each object. A stream that does
// not start an object, or an object larger than the bound, is an error: the caller drops the
// connection.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ozy::rpc {

class JsonStreamSplitter {
  public:
    explicit JsonStreamSplitter(size_t maxMessage = 1 << 20) : maxMessage_(maxMessage) {}

    // Appends bytes; complete objects are appended to `out`. False on a framing error, after
    // which the splitter must not be fed again.
    bool Feed(std::string_view data, std::vector<std::string>& out);
    // Bytes of an incomplete object held back.
    size_t Pending() const { return current_.size(); }

  private:
    size_t maxMessage_;
    std::string current_;
    int depth_ = 0;
    bool inString_ = false;
    bool escape_ = false;
    bool failed_ = false;
};

}  // namespace ozy::rpc

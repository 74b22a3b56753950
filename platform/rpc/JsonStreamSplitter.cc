#include "platform/rpc/JsonStreamSplitter.h"

namespace ozy::rpc {

bool JsonStreamSplitter::Feed(std::string_view data, std::vector<std::string>& out) {
    if (failed_)
        return false;
    for (char c : data) {
        if (depth_ == 0) {
            if (c == ' ' || c == '\n' || c == '\r' || c == '\t')
                continue;
            if (c != '{') {
                failed_ = true;
                return false;
            }
        }
        current_.push_back(c);
        if (current_.size() > maxMessage_) {
            failed_ = true;
            return false;
        }
        if (inString_) {
            if (escape_) {
                escape_ = false;
            } else if (c == '\\') {
                escape_ = true;
            } else if (c == '"') {
                inString_ = false;
            }
            continue;
        }
        if (c == '"') {
            inString_ = true;
        } else if (c == '{' || c == '[') {
            ++depth_;
        } else if (c == '}' || c == ']') {
            --depth_;
            if (depth_ < 0) {
                failed_ = true;
                return false;
            }
            if (depth_ == 0) {
                out.push_back(std::move(current_));
                current_.clear();
            }
        }
    }
    return true;
}

}  // namespace ozy::rpc

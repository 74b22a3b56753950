#include "platform/cairndb/JsonStream.h"

namespace ozy::cairndb {

void JsonStream::Reset() {
    buffer_.clear();
    start_ = scan_ = 0;
    depth_ = 0;
    inString_ = escape_ = false;
}

bool JsonStream::Feed(std::string_view bytes,
                      const std::function<void(std::string_view)>& onMessage, std::string* error) {
    buffer_.append(bytes.data(), bytes.size());
    const size_t end = buffer_.size();
    while (scan_ < end) {
        char c = buffer_[scan_];
        if (depth_ == 0) {
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                ++scan_;
                start_ = scan_;
                continue;
            }
            if (c != '{') {
                *error = "unexpected byte outside a JSON object";
                return false;
            }
            start_ = scan_;
            depth_ = 1;
            ++scan_;
            continue;
        }
        ++scan_;
        if (scan_ - start_ > maxMessageBytes_) {
            *error = "message larger than " + std::to_string(maxMessageBytes_) + " bytes";
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
        switch (c) {
            case '"':
                inString_ = true;
                break;
            case '{':
            case '[':
                ++depth_;
                break;
            case '}':
            case ']':
                if (--depth_ == 0) {
                    onMessage(std::string_view(buffer_.data() + start_, scan_ - start_));
                    start_ = scan_;
                }
                break;
            default:
                break;
        }
    }
    // Keep only the incomplete message.
    if (start_ > 0) {
        buffer_.erase(0, start_);
        scan_ -= start_;
        start_ = 0;
    }
    return true;
}

}  // namespace ozy::cairndb

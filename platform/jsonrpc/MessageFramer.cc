#include "platform/jsonrpc/MessageFramer.h"

#include <utility>

namespace ozy::jsonrpc {
namespace {

bool IsJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

MessageFramer::Status MessageFramer::Next(std::string* message) {
    if (depth_ == 0) {
        // Between messages: skip whitespace; the next message must be an object.
        while (start_ < buffer_.size() && IsJsonSpace(buffer_[start_])) {
            ++start_;
        }
        if (start_ == buffer_.size()) {
            Compact();
            return Status::kNeedMore;
        }
        if (buffer_[start_] != '{') {
            return Status::kNotAnObject;
        }
        StartMessage();
    }
    for (; scan_ < buffer_.size(); ++scan_) {
        char c = buffer_[scan_];
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
            if (++depth_ > kMaxDepth) {
                return Status::kTooDeep;
            }
            if (c == '[' && depth_ == cutDepth_ && cut_ == Cut::kUnseen) {
                const size_t prefix = scan_ + 1 - start_;
                cut_ = prefix <= kMaxCutPrefix &&
                               cutCheck_(std::string_view(buffer_).substr(start_, prefix))
                           ? Cut::kOpen
                           : Cut::kNone;
                cutStart_ = cutEnd_ = prefix;
            }
        } else if (c == ',') {
            if (depth_ == cutDepth_ && cut_ == Cut::kOpen)
                cutEnd_ = scan_ + 1 - start_;
        } else if (c == '}' || c == ']') {
            // Mismatched brackets are left to the parser; only the count matters here.
            if (depth_ == cutDepth_ && cut_ == Cut::kOpen)
                cut_ = Cut::kNone;
            if (--depth_ == 0) {
                size_t end = scan_ + 1;
                if (end - start_ + taken_ > maxMessageBytes_) {
                    return Status::kTooLarge;
                }
                if (end - start_ > kKeptCapacity || (start_ == 0 && end == buffer_.size())) {
                    // A large message (a reply of many rows), or one that is all the buffer
                    // holds, is handed over with the buffer instead of copied, so that its text
                    // does not exist twice while it is parsed: what is copied is what follows it
                    // (the start of the next messages, one read at most).
                    std::string rest(buffer_, end);
                    buffer_.resize(end);
                    buffer_.erase(0, start_);
                    message->swap(buffer_);
                    if (buffer_.capacity() > kKeptCapacity)
                        std::string().swap(buffer_);
                    buffer_.assign(rest);
                    start_ = 0;
                    scan_ = 0;
                    return Status::kMessage;
                }
                message->assign(buffer_, start_, end - start_);
                start_ = end;
                scan_ = end;
                Compact();
                return Status::kMessage;
            }
        }
    }
    if (buffer_.size() - start_ + taken_ > maxMessageBytes_) {
        return Status::kTooLarge;
    }
    Compact();
    return Status::kNeedMore;
}

void MessageFramer::StartMessage() {
    scan_ = start_;
    inString_ = false;
    escape_ = false;
    cut_ = cutDepth_ > 0 ? Cut::kUnseen : Cut::kNone;
    cutStart_ = 0;
    cutEnd_ = 0;
    taken_ = 0;
}

void MessageFramer::SetElementCut(int depth, CutCheck check) {
    cutDepth_ = check ? depth : 0;
    cutCheck_ = std::move(check);
}

bool MessageFramer::TakeElements(std::string* out) {
    if (depth_ == 0 || cutEnd_ <= cutStart_)
        return false;
    const size_t from = start_ + cutStart_;
    const size_t size = cutEnd_ - cutStart_;
    out->append(buffer_, from, size);
    buffer_.erase(from, size);
    scan_ -= size;
    taken_ += size;
    cutEnd_ = cutStart_;
    return true;
}

bool MessageFramer::HasPartialMessage() const {
    for (size_t i = start_; i < buffer_.size(); ++i) {
        if (!IsJsonSpace(buffer_[i])) {
            return true;
        }
    }
    return false;
}

void MessageFramer::Compact() {
    // Drop handed-out bytes once they dominate, so pipelined traffic does not grow the buffer.
    if (start_ > 0 && start_ == buffer_.size() && buffer_.capacity() > kKeptCapacity) {
        std::string().swap(buffer_);
        scan_ = 0;
        start_ = 0;
        return;
    }
    if (start_ > 0 && (start_ == buffer_.size() || start_ >= 4096)) {
        buffer_.erase(0, start_);
        scan_ = depth_ > 0 ? scan_ - start_ : 0;
        start_ = 0;
    }
}

const char* MessageFramer::StatusText(Status status) {
    switch (status) {
        case Status::kNeedMore:
            return "incomplete message";
        case Status::kMessage:
            return "complete message";
        case Status::kNotAnObject:
            return "message is not a JSON object";
        case Status::kTooDeep:
            return "message nested too deeply";
        case Status::kTooLarge:
            return "message too large";
    }
    return "unknown";
}

}  // namespace ozy::jsonrpc

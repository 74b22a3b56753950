#include "dataplane/DpFraming.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "runtime/Logger.h"

namespace CfgAgent {

size_t DpMsgCheckedLength(const uint8_t* msg, size_t available) {
    if (msg == nullptr || available < kDpMsgHeaderSize) {
        return 0;
    }
    size_t len = DpMsgLength(msg);
    if (len < kDpMsgHeaderSize || len > available) {
        return 0;
    }
    return len;
}

std::string DpFixedString(const uint8_t* p, size_t width) {
    const void* nul = std::memchr(p, 0, width);
    size_t n = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : width;
    return std::string(reinterpret_cast<const char*>(p), n);
}

// --- DpTlvWalker ---

DpTlvWalker::DpTlvWalker(const uint8_t* base, size_t begin, size_t end)
    : base_(base), pos_(begin), end_(end) {
    if (begin > end) {
        malformed_ = true;
        end_ = begin;
    }
}

DpTlvWalker DpTlvWalker::OverMessage(const uint8_t* msg, size_t available, size_t firstOffset) {
    size_t len = DpMsgCheckedLength(msg, available);
    if (len == 0 || firstOffset > len) {
        DpTlvWalker w(msg, 0, 0);
        w.malformed_ = true;
        return w;
    }
    return DpTlvWalker(msg, firstOffset, len);
}

bool DpTlvWalker::Next(DpTlv* tlv) {
    if (malformed_ || pos_ >= end_) {
        return false;
    }
    if (end_ - pos_ < kDpTlvHeaderSize) {
        malformed_ = true;
        return false;
    }
    const uint8_t* p = base_ + pos_;
    uint16_t len = LoadBe16(p + 2);
    if (len < kDpTlvHeaderSize || len > end_ - pos_) {
        malformed_ = true;
        return false;
    }
    tlv->type = LoadBe16(p);
    tlv->length = len;
    tlv->value = p + kDpTlvHeaderSize;
    tlv->valueSize = len - kDpTlvHeaderSize;
    tlv->offset = pos_;
    pos_ += len;
    return true;
}

// --- DpBytesWriter ---

DpBytesWriter& DpBytesWriter::U8(uint8_t v) {
    out_.push_back(v);
    return *this;
}

DpBytesWriter& DpBytesWriter::Be16(uint16_t v) {
    uint8_t b[2];
    StoreBe16(b, v);
    return Bytes(b, sizeof b);
}

DpBytesWriter& DpBytesWriter::Be32(uint32_t v) {
    uint8_t b[4];
    StoreBe32(b, v);
    return Bytes(b, sizeof b);
}

DpBytesWriter& DpBytesWriter::Be64(uint64_t v) {
    uint8_t b[8];
    StoreBe64(b, v);
    return Bytes(b, sizeof b);
}

DpBytesWriter& DpBytesWriter::Bytes(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), p, p + size);
    return *this;
}

DpBytesWriter& DpBytesWriter::Zeros(size_t count) {
    out_.insert(out_.end(), count, 0);
    return *this;
}

DpBytesWriter& DpBytesWriter::FixedString(std::string_view text, size_t width) {
    size_t n = text.size() < width ? text.size() : width;
    Bytes(text.data(), n);
    return Zeros(width - n);
}

DpBytesWriter& DpBytesWriter::Tlv(uint16_t type, const void* value, size_t size) {
    Be16(type);
    Be16(static_cast<uint16_t>(kDpTlvHeaderSize + size));
    return Bytes(value, size);
}

// --- DpMsgWriter ---

DpMsgWriter::DpMsgWriter(uint16_t type, size_t totalSize) {
    if (totalSize < kDpMsgHeaderSize || totalSize > kDpMaxMsgSize) {
        ok_ = false;
        CFG_ERROR("Dataplane message of type %1 cannot have %2 bytes", type, totalSize);
        return;
    }
    try {
        buf_.assign(totalSize, 0);
    } catch (const std::bad_alloc&) {
        ExitOnAllocFailure();
    }
    Be16(type);
    Be16(static_cast<uint16_t>(totalSize));
}

uint8_t* DpMsgWriter::Reserve(size_t n) {
    if (!ok_ || n > buf_.size() - pos_) {
        ok_ = false;
        return nullptr;
    }
    uint8_t* p = buf_.data() + pos_;
    pos_ += n;
    return p;
}

DpMsgWriter& DpMsgWriter::U8(uint8_t v) {
    if (uint8_t* p = Reserve(1))
        *p = v;
    return *this;
}

DpMsgWriter& DpMsgWriter::Be16(uint16_t v) {
    if (uint8_t* p = Reserve(2))
        StoreBe16(p, v);
    return *this;
}

DpMsgWriter& DpMsgWriter::Be32(uint32_t v) {
    if (uint8_t* p = Reserve(4))
        StoreBe32(p, v);
    return *this;
}

DpMsgWriter& DpMsgWriter::Be64(uint64_t v) {
    if (uint8_t* p = Reserve(8))
        StoreBe64(p, v);
    return *this;
}

DpMsgWriter& DpMsgWriter::Bytes(const void* data, size_t size) {
    if (size == 0)
        return *this;
    if (uint8_t* p = Reserve(size))
        std::memcpy(p, data, size);
    return *this;
}

DpMsgWriter& DpMsgWriter::Zeros(size_t count) {
    Reserve(count);  // the buffer is zeroed at allocation
    return *this;
}

DpMsgWriter& DpMsgWriter::FixedString(std::string_view text, size_t width) {
    size_t n = text.size() < width ? text.size() : width;
    Bytes(text.data(), n);
    return Zeros(width - n);
}

DpMsgWriter& DpMsgWriter::Tlv(uint16_t type, const void* value, size_t size) {
    if (size > kDpMaxMsgSize - kDpTlvHeaderSize) {
        ok_ = false;
        return *this;
    }
    Be16(type);
    Be16(static_cast<uint16_t>(kDpTlvHeaderSize + size));
    return Bytes(value, size);
}

size_t DpMsgWriter::BeginTlv(uint16_t type) {
    size_t at = pos_;
    Be16(type);
    Be16(0);
    return at;
}

void DpMsgWriter::EndTlv(size_t elementOffset) {
    if (!ok_ || elementOffset + kDpTlvHeaderSize > pos_) {
        ok_ = false;
        return;
    }
    PatchBe16(elementOffset + 2, static_cast<uint16_t>(pos_ - elementOffset));
}

void DpMsgWriter::PatchBe16(size_t offset, uint16_t v) {
    if (!ok_ || offset + 2 > pos_) {
        ok_ = false;
        return;
    }
    StoreBe16(buf_.data() + offset, v);
}

DpMsg DpMsgWriter::Finish() {
    if (!ok_ || pos_ != buf_.size()) {
        CFG_ERROR("Dataplane message build failed: wrote %1 of %2 bytes", pos_, buf_.size());
        return DpMsg();
    }
    return std::move(buf_);
}

// --- DpDumpText ---

DpDumpText::DpDumpText(size_t capacity, const char* title) : capacity_(capacity) {
    text_.reserve(capacity);
    Append("%s\n", title);
}

void DpDumpText::Append(const char* format, ...) {
    if (full_ || capacity_ == 0) {
        full_ = true;
        return;
    }
    // Room for the text and the terminating NUL of a C buffer of `capacity_` bytes.
    size_t room = capacity_ - text_.size();
    std::string chunk(room, '\0');
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(chunk.data(), room, format, ap);
    va_end(ap);
    if (n < 0) {
        return;
    }
    if (static_cast<size_t>(n) >= room) {
        full_ = true;
        chunk.resize(room - 1);
    } else {
        chunk.resize(static_cast<size_t>(n));
    }
    text_ += chunk;
    if (text_.size() + 1 >= capacity_) {
        full_ = true;
    }
}

}  // namespace CfgAgent

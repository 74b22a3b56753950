#include "apps/switching/PackedId.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "proto/UuidText.h"

namespace CfgAgent::dvs {

namespace {

// A serialized UuidMsg with both halves set: field 1 and field 2, fixed64 each.
constexpr size_t kUuidMsgSize = 18;
constexpr uint8_t kLeftTag = 0x09;
constexpr uint8_t kRightTag = 0x11;
constexpr size_t kUuidTextSize = 36;
constexpr const char kHex[] = "0123456789abcdef";

bool IsDash(size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

// The 16 bytes of a lower-case 8-4-4-4-12 text; false for any other text (an upper-case one is
// kept as the text it is, so that it reads back unchanged).
bool ParseUuidText(std::string_view text, uint8_t* out) {
    if (std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'F'; }))
        return false;
    uint64_t halves[2] = {0, 0};
    if (!ozy::cairndb::ParseUuidText(text, &halves[0], &halves[1]))
        return false;
    for (size_t i = 0; i < 16; ++i)
        out[i] = static_cast<uint8_t>(halves[i / 8] >> (56 - 8 * (i % 8)));
    return true;
}

}  // namespace

PackedId::PackedId(const PackedId& o) {
    *this = o;
}

PackedId::PackedId(PackedId&& o) noexcept {
    std::memcpy(data_, o.data_, sizeof data_);
    tag_ = o.tag_;
    std::memset(o.data_, 0, sizeof o.data_);
    o.tag_ = kInline;
}

PackedId& PackedId::operator=(const PackedId& o) {
    if (this == &o)
        return *this;
    if (o.tag_ == kHeap) {
        Assign(o.text().view());
        return *this;
    }
    Release();
    std::memcpy(data_, o.data_, sizeof data_);
    tag_ = o.tag_;
    return *this;
}

PackedId& PackedId::operator=(PackedId&& o) noexcept {
    if (this == &o)
        return *this;
    Release();
    std::memcpy(data_, o.data_, sizeof data_);
    tag_ = o.tag_;
    std::memset(o.data_, 0, sizeof o.data_);
    o.tag_ = kInline;
    return *this;
}

void PackedId::Release() {
    if (tag_ == kHeap)
        delete[] HeapText();
    std::memset(data_, 0, sizeof data_);
    tag_ = kInline;
}

const char* PackedId::HeapText() const {
    const char* p = nullptr;
    std::memcpy(&p, data_, sizeof p);
    return p;
}

void PackedId::Assign(std::string_view text) {
    // A heap text being assigned from itself is copied before the block goes.
    uint8_t bytes[16];
    if (ParseUuidText(text, bytes)) {
        Release();
        std::memcpy(data_, bytes, sizeof bytes);
        tag_ = kUuidText;
        return;
    }
    if (text.size() == kUuidMsgSize && static_cast<uint8_t>(text[0]) == kLeftTag &&
        static_cast<uint8_t>(text[9]) == kRightTag) {
        std::memcpy(bytes, text.data() + 1, 8);
        std::memcpy(bytes + 8, text.data() + 10, 8);
        Release();
        std::memcpy(data_, bytes, sizeof bytes);
        tag_ = kUuidMsg;
        return;
    }
    if (text.size() <= kInlineCapacity) {
        char copy[kInlineCapacity];
        if (!text.empty())  // an empty view may have no data
            std::memcpy(copy, text.data(), text.size());
        Release();
        if (!text.empty())
            std::memcpy(data_, copy, text.size());
        data_[kInlineCapacity] = static_cast<uint8_t>(text.size());
        return;
    }
    char* block = new char[text.size()];
    std::memcpy(block, text.data(), text.size());
    Release();
    uint32_t length = static_cast<uint32_t>(text.size());
    std::memcpy(data_, &block, sizeof block);
    std::memcpy(data_ + sizeof block, &length, sizeof length);
    tag_ = kHeap;
}

size_t PackedId::size() const {
    switch (tag_) {
        case kUuidText:
            return kUuidTextSize;
        case kUuidMsg:
            return kUuidMsgSize;
        case kHeap: {
            uint32_t length = 0;
            std::memcpy(&length, data_ + sizeof(char*), sizeof length);
            return length;
        }
        default:
            return data_[kInlineCapacity];
    }
}

size_t PackedId::HeapBytes() const {
    if (tag_ != kHeap)
        return 0;
    size_t c = (size() + 8 + 15) & ~size_t{15};
    return c < 32 ? 32 : c;
}

PackedId::Text PackedId::text() const {
    Text t;
    switch (tag_) {
        case kUuidText: {
            size_t nibble = 0;
            for (size_t i = 0; i < kUuidTextSize; ++i) {
                if (IsDash(i)) {
                    t.buf_[i] = '-';
                    continue;
                }
                uint8_t b = data_[nibble / 2];
                t.buf_[i] = kHex[nibble % 2 == 0 ? b >> 4 : b & 0x0f];
                ++nibble;
            }
            t.size_ = kUuidTextSize;
            break;
        }
        case kUuidMsg:
            t.buf_[0] = static_cast<char>(kLeftTag);
            std::memcpy(t.buf_ + 1, data_, 8);
            t.buf_[9] = static_cast<char>(kRightTag);
            std::memcpy(t.buf_ + 10, data_ + 8, 8);
            t.size_ = kUuidMsgSize;
            break;
        case kHeap:
            t.heap_ = HeapText();
            t.size_ = size();
            break;
        default:
            std::memcpy(t.buf_, data_, data_[kInlineCapacity]);
            t.size_ = data_[kInlineCapacity];
            break;
    }
    return t;
}

size_t PackedId::Hash() const noexcept {
    if (tag_ == kHeap)
        return std::hash<std::string_view>()(text().view()) ^ kHeap;
    size_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : data_)
        h = (h ^ b) * 0x100000001b3ull;
    return (h ^ tag_) * 0x100000001b3ull;
}

bool PackedId::operator==(const PackedId& o) const {
    if (tag_ != o.tag_)
        return false;
    if (tag_ == kHeap)
        return text().view() == o.text().view();
    return std::memcmp(data_, o.data_, sizeof data_) == 0;
}

bool PackedId::operator<(const PackedId& o) const {
    // Both UUID forms keep the texts' byte order in their 16 bytes.
    if (tag_ == o.tag_ && (tag_ == kUuidText || tag_ == kUuidMsg))
        return std::memcmp(data_, o.data_, 16) < 0;
    return text().view() < o.text().view();
}

}  // namespace CfgAgent::dvs

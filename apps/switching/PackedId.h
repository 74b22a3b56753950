#pragma once
// An identifier text as the conversion engine keeps it per record: 24 bytes, no heap block for the
// identifiers it meets almost always. The two UUID forms are kept as their 16 bytes (the
// serialized UuidMsg of the configuration table, 18 bytes as text; the lower-case 8-4-4-4-12 text
// of DVS port and VIF ids, 36 characters); other texts of up to 22 characters inline, longer ones
// in a heap block. A std::string of either UUID form costs 32 bytes and a heap block of 32 or 48.
//
// The form is a function of the text (a text has exactly one), so equality and hashing look at
// the stored bytes; ordering is the texts' byte order (a std::map keyed by it iterates as one
// keyed by the texts).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace CfgAgent::dvs {

class PackedId {
  public:
    static constexpr size_t kInlineCapacity = 22;

    PackedId() = default;
    explicit PackedId(std::string_view text) { Assign(text); }
    PackedId(const PackedId& o);
    PackedId(PackedId&& o) noexcept;
    PackedId& operator=(const PackedId& o);
    PackedId& operator=(PackedId&& o) noexcept;
    PackedId& operator=(std::string_view text) {
        Assign(text);
        return *this;
    }
    ~PackedId() { Release(); }

    // The text in a buffer of its own (no allocation); valid while the Text lives.
    class Text {
      public:
        std::string_view view() const {
            return std::string_view(heap_ != nullptr ? heap_ : buf_, size_);
        }
        operator std::string_view() const { return view(); }  // NOLINT: a view of the id

      private:
        friend class PackedId;
        char buf_[36];
        const char* heap_ = nullptr;  // a heap text is viewed where it is
        size_t size_ = 0;
    };
    Text text() const;
    std::string str() const { return std::string(text().view()); }

    bool empty() const { return tag_ == kInline && data_[kInlineCapacity] == 0; }
    void clear() { Assign(std::string_view()); }
    size_t size() const;
    // The heap block held (texts longer than the inline capacity that are not UUIDs).
    size_t HeapBytes() const;
    size_t Hash() const noexcept;

    bool operator==(const PackedId& o) const;
    bool operator!=(const PackedId& o) const { return !(*this == o); }
    bool operator<(const PackedId& o) const;
    bool operator==(std::string_view text) const { return text == this->text().view(); }
    bool operator!=(std::string_view text) const { return !(*this == text); }

    struct Hasher {
        size_t operator()(const PackedId& id) const noexcept { return id.Hash(); }
    };

  private:
    enum Tag : uint8_t { kInline = 0, kUuidText = 1, kUuidMsg = 2, kHeap = 3 };

    void Assign(std::string_view text);
    void Release();
    const char* HeapText() const;

    // kInline: the characters, the length in the last byte; kUuidText, kUuidMsg: the 16 bytes;
    // kHeap: the block's address and the length (4 bytes). Unused bytes are zero.
    uint8_t data_[kInlineCapacity + 1] = {};
    uint8_t tag_ = kInline;
};

}  // namespace CfgAgent::dvs

#pragma once
// The framing every dataplane message family shares, used by the agent and by the dataplane
// emulator alike.
//
// A message is a 4-byte header (16-bit message type, 16-bit total length including the header)
// followed by a body that is, for most types, a list of TLV elements (16-bit data type, 16-bit
// element length including the 4-byte element header, value). All integers are big-endian.
//
// Received bytes are never trusted: DpTlvWalker checks every element against the end of its range
// before handing it out and stops for good at the first one that does not fit. Builders compute
// the final size first and allocate it once (DpMsgWriter); writing past that size is refused, so a
// sizing mistake yields an empty message and a log line instead of a corrupt one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace CfgAgent {

constexpr size_t kDpMsgHeaderSize = 4;
constexpr size_t kDpTlvHeaderSize = 4;
constexpr size_t kDpMaxMsgSize = 0xFFFF;

// One framed message, header included. Owned by whoever holds it; a send queue owns it until
// written.
using DpMsg = std::vector<uint8_t>;

// --- big-endian access ---
inline uint16_t LoadBe16(const uint8_t* p) {
    return static_cast<uint16_t>((static_cast<unsigned>(p[0]) << 8) | p[1]);
}
inline uint32_t LoadBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline uint64_t LoadBe64(const uint8_t* p) {
    return (static_cast<uint64_t>(LoadBe32(p)) << 32) | LoadBe32(p + 4);
}
inline void StoreBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void StoreBe64(uint8_t* p, uint64_t v) {
    StoreBe32(p, static_cast<uint32_t>(v >> 32));
    StoreBe32(p + 4, static_cast<uint32_t>(v));
}

// --- header ---
// The caller guarantees at least kDpMsgHeaderSize readable bytes.
inline uint16_t DpMsgType(const uint8_t* msg) {
    return LoadBe16(msg);
}
inline uint16_t DpMsgLength(const uint8_t* msg) {
    return LoadBe16(msg + 2);
}

// The length field of a received message when the header is sane: at least 4 bytes are
// available, and the length field is at least 4 and no more than what is available. 0 otherwise.
size_t DpMsgCheckedLength(const uint8_t* msg, size_t available);

// A text field of fixed width (NUL-padded on the wire): the bytes up to the first NUL, at most
// `width` of them.
std::string DpFixedString(const uint8_t* p, size_t width);

// --- walking ---

struct DpTlv {
    uint16_t type = 0;
    uint16_t length = 0;  // element length, element header included
    const uint8_t* value = nullptr;
    size_t valueSize = 0;  // length - 4
    size_t offset = 0;     // offset of the element header from the walker's base
};

// Walks the elements in [base + begin, base + end). Before an element is handed out it must have
// its 4-byte header inside the range, a length of at least 4, and an end inside the range;
// otherwise the walk stops for good and Malformed() is true. Elements handed out before that
// point stay valid.
class DpTlvWalker {
  public:
    DpTlvWalker(const uint8_t* base, size_t begin, size_t end);
    // The elements of a received message from `firstOffset` to its length field. A message whose
    // header is not sane (DpMsgCheckedLength) is malformed at once; a message that ends exactly at
    // `firstOffset` has no elements and is fine.
    static DpTlvWalker OverMessage(const uint8_t* msg, size_t available, size_t firstOffset);

    // The next element; false at the end or when the rest does not fit.
    bool Next(DpTlv* tlv);
    bool Malformed() const { return malformed_; }
    bool AtEnd() const { return pos_ >= end_; }
    // Where the walk stands: past the last element handed out.
    size_t Offset() const { return pos_; }

  private:
    const uint8_t* base_;
    size_t pos_;
    size_t end_;
    bool malformed_ = false;
};

// --- building ---

// Appends big-endian fields to a byte vector (property values, records).
class DpBytesWriter {
  public:
    explicit DpBytesWriter(std::vector<uint8_t>& out) : out_(out) {}
    DpBytesWriter& U8(uint8_t v);
    DpBytesWriter& Be16(uint16_t v);
    DpBytesWriter& Be32(uint32_t v);
    DpBytesWriter& Be64(uint64_t v);
    DpBytesWriter& Bytes(const void* data, size_t size);
    DpBytesWriter& Zeros(size_t count);
    // `text` NUL-padded to `width`; a longer text is cut to `width` bytes.
    DpBytesWriter& FixedString(std::string_view text, size_t width);
    // One TLV element: type, 4 + value size, value. The caller keeps value sizes below 65532.
    DpBytesWriter& Tlv(uint16_t type, const void* value, size_t size);
    size_t Size() const { return out_.size(); }

  private:
    std::vector<uint8_t>& out_;
};

// Writes one message into a buffer allocated once at its final size.
class DpMsgWriter {
  public:
    // `totalSize` must lie in 4..65535; otherwise the writer is failed from the start.
    DpMsgWriter(uint16_t type, size_t totalSize);

    DpMsgWriter& U8(uint8_t v);
    DpMsgWriter& Be16(uint16_t v);
    DpMsgWriter& Be32(uint32_t v);
    DpMsgWriter& Be64(uint64_t v);
    DpMsgWriter& Bytes(const void* data, size_t size);
    DpMsgWriter& Zeros(size_t count);
    DpMsgWriter& FixedString(std::string_view text, size_t width);
    DpMsgWriter& Tlv(uint16_t type, const void* value, size_t size);
    // An element whose value is written afterwards: returns the element's offset for EndTlv.
    size_t BeginTlv(uint16_t type);
    void EndTlv(size_t elementOffset);
    // Overwrites 16 bits already written.
    void PatchBe16(size_t offset, uint16_t v);

    size_t Position() const { return pos_; }
    bool Ok() const { return ok_; }
    // The message when exactly the announced size was written without overflow; otherwise an
    // error is logged and the result is empty.
    DpMsg Finish();

  private:
    uint8_t* Reserve(size_t n);

    DpMsg buf_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// --- rendering ---

// The fixed-size text buffer of a family's dump routine: a title line, then lines appended
// printf-style; text stops when the buffer (title included, like a C buffer with its NUL) is full.
class DpDumpText {
  public:
    DpDumpText(size_t capacity, const char* title);
    void Append(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool Full() const { return full_; }
    const std::string& Text() const { return text_; }

  private:
    size_t capacity_;
    std::string text_;
    bool full_ = false;
};

}  // namespace CfgAgent

#pragma once
// Tells whether bytes are exactly what a message class's serialization writes, without parsing
// them into a message: every field known and of its wire type, in ascending field order and each
// at most once, varints and lengths in their shortest form, values within their field's range
// (a bool 0 or 1, an enum one of its values), a proto3 field without presence never at its
// default, at most one member of a oneof, nested messages alike. Bytes that pass parse into the
// message and serialize back to themselves, so a writer can take them as they are.
//
// Some valid bytes are not judged here and fail: repeated, string, floating-point and signed
// fields present, unknown fields, classes with required fields and messages nested deeper than
// kMaxDepth. The caller parses those. Each message class's field table is built once and kept; a
// nested message's field points at its class's table, and the last class checked is remembered,
// so that checking many entries of one class in turn looks no table up. Not thread-safe.
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

namespace google::protobuf {
class Descriptor;
}

namespace ozy::cairndb {

class CanonicalWire {
  public:
    static constexpr int kMaxDepth = 8;

    // True when `bytes` are the serialization of a message of class `d` (see above).
    bool Check(const google::protobuf::Descriptor* d, std::string_view bytes);

  private:
    enum class Kind : uint8_t {
        kNone,
        kUint64,
        kUint32,
        kBool,
        kEnum,
        kFixed32,
        kFixed64,
        kBytes,
        kMessage
    };
    struct Layout;
    struct Field {
        Kind kind = Kind::kNone;
        bool presence = false;       // explicit presence: a default value is written too
        int oneof = -1;              // the real oneof it belongs to
        const void* type = nullptr;  // Descriptor of a message, EnumDescriptor of an enum
        // An enum's values below 64, a bit each (an entry's op is checked once per entry).
        uint64_t enumBelow64 = 0;
        // A message's table, once it was looked up (the tables stay where they are).
        mutable const Layout* nested = nullptr;
    };
    struct Layout {
        std::vector<Field> byNumber;  // indexed by field number; kNone where none or not judged
        int oneofs = 0;
        bool judged = true;  // false for a class with required fields (a parse checks them)
    };
    const Layout& LayoutOf(const google::protobuf::Descriptor* d);
    bool CheckAt(const Layout& layout, std::string_view bytes, int depth);

    std::map<const google::protobuf::Descriptor*, Layout> layouts_;
    const google::protobuf::Descriptor* lastClass_ = nullptr;
    const Layout* lastLayout_ = nullptr;
};

}  // namespace ozy::cairndb

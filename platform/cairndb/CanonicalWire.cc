#include "platform/cairndb/CanonicalWire.h"

#include <google/protobuf/descriptor.h>

namespace ozy::cairndb {

namespace {

using google::protobuf::Descriptor;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;

// Field numbers above this are not judged (the table is indexed by number).
constexpr int kMaxNumber = 255;

// A varint in its shortest form (no trailing zero group); false when it is not whole or longer.
bool ShortVarint(const char** p, const char* end, uint64_t* v) {
    uint64_t r = 0;
    for (int i = 0; i < 10 && *p < end; ++i) {
        const auto b = static_cast<uint8_t>(*(*p)++);
        r |= uint64_t{b & 0x7fu} << (7 * i);
        if ((b & 0x80) == 0) {
            if (i > 0 && b == 0)
                return false;
            if (i == 9 && b > 1)
                return false;
            *v = r;
            return true;
        }
    }
    return false;
}

}  // namespace

const CanonicalWire::Layout& CanonicalWire::LayoutOf(const Descriptor* d) {
    auto found = layouts_.find(d);
    if (found != layouts_.end())
        return found->second;
    Layout layout;
    layout.oneofs = d->oneof_decl_count();
    for (int i = 0; i < d->field_count(); ++i) {
        const FieldDescriptor* f = d->field(i);
        if (f->is_required())
            layout.judged = false;
        if (f->number() > kMaxNumber || f->is_repeated() || f->is_extension())
            continue;
        Field field;
        field.presence = f->has_presence();
        field.oneof =
            f->real_containing_oneof() != nullptr ? f->real_containing_oneof()->index() : -1;
        switch (f->type()) {
            case FieldDescriptor::TYPE_UINT64:
                field.kind = Kind::kUint64;
                break;
            case FieldDescriptor::TYPE_UINT32:
                field.kind = Kind::kUint32;
                break;
            case FieldDescriptor::TYPE_BOOL:
                field.kind = Kind::kBool;
                break;
            case FieldDescriptor::TYPE_ENUM:
                field.kind = Kind::kEnum;
                field.type = f->enum_type();
                for (int v = 0; v < f->enum_type()->value_count(); ++v) {
                    const int number = f->enum_type()->value(v)->number();
                    if (number >= 0 && number < 64)
                        field.enumBelow64 |= uint64_t{1} << number;
                }
                break;
            case FieldDescriptor::TYPE_FIXED32:
                field.kind = Kind::kFixed32;
                break;
            case FieldDescriptor::TYPE_FIXED64:
                field.kind = Kind::kFixed64;
                break;
            case FieldDescriptor::TYPE_BYTES:
                field.kind = Kind::kBytes;
                break;
            case FieldDescriptor::TYPE_MESSAGE:
                field.kind = Kind::kMessage;
                field.type = f->message_type();
                break;
            default:
                continue;  // signed, floating-point, string and group fields are not judged
        }
        if (layout.byNumber.size() <= static_cast<size_t>(f->number()))
            layout.byNumber.resize(static_cast<size_t>(f->number()) + 1);
        layout.byNumber[static_cast<size_t>(f->number())] = field;
    }
    return layouts_.emplace(d, std::move(layout)).first->second;
}

bool CanonicalWire::Check(const Descriptor* d, std::string_view bytes) {
    if (d != lastClass_) {
        lastLayout_ = &LayoutOf(d);
        lastClass_ = d;
    }
    return CheckAt(*lastLayout_, bytes, 0);
}

bool CanonicalWire::CheckAt(const Layout& layout, std::string_view bytes, int depth) {
    if (depth > kMaxDepth)
        return false;
    uint64_t oneofsSeen = 0;  // bit per oneof (more than 64 oneofs: not judged)
    if (!layout.judged || layout.oneofs > 64)
        return false;
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    uint64_t last = 0;
    while (p < end) {
        uint64_t tag = 0;
        if (!ShortVarint(&p, end, &tag))
            return false;
        const uint64_t number = tag >> 3;
        const int wireType = static_cast<int>(tag & 7);
        if (number <= last || number >= layout.byNumber.size())
            return false;
        last = number;
        const Field& f = layout.byNumber[number];
        if (f.kind == Kind::kNone)
            return false;
        if (f.oneof >= 0) {
            const uint64_t bit = uint64_t{1} << f.oneof;
            if ((oneofsSeen & bit) != 0)
                return false;
            oneofsSeen |= bit;
        }
        uint64_t v = 0;
        switch (f.kind) {
            case Kind::kUint64:
            case Kind::kUint32:
            case Kind::kBool:
            case Kind::kEnum:
                if (wireType != 0 || !ShortVarint(&p, end, &v))
                    return false;
                if (f.kind == Kind::kUint32 && v > UINT32_MAX)
                    return false;
                if (f.kind == Kind::kBool && v > 1)
                    return false;
                if (f.kind == Kind::kEnum &&
                    (v < 64 ? ((f.enumBelow64 >> v) & 1) == 0
                            : v > INT32_MAX ||
                                  static_cast<const EnumDescriptor*>(f.type)->FindValueByNumber(
                                      static_cast<int>(v)) == nullptr))
                    return false;
                if (!f.presence && v == 0)
                    return false;
                break;
            case Kind::kFixed32:
            case Kind::kFixed64: {
                const size_t size = f.kind == Kind::kFixed32 ? 4 : 8;
                if (wireType != (f.kind == Kind::kFixed32 ? 5 : 1) ||
                    static_cast<size_t>(end - p) < size)
                    return false;
                if (!f.presence) {
                    bool zero = true;
                    for (size_t i = 0; i < size; ++i)
                        zero = zero && p[i] == 0;
                    if (zero)
                        return false;
                }
                p += size;
                break;
            }
            case Kind::kBytes:
            case Kind::kMessage: {
                if (wireType != 2 || !ShortVarint(&p, end, &v) ||
                    v > static_cast<uint64_t>(end - p))
                    return false;
                const std::string_view inner(p, static_cast<size_t>(v));
                p += v;
                if (f.kind == Kind::kBytes) {
                    if (!f.presence && inner.empty())
                        return false;
                } else {
                    if (f.nested == nullptr)
                        f.nested = &LayoutOf(static_cast<const Descriptor*>(f.type));
                    if (!CheckAt(*f.nested, inner, depth + 1))
                        return false;
                }
                break;
            }
            case Kind::kNone:
                return false;
        }
    }
    return true;
}

}  // namespace ozy::cairndb

#include "intake/decode/DecodeCommon.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <vector>

#include "proto/UuidText.h"

namespace CfgAgent::decode {

namespace gp = google::protobuf;

Input::Input(const pb::MonitorUpdateMsg& u) : update(u) {
    if (u.has_span_context()) {
        trace = u.span_context().SerializeAsString();
        parents.push_back(trace);
    }
}

bool ParseOrDefault(gp::MessageLite& msg, const std::string& bytes) {
    if (msg.ParseFromString(bytes)) {
        return true;
    }
    // A failed parse may leave a partly filled message; the contract is the default message.
    msg.Clear();
    return false;
}

std::string IdText(const pb::UuidMsg& id) {
    return ozy::cairndb::UuidText(id.left(), id.right());
}

void AddRecord(CairnDBUpdateList& out, const RecordBase& base, PropertyType property,
               std::string data, Operation op) {
    out.emplace_back();
    CairnDBUpdateMsg& r = out.back();
    r.objType = base.type;
    r.id = base.id;
    r.property = property;
    r.data = std::move(data);
    r.op = op;
    if (base.trace.empty() && base.tenant.empty())
        return;
    if (!base.contexts || base.contexts->trace != base.trace ||
        base.contexts->tenant != base.tenant)
        base.contexts = MakeRecordContexts(base.trace, base.tenant);
    r.ShareContexts(base.contexts);
}

namespace {

// Byte range of one top-level field occurrence in a serialized message.
struct FieldSpan {
    uint32_t field;
    int begin;
    int end;
};

// Splits a serialized message into its top-level field occurrences; false when the bytes are not
// a well-formed message.
bool SplitFields(const std::string& bytes, std::vector<FieldSpan>& out) {
    out.clear();
    gp::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(bytes.data()),
                                static_cast<int>(bytes.size()));
    for (;;) {
        const int begin = in.CurrentPosition();
        const uint32_t tag = in.ReadTag();
        if (tag == 0) {
            return begin == static_cast<int>(bytes.size());
        }
        if (!gp::internal::WireFormatLite::SkipField(&in, tag)) {
            return false;
        }
        out.push_back(
            FieldSpan{static_cast<uint32_t>(gp::internal::WireFormatLite::GetTagFieldNumber(tag)),
                      begin, in.CurrentPosition()});
    }
}

}  // namespace

void PatternP(const Input& /*in*/, const RecordBase& base, PBOpType objectOp,
              const std::string& rawBody, const PropertyField* props, size_t propCount,
              CairnDBUpdateList& out) {
    if (objectOp == PBOpType::CLEAR) {
        AddRecord(out, base, PropertyType::INVALID_PROPERTY, std::string(),
                  Operation::OPERATION_DELETE);
        return;
    }
    if (objectOp != PBOpType::SET) {
        return;
    }
    out.reserve(out.size() + 1 + propCount);
    AddRecord(out, base, PropertyType::INVALID_PROPERTY, rawBody, Operation::OPERATION_UPDATE);
    // A body holding only one property is, on the wire, exactly that property's field
    // occurrences: cut them out of the delivered body instead of rebuilding messages.
    thread_local std::vector<FieldSpan> spans;
    if (!SplitFields(rawBody, spans)) {
        spans
            .clear();  // rawBody parsed before, so this does not happen; decode as the default body
    }
    for (size_t i = 0; i < propCount; ++i) {
        std::string data;
        for (const FieldSpan& s : spans) {
            if (s.field == static_cast<uint32_t>(props[i].fieldNumber)) {
                data.append(rawBody, static_cast<size_t>(s.begin),
                            static_cast<size_t>(s.end - s.begin));
            }
        }
        if (data.empty()) {
            AddRecord(out, base, props[i].property, std::string(), Operation::OPERATION_DELETE);
        } else {
            AddRecord(out, base, props[i].property, std::move(data), Operation::OPERATION_UPDATE);
        }
    }
}

}  // namespace CfgAgent::decode

#include "intake/decode/DecodeCommon.h"

#include <google/protobuf/descriptor.h>

#include <memory>

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
    r.traceContext = base.trace;
    r.tenantContext = base.tenant;
}

bool HasField(const gp::Message& msg, int fieldNumber) {
    const gp::FieldDescriptor* fd = msg.GetDescriptor()->FindFieldByNumber(fieldNumber);
    if (fd == nullptr) {
        return false;
    }
    const gp::Reflection* r = msg.GetReflection();
    return fd->is_repeated() ? r->FieldSize(msg, fd) > 0 : r->HasField(msg, fd);
}

namespace {

// Copies one field (singular or repeated) from `src` into `dst` of the same class.
void CopyField(const gp::Message& src, gp::Message* dst, const gp::FieldDescriptor* fd) {
    const gp::Reflection* rs = src.GetReflection();
    const gp::Reflection* rd = dst->GetReflection();
    if (fd->is_repeated()) {
        const int n = rs->FieldSize(src, fd);
        for (int i = 0; i < n; ++i) {
            switch (fd->cpp_type()) {
                case gp::FieldDescriptor::CPPTYPE_INT32:
                    rd->AddInt32(dst, fd, rs->GetRepeatedInt32(src, fd, i));
                    break;
                case gp::FieldDescriptor::CPPTYPE_INT64:
                    rd->AddInt64(dst, fd, rs->GetRepeatedInt64(src, fd, i));
                    break;
                case gp::FieldDescriptor::CPPTYPE_UINT32:
                    rd->AddUInt32(dst, fd, rs->GetRepeatedUInt32(src, fd, i));
                    break;
                case gp::FieldDescriptor::CPPTYPE_UINT64:
                    rd->AddUInt64(dst, fd, rs->GetRepeatedUInt64(src, fd, i));
                    break;
                case gp::FieldDescriptor::CPPTYPE_DOUBLE:
                    rd->AddDouble(dst, fd, rs->GetRepeatedDouble(src, fd, i));
                    break;
                case gp::FieldDescriptor::CPPTYPE_FLOAT:
                    rd->AddFloat(dst, fd, rs->GetRepeatedFloat(src, fd, i));
                    break;
                case gp::FieldDescriptor::CPPTYPE_BOOL:
                    rd->AddBool(dst, fd, rs->GetRepeatedBool(src, fd, i));
                    break;
                case gp::FieldDescriptor::CPPTYPE_ENUM:
                    rd->AddEnumValue(dst, fd, rs->GetRepeatedEnumValue(src, fd, i));
                    break;
                case gp::FieldDescriptor::CPPTYPE_STRING:
                    rd->AddString(dst, fd, rs->GetRepeatedString(src, fd, i));
                    break;
                case gp::FieldDescriptor::CPPTYPE_MESSAGE:
                    rd->AddMessage(dst, fd)->CopyFrom(rs->GetRepeatedMessage(src, fd, i));
                    break;
            }
        }
        return;
    }
    if (!rs->HasField(src, fd)) {
        return;
    }
    switch (fd->cpp_type()) {
        case gp::FieldDescriptor::CPPTYPE_INT32:
            rd->SetInt32(dst, fd, rs->GetInt32(src, fd));
            break;
        case gp::FieldDescriptor::CPPTYPE_INT64:
            rd->SetInt64(dst, fd, rs->GetInt64(src, fd));
            break;
        case gp::FieldDescriptor::CPPTYPE_UINT32:
            rd->SetUInt32(dst, fd, rs->GetUInt32(src, fd));
            break;
        case gp::FieldDescriptor::CPPTYPE_UINT64:
            rd->SetUInt64(dst, fd, rs->GetUInt64(src, fd));
            break;
        case gp::FieldDescriptor::CPPTYPE_DOUBLE:
            rd->SetDouble(dst, fd, rs->GetDouble(src, fd));
            break;
        case gp::FieldDescriptor::CPPTYPE_FLOAT:
            rd->SetFloat(dst, fd, rs->GetFloat(src, fd));
            break;
        case gp::FieldDescriptor::CPPTYPE_BOOL:
            rd->SetBool(dst, fd, rs->GetBool(src, fd));
            break;
        case gp::FieldDescriptor::CPPTYPE_ENUM:
            rd->SetEnumValue(dst, fd, rs->GetEnumValue(src, fd));
            break;
        case gp::FieldDescriptor::CPPTYPE_STRING:
            rd->SetString(dst, fd, rs->GetString(src, fd));
            break;
        case gp::FieldDescriptor::CPPTYPE_MESSAGE:
            rd->MutableMessage(dst, fd)->CopyFrom(rs->GetMessage(src, fd));
            break;
    }
}

}  // namespace

void PatternP(const Input& /*in*/, const RecordBase& base, PBOpType objectOp,
              const gp::Message& body, const std::string& rawBody, const PropertyField* props,
              size_t propCount, CairnDBUpdateList& out) {
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
    const gp::Descriptor* desc = body.GetDescriptor();
    std::unique_ptr<gp::Message> part(body.New());
    for (size_t i = 0; i < propCount; ++i) {
        const gp::FieldDescriptor* fd = desc->FindFieldByNumber(props[i].fieldNumber);
        const gp::Reflection* r = body.GetReflection();
        bool present = fd != nullptr &&
                       (fd->is_repeated() ? r->FieldSize(body, fd) > 0 : r->HasField(body, fd));
        if (!present) {
            AddRecord(out, base, props[i].property, std::string(), Operation::OPERATION_DELETE);
            continue;
        }
        part->Clear();
        CopyField(body, part.get(), fd);
        AddRecord(out, base, props[i].property, part->SerializeAsString(),
                  Operation::OPERATION_UPDATE);
    }
}

}  // namespace CfgAgent::decode

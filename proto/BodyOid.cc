#include "proto/BodyOid.h"

#include <memory>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "proto/UuidText.h"
#include "proto/cairndb_types.pb.h"

namespace ozy::cairndb {

bool BodyOid(const ObjectTypeInfo& info, const std::string& bytes, std::string* oid,
             std::string* error) {
    std::unique_ptr<google::protobuf::Message> body(info.body->New());
    if (!body->ParseFromString(bytes)) {
        *error = "body of " + info.name + " does not parse";
        return false;
    }
    const auto* idField = body->GetDescriptor()->FindFieldByName("id");
    const auto* id =
        idField != nullptr &&
                idField->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE &&
                body->GetReflection()->HasField(*body, idField)
            ? dynamic_cast<const orvane::ozy::cairndb::UuidMsg*>(
                  &body->GetReflection()->GetMessage(*body, idField))
            : nullptr;
    if (id == nullptr) {
        *error = "body of " + info.name + " has no id";
        return false;
    }
    *oid = UuidText(id->left(), id->right());
    return true;
}

}  // namespace ozy::cairndb

#pragma once
// Modify requests addressed to one vdb, as the runtime writers build them: a flush of a type, a
// put of a serialized body, a delete by identifier and a patch (an op message of the type with a
// partial body). Shared by the SmartNIC side of the database client and the Mux.
#include <cstdint>
#include <string>

#include "intake/CfgTypes.h"

namespace google::protobuf {
class Message;
}
namespace orvane::ozy::cairndb {
class ModifyRequestMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

orvane::ozy::cairndb::ModifyRequestMsg FlushRequest(uint16_t vdb, ObjectType type);
orvane::ozy::cairndb::ModifyRequestMsg PutRequest(uint16_t vdb, ObjectType type, std::string body);
// `id`: the serialized UuidMsg of the object.
orvane::ozy::cairndb::ModifyRequestMsg DeleteRequest(uint16_t vdb, ObjectType type,
                                                     const std::string& id);
orvane::ozy::cairndb::ModifyRequestMsg PatchRequest(uint16_t vdb, ObjectType type,
                                                    const std::string& id,
                                                    const google::protobuf::Message& op,
                                                    const google::protobuf::Message& body);

}  // namespace CfgAgent

#include "intake/ModifyRequests.h"

#include "proto/cairndb_modify.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

namespace {
pb::UuidMsg UuidOf(const std::string& serialized) {
    pb::UuidMsg u;
    if (!u.ParseFromString(serialized))
        u.Clear();
    return u;
}
}  // namespace

pb::ModifyRequestMsg FlushRequest(uint16_t vdb, ObjectType type) {
    pb::ModifyRequestMsg r;
    r.set_vdb(vdb);
    r.mutable_flush()->set_object_type(static_cast<pb::ObjectType>(type));
    return r;
}

pb::ModifyRequestMsg PutRequest(uint16_t vdb, ObjectType type, std::string body) {
    pb::ModifyRequestMsg r;
    r.set_vdb(vdb);
    r.mutable_put()->mutable_object()->set_object_type(static_cast<pb::ObjectType>(type));
    r.mutable_put()->mutable_object()->set_body(std::move(body));
    return r;
}

pb::ModifyRequestMsg DeleteRequest(uint16_t vdb, ObjectType type, const std::string& id) {
    pb::ModifyRequestMsg r;
    r.set_vdb(vdb);
    r.mutable_delete_()->set_object_type(static_cast<pb::ObjectType>(type));
    *r.mutable_delete_()->mutable_id() = UuidOf(id);
    return r;
}

pb::ModifyRequestMsg PatchRequest(uint16_t vdb, ObjectType type, const std::string& id,
                                  const google::protobuf::Message& op,
                                  const google::protobuf::Message& body) {
    pb::ModifyRequestMsg r;
    r.set_vdb(vdb);
    pb::PatchMsg* p = r.mutable_patch();
    p->set_object_type(static_cast<pb::ObjectType>(type));
    *p->mutable_id() = UuidOf(id);
    p->set_op(op.SerializeAsString());
    p->set_body(body.SerializeAsString());
    return r;
}

}  // namespace CfgAgent

#include "intake/ReportRequests.h"

#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_types.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

pb::UuidMsg ReportObjectId(uint32_t number) {
    pb::UuidMsg id;
    id.set_left(0);
    id.set_right(number);
    return id;
}

pb::ModifyRequestMsg PutReportRequest(uint16_t vdb, ObjectType type, const std::string& body) {
    pb::ModifyRequestMsg m;
    m.set_vdb(vdb);
    pb::TypedObjectMsg* obj = m.mutable_put()->mutable_object();
    obj->set_object_type(static_cast<pb::ObjectType>(type));
    obj->set_body(body);
    return m;
}

}  // namespace CfgAgent

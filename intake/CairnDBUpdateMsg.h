#pragma once
// The decoded change record and the batches that carry it: UpdateBatch from the database client to
// the message dispatcher, WriteBatch from the components to the database writer.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "intake/CfgTypes.h"
#include "runtime/MsgQueue.h"

namespace orvane::ozy::cairndb {
class ModifyRequestMsg;
}

namespace CfgAgent {

// One decoded change; copied by value, owns its strings.
struct CairnDBUpdateMsg {
    ObjectType objType = ObjectType::OBJECT_TYPE_INVALID;
    // Serialized UuidMsg of the object (or its natural key where the type has no UUID).
    std::string id;
    // 0 for a whole-object record.
    PropertyType property = PropertyType::INVALID_PROPERTY;
    // Serialized body: the whole object, or an object with only `property` set; empty for a delete
    // without body.
    std::string data;
    Operation op = Operation::OPERATION_UPDATE;
    // Serialized SpanContextMsg ("" when the change carried none).
    std::string traceContext;
    // Serialized TenantContextMsg ("" when the object has none).
    std::string tenantContext;

    bool operator==(const CairnDBUpdateMsg& o) const {
        return objType == o.objType && id == o.id && property == o.property && data == o.data &&
               op == o.op && traceContext == o.traceContext && tenantContext == o.tenantContext;
    }
};

using CairnDBUpdateList = std::vector<CairnDBUpdateMsg>;
// Per-destination lists, components in ascending order, records in decode order.
using ComponentUpdateMap = std::map<ComponentType, CairnDBUpdateList>;
// (records, (full-sync flag, transaction id)).
using UpdateBatch = std::pair<ComponentUpdateMap, std::pair<bool, uint64_t>>;
using UpdateQueue = MsgQueue<UpdateBatch>;
using UpdateQueuePtr = std::shared_ptr<UpdateQueue>;

// (modify requests, write message id).
using WriteBatch = std::pair<std::vector<orvane::ozy::cairndb::ModifyRequestMsg>, uint64_t>;
using WriteQueue = MsgQueue<WriteBatch>;
using WriteQueuePtr = std::shared_ptr<WriteQueue>;

// Files copies of `records` under `component`: component NONE (0) is ignored; otherwise the entry
// is created when absent (even for an empty list) and the copies are appended in order.
void AddUpdatesToBatch(ComponentUpdateMap& batch, const CairnDBUpdateList& records,
                       ComponentType component);

}  // namespace CfgAgent

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

// The trace and tenant contexts of a change: every record decoded from one change shares them.
struct RecordContexts {
    std::string trace;   // serialized SpanContextMsg ("" when the change carried none)
    std::string tenant;  // serialized TenantContextMsg ("" when the object has none)
};

// The shared pair of `trace` and `tenant`; null when both are empty.
std::shared_ptr<const RecordContexts> MakeRecordContexts(std::string trace, std::string tenant);

// One decoded change; copied by value, owns its strings. A full sync holds one such record per
// property of every object at once (a logical port is 18), so the record is kept small: the
// contexts, which every record of a change has alike and most changes have none of, are one
// shared immutable pair instead of two strings per record.
struct CairnDBUpdateMsg {
    ObjectType objType = ObjectType::OBJECT_TYPE_INVALID;
    // 0 for a whole-object record.
    PropertyType property = PropertyType::INVALID_PROPERTY;
    Operation op = Operation::OPERATION_UPDATE;
    // Serialized UuidMsg of the object (or its natural key where the type has no UUID).
    std::string id;
    // Serialized body: the whole object, or an object with only `property` set; empty for a delete
    // without body.
    std::string data;

    // Serialized SpanContextMsg ("" when the change carried none).
    const std::string& traceContext() const;
    // Serialized TenantContextMsg ("" when the object has none).
    const std::string& tenantContext() const;
    // Each setter leaves the other context as it was; the pair shared with other records is not
    // changed (this record gets its own).
    void SetTraceContext(std::string trace);
    void SetTenantContext(std::string tenant);
    // Shares `contexts` (null: none) with the other records of its change.
    void ShareContexts(std::shared_ptr<const RecordContexts> contexts);
    const std::shared_ptr<const RecordContexts>& sharedContexts() const { return contexts_; }

    bool operator==(const CairnDBUpdateMsg& o) const {
        return objType == o.objType && id == o.id && property == o.property && data == o.data &&
               op == o.op && traceContext() == o.traceContext() &&
               tenantContext() == o.tenantContext();
    }

  private:
    std::shared_ptr<const RecordContexts> contexts_;
};

using CairnDBUpdateList = std::vector<CairnDBUpdateMsg>;
// Per-destination lists, components in ascending order, records in decode order.
using ComponentUpdateMap = std::map<ComponentType, CairnDBUpdateList>;
// (records, (full-sync flag, transaction id)). A part of a full sync (`part`) carries the
// transaction id of the full sync it belongs to and the full-sync flag; the barrier's batch ends
// it (see Component.h).
struct UpdateBatch : std::pair<ComponentUpdateMap, std::pair<bool, uint64_t>> {
    using std::pair<ComponentUpdateMap, std::pair<bool, uint64_t>>::pair;
    bool part = false;
};
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

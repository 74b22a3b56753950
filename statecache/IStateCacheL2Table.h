#pragma once
// What applications and the CLI see of the L2 table (component L2CACHE): runtime writes, observer
// registration and queries over the desired ("remote") and runtime ("local") stores.
//
// An object (a logical switch, routing domain or VTEP group, by serialized id) holds per entry
// property (L2_VM_IP .. L2_VTEP_GROUP) a map from L2ValueKey to the serialized entry body. Query
// results are CairnDBUpdateMsg records (op OPERATION_UPDATE): the object's whole-object record
// (property 0, empty data) followed by one record per entry, entries in key order. Every query
// returns copies and takes the global agent lock; absent objects and entries are normal results.
#include <cstddef>
#include <cstdint>
#include <string>

#include "intake/CairnDBUpdateMsg.h"
#include "statecache/L2ValueKey.h"

namespace CfgAgent {

class SCL2TableObserver;

enum class L2Store { kDesired, kRuntime };

class IStateCacheL2Table {
  public:
    virtual ~IStateCacheL2Table() = default;

    // Filters unchanged runtime entries, applies the rest to the runtime store and notifies the
    // runtime observers. The records are taken (a list handed over with std::move is not copied:
    // the changes the observers get are its records, moved, or the list itself when its records
    // are all changes).
    virtual void UpdateRuntimeState(CairnDBUpdateList updates, bool fullSync) = 0;
    // Runtime updates made until the batch ends change the runtime store at once, but reach the
    // runtime observers together when it ends: the changes of every update, in their order, as
    // the lists of those updates (SCL2TableObserver::ProcessL2RuntimeStateBatch; a receiver that
    // has more reports waiting has them written together). A batch that
    // collects a bound of changes hands them on early; a runtime full sync hands on what waits
    // before its own. Batches do not nest (a second begin changes nothing).
    virtual void BeginRuntimeBatch() {}
    virtual void EndRuntimeBatch() {}

    virtual bool RegisterDesiredStateObserver(SCL2TableObserver* observer) = 0;
    virtual bool RegisterRuntimeStateObserver(SCL2TableObserver* observer) = 0;
    virtual bool UnregisterDesiredStateObserver(SCL2TableObserver* observer) = 0;
    virtual bool UnregisterRuntimeStateObserver(SCL2TableObserver* observer) = 0;

    // Every object of a type with its entries.
    virtual bool GetObjectsOfType(L2Store store, ObjectType type, CairnDBUpdateList* out) const = 0;
    // The object(s) with this id, with their entries.
    virtual bool GetObject(L2Store store, const std::string& id, CairnDBUpdateList* out) const = 0;
    // The entries of one property of one object.
    virtual bool GetProperty(L2Store store, ObjectType type, const std::string& id,
                             PropertyType property, CairnDBUpdateList* out) const = 0;
    // One entry body by key (the 64-bit form is the key with part 1 = 0).
    virtual bool GetEntry(L2Store store, ObjectType type, const std::string& id,
                          PropertyType property, uint64_t valueKey, std::string* body) const = 0;
    virtual bool GetEntry(L2Store store, ObjectType type, const std::string& id,
                          PropertyType property, const L2ValueKey& valueKey,
                          std::string* body) const = 0;

    // Drops an object (all its types) from the runtime store, without notifying observers.
    virtual void RemoveLocalForwardingTable(const std::string& id) = 0;

    virtual size_t CacheBytes(L2Store store) const = 0;
    virtual size_t EntryCount(L2Store store) const = 0;
    virtual uint32_t FullSyncVersion(L2Store store) const = 0;

    // JSON dumps: the whole store ("cfgagent/l2/remote", "cfgagent/l2/local"), the objects of one
    // type, and one property of one object ("cfgagent/statecache/L2mac" and the like).
    virtual std::string DumpJson(L2Store store) const = 0;
    virtual std::string DumpObjectsJson(L2Store store, ObjectType type) const = 0;
    virtual std::string DumpPropertyJson(L2Store store, ObjectType type, const std::string& id,
                                         PropertyType property) const = 0;
};

}  // namespace CfgAgent

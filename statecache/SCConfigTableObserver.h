#pragma once
// Observer of the configuration table. An observer registers per object type, separately for the
// desired and the runtime store; on every applied update it receives, in one call per store, the
// applied records of the types it registered for, in decode order, with the update's full-sync
// flag. Calls come on the thread that applied the update, with the global agent lock held and the
// store already updated (queries from the callback see the new state), never with the table's own
// mutex held. An observer must unregister before it is destroyed.
//
// A full sync of the desired store may arrive in parts (Component.h). An observer that takes parts
// (TakesDesiredFullSyncParts) gets each part's records of its types as they are applied, `first`
// set on the first part of a full sync (a first part while one is open starts it over), and then
// the last call with the full-sync flag and the records after the parts; the store is swept of what
// the full sync did not confirm only before that last call. Any other observer gets the whole full
// sync in the last call, as if there had been no parts.
#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

class SCConfigTableObserver {
  public:
    virtual ~SCConfigTableObserver() = default;
    virtual void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& /*updates*/,
                                                 bool /*fullSync*/) {}
    virtual void ProcessConfigRuntimeStateUpdate(const CairnDBUpdateList& /*updates*/,
                                                 bool /*fullSync*/) {}
    virtual bool TakesDesiredFullSyncParts() const { return false; }
    virtual void ProcessConfigDesiredStateFullSyncPart(const CairnDBUpdateList& /*part*/,
                                                       bool /*first*/) {}
};

}  // namespace CfgAgent

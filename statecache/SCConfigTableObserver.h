#pragma once
// Observer of the configuration table. An observer registers per object type, separately for the
// desired and the runtime store; on every applied update it receives, in one call per store, the
// applied records of the types it registered for, in decode order, with the update's full-sync
// flag. Calls come on the thread that applied the update, with the global agent lock held and the
// store already updated (queries from the callback see the new state), never with the table's own
// mutex held. An observer must unregister before it is destroyed.
#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

class SCConfigTableObserver {
  public:
    virtual ~SCConfigTableObserver() = default;
    virtual void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& /*updates*/,
                                                 bool /*fullSync*/) {}
    virtual void ProcessConfigRuntimeStateUpdate(const CairnDBUpdateList& /*updates*/,
                                                 bool /*fullSync*/) {}
};

}  // namespace CfgAgent

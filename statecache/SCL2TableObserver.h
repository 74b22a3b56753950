#pragma once
// Observer of the L2 table, registered for the desired ("remote") or the runtime ("local") store.
// It receives the records that changed the store (unchanged entries are filtered out), in decode
// order, with the update's full-sync flag. On a full sync that list is not the whole state
// (unchanged entries are filtered, stale entries are removed without records): at the time of the
// call the store holds exactly what the full sync delivered, and an observer that reconciles reads
// it back. Calls come on the applying thread with the global agent lock held and never with the
// table's own mutex held. An observer must unregister before it is destroyed.
#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

class SCL2TableObserver {
  public:
    virtual ~SCL2TableObserver() = default;
    virtual void ProcessL2DesiredStateUpdate(const CairnDBUpdateList& /*updates*/,
                                             bool /*fullSync*/) {}
    virtual void ProcessL2RuntimeStateUpdate(const CairnDBUpdateList& /*updates*/,
                                             bool /*fullSync*/) {}
};

}  // namespace CfgAgent

#pragma once
// Observer of the L3 table's desired store. It receives the records that were applied (records
// rejected by the table's checks are left out), in decode order, with the full-sync flag; stale
// entries removed after a full sync produce no records, and at the time of the call the store
// holds exactly what the full sync delivered. Calls come on the dispatcher thread with the global
// agent lock held and never with the table's own mutex held. An observer must unregister before
// it is destroyed.
#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

class SCL3TableObserver {
  public:
    virtual ~SCL3TableObserver() = default;
    virtual void ProcessL3DesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) = 0;
};

}  // namespace CfgAgent

#pragma once
// Observer of the L2 table, registered for the desired ("remote") or the runtime ("local") store.
// It receives the records that changed the store (unchanged entries are filtered out), in decode
// order, with the update's full-sync flag. On a full sync that list is not the whole state
// (unchanged entries are filtered, stale entries are removed without records): at the time of the
// call the store holds exactly what the full sync delivered, and an observer that reconciles reads
// it back. Calls come on the applying thread with the global agent lock held and never with the
// table's own mutex held. An observer must unregister before it is destroyed.
#include <vector>

#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

class SCL2TableObserver {
  public:
    virtual ~SCL2TableObserver() = default;
    virtual void ProcessL2DesiredStateUpdate(const CairnDBUpdateList& /*updates*/,
                                             bool /*fullSync*/) {}
    virtual void ProcessL2RuntimeStateUpdate(const CairnDBUpdateList& /*updates*/,
                                             bool /*fullSync*/) {}
    // The changes of a runtime batch (never a full sync) as the lists of the updates it held, in
    // their order; together they are the one list a single update would have brought. By default
    // they are joined into that list for ProcessL2RuntimeStateUpdate; an observer that walks the
    // records in order takes the lists as they are (a learned burst is a hundred thousand records,
    // not moved again to be joined).
    virtual void ProcessL2RuntimeStateBatch(const std::vector<CairnDBUpdateList>& lists) {
        CairnDBUpdateList joined;
        size_t n = 0;
        for (const CairnDBUpdateList& l : lists)
            n += l.size();
        joined.reserve(n);
        for (const CairnDBUpdateList& l : lists)
            joined.insert(joined.end(), l.begin(), l.end());
        ProcessL2RuntimeStateUpdate(joined, false);
    }
};

}  // namespace CfgAgent

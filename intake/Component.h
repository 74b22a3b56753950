#pragma once
// A destination of the message dispatcher. Applications and state-cache tables derive from
// ozy::RefCounted<App, Component> and register under their ComponentType; the dispatcher thread
// calls UpdateDesiredState with each batch's list for the component and the batch's full-sync
// flag, one batch at a time.
//
// A large full sync may reach the dispatcher in parts before its barrier (the database client
// sends its largest lists as they are decoded). A component that takes parts
// (TakesFullSyncParts) gets each part's list through UpdateDesiredStatePart, `first` set on the
// first part of a full sync (a first part while another full sync is open starts it over: that one
// never ends), and at the barrier UpdateDesiredState(rest, true) with the records after the last
// part; the parts and the rest are together what one call would have had. Any other component
// gets the whole full sync in that last call, as if there had been no parts.
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "runtime/RefCounted.h"

namespace CfgAgent {

class Component : public ozy::IRefCountable {
  public:
    ~Component() override = default;
    virtual void UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates,
                                    bool fullSync) = 0;
    virtual bool TakesFullSyncParts() const { return false; }
    virtual void UpdateDesiredStatePart(const std::vector<CairnDBUpdateMsg>& /*part*/,
                                        bool /*first*/) {}
};

}  // namespace CfgAgent

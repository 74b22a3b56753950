#pragma once
// A destination of the message dispatcher. Applications and state-cache tables derive from
// ozy::RefCounted<App, Component> and register under their ComponentType; the dispatcher thread
// calls UpdateDesiredState with each batch's list for the component and the batch's full-sync
// flag, one batch at a time.
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "runtime/RefCounted.h"

namespace CfgAgent {

class Component : public ozy::IRefCountable {
  public:
    ~Component() override = default;
    virtual void UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates,
                                    bool fullSync) = 0;
};

}  // namespace CfgAgent

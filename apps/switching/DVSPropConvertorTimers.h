#pragma once
// The owner of DVSPropConvertor's timers. AsyncTimer keeps a counted reference to its owner, and
// DVSPropConvertor itself is held by ConfigApp alone; this small counted target stands between
// them. It takes the global agent lock for each callback and forgets the convertor when the
// convertor goes away, so that a late timer does nothing.
#include "runtime/AgentLock.h"
#include "runtime/RefCounted.h"

namespace CfgAgent {

class DVSPropConvertor;

class DvsTimerTarget : public ozy::RefCounted<DvsTimerTarget> {
  public:
    explicit DvsTimerTarget(DVSPropConvertor* owner) : owner_(owner) {}
    void Detach() {
        AgentLockGuard lock(GlobalAgentLock());
        owner_ = nullptr;
    }
    void OnResync();
    void OnHopover();

  private:
    DVSPropConvertor* owner_;
};

}  // namespace CfgAgent

#pragma once
// LbApp (component LB, application "lb", brought by "dfw"): the distributed load balancer. Keeps
// the load-balancer objects in LbMsgCache and, after each batch, sends what changed to the
// firewall device as one configuration buffer (FW_Ioctl 43; layout in
// platform/device/LbConfigBuffer.h). Logical switch port changes come from the configuration
// table (observer of LOG_SWITCH_PORT_CONFIG) and are sent at once, except in the table's full
// sync, which the load balancer's own full sync follows in the same batch.
//
// Rules:
// - A batch that changes nothing sends nothing. A full sync clears the cache and sends one full
//   update (the device drops what it held), also when no object is left.
// - A refused update (the device's error, or a buffer that cannot be built: past the device
//   limit, a count past its field) is logged with LCP01803; its entries stay pending and the next
//   update, even from a batch that changes nothing, is the whole cache with the full flag.
// Threads: the dispatcher's work thread (batches and the table's callbacks, under the global
// agent lock); the application's mutex serialises tests and stray callers as well.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "intake/Component.h"
#include "runtime/RefCounted.h"
#include "services/lb/LbMsgCache.h"
#include "statecache/SCConfigTableObserver.h"

namespace CfgAgent {

class IStateCacheConfigTable;
class MsgDispatcher;

struct LbAppOptions {
    MsgDispatcher* dispatcher = nullptr;
    // The VIF check of logical switch ports and their changes; none: every port counts.
    IStateCacheConfigTable* configTable = nullptr;
    // Hands one buffer to the device; 0 or an errno value. Default: FW_Ioctl 43.
    std::function<int(uint8_t* buf, size_t size)> send;
};

class LbApp : public ozy::RefCounted<LbApp, Component>, public SCConfigTableObserver {
  public:
    explicit LbApp(LbAppOptions options);
    ~LbApp() override;

    bool Start(const boost::property_tree::ptree& config);
    void Stop();

    void UpdateDesiredState(const std::vector<CairnDBUpdateMsg>& updates, bool fullSync) override;
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;

    // Tests.
    const LbMsgCache& Cache() const { return cache_; }
    bool FullOwed() const { return fullOwed_; }
    uint64_t Sent() const { return sent_; }

  private:
    // Under mutex_: builds and sends what is pending (everything, when `full` or owed).
    void WriteAndSend(bool full);
    bool IsVif(const std::string& lsp) const;

    LbAppOptions options_;
    LbMsgCache cache_;
    std::mutex mutex_;
    bool fullOwed_ = false;
    bool registered_ = false;
    bool observing_ = false;
    uint64_t sent_ = 0;
};

}  // namespace CfgAgent

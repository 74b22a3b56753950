#pragma once
// The firewall application ("dfw") as start-up sees it. Start reads the settings of its "config"
// subtree and registers the firewall's message cache with the dispatcher for the firewall
// objects (ComponentType::DFW); Stop unregisters it. Built by the "dfw" factory of the
// application table; runs on the main thread.
#include <memory>

#include "dfw/DfwSettings.h"
#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class DfwMsgCache;
class MsgDispatcher;
struct AppContext;

class DfwAppEntry : public AgentApp {
  public:
    explicit DfwAppEntry(AppContext& context);
    ~DfwAppEntry() override;

    void Start(const boost::property_tree::ptree& config) override;
    void Stop() override;

    DfwMsgCache* cache() const { return cache_.get(); }
    const DfwSettings& settings() const { return settings_; }

  private:
    MsgDispatcher* dispatcher_ = nullptr;
    ozy::RefPtr<DfwMsgCache> cache_;
    DfwSettings settings_;
    bool registered_ = false;
};

}  // namespace CfgAgent

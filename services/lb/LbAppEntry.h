#pragma once
// The load balancer ("lb", brought by "dfw") as start-up sees it; built by its factory in the
// application table. It has no loop of its own: batches come on the dispatcher's work thread.
#include <memory>

#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class LbApp;
struct AppContext;

class LbAppEntry : public AgentApp {
  public:
    explicit LbAppEntry(AppContext& context);
    ~LbAppEntry() override;
    void Start(const boost::property_tree::ptree& config) override;
    void Stop() override;
    LbApp* app() const { return app_.get(); }

  private:
    ozy::RefPtr<LbApp> app_;
};

}  // namespace CfgAgent

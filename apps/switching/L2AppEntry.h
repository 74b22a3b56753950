#pragma once
// The L2 overlay application ("vxlan") as start-up sees it: Start = L2App::Init with the
// application's subtree, Stop, and its CLI pages (the simulated out-of-sync). Built by the "vxlan"
// factory of the application table.
#include <memory>

#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class L2App;
struct AppContext;

class L2AppEntry : public AgentApp {
  public:
    explicit L2AppEntry(AppContext& context);
    ~L2AppEntry() override;

    void Start(const boost::property_tree::ptree& config) override;
    void PostStart() override;
    void Stop() override;

    // The simulated DP out-of-sync ("cfgagent/set-simulate/out-of-sync l2").
    void RegisterCliPages(CliPages& pages) override;
    L2App* app() const { return app_.get(); }

  private:
    ozy::RefPtr<L2App> app_;
};

}  // namespace CfgAgent

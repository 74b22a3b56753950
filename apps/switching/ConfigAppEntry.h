#pragma once
// The configuration application ("config") as start-up sees it: Start = ConfigApp::Init with the
// application's subtree, PostStart = its post-start step, Stop, and the database connection as
// the health monitor sees it. Built by the "config" factory of the application table.
#include <memory>
#include <string>

#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class ConfigApp;
class ICairndbLiveness;
struct AppContext;

class ConfigAppEntry : public AgentApp {
  public:
    explicit ConfigAppEntry(AppContext& context);
    ~ConfigAppEntry() override;

    void Start(const boost::property_tree::ptree& config) override;
    void PostStart() override;
    void Stop() override;
    std::string CairndbConnectionStatus() const override;
    // The simulated DP out-of-sync ("cfgagent/set-simulate/out-of-sync config").
    void RegisterCliPages(CliPages& pages) override;
    ConfigApp* app() const { return app_.get(); }

  private:
    std::unique_ptr<ICairndbLiveness> liveness_;
    ozy::RefPtr<ConfigApp> app_;
};

}  // namespace CfgAgent

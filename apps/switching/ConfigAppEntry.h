#pragma once
// The configuration application ("config") as start-up sees it: Start = ConfigApp::Init with the
// application's subtree, PostStart = its post-start step, Stop, and the database connection as
// the health monitor sees it. Built by the "config" factory of the application table.
//
// It also brings IPFIX export (IpfixApp), which has no row of its own: created and started once
// ConfigApp::Init has created the DVS property conversion (where IPFIX hands its port values),
// stopped before ConfigApp.
#include <memory>
#include <string>

#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace ozy::upm {
class UPMService;
}

namespace CfgAgent {

class ConfigApp;
class ICairndbLiveness;
class IpfixApp;
class IStateCacheConfigTable;
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
    IpfixApp* ipfix() const { return ipfix_.get(); }

  private:
    void StartIpfix(const boost::property_tree::ptree& config);

    ozy::upm::UPMService* upm_ = nullptr;
    IStateCacheConfigTable* table_ = nullptr;
    std::unique_ptr<ICairndbLiveness> liveness_;
    ozy::RefPtr<ConfigApp> app_;
    ozy::RefPtr<IpfixApp> ipfix_;
};

}  // namespace CfgAgent

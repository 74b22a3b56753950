#pragma once
// The intrusion-detection application ("ids") as start-up sees it; built by its factory in the
// application table. Its loops: IDSApp's request loop and the engine channel's connection loop.
#include <memory>

#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class IDSApp;
struct AppContext;

class IDSAppEntry : public AgentApp {
  public:
    explicit IDSAppEntry(AppContext& context);
    ~IDSAppEntry() override;
    void Start(const boost::property_tree::ptree& config) override;
    void Stop() override;
    void RegisterCliPages(CliPages& pages) override;

  private:
    ozy::RefPtr<IDSApp> app_;
};

}  // namespace CfgAgent

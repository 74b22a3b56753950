#pragma once
// The live-trace application ("livetrace") as start-up sees it; built by its factory in the
// application table. Its CLI page cfgagent/livetrace/sessions lists the open sessions.
#include <memory>

#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class LivetraceApp;
struct AppContext;

class LivetraceAppEntry : public AgentApp {
  public:
    explicit LivetraceAppEntry(AppContext& context);
    ~LivetraceAppEntry() override;
    void Start(const boost::property_tree::ptree& config) override;
    void Stop() override;
    void RegisterCliPages(CliPages& pages) override;
    LivetraceApp* app() const { return app_.get(); }

  private:
    ozy::RefPtr<LivetraceApp> app_;
};

}  // namespace CfgAgent

#pragma once
// The traceflow application ("traceflow") as start-up sees it; built by its factory in the
// application table.
#include <memory>

#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class TraceflowApp;
struct AppContext;

class TraceflowAppEntry : public AgentApp {
  public:
    explicit TraceflowAppEntry(AppContext& context);
    ~TraceflowAppEntry() override;
    void Start(const boost::property_tree::ptree& config) override;
    void Stop() override;
    TraceflowApp* app() const { return app_.get(); }

  private:
    ozy::RefPtr<TraceflowApp> app_;
};

}  // namespace CfgAgent

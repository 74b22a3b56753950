#pragma once
// The service-insertion application ("si") as start-up sees it; built by its factory in the
// application table. Its loops: SIApp's process loop and its kernel link's sender and receiver.
#include <memory>

#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class SIApp;
struct AppContext;

class SIAppEntry : public AgentApp {
  public:
    explicit SIAppEntry(AppContext& context);
    ~SIAppEntry() override;
    void Start(const boost::property_tree::ptree& config) override;
    void Stop() override;
    void RegisterCliPages(CliPages& pages) override;
    SIApp* app() const { return app_.get(); }

  private:
    ozy::RefPtr<SIApp> app_;
};

}  // namespace CfgAgent

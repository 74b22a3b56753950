#pragma once
// The distributed routing application ("vdrb") as start-up sees it: Start = L3App::Init with the
// application's subtree, Stop. Built by the "vdrb" factory of the application table; the
// processed barriers of the L3 vertical go to the database client.
#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class L3App;
struct AppContext;

class L3AppEntry : public AgentApp {
  public:
    explicit L3AppEntry(AppContext& context);
    ~L3AppEntry() override;

    void Start(const boost::property_tree::ptree& config) override;
    void Stop() override;

    L3App* app() const { return app_.get(); }

  private:
    ozy::RefPtr<L3App> app_;
};

}  // namespace CfgAgent

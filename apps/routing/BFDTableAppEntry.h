#pragma once
// The BFD application ("bfd") as start-up sees it: it reaches L2App through the launcher's
// "vxlan" entry (the launcher starts "bfd" only after "vxlan"), Start = BFDTableApp::Start, Stop,
// and the "cfgagent/bfd" page. Built by the "bfd" factory of the application table.
#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class BFDTableApp;
struct AppContext;

class BFDTableAppEntry : public AgentApp {
  public:
    explicit BFDTableAppEntry(AppContext& context);
    ~BFDTableAppEntry() override;

    void Start(const boost::property_tree::ptree& config) override;
    void Stop() override;
    void RegisterCliPages(CliPages& pages) override;

    BFDTableApp* app() const { return app_.get(); }

  private:
    ozy::RefPtr<BFDTableApp> app_;
};

}  // namespace CfgAgent

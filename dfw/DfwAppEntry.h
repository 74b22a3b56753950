#pragma once
// The firewall application ("dfw") as start-up sees it. Start reads the settings of its "config"
// subtree, starts the process loop (DfwMain: the firewall library, the filter repository and its
// link) and registers the firewall's message cache with the dispatcher for the firewall objects
// (ComponentType::DFW) and the filter repository as the observer of the runtime VIF_STATE objects;
// itself observes the desired TRANSPORT_NODE_CONFIG objects, whose uuid labels the per-port
// metrics (DfwMetrics). Stop unregisters them all and stops the loop. Built by the "dfw" factory of
// the application table; runs on the main thread.
#include <memory>

#include "dfw/DfwSettings.h"
#include "runtime/RefCounted.h"
#include "runtime/daemon/AgentApp.h"
#include "statecache/SCConfigTableObserver.h"

namespace ozy::metrics {
class Registry;
}
namespace ozy::upm {
class UPMService;
}

namespace CfgAgent {

class CliPages;
class DfwMain;
class DfwMsgCache;
class ICairndbClient;
class MsgDispatcher;
class StateCache;
struct AppContext;

class DfwAppEntry : public AgentApp, public SCConfigTableObserver {
  public:
    explicit DfwAppEntry(AppContext& context);
    ~DfwAppEntry() override;

    void Start(const boost::property_tree::ptree& config) override;
    void Stop() override;
    // "dfw/vif", "dfw/counters", "dfw/exclude", "dfw/ntp", "dfw/rules VIF", "dfw/profiles VIF|all",
    // the alarm reporter's "dfw/vnicRuleCountTable", "dfw/vnicRuleAlarmState",
    // "dfw/hostRuleAlarmState", "dfw/ruleAlarmConfigData", "dfw/hostMaxRules", "dfw/vnicMaxRules",
    // and the metrics' "dfw/tnMetrics", "dfw/lspMetrics".
    void RegisterCliPages(CliPages& pages) override;
    // TRANSPORT_NODE_CONFIG (global agent lock held): the transport node of the metrics.
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;

    DfwMsgCache* cache() const { return cache_.get(); }
    DfwMain* main() const { return main_.get(); }
    const DfwSettings& settings() const { return settings_; }

  private:
    MsgDispatcher* dispatcher_ = nullptr;
    ICairndbClient* cairndb_ = nullptr;
    StateCache* stateCache_ = nullptr;
    ozy::metrics::Registry* metrics_ = nullptr;
    ozy::upm::UPMService* upm_ = nullptr;
    ozy::RefPtr<DfwMsgCache> cache_;
    ozy::RefPtr<DfwMain> main_;
    DfwSettings settings_;
    bool registered_ = false;
    bool observing_ = false;  // the repository observes VIF_STATE
    bool observingTn_ = false;  // this observes TRANSPORT_NODE_CONFIG

    // Reads the transport node from the store (a full sync lists only what changed).
    void RefreshTransportNode();
};

}  // namespace CfgAgent

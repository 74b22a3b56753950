#include "apps/switching/L2AppEntry.h"

#include "apps/switching/L2App.h"
#include "cli/CliPages.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"

namespace CfgAgent {

L2AppEntry::L2AppEntry(AppContext& context) {
    L2AppOptions options;
    if (context.stateCache != nullptr) {
        options.configTable = context.stateCache->ConfigTable();
        options.l2Table = context.stateCache->L2Table();
    }
    options.dispatcher = context.dispatcher;
    app_ = ozy::MakeRef<L2App>(std::move(options));
}

L2AppEntry::~L2AppEntry() {
    if (app_)
        app_->Stop();
}

void L2AppEntry::Start(const boost::property_tree::ptree& config) {
    app_->Init(config);
}

void L2AppEntry::PostStart() {
    app_->PostStart();
}

void L2AppEntry::Stop() {
    app_->Stop();
}

void L2AppEntry::RegisterCliPages(CliPages& pages) {
    L2App* app = app_.get();
    pages.AddOutOfSync("l2", [app] { app->SimulateOutOfSync(); });
    pages.Add("cfgagent/l2/routingdomain", "", 0, 0,
              [app](const CliPages::Args&) { return CliReply::Ok(app->RoutingDomainsJson()); });
}

std::unique_ptr<AgentApp> MakeL2AppEntry(AppContext& context) {
    return std::make_unique<L2AppEntry>(context);
}

}  // namespace CfgAgent

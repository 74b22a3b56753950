#include "apps/routing/BFDTableAppEntry.h"

#include "apps/routing/BFDTableApp.h"
#include "apps/switching/L2App.h"
#include "apps/switching/L2AppEntry.h"
#include "cli/CliPages.h"
#include "runtime/Logger.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"
#include "runtime/daemon/AppLauncher.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheL3Table.h"

namespace CfgAgent {

BFDTableAppEntry::BFDTableAppEntry(AppContext& context) {
    BFDTableAppOptions options;
    auto* l2 = context.launcher != nullptr
                   ? dynamic_cast<L2AppEntry*>(context.launcher->Get("vxlan"))
                   : nullptr;
    options.l2App = l2 != nullptr ? l2->app() : nullptr;
    if (context.stateCache != nullptr) {
        options.configTable = context.stateCache->ConfigTable();
        options.l2Table = context.stateCache->L2Table();
        options.l3Table = context.stateCache->L3Table();
    }
    options.dispatcher = context.dispatcher;
    if (options.l2App == nullptr)
        CFG_ERROR("BFDTableApp: the L2 application is not running; no BFD session is sent");
    app_ = ozy::MakeRef<BFDTableApp>(options);
}

BFDTableAppEntry::~BFDTableAppEntry() {
    if (app_)
        app_->Stop();
}

void BFDTableAppEntry::Start(const boost::property_tree::ptree&) {
    app_->Start();
}

void BFDTableAppEntry::Stop() {
    app_->Stop();
}

void BFDTableAppEntry::RegisterCliPages(CliPages& pages) {
    BFDTableApp* app = app_.get();
    pages.Add("cfgagent/bfd", "", 0, 0,
              [app](const CliPages::Args&) { return CliReply::Ok(app->TableJson()); });
}

std::unique_ptr<AgentApp> MakeBfdAppEntry(AppContext& context) {
    return std::make_unique<BFDTableAppEntry>(context);
}

}  // namespace CfgAgent

#include "services/lb/LbAppEntry.h"

#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"
#include "services/lb/LbApp.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"

namespace CfgAgent {

LbAppEntry::LbAppEntry(AppContext& context) {
    LbAppOptions options;
    options.dispatcher = context.dispatcher;
    options.configTable =
        context.stateCache != nullptr ? context.stateCache->ConfigTable() : nullptr;
    app_ = ozy::MakeRef<LbApp>(std::move(options));
}

LbAppEntry::~LbAppEntry() {
    if (app_)
        app_->Stop();
}

void LbAppEntry::Start(const boost::property_tree::ptree& config) {
    app_->Start(config);
}

void LbAppEntry::Stop() {
    app_->Stop();
}

std::unique_ptr<AgentApp> MakeLbAppEntry(AppContext& context) {
    return std::make_unique<LbAppEntry>(context);
}

}  // namespace CfgAgent

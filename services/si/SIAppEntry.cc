#include "services/si/SIAppEntry.h"

#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"
#include "services/si/SIApp.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"

namespace CfgAgent {

SIAppEntry::SIAppEntry(AppContext& context) {
    SIAppOptions options;
    options.dispatcher = context.dispatcher;
    options.configTable =
        context.stateCache != nullptr ? context.stateCache->ConfigTable() : nullptr;
    app_ = ozy::MakeRef<SIApp>(std::move(options));
}

SIAppEntry::~SIAppEntry() {
    if (app_)
        app_->Stop();
}

void SIAppEntry::Start(const boost::property_tree::ptree& config) {
    app_->Start(config);
}

void SIAppEntry::Stop() {
    app_->Stop();
}

void SIAppEntry::RegisterCliPages(CliPages& pages) {
    app_->RegisterCliPages(pages);
}

std::unique_ptr<AgentApp> MakeSiAppEntry(AppContext& context) {
    return std::make_unique<SIAppEntry>(context);
}

}  // namespace CfgAgent

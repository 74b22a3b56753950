#include "services/traceflow/TraceflowAppEntry.h"

#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"
#include "services/traceflow/TraceflowApp.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"

namespace CfgAgent {

TraceflowAppEntry::TraceflowAppEntry(AppContext& context) {
    TraceflowAppOptions options;
    options.configTable =
        context.stateCache != nullptr ? context.stateCache->ConfigTable() : nullptr;
    options.dispatcher = context.dispatcher;
    options.opsLink = context.opsLink;
    app_ = ozy::MakeRef<TraceflowApp>(std::move(options));
}

TraceflowAppEntry::~TraceflowAppEntry() {
    if (app_)
        app_->Stop();
}

void TraceflowAppEntry::Start(const boost::property_tree::ptree& config) {
    app_->Start(config);
}

void TraceflowAppEntry::Stop() {
    app_->Stop();
}

std::unique_ptr<AgentApp> MakeTraceflowAppEntry(AppContext& context) {
    return std::make_unique<TraceflowAppEntry>(context);
}

}  // namespace CfgAgent

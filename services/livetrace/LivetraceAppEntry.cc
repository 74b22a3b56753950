#include "services/livetrace/LivetraceAppEntry.h"

#include "cli/CliPages.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"
#include "services/livetrace/LivetraceApp.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"

namespace CfgAgent {

LivetraceAppEntry::LivetraceAppEntry(AppContext& context) {
    LivetraceAppOptions options;
    options.configTable =
        context.stateCache != nullptr ? context.stateCache->ConfigTable() : nullptr;
    options.opsLink = context.opsLink;
    app_ = ozy::MakeRef<LivetraceApp>(std::move(options));
}

LivetraceAppEntry::~LivetraceAppEntry() {
    if (app_)
        app_->Stop();
}

void LivetraceAppEntry::Start(const boost::property_tree::ptree& config) {
    app_->Start(config);
}

void LivetraceAppEntry::Stop() {
    app_->Stop();
}

void LivetraceAppEntry::RegisterCliPages(CliPages& pages) {
    pages.Add("cfgagent/livetrace/sessions", "", 0, 0,
              [this](const CliPages::Args&) { return CliReply::Ok(app_->SessionsJson()); });
}

std::unique_ptr<AgentApp> MakeLivetraceAppEntry(AppContext& context) {
    return std::make_unique<LivetraceAppEntry>(context);
}

}  // namespace CfgAgent

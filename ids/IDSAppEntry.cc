#include "ids/IDSAppEntry.h"

#include "ids/IDSApp.h"
#include "intake/CairndbClient.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"

namespace CfgAgent {

IDSAppEntry::IDSAppEntry(AppContext& context) {
    IDSAppOptions options;
    options.dispatcher = context.dispatcher;
    options.cairndb = context.cairndb;
    app_ = ozy::MakeRef<IDSApp>(std::move(options));
}

IDSAppEntry::~IDSAppEntry() {
    if (app_)
        app_->stopApp();
}

void IDSAppEntry::Start(const boost::property_tree::ptree& config) {
    app_->startApp(config);
}

void IDSAppEntry::Stop() {
    app_->stopApp();
}

void IDSAppEntry::RegisterCliPages(CliPages& pages) {
    app_->RegisterCliPages(pages);
}

std::unique_ptr<AgentApp> MakeIdsAppEntry(AppContext& context) {
    return std::make_unique<IDSAppEntry>(context);
}

}  // namespace CfgAgent

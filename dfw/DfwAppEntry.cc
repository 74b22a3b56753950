#include "dfw/DfwAppEntry.h"

#include <boost/property_tree/ptree.hpp>

#include "dfw/DfwLog.h"
#include "dfw/DfwMsgCache.h"
#include "intake/MsgDispatcher.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"

namespace CfgAgent {

DfwAppEntry::DfwAppEntry(AppContext& context)
    : dispatcher_(context.dispatcher), cache_(ozy::MakeRef<DfwMsgCache>()) {}

DfwAppEntry::~DfwAppEntry() {
    Stop();
}

void DfwAppEntry::Start(const boost::property_tree::ptree& config) {
    settings_ = DfwSettings::Read(config);
    if (dispatcher_ != nullptr && !registered_) {
        dispatcher_->RegisterComponent(ComponentType::DFW, cache_.get());
        registered_ = true;
    }
}

void DfwAppEntry::Stop() {
    if (registered_) {
        dispatcher_->UnregisterComponent(cache_.get());
        registered_ = false;
    }
}

std::unique_ptr<AgentApp> MakeDfwAppEntry(AppContext& context) {
    return std::make_unique<DfwAppEntry>(context);
}

}  // namespace CfgAgent

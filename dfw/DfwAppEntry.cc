#include "dfw/DfwAppEntry.h"

#include <boost/property_tree/ptree.hpp>

#include "cli/CliPages.h"
#include "dataplane/KrnlinkFactory.h"
#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMain.h"
#include "dfw/DfwMsgCache.h"
#include "intake/CairndbClient.h"
#include "intake/MsgDispatcher.h"
#include "platform/AsioOzyProvider.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"

namespace CfgAgent {

DfwAppEntry::DfwAppEntry(AppContext& context)
    : dispatcher_(context.dispatcher),
      cairndb_(context.cairndb),
      stateCache_(context.stateCache),
      metrics_(context.provider != nullptr ? &context.provider->metrics() : nullptr),
      cache_(ozy::MakeRef<DfwMsgCache>()) {}

DfwAppEntry::~DfwAppEntry() {
    Stop();
}

void DfwAppEntry::Start(const boost::property_tree::ptree& config) {
    settings_ = DfwSettings::Read(config);
    if (!main_ && dispatcher_ != nullptr) {
        DfwMain::Options options;
        options.settings = settings_;
        options.cairndb = cairndb_;
        options.links = SystemKrnlinkFactory();
        options.metrics = metrics_;
        main_ = ozy::MakeRef<DfwMain>(cache_, std::move(options));
        if (!main_->Start())
            main_.reset();
    }
    if (main_ && main_->repo() != nullptr && stateCache_ != nullptr && !observing_) {
        StateCacheConfigTable* table = stateCache_->ConfigTable();
        observing_ = table->RegisterRuntimeStateObserver(ObjectType::VIF_STATE, main_->repo());
        // The vifs known before the firewall started, as a full sync.
        CairnDBUpdateList known;
        table->GetObjectsOfType(ConfigStore::kRuntime, ObjectType::VIF_STATE, &known);
        main_->repo()->ProcessConfigRuntimeStateUpdate(known, true);
    }
    if (dispatcher_ != nullptr && !registered_) {
        dispatcher_->RegisterComponent(ComponentType::DFW, cache_.get());
        registered_ = true;
    }
}

void DfwAppEntry::Stop() {
    if (observing_ && main_ && main_->repo() != nullptr) {
        stateCache_->ConfigTable()->UnregisterRuntimeStateObserver(ObjectType::VIF_STATE,
                                                                   main_->repo());
        observing_ = false;
    }
    if (registered_) {
        dispatcher_->UnregisterComponent(cache_.get());
        registered_ = false;
    }
    if (main_) {
        main_->Stop();
        main_.reset();
    }
}

void DfwAppEntry::RegisterCliPages(CliPages& pages) {
    pages.Add("dfw/vif", "", 0, 1, [this](const CliPages::Args&) {
        if (!main_)
            return CliReply::Error("DFW process loop is not running");
        return CliReply::Ok(main_->VifText());
    });
    pages.Add("dfw/counters", "", 0, 0, [this](const CliPages::Args&) {
        if (!main_)
            return CliReply::Error("DFW process loop is not running");
        return CliReply::Ok(main_->CountersText());
    });
    pages.Add("dfw/exclude", "[si]", 0, 1, [this](const CliPages::Args& args) {
        if (!main_)
            return CliReply::Error("DFW process loop is not running");
        if (!args.empty() && args[0] != "si" && args[0] != "dfw")
            return CliReply::Error("usage: dfw/exclude [dfw|si]");
        return CliReply::Ok(main_->ExcludeText(!args.empty() && args[0] == "si"));
    });
    pages.Add("dfw/rules", "", 1, 2, [this](const CliPages::Args& args) {
        if (!main_)
            return CliReply::Error("DFW process loop is not running");
        std::string text;
        if (!main_->RulesText(args[0], &text))
            return CliReply::Error(text);
        return CliReply::Ok(text);
    });
}

std::unique_ptr<AgentApp> MakeDfwAppEntry(AppContext& context) {
    return std::make_unique<DfwAppEntry>(context);
}

}  // namespace CfgAgent

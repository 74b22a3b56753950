#include "dfw/DfwAppEntry.h"

#include <boost/property_tree/ptree.hpp>

#include "cli/CliPages.h"
#include "dataplane/KrnlinkFactory.h"
#include "dfw/DfwAlarmReporter.h"
#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMain.h"
#include "dfw/DfwMetrics.h"
#include "dfw/DfwMsgCache.h"
#include "dfw/DfwNtpConfig.h"
#include "dfw/DfwProfilesPage.h"
#include "intake/CairndbClient.h"
#include "intake/MsgDispatcher.h"
#include "platform/AsioOzyProvider.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"

namespace CfgAgent {

DfwAppEntry::DfwAppEntry(AppContext& context)
    : dispatcher_(context.dispatcher),
      cairndb_(context.cairndb),
      stateCache_(context.stateCache),
      metrics_(context.provider != nullptr ? &context.provider->metrics() : nullptr),
      upm_(context.cairndb != nullptr ? context.cairndb->upm() : nullptr),
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
        options.upm = upm_;
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
    if (main_ && stateCache_ != nullptr && !observingTn_) {
        observingTn_ = stateCache_->ConfigTable()->RegisterDesiredStateObserver(
            ObjectType::TRANSPORT_NODE_CONFIG, this);
        RefreshTransportNode();
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
    if (observingTn_) {
        stateCache_->ConfigTable()->UnregisterDesiredStateObserver(
            ObjectType::TRANSPORT_NODE_CONFIG, this);
        observingTn_ = false;
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

void DfwAppEntry::ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) {
    bool tn = fullSync;
    for (const CairnDBUpdateMsg& u : updates)
        tn = tn || u.objType == ObjectType::TRANSPORT_NODE_CONFIG;
    if (tn)
        RefreshTransportNode();
}

void DfwAppEntry::RefreshTransportNode() {
    if (!main_ || main_->lspMetrics() == nullptr || stateCache_ == nullptr)
        return;
    CairnDBUpdateList nodes;
    std::string id;
    if (stateCache_->ConfigTable()->GetObjectsOfType(ConfigStore::kDesired,
                                                     ObjectType::TRANSPORT_NODE_CONFIG, &nodes)) {
        for (const CairnDBUpdateMsg& n : nodes) {
            if (!n.id.empty()) {
                id = IdText(n.id);
                break;
            }
        }
    }
    main_->lspMetrics()->SetTnUuid(id);
    main_->lspMetrics()->Publish();
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
    pages.Add("dfw/profiles", "VIF|all", 1, 2, [this](const CliPages::Args& args) {
        if (!main_)
            return CliReply::Error("DFW process loop is not running");
        return CliReply::Ok(DfwProfilesText(*main_, args[0] == "all" ? std::string() : args[0]));
    });
    pages.Add("dfw/ntp", "", 0, 0, [this](const CliPages::Args&) {
        if (!main_)
            return CliReply::Error("DFW process loop is not running");
        if (main_->ntp() == nullptr)
            return CliReply::Ok(R"j({"state": "not checked (skip_ntp_check)"})j");
        return CliReply::Ok(main_->ntp()->ToJson());
    });
    // The alarm reporter's tables and settings.
    auto alarms = [this]() -> DfwAlarmReporter* { return main_ ? main_->alarms() : nullptr; };
    auto page = [alarms](std::function<CliReply(DfwAlarmReporter&, const CliPages::Args&)> fn) {
        return [alarms, fn](const CliPages::Args& args) {
            DfwAlarmReporter* a = alarms();
            return a == nullptr ? CliReply::Error("DFW process loop is not running") : fn(*a, args);
        };
    };
    auto arg = [](const CliPages::Args& args) { return args.empty() ? std::string() : args[0]; };
    pages.Add("dfw/vnicRuleCountTable", "[VIF]", 0, 1,
              page([arg](DfwAlarmReporter& a, const CliPages::Args& args) {
                  return CliReply::Ok(a.VnicRuleCountText(arg(args)));
              }));
    pages.Add("dfw/vnicRuleAlarmState", "[VIF]", 0, 1,
              page([arg](DfwAlarmReporter& a, const CliPages::Args& args) {
                  return CliReply::Ok(a.VnicAlarmStateText(arg(args)));
              }));
    pages.Add("dfw/hostRuleAlarmState", "", 0, 1, page([](DfwAlarmReporter& a, const auto&) {
                  return CliReply::Ok(a.HostAlarmStateText());
              }));
    pages.Add("dfw/ruleAlarmConfigData", "[KEY=VALUE]", 0, 1,
              page([](DfwAlarmReporter& a, const CliPages::Args& args) {
                  std::string why;
                  if (!args.empty() && !a.SetConfigText(args[0], &why))
                      return CliReply::Error(why);
                  if (!args.empty())
                      a.PollingCb();
                  return CliReply::Ok(a.ConfigText());
              }));
    // A new maximum is polled at once: alarms follow it without waiting for a change of rules.
    auto setMax = [](bool host) {
        return [host](DfwAlarmReporter& a, const CliPages::Args& args) {
            const std::string& v = args.at(0);
            const uint64_t limit = host ? 1000000000000ull : UINT32_MAX;
            if (v.empty() || v.size() > 13 ||
                v.find_first_not_of("0123456789") != std::string::npos || std::stoull(v) > limit)
                return CliReply::Error("the maximum is a number 0-" + std::to_string(limit) +
                                       " (0: no limit)");
            if (host)
                a.DfwHostMaxRuleCnt(std::stoull(v));
            else
                a.DfwVnicMaxRuleCnt(static_cast<uint32_t>(std::stoull(v)));
            a.PollingCb();
            return CliReply::Ok(host ? a.HostAlarmStateText() : a.VnicRuleCountText(""));
        };
    };
    pages.Add("dfw/hostMaxRules", "MAX_HOST_RULES", 1, 1, page(setMax(true)));
    pages.Add("dfw/vnicMaxRules", "MAX_VNIC_RULES", 1, 1, page(setMax(false)));
    // The per-port metrics (DfwMetrics guards its own tables).
    auto metrics = [this](std::function<std::string(const DfwMetrics&)> fn) {
        return [this, fn](const CliPages::Args&) {
            if (!main_ || main_->lspMetrics() == nullptr)
                return CliReply::Error("DFW process loop is not running");
            return CliReply::Ok(fn(*main_->lspMetrics()));
        };
    };
    pages.Add("dfw/tnMetrics", "", 0, 0,
              metrics([](const DfwMetrics& m) { return m.TnMetricsText(); }));
    pages.Add("dfw/lspMetrics", "", 0, 0,
              metrics([](const DfwMetrics& m) { return m.LspMetricsText(); }));
    pages.Add("dfw/ipreputation", "[ADDR]", 0, 1, [this](const CliPages::Args& args) {
        if (!main_)
            return CliReply::Error("DFW process loop is not running");
        std::string text;
        if (!main_->ChunksText(args.empty() ? std::string() : args[0], &text))
            return CliReply::Error(text);
        return CliReply::Ok(text);
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

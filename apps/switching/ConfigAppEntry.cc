#include "apps/switching/ConfigAppEntry.h"

#include <boost/property_tree/ptree.hpp>

#include "apps/switching/ConfigApp.h"
#include "apps/switching/DVSPropConvertorFactory.h"
#include "apps/switching/DaemonHealthMonitor.h"
#include "intake/CairndbClient.h"
#include "runtime/Logger.h"
#include "runtime/daemon/AppContext.h"
#include "runtime/daemon/AppFactories.h"
#include "services/ipfix/IpfixApp.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"

namespace CfgAgent {

ConfigAppEntry::ConfigAppEntry(AppContext& context) {
    ConfigAppOptions options;
    StateCache* stateCache = context.stateCache;
    options.configTable = stateCache != nullptr ? stateCache->ConfigTable() : nullptr;
    options.dispatcher = context.dispatcher;
    options.cairndb = context.cairndb;
    options.upm = context.cairndb != nullptr ? context.cairndb->upm() : nullptr;
    upm_ = options.upm;
    table_ = options.configTable;
    if (context.cairndb != nullptr && context.cairndb->library()) {
        liveness_ = MakeLibraryLiveness(context.cairndb->library());
        options.liveness = liveness_.get();
    }
    options.makeConvertor = [stateCache](IConfigApp* configApp) {
        return MakeDVSPropConvertor(configApp, stateCache);
    };
    app_ = ozy::MakeRef<ConfigApp>(std::move(options));
}

ConfigAppEntry::~ConfigAppEntry() {
    if (ipfix_)
        ipfix_->Stop();
    if (app_)
        app_->Stop();
}

void ConfigAppEntry::Start(const boost::property_tree::ptree& config) {
    app_->Init(config);
    StartIpfix(config);
}

void ConfigAppEntry::StartIpfix(const boost::property_tree::ptree& config) {
    IDVSPropConvertor* convertor = app_->convertor();
    IpfixApp::Options options;
    if (convertor == nullptr || table_ == nullptr || !IpfixApp::ReadSettings(config, &options))
        return;
    options.upm = upm_;
    options.observer.configTable = table_;
    options.observer.sink = [convertor](const IpfixConfigObserver::PortValues& values) {
        convertor->UpdatePortIpfix(values);
    };
    ipfix_ = ozy::MakeRef<IpfixApp>(std::move(options));
    if (!ipfix_->Start())
        CFG_ERROR_CODE("LCP01601", "IpfixApp: start failed");
}

void ConfigAppEntry::PostStart() {
    app_->PostStart();
}

void ConfigAppEntry::Stop() {
    if (ipfix_)
        ipfix_->Stop();
    app_->Stop();
}

std::string ConfigAppEntry::CairndbConnectionStatus() const {
    return app_->CairndbConnectionStatus();
}

void ConfigAppEntry::RegisterCliPages(CliPages& pages) {
    app_->RegisterCliPages(pages);
    if (ipfix_)
        ipfix_->RegisterCliPages(pages);
}

std::unique_ptr<AgentApp> MakeConfigAppEntry(AppContext& context) {
    return std::make_unique<ConfigAppEntry>(context);
}

}  // namespace CfgAgent

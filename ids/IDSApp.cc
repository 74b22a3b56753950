#include "ids/IDSApp.h"

#include <boost/property_tree/ptree.hpp>

#include "ids/IdsLog.h"
#include "intake/ICairndbClient.h"
#include "intake/MsgDispatcher.h"
#include "platform/HostRoot.h"
#include "platform/tarp/TarpFw.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/WorkGroup.h"

namespace CfgAgent {

namespace idps = orvane::ozy::lcp::idps;
namespace pb = orvane::ozy::cairndb;

namespace {

constexpr const char* kSharedFilter = "shared-addrset-filter-orvane-sfw";

template <class T>
T Setting(const boost::property_tree::ptree& c, const char* key, T fallback) {
    try {
        if (auto v = c.get_optional<T>(key))
            return *v;
    } catch (const std::exception& e) {
        IDS_WARN("ids: IDSApp::%1: setting %2 unreadable (%3), using the default", "startApp", key,
                 e.what());
    }
    return fallback;
}

}  // namespace

IDSApp::IDSApp(IDSAppOptions options)
    : options_(std::move(options)), cache_(ozy::MakeRef<IDSMsgCache>()) {}

IDSApp::~IDSApp() {
    if (!stopApp())
        IDS_ERROR("ids: IDSApp::%1: Error in calling stopApp at destructor", "~IDSApp");
    if (fw_ != nullptr)
        FW_Terminate(fw_);
    IDS_INFO("ids: IDSApp::%1: Terminated", "~IDSApp");
}

bool IDSApp::startApp(const boost::property_tree::ptree& config) {
    const char* fn = "startApp";
    IDS_INFO("ids: IDSApp::%1: Invoked, tree size: %2", fn, config.size());
    IDSMsgCache::Paths paths;
    paths.confDir =
        ozy::hostPath(Setting<std::string>(config, "default.ids_conf_path", "/etc/ozy-idps"));
    paths.ruleFile = ozy::hostPath(Setting<std::string>(
        config, "default.ids_rule_file", "/etc/ozy-idps/bundles/system/rules/ozy-idps.rules"));
    std::string dump =
        Setting<std::string>(config, "default.ids_sig_dump_dir", "/var/log/ozy-idps");
    paths.sigDumpDir = dump.empty() ? dump : ozy::hostPath(dump);
    paths.maxInflatedBytes =
        Setting<uint64_t>(config, "default.max_inflated_bytes", paths.maxInflatedBytes);
    IDSEngine::Settings es;
    es.sockPath = Setting<std::string>(config, "default.ids_command_socket_path", es.sockPath);
    es.requestTimeout = std::chrono::milliseconds(
        Setting<int64_t>(config, "default.request_timeout_ms", es.requestTimeout.count()));
    es.minBackoff = std::chrono::milliseconds(
        Setting<int64_t>(config, "default.min_backoff_ms", es.minBackoff.count()));
    es.maxBackoff = std::chrono::milliseconds(
        Setting<int64_t>(config, "default.max_backoff_ms", es.maxBackoff.count()));
    retryInterval_ = std::chrono::milliseconds(
        Setting<int64_t>(config, "default.retry_interval_ms", retryInterval_.count()));

    if (!cache_->Initialize(paths)) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSApp::%1: Error initializing IDS Message Cache",
                       fn);
        IDS_ERROR_CODE("LCP00002", "ids: IDSApp::%1: Failed to start IDS app: %2, %3", fn,
                       "message cache", paths.confDir);
        return false;
    }
    // Both callbacks end before stopApp returns (the cache's is cleared, the engine stopped).
    cache_->SetChangedCallback([this] { setHasUpdate(); });
    engine_ = new IDSEngine(es, [this] { setIdsConnected(); });
    // The engine may be absent now: the channel connects in the background.
    if (options_.connectEngine && !engine_->initialize()) {
        IDS_ERROR_CODE("LCP00002", "ids: IDSApp::%1: Failed to start IDS app: %2, %3", fn,
                       "engine channel", es.sockPath);
        return false;
    }
    if (options_.dispatcher != nullptr) {
        options_.dispatcher->RegisterComponent(ComponentType::IDS, cache_.get());
        registered_ = true;
    }
    if (options_.postLoop) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = true;
        }
        if (!WorkGroups::Post(MakeWorkItem(&IDSApp::processRequest, this, "IDSApp"))) {
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = false;
            IDS_ERROR_CODE("LCP00002", "ids: IDSApp::%1: Failed to start IDS app: %2, %3", fn,
                           "work group", "post");
            return false;
        }
    }
    return true;
}

bool IDSApp::stopApp() {
    IDS_INFO("ids: IDSApp::%1: Invoked", "stopApp");
    if (registered_ && options_.dispatcher != nullptr) {
        options_.dispatcher->UnregisterComponent(cache_.get());
        registered_ = false;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        cv_.notify_all();
        cv_.wait(lock, [this] { return !running_; });
    }
    if (engine_)
        engine_->stop();
    cache_->SetChangedCallback(nullptr);
    return true;
}

void IDSApp::setHasUpdate() {
    IDS_DEBUG("ids: IDSApp::%1: Notifying processRequest that there's a task to process",
              "setHasUpdate");
    std::lock_guard<std::mutex> lock(mutex_);
    hasUpdate_ = true;
    cv_.notify_all();
}

void IDSApp::setIdsConnected() {
    IDS_INFO("ids: IDSApp::%1: Notifying processRequest that the IDS engine restarted",
             "setIdsConnected");
    std::lock_guard<std::mutex> lock(mutex_);
    restarted_ = true;
    cv_.notify_all();
}

void IDSApp::processRequest() {
    const char* fn = "processRequest";
    for (;;) {
        bool restarted = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            IDS_DEBUG("ids: IDSApp::%1: Next iteration of main loop", fn);
            auto ready = [this] { return stopping_ || hasUpdate_ || restarted_; };
            if (retryOwed_) {
                cv_.wait_for(lock, retryInterval_, ready);
            } else {
                cv_.wait(lock, ready);
            }
            if (stopping_)
                break;
            if (!hasUpdate_ && !restarted_ && !retryOwed_) {
                IDS_DEBUG("ids: IDSApp::%1: No updates to process", fn);
                continue;
            }
            restarted = restarted_;
            hasUpdate_ = restarted_ = retryOwed_ = false;
        }
        try {
            if (restarted && !cache_->EngineRestarted())
                IDS_INFO(
                    "ids: IDSApp::%1: Ignoring setIdsConnected since IDSMsgCache is not "
                    "primed.",
                    fn);
            bool ok = ProcessOnce();
            std::lock_guard<std::mutex> lock(mutex_);
            // A lost engine is resent on reconnection; a refusing one after the retry interval.
            retryOwed_ = !ok && engine_ && engine_->connected();
        } catch (const std::bad_alloc&) {
            ExitOnAllocFailure();
        } catch (const std::exception& e) {
            IDS_ERROR("ids: IDSApp::%1: caught exception: %2", fn, e.what());
        }
    }
    IDS_INFO("ids: IDSApp::%1: Exiting task", fn);
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    cv_.notify_all();
}

bool IDSApp::ProcessOnce() {
    const char* fn = "processRequest";
    IDS_DEBUG("ids: IDSApp::%1: Processing config changes", fn);
    const auto start = std::chrono::steady_clock::now();
    IDSMsgCache::Changes c = cache_->TakeFlags();
    if (c.flags == 0) {
        IDS_DEBUG("ids: IDSApp::%1: No config changes to process", fn);
        Report(c, true);
        return true;
    }
    IDS_INFO("ids: IDSApp::%1: Processing config %2, barrier %3", fn, c.flags, c.barrier);
    const bool full = (c.flags & IDSMsgCache::kFullSync) != 0;
    bool ok = true;
    if ((c.flags & IDSMsgCache::kMode) != 0)
        ok = updateMode(c.idsMode) && ok;
    if ((full || (c.flags & IDSMsgCache::kOversubscription) != 0) && c.hasOversubscription)
        ok = updateOversubscription(c.oversubscription) && ok;
    const bool engineWork = (c.flags & (IDSMsgCache::kFullSync | IDSMsgCache::kSignatures |
                                        IDSMsgCache::kProfiles | IDSMsgCache::kRules)) != 0;
    if (engineWork && (!engine_ || !engine_->connected())) {
        IDS_ERROR("ids: IDSApp::%1: Connection with IDS Engine not yet established", fn);
        ok = false;
    } else if (engineWork) {
        if (full || (c.flags & IDSMsgCache::kSignatures) != 0) {
            uint64_t sids = 0;
            if (engine_->ReloadSignatures(&sids)) {
                std::lock_guard<std::mutex> lock(mutex_);
                sidsLoaded_ = sids;
            } else {
                ok = false;
            }
        }
        if ((c.flags & IDSMsgCache::kProfiles) != 0 &&
            (c.profiles.sync_type() == idps::PROFILE_SYNC_FULL || c.profiles.profiles_size() > 0 ||
             c.profiles.removed_profiles_size() > 0))
            ok = engine_->UpdateProfileMap(c.profiles) && ok;
        if ((c.flags & IDSMsgCache::kRules) != 0)
            ok = engine_->UpdateRuleMap(c.rules) && ok;
    }
    if (ok) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
        IDS_INFO("ids: IDSApp::%1: Successfully processed config changes in %2 ms", fn, ms);
    } else {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSApp::%1: Failed to process config changes", fn);
        cache_->OweFullResend();
    }
    Report(c, ok);
    return ok;
}

int IDSApp::SetOnSharedFilter(bool mode, uint32_t value) {
    if (mode && options_.setIdsMode)
        return options_.setIdsMode(value);
    if (!mode && options_.setOversubscription)
        return options_.setOversubscription(value);
    std::lock_guard<std::mutex> lock(fwMutex_);
    if (fw_ == nullptr) {
        const char* opts[] = {"FWIODeviceName", "/dev/ozy-tarp"};
        uint32_t version = 0;
        int rc = FW_Initialize(FW_LIB_VERSION, &version, 1, 2, opts, &fw_);
        if (rc != 0) {
            fw_ = nullptr;
            return rc;
        }
    }
    return mode ? FW_SetIDSMode(fw_, kSharedFilter, 0, value)
                : FW_SetOversubscription(fw_, kSharedFilter, 0, value);
}

bool IDSApp::updateMode(bool enable) {
    const char* fn = "updateMode";
    IDS_INFO("ids: IDSApp::%1: Invoked", fn);
    int rc = SetOnSharedFilter(true, enable ? 1 : 0);
    if (rc != 0) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSApp::%1: Error %2 IDS mode in kernel", fn,
                       enable ? "enabling" : "disabling");
        return false;
    }
    IDS_INFO("ids: IDSApp::%1: Successfully %2 IDS service in DP", fn,
             enable ? "enabled" : "disabled");
    return true;
}

bool IDSApp::updateOversubscription(uint32_t value) {
    const char* fn = "updateOversubscription";
    IDS_INFO("ids: IDSApp::%1: Invoked", fn);
    int rc = SetOnSharedFilter(false, value);
    if (rc != 0) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSApp::%1: Error %2 IDS mode in kernel", fn,
                       value != 0 ? "enabling" : "disabling");
        return false;
    }
    IDS_INFO("ids: IDSApp::%1: Successfully %2 IDS service in DP", fn,
             value != 0 ? "enabled" : "disabled");
    return true;
}

void IDSApp::Report(const IDSMsgCache::Changes& c, bool applied) {
    if (options_.cairndb == nullptr)
        return;
    pb::RuntimeStatusMsg status;
    status.set_component_id(kComponentId);
    if (c.updateFailed || !applied) {
        pb::RealizationErrorMsg* e = status.add_errors();
        e->set_error_code(IDSMsgCache::kUpdateErrorCode);
        e->set_error_message(c.updateFailed ? IDSMsgCache::kUpdateErrorText : kApplyErrorText);
    }
    std::string body = status.SerializeAsString();
    if (!statusWritten_ || body != lastStatusBody_) {
        status.set_barrier_id(c.barrier);
        IDS_INFO("ids: IDSApp::%1: Update runtime status to cairndb, errors: %2",
                 "updateRuntimeStatus", status.errors_size());
        if (options_.cairndb->reportRuntimeStatus(status)) {
            lastStatusBody_ = body;
            statusWritten_ = true;
        }
    }
    if (c.barrier != 0 && (!barrierWritten_ || c.barrier != lastBarrier_)) {
        pb::ProcessedBarrierMsg pbm;
        pbm.set_vertical_id(kVerticalId);
        pbm.set_barrier_id(c.barrier);
        IDS_INFO("ids: IDSApp::%1: Updated the processed barrier number to cairndb: %2",
                 "processRequest", c.barrier);
        if (options_.cairndb->reportProcessedBarrier(pbm)) {
            lastBarrier_ = c.barrier;
            barrierWritten_ = true;
        }
    }
}

uint64_t IDSApp::lastSidsLoaded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sidsLoaded_;
}

}  // namespace CfgAgent

#include "dfw/DfwMain.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "dfw/DfwAlarmReporter.h"
#include "dfw/DfwApplyStatus.h"
#include "dfw/DfwCache.h"
#include "dfw/DfwDnsProfileConfigFeature.h"
#include "dfw/DfwFilterConfig.h"
#include "dfw/DfwFilterFeature.h"
#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwFloodFeature.h"
#include "dfw/DfwIpRepChunkList.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMetrics.h"
#include "dfw/DfwMsgCache.h"
#include "dfw/DfwNtpConfig.h"
#include "dfw/DfwTimeoutFeature.h"
#include "intake/ICairndbClient.h"
#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/CTarpFWRule.h"
#include "platform/tarp/CTarpFWSegment.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpWire.h"
#include "proto/UuidText.h"
#include "proto/cairndb_system.pb.h"
#include "proto/lcp_firewall.pb.h"
#include "runtime/Metrics.h"
#include "runtime/WorkGroup.h"
#include "runtime/WorkItem.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
namespace w = ozy::tarp;

namespace {

constexpr const char* kMainRs = "mainrs";
constexpr const char* kMainRsL2 = "mainrs_L2";
constexpr auto kSpanRetry = std::chrono::seconds(2);
// Filters whose applies go to the device together: one wait for them all, their lists held
// meanwhile.
constexpr size_t kApplyBatch = 64;

// A held span of this filter type (1 firewall, 3 service insertion) turns its agent off.
bool ExcludeAll(const DfwMsgSnapshot& snap, uint32_t type) {
    if (!snap.spans)
        return false;
    for (const auto& [id, span] : *snap.spans) {
        if (span->span_type() == type && span->exclude_all())
            return true;
    }
    return false;
}

// The filter holds the root rule sets alone and exactly the address sets `left` names (none when
// null); `ruleSets` and `addrSets` as the library lists them.
bool HoldsJust(const std::vector<std::string_view>& ruleSets,
               const std::vector<std::string_view>& addrSets, const DfwCache::Objects* left) {
    if (ruleSets.size() != 2 || ruleSets[0] != kMainRs || ruleSets[1] != kMainRsL2)
        return false;
    const size_t n = left == nullptr ? 0 : left->refs.size();
    if (addrSets.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (addrSets[i] != left->refs[i].name)
            return false;
    }
    return true;
}

// One walk of `keep` and of the names the filter holds (`held`), both sorted by name: which
// objects of `keep` the filter holds as `before` left them (same name and content, and still
// held) into `unchanged`, and the held names `keep` leaves out into `unused`. When `before` is
// `keep` itself (the configuration names the objects its last apply left), only the held names
// are compared.
void Reconcile(const DfwCache::ObjectRefs& keep, const DfwCache::ObjectRefs* before,
               const std::vector<std::string_view>& held, std::vector<bool>* unchanged,
               std::vector<std::string_view>* unused) {
    unchanged->assign(keep.size(), false);
    unused->clear();
    const bool sameList = before == &keep;
    auto b = before == nullptr ? keep.end() : before->begin();
    auto h = held.begin();
    for (size_t i = 0; i < keep.size(); ++i) {
        const std::string& n = keep[i].name;
        int c = 1;
        for (; h != held.end() && (c = h->compare(n)) < 0; ++h)
            unused->push_back(*h);
        if (h == held.end() || c != 0)
            continue;
        ++h;  // held, and kept
        if (before == nullptr)
            continue;
        if (sameList) {
            (*unchanged)[i] = true;
            continue;
        }
        while (b != before->end() && b->name < n)
            ++b;
        (*unchanged)[i] = b != before->end() && b->name == n && b->hash == keep[i].hash;
    }
    unused->insert(unused->end(), h, held.end());
}

// Names the library holds for a filter: rule sets or address sets, as views into `records`
// (the caller's, reused from filter to filter: no string per name). The status of the calls.
template <class Name, class CountFn, class ListFn>
int HeldNames(const std::string& filter, CountFn count, ListFn list, std::vector<Name>* records,
              std::vector<std::string_view>* out) {
    out->clear();
    uint32_t n = 0;
    int rc = count(filter.c_str(), &n);
    if (rc != 0)
        return rc;
    for (int attempt = 0; attempt < 2; ++attempt) {
        records->resize(std::max<uint32_t>(n, 1));
        uint32_t total = 0;
        rc = list(filter.c_str(), records->data(), static_cast<uint32_t>(records->size()), &total);
        if (rc != 0)
            return rc;
        if (total <= records->size()) {
            for (uint32_t i = 0; i < total; ++i) {
                const char* name = (*records)[i].name;
                out->emplace_back(name, strnlen(name, sizeof(*records)[i].name));
            }
            return 0;
        }
        n = total;  // filters grew between the two calls
    }
    return static_cast<int>(w::kStatusIoError);
}

}  // namespace

// An apply made ready: the list and what its outcome updates.
struct DfwMain::Prepared {
    std::string agent, vif, name, lsp;
    std::shared_ptr<const DfwCache::FilterConfig> cfg;
    DfwFilterRepo::Import import;
    FilterState* state = nullptr;
    TarpFirewall::CTarpFWCmdList list;
    bool send = false;  // else the library refused the list as it was made, with `rc`
    int rc = 0;

    ~Prepared() { FW_FreeConfigFile(&list); }
};

struct DfwMain::HeldLists {
    std::vector<FW_RuleSetName> ruleSetRecords;
    std::vector<FW_AddrSetName> addrSetRecords;
    std::vector<std::string_view> ruleSets, addrSets;
};

DfwMain::DfwMain(ozy::RefPtr<DfwMsgCache> cache, Options options)
    : msgs_(std::move(cache)), options_(std::move(options)), held_(std::make_unique<HeldLists>()) {}

int DfwMain::ReadRuleSets(const std::string& filter) {
    return HeldNames(
        filter, [this](const char* f, uint32_t* n) { return FW_GetRuleSetCount(handle_, f, n); },
        [this](const char* f, FW_RuleSetName* l, uint32_t c, uint32_t* t) {
            return FW_GetRuleSetList(handle_, f, l, c, t);
        },
        &held_->ruleSetRecords, &held_->ruleSets);
}

int DfwMain::ReadAddrSets(const std::string& filter) {
    return HeldNames(
        filter, [this](const char* f, uint32_t* n) { return FW_GetAddrSetCount(handle_, f, n); },
        [this](const char* f, FW_AddrSetName* l, uint32_t c, uint32_t* t) {
            return FW_GetAddrSetList(handle_, f, l, c, t);
        },
        &held_->addrSetRecords, &held_->addrSets);
}

DfwMain::~DfwMain() {
    if (handle_ != nullptr)
        FW_Terminate(handle_);
}

bool DfwMain::Start() {
    DFW_INFO("dfw: Register tarpfw library logger");
    FW_RegisterLogger(FW_AgentLogger, 4);
    DFW_INFO("dfw: Initializing tarp library");
    const char* fwOptions[] = {"FWIODeviceName", "/dev/ozy-tarp"};
    uint32_t version = 0;
    int rc = FW_Initialize(FW_LIB_VERSION, &version, 1, 2, fwOptions, &handle_);
    if (rc != 0) {
        CFG_LOG_AT(g_dfwLogLevel, kLogError, {"errorCode:DFWERR_INIT_IO_FAILED"},
                   "dfw: Failed to initialize tarp library: %1", FW_StatusToString(rc));
        DFW_ERROR_CODE("LCP00002", "dfw: Failed to start DFW app: %1, %2", "tarp library",
                       FW_StatusToString(rc));
        return false;
    }
    DFW_INFO("dfw: Initialized tarp library");
    global_ = std::make_unique<DfwGlobalAddrSets>(handle_);
    DfwIpRepChunkList::Options chunks;
    chunks.handle = handle_;
    chunks.maxEntries = options_.settings.ipRepMaxEntries;
    chunks_ = std::make_unique<DfwIpRepChunkList>(chunks);
    ozy::RefPtr<DfwMain> self(this);
    DfwAlarmReporter::Options alarm;
    alarm.table = options_.alarmTable;
    alarm.filters = [this] {
        ozy::RefPtr<DfwFilterRepo> repo;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            repo = repo_;
        }
        std::vector<DfwAlarmReporter::FilterInfo> out;
        if (repo) {
            const auto filters = repo->SharedFilters(w::kAgentFirewall);
            out.reserve(filters->size());
            for (const auto& [vif, f] : *filters)
                out.push_back({f.name, vif, f.lsp});
        }
        return out;
    };
    alarms_ = std::make_unique<DfwAlarmReporter>(std::move(alarm));
    alarms_->Start();
    DfwMetrics::Options metrics;
    metrics.registry = options_.metrics;
    metrics.wallSeconds = options_.wallSeconds;
    lspMetrics_ = std::make_unique<DfwMetrics>(std::move(metrics));
    DfwFilterRepo::Options repo;
    repo.handle = handle_;
    repo.links = options_.links;
    repo.queryInterval = std::chrono::seconds(options_.settings.filterQueryInterval);
    repo.importClearTimeout = options_.settings.importClearTimeout;
    repo.wallSeconds = options_.wallSeconds;
    repo.onFilter = [self](const DfwFilterRepo::Filter& f) {
        self->RequestVif(f.agent, f.vif, f.name, true);
    };
    repo.onCleanup = [self](const std::string& agent, const std::string& filter) {
        self->RequestCleanup(agent, filter);
    };
    repo.onLinkUp = [self] { self->RequestSpanResync(); };
    repo.onRemoved = [self] { self->Notify(); };
    repo.onAlarmMessage = [self](uint16_t type, const uint8_t* msg, size_t length) {
        self->alarms_->OnKernelMessage(type, msg, length);
    };
    ozy::RefPtr<DfwMsgCache> msgs = msgs_;
    repo.excluded = [msgs] {
        DfwMsgSnapshot s = msgs->Peek();
        return s.dfwExcludedVifs ? *s.dfwExcludedVifs : std::vector<std::string>();
    };
    repo_ = ozy::MakeRef<DfwFilterRepo>(std::move(repo));
    msgs_->SetNotify([self] { self->Notify(); });
    if (options_.upm != nullptr) {
        DfwFilterFeature::Options feature;
        feature.handle = handle_;
        feature.wake = [self] { self->Notify(); };
        std::vector<ozy::RefPtr<DfwFilterFeature>> features = {
            ozy::MakeRef<DfwFloodFeature>(feature), ozy::MakeRef<DfwTimeoutFeature>(feature),
            ozy::MakeRef<DfwDnsProfileConfigFeature>(feature)};
        for (const auto& f : features)
            f->start(options_.upm);
        DfwFilterConfig::Options config;
        config.filters = [self] { return self->repo_->Filters(w::kAgentFirewall); };
        config.request = [self](const std::string& vif, const std::string& filter, bool enable) {
            self->RequestVif(w::kAgentFirewall, vif, filter, enable);
        };
        auto filterConfig = ozy::MakeRef<DfwFilterConfig>(std::move(config));
        filterConfig->start(options_.upm);
        std::lock_guard<std::mutex> lock(mutex_);
        features_ = std::move(features);
        filterConfig_ = std::move(filterConfig);
    }
    if (!options_.postLoop)
        return true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
    }
    if (!WorkGroups::Post(MakeWorkItem(&DfwMain::Run, this, "DfwMain"))) {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        DFW_ERROR_CODE("LCP00002", "dfw: Failed to start DFW app: %1, %2", "process loop",
                       "not posted");
        return false;
    }
    if (!repo_->Start())
        DFW_ERROR_CODE("LCP00002", "dfw: Failed to start DFW app: %1, %2", "filter repository",
                       "not posted");
    if (!options_.settings.skipNtpCheck) {
        DfwNtpConfig::Options ntp;
        ntp.interval = std::chrono::minutes(options_.settings.ntpCheckInterval);
        ntp.onUp = [self] { self->SetNtpUp(true); };
        ntp_ = ozy::MakeRef<DfwNtpConfig>(std::move(ntp));
        ntp_->Start();
    }
    return true;
}

void DfwMain::Stop() {
    msgs_->SetNotify(nullptr);
    // No profile reaches the features from now on.
    for (const auto& f : features_)
        f->stop();
    if (filterConfig_)
        filterConfig_->stop();
    if (ntp_)
        ntp_->Stop();
    if (repo_)
        repo_->Stop();
    if (alarms_)
        alarms_->Stop();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
        wake_.wait_for(lock, std::chrono::seconds(10), [this] { return !running_; });
    }
    // The repository's callbacks, the features' and the filter configuration's hold this loop:
    // letting them go ends the cycle.
    std::vector<ozy::RefPtr<DfwFilterFeature>> features;
    ozy::RefPtr<DfwFilterConfig> config;
    ozy::RefPtr<DfwFilterRepo> repo;
    std::lock_guard<std::mutex> lock(mutex_);
    features.swap(features_);
    config.swap(filterConfig_);
    repo.swap(repo_);
}

std::vector<ozy::RefPtr<DfwFilterFeature>> DfwMain::features() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return features_;
}

ozy::RefPtr<DfwFilterConfig> DfwMain::filterConfig() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return filterConfig_;
}

void DfwMain::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        // A span sync that failed is tried again after a while even without a wake-up.
        if (spanPending_)
            woken_ |= !wake_.wait_for(lock, kSpanRetry, [this] { return stopping_ || woken_; });
        else
            wake_.wait(lock, [this] { return stopping_ || woken_; });
        if (stopping_)
            break;
        lock.unlock();
        try {
            ProcessOnce();
        } catch (const std::exception& e) {
            DFW_ERROR("dfw: Caught exception at line %1. Ignored. (%2)", __LINE__, e.what());
        }
        lock.lock();
    }
    running_ = false;
    wake_.notify_all();
}

void DfwMain::Notify() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    wake_.notify_all();
}

void DfwMain::SetNtpUp(bool up) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ntpUp_ == up)
        return;
    ntpUp_ = up;
    pending_.ntpChanged = true;
    DFW_INFO("dfw: notifying  main loop for ntp up notification");
    woken_ = true;
    wake_.notify_all();
}

void DfwMain::RequestVif(const std::string& agent, const std::string& vif,
                         const std::string& filter, bool enable) {
    const bool si = agent == w::kAgentServiceInsertion;
    if (!si && agent != w::kAgentFirewall) {
        DFW_ERROR("dfw: Invalid RuleComponentType");
        return;
    }
    DFW_INFO("dfw: dfwFilterRepo(%1) requests a vif %2 config: %3", si ? "si" : "dfw", vif,
             enable ? filter : std::string("clear"));
    std::lock_guard<std::mutex> lock(mutex_);
    // The features set their values on such a filter again, even when the request cancels.
    if (enable && !si)
        pending_.added[vif] = filter;
    auto& mine = enable ? (si ? pending_.siEnable : pending_.enable)
                        : (si ? pending_.siDisable : pending_.disable);
    auto& other = enable ? (si ? pending_.siDisable : pending_.disable)
                         : (si ? pending_.siEnable : pending_.enable);
    auto it = other.find(vif);
    if (it != other.end()) {
        const bool same = it->second == filter;
        other.erase(it);
        // A request for the same filter cancels the pending opposite one; a re-created filter
        // (another name) still gets what it asks for.
        if (same) {
            DFW_INFO(enable ? "dfw: ignoring a vif%1 to enable from dfwFilterRepo request"
                            : "dfw: ignoring a vif%1 to disable from dfwFilterRepo request",
                     si ? "(si)" : "");
            return;
        }
    }
    mine[vif] = filter;
    woken_ = true;
    wake_.notify_all();
}

void DfwMain::RequestSpanResync() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.spanResync = true;
    woken_ = true;
    wake_.notify_all();
}

void DfwMain::RequestCleanup(const std::string& agent, const std::string& filter) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.cleanups.emplace_back(agent.substr(0, 99), filter.substr(0, 99));
    woken_ = true;
    wake_.notify_all();
}

bool DfwMain::PortDisabled(const std::string& lsp) const {
    if (disabledPorts_.empty())
        return false;
    uint64_t l = 0, r = 0;
    return ozy::cairndb::ParseUuidText(lsp, &l, &r) &&
           disabledPorts_.count(ozy::cairndb::UuidText(l, r)) != 0;
}

bool DfwMain::ClearDisabled() {
    if (disabledPorts_.empty()) {
        cleared_.clear();
        return true;
    }
    bool ok = true;
    std::set<std::string> still;
    for (const auto& [vif, f] : repo_->Filters(w::kAgentFirewall)) {
        if (!PortDisabled(f.lsp))
            continue;
        if (cleared_.count(f.name) == 0) {
            DFW_INFO("dfw: filter %1 of vif %2 (lsp %3) disabled by its filter configuration",
                     f.name, vif, f.lsp);
            if (!CleanFilter(f.name)) {
                ok = false;
                continue;
            }
        }
        still.insert(f.name);
    }
    cleared_.swap(still);
    return ok;
}

DfwGlobalAddrSets::Objects DfwMain::SharedObjects(const DfwModes& modes, bool timeBased) const {
    DfwGlobalAddrSets::Objects out;
    DfwCache::Selection how;
    how.idfw = modes.idfw;
    how.ids = modes.ids;
    how.timeBased = timeBased;
    std::set<const DfwCache::FilterConfig*> seen;  // ports sharing groups share a configuration
    for (const auto& [vif, f] : repo_->Filters(w::kAgentFirewall)) {
        DfwUuid port;
        if (!ozy::cairndb::ParseUuidText(f.lsp, &port.left, &port.right))
            continue;
        auto cfg = cache_->ConfigOf(port, how);
        if (!seen.insert(cfg.get()).second)
            continue;
        for (const auto& s : cfg->objects->addrSets)
            out[s->name()].set = s;
        for (const auto& c : cfg->objects->containers)
            out[c->name()].container = c;
    }
    return out;
}

DfwMain::Counters DfwMain::counters() const {
    std::lock_guard<std::mutex> lock(countersMutex_);
    return counters_;
}

bool DfwMain::CleanFilter(const std::string& name) {
    DFW_INFO("dfw: Cleanup dfw on filter %1", name);
    std::vector<std::string_view>& ruleSets = held_->ruleSets;
    std::vector<std::string_view>& addrSets = held_->addrSets;
    int rc = ReadRuleSets(name);
    if (rc == 0)
        rc = ReadAddrSets(name);
    if (rc == 0) {
        TarpFirewall::CTarpFWCmdList list;
        TarpFirewall::ScopedConfigFile guard(&list);
        for (std::string_view rs : ruleSets) {
            DFW_DEBUG("dfw: destroying unused ruleset %1", rs);
            list.addDestroyRuleSet(std::string(rs));
        }
        list.addSetRootRuleSets({});
        DFW_DEBUG("dfw: destroying unused addrsets");
        for (std::string_view a : addrSets)
            list.addDestroyAddrSet(std::string(a));
        rc = FW_EvaluateConfigFile(handle_, &list, name.c_str(), 0);
    }
    filters_.erase(name);
    filterErrors_.erase(name);
    heldByFilter_.erase(name);
    if (!DfwApplied(rc)) {
        DFW_ERROR_CODE("LCP01106", "dfw: Failed to cleanup DFW config to filter %1 (%2)", name,
                       FW_StatusToString(rc));
        return false;
    }
    return true;
}

uint32_t DfwMain::PrepareFilter(const std::string& agent, const std::string& vif,
                                const std::string& name, const std::string& lsp,
                                const DfwModes& modes, bool timeBased,
                                std::unique_ptr<Prepared>* out) {
    out->reset();
    DfwUuid port;
    if (!ozy::cairndb::ParseUuidText(lsp, &port.left, &port.right)) {
        heldByFilter_.erase(name);
        DFW_INFO("dfw: skip dfw filter of no lsp id, vif: %1, name: %2", vif, name);
        return 0;
    }
    DFW_DEBUG("dfw: Realizing rule config on filter %1 (agent %2) of vif %3, lsp %4", name, agent,
              vif, lsp);
    DfwCache::Selection how;
    how.serviceInsertion = agent == w::kAgentServiceInsertion;
    how.idfw = modes.idfw;
    how.ids = modes.ids;
    how.timeBased = timeBased;
    auto cfg = cache_->ConfigOf(port, how);
    heldByFilter_[name] = cfg->heldSections;
    // A failed apply leaves the filter as it was: only the port's status changes.
    auto failed = [&](uint32_t code) {
        if (agent == w::kAgentFirewall)
            lspMetrics_->DfwSetLspStatus(vif, lsp, code);
        return code;
    };

    // An imported filter keeps what it brought until a configuration names its port, or until
    // the import clear timeout passed; then it is applied whatever its last apply here was.
    const DfwFilterRepo::Import import =
        how.serviceInsertion ? DfwFilterRepo::Import{} : repo_->ImportOf(vif);
    if (import.time != 0) {
        if (cfg->appliedTo) {
            DFW_INFO("dfw: Matched appliedto for filter %1 of vif %2. Clearing import flag", name,
                     vif);
        } else if (!import.expired) {
            DFW_INFO("dfw: No matched appliedto for filter %1 of vif %2, no timeout (%3 sec) yet.",
                     name, vif, options_.settings.importClearTimeout);
            return 0;
        } else {
            DFW_INFO(
                "dfw: No matched appliedto for filter %1 of vif %2, timeout reached. Clearing "
                "import flag",
                name, vif);
        }
    }

    std::vector<std::string_view>& ruleSets = held_->ruleSets;
    std::vector<std::string_view>& addrSets = held_->addrSets;
    FilterState& state = filters_[name];
    // What the filter holds: what the last apply here left while the library's record of the
    // filter has not changed since, else its names as the library lists them.
    uint64_t token = 0;
    const std::shared_ptr<const DfwCache::Objects> left = state.left;
    const bool known = state.applied && state.namesToken != 0 &&
                       FW_GetNamesToken(handle_, name.c_str(), &token) == 0 &&
                       token == state.namesToken;
    // Known to hold, unchanged, just the objects this configuration names (a rule change): none
    // is sent again and none goes, with no walk of their names.
    const bool holdsObjects = known && left != nullptr && left == cfg->objects &&
                              state.objects == left && !modes.globalAddrSet && import.time == 0;
    int rc = 0;
    if (known) {
        ruleSets.assign({kMainRs, kMainRsL2});
        addrSets.clear();
        if (left && !holdsObjects) {
            for (const DfwCache::ObjectRef& o : left->refs)
                addrSets.push_back(o.name);
        }
    } else if ((rc = ReadRuleSets(name)) != 0) {
        DFW_ERROR_CODE("LCP01161", "dfw: Failed to get kernel ruleset count: %1",
                       FW_StatusToString(rc));
    } else {
        rc = ReadAddrSets(name);
        if (rc != 0)
            DFW_ERROR_CODE("LCP01107", "dfw: Failed to get kernel addrset count: %1",
                           FW_StatusToString(rc));
    }
    state.l3Rules = cfg->l3Rules;
    state.l2Rules = cfg->l2Rules;
    // The fast-path mode follows the global one on every filter, applied or skipped below.
    if (state.fastPath != int(modes.fastPathLookup)) {
        int fp = FW_FpFlag(handle_, name.c_str(), 0, modes.fastPathLookup ? 1 : 0);
        if (fp == 0) {
            state.fastPath = int(modes.fastPathLookup);
            DFW_INFO("dfw: successfully updated fastpath mode for kif %1 to %2", name,
                     state.fastPath);
        } else {
            DFW_ERROR("dfw: Failed to update fastpath mode for kif %1 to %2: %3", name,
                      int(modes.fastPathLookup), FW_StatusToString(fp));
        }
    }
    if (rc != 0) {
        state.status = static_cast<uint32_t>(rc);
        state.applied = false;
        state.objects.reset();
        state.namesToken = 0;
        return failed(DfwRealizationCode(rc));
    }
    if (!known && !std::is_sorted(addrSets.begin(), addrSets.end()))
        std::sort(addrSets.begin(), addrSets.end());
    // The names are compared only when the configuration is the one last applied (and not at all
    // when they are known to be what that apply left).
    const bool holds = state.applied && state.configHash == cfg->hash &&
                       state.globalMode == modes.globalAddrSet &&
                       (known || HoldsJust(ruleSets, addrSets, state.left.get()));
    if (options_.settings.configOptimization && holds && state.status == 0 && import.time == 0) {
        DFW_DEBUG("dfw: filter %1 of vif %2 holds its configuration already, skipped", name, vif);
        std::lock_guard<std::mutex> lock(countersMutex_);
        ++counters_.skippedApplies;
        return 0;
    }
    // In global mode the filter's rules resolve their sets on the shared filter, which holds
    // them; the filter's own go.
    if (modes.globalAddrSet && state.shared != 1) {
        int g = FW_ConfigSharedAddrSet(handle_, name.c_str(), 0, 1);
        if (g == 0)
            state.shared = 1;
        else
            DFW_ERROR("dfw: Failed to enable global address set for filter %1 of vif %2: %3", name,
                      vif, FW_StatusToString(g));
    }
    // The filter's own objects (none in global mode). One the filter holds as its last apply
    // here left it, with the same content, is not sent again: a filter keeps what a configuration
    // does not destroy.
    static const DfwCache::ObjectRefs kNone;
    const DfwCache::ObjectRefs& keep = modes.globalAddrSet ? kNone : cfg->objects->refs;
    // A filter known to hold every object its configuration names (a rule change) has none of
    // them sent or destroyed: they are not walked at all (a few hundred a filter).
    std::vector<bool> unchanged;
    std::vector<std::string_view> unused;
    if (!holdsObjects)
        Reconcile(keep, import.time == 0 && state.objects ? &state.objects->refs : nullptr,
                  addrSets, &unchanged, &unused);
    auto p = std::make_unique<Prepared>();
    p->agent = agent;
    p->vif = vif;
    p->name = name;
    p->lsp = lsp;
    p->cfg = cfg;
    p->import = import;
    p->state = &state;
    TarpFirewall::CTarpFWCmdList& list = p->list;
    try {
        if (!modes.globalAddrSet && !holdsObjects) {
            const DfwCache::Objects& objects = *cfg->objects;
            for (size_t i = 0; i < objects.addrSets.size(); ++i) {
                const auto& s = objects.addrSets[i];
                if (unchanged[objects.addrSetIndex[i]])
                    continue;
                DFW_DEBUG("dfw: created addrset %1 with %2 addresses", s->name(),
                          s->addresses().size());
                list.addCreateAddrSet(s);
            }
            for (size_t i = 0; i < objects.containers.size(); ++i) {
                if (!unchanged[objects.containerIndex[i]])
                    list.addCreateContainer(objects.containers[i]);
            }
        }
        for (std::string_view rs : ruleSets) {
            if (rs != kMainRs && rs != kMainRsL2) {
                DFW_DEBUG("dfw: destroying unused ruleset: %1", rs);
                list.addDestroyRuleSet(std::string(rs));
            }
        }
        DFW_DEBUG("dfw: Collected %1 l3 rules and %2 l2 rules for vif %3", cfg->l3Rules,
                  cfg->l2Rules, vif);
        list.addCreateRuleSet(kMainRs, cfg->l3);
        list.addCreateRuleSet(kMainRsL2, cfg->l2);
        list.addSetRootRuleSets({kMainRs, kMainRsL2});
        for (std::string_view a : unused) {
            DFW_DEBUG("dfw: destroying unused addrset/containers: %1", a);
            list.addDestroyAddrSet(std::string(a));
        }
        p->send = true;
    } catch (const TarpFirewall::CTarpFWException& e) {
        DFW_ERROR("dfw: configuration of filter %1 refused by the library: %2", name, e.what());
        p->rc = static_cast<int>(e.retcode());
    }
    *out = std::move(p);
    return 0;
}

uint32_t DfwMain::FinishFilter(Prepared& p, int rc, const DfwModes& modes) {
    const std::string& agent = p.agent;
    const std::string& vif = p.vif;
    const std::string& name = p.name;
    const std::string& lsp = p.lsp;
    const DfwCache::FilterConfig* cfg = p.cfg.get();
    FilterState& state = *p.state;
    {
        std::lock_guard<std::mutex> lock(countersMutex_);
        ++counters_.applies;
        counters_.failedApplies += !DfwApplied(rc);
    }
    if (!DfwApplied(rc)) {
        DFW_ERROR_CODE("LCP01106", "dfw: Failed to apply rule config to filter %1 of vif %2: %3",
                       name, vif, FW_StatusToString(rc));
        state.status = static_cast<uint32_t>(rc);
        state.applied = false;
        state.objects.reset();
        state.namesToken = 0;
        const uint32_t code = DfwRealizationCode(rc);
        if (agent == w::kAgentFirewall)
            lspMetrics_->DfwSetLspStatus(vif, lsp, code);
        return code;
    }
    DFW_DEBUG("dfw: Applied rule config to filter %1 of vif %2", name, vif);
    if (agent == w::kAgentFirewall) {
        DFW_DEBUG("dfw: Setting DfwSetRuleAlarmCounts to %1 for vif %2",
                  cfg->l3Rules + cfg->l2Rules, vif);
        alarms_->DfwSetRuleAlarmCounts(vif, cfg->l3Rules + cfg->l2Rules);
        lspMetrics_->DfwSetLspMetrics(vif, lspMetrics_->Measure(vif, lsp, *cfg, 0));
    }
    state.status = 0;
    if (p.import.time != 0)
        repo_->ClearImport(vif);
    if (!modes.globalAddrSet && state.shared == 1) {
        int g = FW_ConfigSharedAddrSet(handle_, name.c_str(), 0, 0);
        if (g == 0)
            state.shared = 0;
        else
            DFW_ERROR("dfw: Failed to disable global address set for filter %1 of vif %2: %3", name,
                      vif, FW_StatusToString(g));
    }
    // What the filter holds now: the root rule sets and the names this apply left.
    state.applied = true;
    state.configHash = cfg->hash;
    state.globalMode = modes.globalAddrSet;
    if (modes.globalAddrSet)
        state.left.reset();
    else
        state.left = p.cfg->objects;
    if (modes.globalAddrSet)
        state.objects.reset();
    else
        state.objects = p.cfg->objects;
    if (FW_GetNamesToken(handle_, name.c_str(), &state.namesToken) != 0)
        state.namesToken = 0;
    return 0;
}

uint32_t DfwMain::ApplyFilter(const std::string& agent, const std::string& vif,
                              const std::string& name, const std::string& lsp,
                              const DfwModes& modes, bool timeBased) {
    std::unique_ptr<Prepared> p;
    const uint32_t code = PrepareFilter(agent, vif, name, lsp, modes, timeBased, &p);
    if (!p)
        return code;
    const int rc = p->send ? FW_EvaluateConfigFile(handle_, &p->list, name.c_str(), 0) : p->rc;
    return FinishFilter(*p, rc, modes);
}

void DfwMain::ProcessOnce() {
    const auto start = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = false;
    }
    // Until the first full sync has been merged the message cache holds nothing of the database
    // (a restarted agent, a large database): a pass now would apply an empty configuration to
    // every filter and report a status of nothing. Requests, a link resync and an NTP change stay
    // owed; the full sync's notification wakes the loop (cleared above, so it is not lost).
    if (!msgs_->Synced()) {
        if (!waitLogged_)
            DFW_INFO("dfw: no full sync from cairndb yet, nothing applied until it arrives");
        waitLogged_ = true;
        Point("unsynced");
        std::lock_guard<std::mutex> lock(countersMutex_);
        ++counters_.unsyncedPasses;
        return;
    }
    Pending p;
    bool ntpUp = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        p = std::move(pending_);
        pending_ = Pending{};
        ntpUp = ntpUp_;
    }
    disabledPorts_ = filterConfig_ ? filterConfig_->DisabledPorts() : std::set<std::string>();
    DFW_INFO("dfw: process loop wakes up to process request");

    // 2. The snapshot, its changes and its barrier, together.
    DfwMsgSnapshot snap = msgs_->TakeSnapshot();
    Point("snapshot");
    const DfwModes& modes = snap.modes;
    changes_.Merge(snap.changes);
    const bool rulesChanged = !cache_ || changes_.fullSync || !changes_.sections.empty() ||
                              !changes_.rules.empty() || !changes_.containers.empty() ||
                              !changes_.groups.empty() || !changes_.ruleSections.empty() ||
                              changes_.span || changes_.allLsp;
    DFW_INFO("dfw: get from MsgCache: flag %1, %2, %3, %4, %5", rulesChanged, modes.globalAddrSet,
             modes.fastPathLookup, modes.macSetOptimization, snap.barrier);
    bool rebuilt = false;
    if (rulesChanged) {
        DfwCache::Error error;
        auto built = DfwCache::Build(snap, changes_, cache_, &error);
        std::lock_guard<std::mutex> lock(countersMutex_);
        ++counters_.builds;
        if (built) {
            cache_ = std::move(built);
            changes_ = DfwChangeSet{};
            buildError_ = 0;
            rebuilt = true;
        } else {
            // The last good cache stays in use; the changes stay pending for the next build.
            ++counters_.failedBuilds;
            buildError_ = error.code;
            buildErrorMeta_ = error.meta;
            buildErrorText_ = error.text;
        }
    } else {
        changes_ = DfwChangeSet{};
    }

    // 3. Filters of disabled vifs lose their configuration.
    DFW_INFO("dfw: clear config on DFW vif, count: %1", p.disable.size());
    for (const auto& [vif, name] : p.disable) {
        if (CleanFilter(name))
            cleared_.insert(name);
    }
    DFW_INFO("dfw: clear config on SI vif, count: %1", p.siDisable.size());
    for (const auto& [vif, name] : p.siDisable)
        CleanFilter(name);
    for (const auto& [agent, name] : p.cleanups)
        CleanFilter(name);
    bool ok = ClearDisabled();

    // Include and exclude tables of both agents. A device that may be new holds no per-filter
    // setting of ours either.
    if (p.spanResync) {
        for (auto& [name, state] : filters_) {
            state.fastPath = -1;
            state.shared = -1;
            state.objects.reset();
            state.namesToken = 0;
        }
    }
    // A filter enabled again may be a new one under the same name: it gets everything.
    for (const auto* requests : {&p.enable, &p.siEnable}) {
        for (const auto& [vif, name] : *requests) {
            auto it = filters_.find(name);
            if (it != filters_.end()) {
                it->second.objects.reset();
                it->second.namesToken = 0;
            }
        }
    }
    const bool spansOk = SyncSpans(snap, p.spanResync);
    // IP-reputation chunks on the shared filter, before the filters whose malicious groups use
    // them (a device that may be new is asked again what it holds).
    const bool chunksOk = chunks_->Sync(snap, p.spanResync);

    const bool timeBased = options_.settings.skipNtpCheck || ntpUp;
    const bool flagsChanged = modes.idfw != appliedModes_.idfw || modes.ids != appliedModes_.ids ||
                              modes.globalAddrSet != appliedModes_.globalAddrSet ||
                              modes.fastPathLookup != appliedModes_.fastPathLookup ||
                              timeBased != appliedTimeBased_ || p.ntpChanged;
    ok = ok && buildError_ == 0 && spansOk && chunksOk;
    if (cache_) {
        std::set<std::string> done;
        // Applies to one filter and keeps its error (or clears it); true when applied.
        auto applyOne = [&](const char* agent, const std::string& vif,
                            const DfwFilterRepo::Filter& f) {
            if (agent == std::string(w::kAgentFirewall) && PortDisabled(f.lsp)) {
                DFW_DEBUG("dfw: skip dfw filter %1 of vif %2: its port's filter is disabled",
                          f.name, vif);
                done.insert(f.name);
                return false;
            }
            uint32_t code = ApplyFilter(agent, vif, f.name, f.lsp, modes, timeBased);
            done.insert(f.name);
            if (code != 0) {
                filterErrors_[f.name] = {code, f.lsp};
                ok = false;
                return false;
            }
            filterErrors_.erase(f.name);
            return true;
        };
        // Every filter of the agent, their applies sent kApplyBatch at a time.
        auto applyAll = [&](const char* agent, const char* why) {
            const bool firewall = agent == std::string(w::kAgentFirewall);
            size_t n = 0;
            std::vector<std::unique_ptr<Prepared>> batch;
            std::vector<TarpFirewall::CTarpFWCmdList*> lists;
            std::vector<const char*> names;
            std::vector<int> statuses;
            auto outcome = [&](const std::string& name, const std::string& lsp, uint32_t code) {
                done.insert(name);
                if (code != 0) {
                    filterErrors_[name] = {code, lsp};
                    ok = false;
                    return;
                }
                filterErrors_.erase(name);
                ++n;
            };
            auto flush = [&] {
                lists.clear();
                names.clear();
                for (const auto& p : batch) {
                    if (p->send) {
                        lists.push_back(&p->list);
                        names.push_back(p->name.c_str());
                    }
                }
                statuses.assign(lists.size(), 0);
                int rc = lists.empty() ? 0
                                       : FW_EvaluateConfigFiles(handle_, lists.data(), names.data(),
                                                                static_cast<uint32_t>(lists.size()),
                                                                0, statuses.data());
                size_t k = 0;
                for (const auto& p : batch) {
                    const int status = !p->send ? p->rc : rc != 0 ? rc : statuses[k];
                    k += p->send;
                    outcome(p->name, p->lsp, FinishFilter(*p, status, modes));
                }
                batch.clear();
            };
            for (const auto& [vif, f] : repo_->Filters(agent)) {
                DFW_DEBUG("dfw: apply %1 config to filter %2, lsp id %3%4", firewall ? "dfw" : "si",
                          f.name, f.lsp, why);
                if (firewall && PortDisabled(f.lsp)) {
                    DFW_DEBUG("dfw: skip dfw filter %1 of vif %2: its port's filter is disabled",
                              f.name, vif);
                    done.insert(f.name);
                    continue;
                }
                // A filter twice in one batch would be prepared before its first apply.
                for (const auto& p : batch) {
                    if (p->name == f.name) {
                        flush();
                        break;
                    }
                }
                std::unique_ptr<Prepared> p;
                const uint32_t code =
                    PrepareFilter(agent, vif, f.name, f.lsp, modes, timeBased, &p);
                if (!p) {
                    outcome(f.name, f.lsp, code);
                    continue;
                }
                batch.push_back(std::move(p));
                if (batch.size() >= kApplyBatch)
                    flush();
            }
            flush();
            return n;
        };
        // Global address sets: on the shared filter before any filter uses them, destroyed after
        // the filters let go of them.
        const bool macSet = modes.macSetOptimization != appliedModes_.macSetOptimization;
        const bool touched = rebuilt || flagsChanged || macSet || p.spanResync || !p.enable.empty();
        DfwGlobalAddrSets::Objects wanted;
        if (modes.globalAddrSet && touched) {
            wanted = SharedObjects(modes, timeBased);
            if (macSet)
                DFW_INFO(
                    "dfw: apply global address set due to MACSET Optimization flag change (dirty "
                    "cache)");
            const int rc = global_->Apply(wanted, macSet || p.spanResync);
            globalError_ = DfwApplied(rc) ? 0 : DfwRealizationCode(rc);
            globalHeld_ = true;
        }
        if (rebuilt || flagsChanged) {
            DFW_INFO("dfw: apply config starts (dirty cache)");
            size_t fw = applyAll(w::kAgentFirewall, rebuilt ? "" : " due to feature flags");
            size_t si = applyAll(w::kAgentServiceInsertion, "");
            DFW_INFO("dfw: Applied rule config to filter count  %1", fw);
            DFW_INFO("dfw: Applied rule config to si filter count  %1", si);
            DFW_INFO("dfw: apply config done (dirty cache)");
        }
        // 5. Filters newly enabled by request (the current filter of the vif).
        for (const auto* agent : {w::kAgentFirewall, w::kAgentServiceInsertion}) {
            const auto& requests = agent == std::string(w::kAgentFirewall) ? p.enable : p.siEnable;
            if (requests.empty())
                continue;
            auto filters = repo_->Filters(agent);
            size_t n = 0;
            for (const auto& [vif, name] : requests) {
                auto it = filters.find(vif);
                if (it == filters.end() || done.count(it->second.name) != 0)
                    continue;
                n += applyOne(agent, vif, it->second);
            }
            DFW_INFO(agent == std::string(w::kAgentFirewall)
                         ? "dfw: Applied rule config to enable_table filter count  %1"
                         : "dfw: Applied rule config to si enable_table filter count  %1",
                     n);
        }
        if (globalHeld_ && touched && globalError_ == 0) {
            const int rc = global_->Clean(wanted, !modes.globalAddrSet);
            globalError_ = DfwApplied(rc) ? 0 : DfwRealizationCode(rc);
            globalHeld_ = modes.globalAddrSet || globalError_ != 0;
        }
        ok = ok && globalError_ == 0;
        appliedModes_ = modes;
        appliedTimeBased_ = timeBased;
    }
    // Errors of filters that are gone go with them.
    const auto fwNow = repo_->SharedFilters(w::kAgentFirewall);
    const auto siNow = repo_->SharedFilters(w::kAgentServiceInsertion);
    const DfwFilterRepo::FilterMap& fw = *fwNow;
    const DfwFilterRepo::FilterMap& si = *siNow;
    // Per-port settings from profiles (flood, timeouts, DNS) on the firewall filters.
    for (const auto& feature : features_)
        ok = feature->processConfig(fw, p.added, p.spanResync) && ok;
    if (!features_.empty()) {
        for (const auto& [vif, f] : fw) {
            uint64_t profiles = PortDisabled(f.lsp) ? 1 : 0;
            for (const auto& feature : features_)
                profiles += feature->Profiled(vif, f.name);
            lspMetrics_->DfwSetLspProfiles(vif, profiles);
        }
    }
    // The names of the filters there are, sorted (views into `fw` and `si`, alive for the pass).
    std::vector<std::string_view> present;
    present.reserve(fw.size() + si.size());
    for (const auto* m : {&fw, &si}) {
        for (const auto& [vif, f] : *m)
            present.push_back(f.name);
    }
    std::sort(present.begin(), present.end());
    auto isPresent = [&present](const std::string& name) {
        return std::binary_search(present.begin(), present.end(), std::string_view(name));
    };
    for (auto it = filterErrors_.begin(); it != filterErrors_.end();) {
        it = isPresent(it->first) ? std::next(it) : filterErrors_.erase(it);
    }
    FeedAlarms(fw);
    // What the filters hold back, whichever of them this pass applied.
    std::vector<std::string> held;
    for (auto it = heldByFilter_.begin(); it != heldByFilter_.end();) {
        if (!isPresent(it->first)) {
            it = heldByFilter_.erase(it);
            continue;
        }
        held.insert(held.end(), it->second.begin(), it->second.end());
        ++it;
    }
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    heldSections_ = held;

    // 8. Reports: the status when it changed, the barrier of this pass's snapshot.
    const uint64_t barrierWrites = counters().barrierWrites;
    Report(snap.barrier);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        published_ = cache_;
        publishedModes_ = modes;
        timeBasedPublished_ = timeBased;
    }
    if (ok && held.empty()) {
        DFW_INFO("dfw: Successfully processed request");
    } else if (ok) {
        std::string names;
        for (const std::string& h : held)
            names += (names.empty() ? "" : ", ") + h;
        DFW_INFO(
            "dfw: Successfully processed request except time based config (held while NTP "
            "Service is not up: %1)",
            names);
    } else {
        DFW_ERROR_CODE("LCP01155", "dfw: Failed to process request");
    }
    const uint64_t ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - start)
                                                  .count());
    DFW_INFO("dfw: Time took to process request: %1 ms", ms);
    UpdateMetrics(modes, rebuilt, counters().barrierWrites != barrierWrites, ms);
    std::lock_guard<std::mutex> lock(countersMutex_);
    ++counters_.passes;
    counters_.lastPassMs = ms;
    counters_.maxPassMs = std::max(counters_.maxPassMs, ms);
}

bool DfwMain::SyncSpans(const DfwMsgSnapshot& snap, bool resync) {
    if (!resync && !spanPending_ && !snap.changes.span && !snap.changes.fullSync)
        return true;
    spanPending_ = false;
    std::string errors;
    bool anyWritten = false;
    bool written[2] = {false, false};
    for (size_t i = 0; i < 2; ++i) {
        DfwSpanConfig& span = spans_[i];
        if (resync)
            included_[i] = -1;
        const int want = ExcludeAll(snap, i == 0 ? 1 : 3) ? 0 : 1;
        if (included_[i] != want) {
            if (span.SetEnabled(want == 1)) {
                included_[i] = want;
                written[i] = true;
            } else {
                errors += " Include table of " + span.agent() + " not written.";
            }
        }
        const auto& list = i == 0 ? snap.dfwExcludedVifs : snap.siExcludedVifs;
        const std::vector<std::string> excluded = list ? *list : std::vector<std::string>();
        std::vector<std::string> active;
        for (const auto& [vif, f] : repo_->Filters(span.agent()))
            active.push_back(vif);
        bool replaced = false;
        if (!span.SyncExclusions(excluded, active, snap.changes.fullSync, &replaced))
            errors += " Exclude table of " + span.agent() + " not written.";
        written[i] |= replaced;
        anyWritten |= replaced;
        std::lock_guard<std::mutex> lock(mutex_);
        excludeWanted_[i] = excluded;
        excludeHeld_[i] = span.Exclude();
    }
    // The filters of the running VMs follow the new tables.
    if (written[0] || written[1]) {
        std::vector<DfwSpanConfig::Vm> vms;
        if (DfwSpanConfig::ListVms(&vms)) {
            for (size_t i = 0; i < 2; ++i) {
                if (written[i])
                    spans_[i].RevalidateAll(vms);
            }
        }
    }
    // Filters that came into or out of the exclusion list are found by the next query.
    if (anyWritten)
        repo_->Wake();
    spanError_ = errors;
    if (!errors.empty()) {
        spanPending_ = true;
        DFW_ERROR("dfw: span configuration failed:%1", errors);
        return false;
    }
    return true;
}

bool DfwMain::ChunksText(const std::string& address, std::string* text) const {
    if (!chunks_) {
        *text = "no firewall library yet";
        return false;
    }
    return chunks_->Text(address, text);
}

std::string DfwMain::ExcludeText(bool serviceInsertion) const {
    const size_t i = serviceInsertion ? 1 : 0;
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json j = {{"agent", spans_[i].agent()},
                        {"exclude_list", excludeHeld_[i]},
                        {"wanted", excludeWanted_[i]}};
    return nlohmann::json({{"dfw_vif_exclude", j}}).dump();
}

void DfwMain::FeedAlarms(const DfwFilterRepo::FilterMap& fw) {
    uint64_t host = 0;
    std::vector<std::string> vifs;
    vifs.reserve(fw.size());
    for (const auto& [vif, f] : fw) {
        vifs.push_back(vif);
        auto it = filters_.find(f.name);
        if (it != filters_.end())
            host += it->second.l3Rules + it->second.l2Rules;
    }
    alarms_->DfwSetHostRuleAlarmCounts(host);
    alarms_->DfwUpdateAlarmVifs(vifs);
    alarms_->PollingCb();
    lspMetrics_->DfwSyncVifTable(vifs);
    lspMetrics_->Publish();
}

void DfwMain::Report(uint64_t barrier) {
    pb::RuntimeStatusMsg status;
    status.set_component_id(kComponentId);
    std::string meta;
    if (buildError_ != 0) {
        pb::RealizationErrorMsg* e = status.add_errors();
        e->set_object_type(pb::RULE_SECTION);
        e->set_error_code(buildError_);
        e->set_error_message(buildErrorMeta_.empty() ? buildErrorText_ : buildErrorMeta_);
        meta = buildErrorMeta_;
    }
    for (const auto& [name, err] : filterErrors_) {
        pb::RealizationErrorMsg* e = status.add_errors();
        e->set_object_type(pb::LOG_SWITCH_PORT_CONFIG);
        uint64_t l = 0, r = 0;
        if (ozy::cairndb::ParseUuidText(err.second, &l, &r)) {
            e->mutable_object_id()->set_left(l);
            e->mutable_object_id()->set_right(r);
        }
        e->set_error_code(err.first);
        e->set_error_message("filter " + name);
    }
    if (globalError_ != 0) {
        pb::RealizationErrorMsg* e = status.add_errors();
        e->set_object_type(pb::GLOBAL_CONFIG);
        e->set_error_code(globalError_);
        e->set_error_message(std::string("filter ") + w::kSharedAddrSetFilter);
    }
    for (const DfwIpRepChunkList::Error& c :
         chunks_ ? chunks_->errors() : std::vector<DfwIpRepChunkList::Error>()) {
        pb::RealizationErrorMsg* e = status.add_errors();
        e->set_object_type(pb::IP_REPUTATION_CONFIG);
        if (c.uuid != DfwUuid{}) {
            e->mutable_object_id()->set_left(c.uuid.left);
            e->mutable_object_id()->set_right(c.uuid.right);
        }
        e->set_error_code(c.code);
        e->set_error_message(c.text);
    }
    if (!spanError_.empty()) {
        pb::RealizationErrorMsg* e = status.add_errors();
        e->set_object_type(pb::CONFIG_SPAN);
        e->set_error_code(1102);
        e->set_error_message(spanError_);
    }
    if (!heldSections_.empty() && !options_.settings.skipNtpCheck) {
        pb::RealizationErrorMsg* e = status.add_errors();
        e->set_object_type(pb::RULE_SECTION);
        std::string text = " NTP Service is not up; time-based sections held:";
        for (const std::string& h : heldSections_)
            text += " " + h;
        e->set_error_message(text);
    }
    std::string body = status.SerializeAsString();
    if (options_.cairndb != nullptr && body != lastStatusBody_) {
        status.set_barrier_id(barrier);
        DFW_INFO("dfw: Update runtime status to cairndb (error, meta info): %1, %2",
                 status.errors_size(), meta);
        if (options_.cairndb->reportRuntimeStatus(status)) {
            lastStatusBody_ = body;
            std::lock_guard<std::mutex> lock(countersMutex_);
            ++counters_.statusWrites;
        }
    }
    if (options_.cairndb != nullptr && barrier != 0 &&
        (!barrierWritten_ || barrier != lastBarrier_)) {
        pb::ProcessedBarrierMsg pbm;
        pbm.set_vertical_id(kVerticalId);
        pbm.set_barrier_id(barrier);
        DFW_INFO("dfw: update the processed barrier number to cairndb: %1", barrier);
        if (options_.cairndb->reportProcessedBarrier(pbm)) {
            lastBarrier_ = barrier;
            barrierWritten_ = true;
            std::lock_guard<std::mutex> lock(countersMutex_);
            ++counters_.barrierWrites;
        }
    }
}

void DfwMain::UpdateMetrics(const DfwModes& modes, bool rebuilt, bool barrierWritten, uint64_t ms) {
    ozy::metrics::Registry* m = options_.metrics;
    const bool changed = haveModes_;
    const DfwModes before = lastModes_;
    lastModes_ = modes;
    haveModes_ = true;
    if (m == nullptr)
        return;
    m->gauge("last update process time (ms)")->set(static_cast<int64_t>(ms));
    m->gauge("maximum update process time (ms)")->set(static_cast<int64_t>(counters().maxPassMs));
    if (rebuilt)
        m->counter("dfw update counter")->inc();
    if (barrierWritten)
        m->counter("barrier update counter")->inc();
    if (!changed)
        return;
    if (modes.globalAddrSet != before.globalAddrSet)
        m->counter("global address update counter")->inc();
    if (modes.fastPathLookup != before.fastPathLookup)
        m->counter("fastpath update counter")->inc();
    if (modes.idfw != before.idfw)
        m->counter("idfw update counter")->inc();
    if (modes.ids != before.ids)
        m->counter("ids update counter")->inc();
    if (modes.macSetOptimization != before.macSetOptimization)
        m->counter("macset optimization mode update counter")->inc();
}

std::string DfwMain::CountersText() const {
    Counters c = counters();
    DfwModes modes;
    ozy::RefPtr<DfwFilterRepo> repo;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        modes = publishedModes_;
        repo = repo_;
    }
    nlohmann::json j = {{"passes", c.passes},
                        {"builds", c.builds},
                        {"failed_builds", c.failedBuilds},
                        {"applies", c.applies},
                        {"failed_applies", c.failedApplies},
                        {"skipped_applies", c.skippedApplies},
                        {"unsynced_passes", c.unsyncedPasses},
                        {"status_writes", c.statusWrites},
                        {"barrier_writes", c.barrierWrites},
                        {"last_pass_ms", c.lastPassMs},
                        {"max_pass_ms", c.maxPassMs},
                        {"filter_link", repo && repo->LinkUp() ? "up" : "down"}};
    j["summary"] = "MP version: " + std::to_string(modes.mpVersionMajor) + "." +
                   std::to_string(modes.mpVersionMinor) +
                   ", globalAddr: " + std::to_string(modes.globalAddrSet) +
                   ", fastPath: " + std::to_string(modes.fastPathLookup) +
                   ", macsetOptimization: " + std::to_string(modes.macSetOptimization);
    return j.dump();
}

bool DfwMain::RulesText(const std::string& vif, std::string* text) const {
    std::shared_ptr<const DfwCache> cache;
    ozy::RefPtr<DfwFilterRepo> repo;
    DfwCache::Selection how;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cache = published_;
        repo = repo_;
        how.idfw = publishedModes_.idfw;
        how.ids = publishedModes_.ids;
        how.timeBased = timeBasedPublished_;
    }
    if (!cache || !repo) {
        *text = "no firewall configuration yet";
        return false;
    }
    auto filters = repo->Filters(w::kAgentFirewall);
    auto it = filters.find(vif);
    if (it == filters.end()) {
        *text = "no firewall filter of vif " + vif;
        return false;
    }
    DfwUuid port;
    if (!ozy::cairndb::ParseUuidText(it->second.lsp, &port.left, &port.right)) {
        *text = "filter " + it->second.name + " has no logical switch port";
        return false;
    }
    auto cfg = cache->ConfigOf(port, how);
    nlohmann::json j = {{"filter", it->second.name}, {"lsp", it->second.lsp}};
    for (const auto* layer : {&cfg->l3, &cfg->l2}) {
        nlohmann::json ids = nlohmann::json::array();
        for (const auto& seg : *layer) {
            for (const auto& r : seg->rules())
                ids.push_back(r->id());
        }
        j[layer == &cfg->l3 ? "mainrs" : "mainrs_L2"] = std::move(ids);
    }
    *text = j.dump();
    return true;
}

std::string DfwMain::VifText() const {
    nlohmann::json out = nlohmann::json::array();
    ozy::RefPtr<DfwFilterRepo> repo;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        repo = repo_;
    }
    if (!repo)
        return out.dump();
    for (const char* agent : {w::kAgentFirewall, w::kAgentServiceInsertion}) {
        for (const auto& [vif, f] : repo->Filters(agent)) {
            nlohmann::json j = {{"vif", vif},
                                {"filter", f.name},
                                {"lsp", f.lsp},
                                {"agent", agent},
                                {"import_time", f.importTime}};
            // The loop's own records are read without its lock: CLI figures may lag one pass.
            out.push_back(std::move(j));
        }
    }
    return out.dump();
}

}  // namespace CfgAgent

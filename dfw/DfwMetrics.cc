#include "dfw/DfwMetrics.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <utility>

#include <nlohmann/json.hpp>

#include "dfw/DfwLog.h"
#include "platform/tarp/CTarpFWContainer.h"
#include "platform/tarp/CTarpFWRule.h"
#include "platform/tarp/CTarpFWSegment.h"
#include "proto/UuidText.h"
#include "runtime/Metrics.h"

namespace CfgAgent {

namespace {

constexpr const char* kRules = "dfw/lsp/rule_count";
constexpr const char* kUrlRules = "dfw/lsp/url_rule_count";
constexpr const char* kIdsRules = "dfw/lsp/ids_rule_count";
constexpr const char* kIdfwRules = "dfw/lsp/idfw_rule_count";
constexpr const char* kAppIdRules = "dfw/lsp/appid_rule_count";
constexpr const char* kAddrSets = "dfw/lsp/addrset_count";
constexpr const char* kApplyStatus = "dfw/lsp/apply_status";
constexpr const char* kProfiles = "dfw/lsp/profile_count";
const std::vector<const char*> kLspSeries = {kRules,      kUrlRules, kIdsRules,    kIdfwRules,
                                             kAppIdRules, kAddrSets, kApplyStatus, kProfiles};
const std::vector<const char*> kTnSeries = {"dfw/tn/rule_count", "dfw/tn/lsp_with_rules"};

// Attribute keys (TarpAttributes.h): 0 APP_ID; 1 DOMAIN_NAME to 4 CUSTOM_URL.
constexpr uint16_t kAppIdKey = 0;
constexpr uint16_t kFirstUrlKey = 1, kLastUrlKey = 4;

int64_t Signed(uint64_t v) {
    return static_cast<int64_t>(std::min<uint64_t>(v, INT64_MAX));
}

}  // namespace

DfwMetrics::DfwMetrics(Options options) : options_(std::move(options)) {}

DfwMetrics::~DfwMetrics() = default;

uint64_t DfwMetrics::Now() const {
    return options_.wallSeconds ? options_.wallSeconds()
                                : static_cast<uint64_t>(std::time(nullptr));
}

bool DfwMetrics::TnValidLocked() const {
    uint64_t l = 0, r = 0;
    return ozy::cairndb::ParseUuidText(tn_, &l, &r) && (l != 0 || r != 0);
}

void DfwMetrics::SetTnUuid(const std::string& tn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tn == tn_)
        return;
    DFW_INFO("dfw: %1: Setting TN uuid %2", "SetTnUuid", tn);
    tn_ = tn;
}

std::string DfwMetrics::TnUuid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tn_;
}

void DfwMetrics::DfwSyncVifTable(const std::vector<std::string>& vifs) {
    std::lock_guard<std::mutex> lock(mutex_);
    DFW_DEBUG("dfw: %1: vif list size: %2.", "DfwSyncVifTable", vifs.size());
    syncTime_ = Now();
    // Mostly the same table as last time (the loop passes it sorted).
    if (vifs.size() == vifs_.size() && std::equal(vifs.begin(), vifs.end(), vifs_.begin()))
        return;
    vifs_ = std::set<std::string>(vifs.begin(), vifs.end());
    for (auto it = lsps_.begin(); it != lsps_.end();)
        it = vifs_.count(it->first) != 0 ? std::next(it) : lsps_.erase(it);
}

void DfwMetrics::DfwSetLspMetrics(const std::string& vif, const LspMetrics& metrics) {
    std::lock_guard<std::mutex> lock(mutex_);
    DFW_DEBUG("dfw: %1: setting metrics for vif %2.", "DfwSetLspMetrics", vif);
    LspMetrics& m = lsps_[vif];
    const uint64_t profiles = m.profiles;
    m = metrics;
    m.vif = vif;
    m.profiles = profiles;
    if (m.updateTime == 0)
        m.updateTime = Now();
}

void DfwMetrics::DfwSetLspStatus(const std::string& vif, const std::string& lsp,
                                 uint32_t applyStatus) {
    std::lock_guard<std::mutex> lock(mutex_);
    DFW_DEBUG("dfw: %1: setting metrics for vif %2.", "DfwSetLspStatus", vif);
    LspMetrics& m = lsps_[vif];
    m.vif = vif;
    m.lsp = lsp;
    m.applyStatus = applyStatus;
    m.updateTime = Now();
}

void DfwMetrics::DfwSetLspProfiles(const std::string& vif, uint64_t profiles) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = lsps_.find(vif);
    if (it == lsps_.end()) {
        DFW_DEBUG("dfw: %1: no metrics for vif %2 yet, profiles not set.", "DfwSetLspProfiles",
                  vif);
        return;
    }
    it->second.profiles = profiles;
}

std::vector<DfwMetrics::LspMetrics> DfwMetrics::ActiveLocked() const {
    std::vector<LspMetrics> out;
    if (!TnValidLocked()) {
        DFW_DEBUG("dfw: %1: TN uuid is not valid. Skipped.", "GetDfwLspMetrics");
        return out;
    }
    out.reserve(lsps_.size());
    for (const auto& [vif, m] : lsps_) {
        if (vifs_.count(vif) == 0) {
            DFW_DEBUG("dfw: %1: This was not an active vif.", "GetDfwLspMetrics");
            continue;
        }
        out.push_back(m);
    }
    return out;
}

std::vector<DfwMetrics::LspMetrics> DfwMetrics::GetDfwLspMetrics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ActiveLocked();
}

bool DfwMetrics::GetDfwTnMetrics(TnMetrics* out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!TnValidLocked())
        return false;
    *out = TnMetrics{};
    out->tn = tn_;
    out->updateTime = syncTime_;
    for (const LspMetrics& m : ActiveLocked()) {
        out->rules += m.counts.rules;
        out->lspWithRules += m.counts.rules != 0;
    }
    return true;
}

void DfwMetrics::Unpublish(const ozy::metrics::Labels& labels,
                           const std::vector<const char*>& names) {
    for (const char* name : names)
        options_.registry->remove(name, labels);
}

void DfwMetrics::Publish() {
    std::lock_guard<std::mutex> lock(mutex_);
    countedBefore_ = std::move(counted_);
    counted_.clear();
    segmentsBefore_ = std::move(segments_);
    segments_.clear();
    if (options_.registry == nullptr)
        return;
    ozy::metrics::Registry& reg = *options_.registry;
    ++publications_;
    // The ports GetDfwLspMetrics gives, walked in place. A port keeps its series while its labels
    // stay, so that a pass only stores values.
    const bool tnValid = TnValidLocked();
    if (!tnValid)
        DFW_DEBUG("dfw: %1: TN uuid is not valid. Skipped.", "GetDfwLspMetrics");
    uint64_t tnRules = 0, tnPorts = 0;
    const std::map<std::string, LspMetrics> none;
    // The three maps are sorted by vif: walked together, without a search per port.
    auto active = vifs_.begin();
    auto it = published_.begin();
    for (const auto& [vif, m] : *(tnValid ? &lsps_ : &none)) {
        while (active != vifs_.end() && *active < vif)
            ++active;
        if (active == vifs_.end() || *active != vif) {
            DFW_DEBUG("dfw: %1: This was not an active vif.", "GetDfwLspMetrics");
            continue;
        }
        while (it != published_.end() && it->first < vif)
            ++it;
        if (it == published_.end() || it->first != vif || it->second.tn != tn_ ||
            it->second.lsp != m.lsp) {
            if (it == published_.end() || it->first != vif)
                it = published_.emplace_hint(it, vif, Published{});
            else
                Unpublish({{"tn_uuid", it->second.tn}, {"lsp_uuid", it->second.lsp}, {"vif", vif}},
                          kLspSeries);
            Published& p = it->second;
            p.tn = tn_;
            p.lsp = m.lsp;
            p.gauges.clear();
            const ozy::metrics::Labels labels{{"tn_uuid", tn_}, {"lsp_uuid", m.lsp}, {"vif", vif}};
            for (const char* name : kLspSeries)
                p.gauges.push_back(reg.gauge(name, labels));
        }
        Published& p = it->second;
        p.publication = publications_;
        const RuleCounts& c = m.counts;
        const uint64_t values[] = {c.rules, c.url,      c.ids,         c.idfw,
                                   c.appid, c.addrSets, m.applyStatus, m.profiles};
        for (size_t i = 0; i < kLspSeries.size(); ++i)
            p.gauges[i]->set(Signed(values[i]));
        tnRules += c.rules;
        tnPorts += c.rules != 0;
        ++it;
    }
    // What was not kept went (the port, or every port with the transport node).
    for (auto gone = published_.begin(); gone != published_.end();) {
        if (gone->second.publication == publications_) {
            ++gone;
            continue;
        }
        Unpublish(
            {{"tn_uuid", gone->second.tn}, {"lsp_uuid", gone->second.lsp}, {"vif", gone->first}},
            kLspSeries);
        gone = published_.erase(gone);
    }
    if (!publishedTn_.empty() && (!tnValid || publishedTn_ != tn_)) {
        Unpublish({{"tn_uuid", publishedTn_}}, kTnSeries);
        publishedTn_.clear();
        tnGauges_.clear();
    }
    if (!tnValid)
        return;
    if (publishedTn_.empty()) {
        publishedTn_ = tn_;
        for (const char* name : kTnSeries)
            tnGauges_.push_back(reg.gauge(name, {{"tn_uuid", tn_}}));
    }
    tnGauges_[0]->set(Signed(tnRules));
    tnGauges_[1]->set(Signed(tnPorts));
}

DfwMetrics::SegmentCounts DfwMetrics::CountSegment(const TarpFirewall::CTarpFWSegment& seg) {
    SegmentCounts c;
    for (const auto& r : seg.rules()) {
        ++c.rules;
        c.ids += r->hasIDSProfile();
        c.idfw += r->hasExtSource();
        c.profiled = c.profiled || r->hasAttributeProfile();
    }
    return c;
}

template <class SegmentCountsOf>
DfwMetrics::RuleCounts DfwMetrics::CountWith(const DfwCache::FilterConfig& cfg,
                                             SegmentCountsOf countsOf) {
    RuleCounts c;
    c.addrSets = cfg.objects->addrSets.size();
    c.allDfw = !cfg.appliedTo;
    // Context profiles by name, made only when a rule names one.
    std::map<std::string, const TarpFirewall::CTarpFWContainer*> profiles;
    bool profilesMade = false;
    for (const auto* layer : {&cfg.l3, &cfg.l2}) {
        for (const auto& seg : *layer) {
            const SegmentCounts& counts = countsOf(*seg);
            c.rules += counts.rules;
            c.ids += counts.ids;
            c.idfw += counts.idfw;
            if (!counts.profiled)
                continue;
            if (!profilesMade) {
                for (const auto& k : cfg.objects->containers) {
                    if (k->type() == TarpFirewall::CTarpFWContainer::Type::kAttributes)
                        profiles.emplace(k->name(), k.get());
                }
                profilesMade = true;
            }
            for (const auto& r : seg->rules()) {
                if (!r->hasAttributeProfile())
                    continue;
                bool url = false, app = false;
                for (const auto& part : r->parts()) {
                    auto it = profiles.find(part.attrProfile);
                    if (part.attrProfile.empty() || it == profiles.end())
                        continue;
                    for (const auto& e : it->second->elements()) {
                        app |= e.key() == kAppIdKey;
                        url |= e.key() >= kFirstUrlKey && e.key() <= kLastUrlKey;
                    }
                }
                c.url += url;
                c.appid += app;
            }
        }
    }
    return c;
}

DfwMetrics::RuleCounts DfwMetrics::Count(const DfwCache::FilterConfig& cfg) {
    SegmentCounts counts;
    return CountWith(
        cfg, [&counts](const TarpFirewall::CTarpFWSegment& seg) -> const auto& {
            counts = CountSegment(seg);
            return counts;
        });
}

DfwMetrics::LspMetrics DfwMetrics::Measure(const std::string& vif, const std::string& lsp,
                                           const DfwCache::FilterConfig& cfg,
                                           uint32_t applyStatus) {
    LspMetrics m;
    m.vif = vif;
    m.lsp = lsp;
    m.applyStatus = applyStatus;
    m.updateTime = Now();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counted_.find(cfg.hash);
    if (it == counted_.end()) {
        auto before = countedBefore_.find(cfg.hash);
        if (before != countedBefore_.end())
            it = counted_.emplace(cfg.hash, before->second).first;
    }
    if (it != counted_.end()) {
        m.counts = it->second;
        return m;
    }
    // Configurations of ports in different groups share most of their segments: each segment is
    // counted once (by its hash) while configurations that hold it are measured.
    m.counts = CountWith(
        cfg, [this](const TarpFirewall::CTarpFWSegment& seg) -> const auto& {
            auto s = segments_.find(seg.hash());
            if (s != segments_.end())
                return s->second;
            auto b = segmentsBefore_.find(seg.hash());
            return segments_
                .emplace(seg.hash(), b != segmentsBefore_.end() ? b->second : CountSegment(seg))
                .first->second;
        });
    counted_.emplace(cfg.hash, m.counts);
    return m;
}

std::string DfwMetrics::LspMetricsText() const {
    nlohmann::json list = nlohmann::json::array();
    std::string tn;
    std::vector<LspMetrics> active;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tn = tn_;
        active = ActiveLocked();
    }
    for (const LspMetrics& m : active) {
        const RuleCounts& c = m.counts;
        list.push_back({{"tn_uuid", tn},
                        {"lsp_uuid", m.lsp},
                        {"vif", m.vif},
                        {"rule_cnt", c.rules},
                        {"url_rule_cnt", c.url},
                        {"ids_rule_cnt", c.ids},
                        {"idfw_rule_cnt", c.idfw},
                        {"appid_rule_cnt", c.appid},
                        {"is_all_dfw", c.allDfw},
                        {"addrset_cnt", c.addrSets},
                        {"apply_status", m.applyStatus},
                        {"profile_cnt", m.profiles},
                        {"update_time", m.updateTime}});
    }
    return nlohmann::json({{"lsp_metrics_list", std::move(list)}}).dump();
}

std::string DfwMetrics::TnMetricsText() const {
    nlohmann::json out = nlohmann::json::array();
    TnMetrics tn;
    if (GetDfwTnMetrics(&tn)) {
        out.push_back({{"tn_uuid", tn.tn},
                       {"rule_cnt", tn.rules},
                       {"lsp_w_rule_cnt", tn.lspWithRules},
                       {"update_time", tn.updateTime}});
    }
    return out.dump();
}

}  // namespace CfgAgent

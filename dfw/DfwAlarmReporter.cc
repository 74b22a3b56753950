#include "dfw/DfwAlarmReporter.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "dfw/DfwLog.h"
#include "platform/monitoring/EventSourceAPI.h"
#include "platform/tarp/TarpWire.h"
#include "proto/UuidText.h"

namespace CfgAgent {

namespace w = ozy::tarp;

namespace {

constexpr const char* kWho = "DfwAlarmReporter";

std::string Field(const uint8_t* p, size_t width) {
    return std::string(reinterpret_cast<const char*>(p),
                       strnlen(reinterpret_cast<const char*>(p), width));
}

uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool ValidLsp(const std::string& lsp) {
    uint64_t l = 0, r = 0;
    return ozy::cairndb::ParseUuidText(lsp, &l, &r) && (l != 0 || r != 0);
}

bool Approaching(uint64_t count, uint64_t max, uint32_t percent) {
    return max > 0 && static_cast<unsigned __int128>(count) * 100 >=
                          static_cast<unsigned __int128>(max) * percent;
}

bool Exceeded(uint64_t count, uint64_t max) {
    return max > 0 && count > max;
}

const char* KindName(bool approaching) {
    return approaching ? "approaching" : "exceeded";
}

}  // namespace

DfwAlarmReporter::DfwAlarmReporter(Options options) : options_(std::move(options)) {
    std::string host;
    bool known = false;
    if (options_.hostName) {
        known = options_.hostName(&host);
    } else {
        char buf[HOST_NAME_MAX + 1] = {};
        known = ::gethostname(buf, sizeof buf - 1) == 0;
        host = buf;
    }
    if (!known || host.empty()) {
        DFW_ERROR_CODE("LCP01101", "dfw: %1: failed to get hostname", kWho);
        host = "unknown";
    }
    host_ = host;
}

DfwAlarmReporter::~DfwAlarmReporter() {
    Stop();
}

bool DfwAlarmReporter::Start() {
    auto source =
        std::make_unique<ozy::monitoring::EventSourceAPI>(kSource, kComponent, options_.table);
    if (!source->Start()) {
        DFW_ERROR("dfw: %1: Failed to create alarm event source.", kWho);
        DFW_ERROR("dfw: %1: Failed to start dfw alarm.", kWho);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    source_ = std::move(source);
    DFW_INFO("dfw: Dfw AlarmReporter started successfully.");
    return true;
}

void DfwAlarmReporter::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (source_)
        source_->Stop();
}

bool DfwAlarmReporter::SourceReady(const char* operation) const {
    if (source_ && source_->running())
        return true;
    DFW_ERROR_CODE("LCP01101", "dfw: DfwAlarmReporter::%1: No event source created for alarm.",
                   operation);
    return false;
}

std::vector<std::pair<std::string, std::string>> DfwAlarmReporter::Context(
    const std::string& entity) const {
    return {{"entity_id", entity}, {"transport_node_name", host_}};
}

void DfwAlarmReporter::ConfigCb(const Config& config) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
    if (config_.approachingPercent < 1 || config_.approachingPercent > 100)
        config_.approachingPercent = Config().approachingPercent;
    DFW_INFO("dfw: %1: alarm configuration: approaching at %2 %%", kWho,
             config_.approachingPercent);
}

DfwAlarmReporter::Config DfwAlarmReporter::config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void DfwAlarmReporter::DfwSetRuleAlarmCounts(const std::string& vif, uint64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    vifs_[vif].count = count;
    DFW_DEBUG("dfw: DfwAlarmReporter::%1: Rule count set to %2 for vifId %3",
              "DfwSetRuleAlarmCounts", count, vif);
}

void DfwAlarmReporter::DfwSetHostRuleAlarmCounts(uint64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    hostLimit_.count = count;
    DFW_DEBUG("dfw: DfwAlarmReporter::%1: host rule count set to %2", "DfwSetHostRuleAlarmCounts",
              count);
}

void DfwAlarmReporter::DfwUpdateAlarmVifs(const std::vector<std::string>& vifs) {
    // Views of the vifs, sorted (they come sorted from the filter map: no copy of their texts).
    std::vector<std::string_view> now(vifs.begin(), vifs.end());
    if (!std::is_sorted(now.begin(), now.end()))
        std::sort(now.begin(), now.end());
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = vifs_.begin(); it != vifs_.end();) {
        if (std::binary_search(now.begin(), now.end(), std::string_view(it->first))) {
            ++it;
            continue;
        }
        if (!it->second.entity.empty() && source_ && source_->running()) {
            source_->DeleteEntity(it->second.entity);
            DFW_INFO("dfw: DfwAlarmReporter::%1: deleted entity vifId %2, rule limit approaching",
                     "DfwUpdateAlarmVifs", it->first);
        }
        it = vifs_.erase(it);
    }
}

void DfwAlarmReporter::DfwSetHostId(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (host.empty() || host == host_)
        return;
    host_ = host;
    DFW_INFO("dfw: DfwAlarmReporter::%1: hostname changed to %2", "DfwSetHostId", host);
}

void DfwAlarmReporter::DfwHostMaxRuleCnt(uint64_t max) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_.hostMax = max;
    DFW_INFO("dfw: DfwAlarmReporter::%1: _hostMaxCount set to %2", "DfwHostMaxRuleCnt", max);
}

void DfwAlarmReporter::DfwVnicMaxRuleCnt(uint32_t max) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_.vnicMax = max;
    DFW_INFO("dfw: DfwAlarmReporter::%1: _vnicMaxCount set to %2", "DfwVnicMaxRuleCnt", max);
}

std::map<std::string, DfwAlarmReporter::FilterInfo> DfwAlarmReporter::FiltersByVif() const {
    std::map<std::string, FilterInfo> out;
    if (options_.filters) {
        for (FilterInfo& f : options_.filters())
            out[f.vif] = std::move(f);
    }
    return out;
}

bool DfwAlarmReporter::ReportVnic(const std::string& vif, Limit& limit, Kind kind, bool raise,
                                  const std::map<std::string, FilterInfo>& filters) {
    const bool app = kind == Kind::kApproaching;
    if (!(app ? config_.vnicApproaching : config_.vnicExceeded)) {
        DFW_DEBUG("dfw: %1: DFW Rule limit per vnic %2 alarm is disbled, skip reporting.", kWho,
                  KindName(app));
        return false;
    }
    auto f = filters.find(vif);
    if (f == filters.end()) {
        DFW_DEBUG(
            "dfw: DfwAlarmReporter::%1: vifId %2 not found in filter list for dfw rules "
            "per vnic %3 alarm",
            "PollingCb", vif, KindName(app));
        return false;
    }
    if (!ValidLsp(f->second.lsp)) {
        DFW_DEBUG("dfw: DfwAlarmReporter::%1: Invalid LspId %2 dfw rules per vnic %3 alarm",
                  "PollingCb", f->second.lsp, KindName(app));
        return false;
    }
    if (!SourceReady("PollingCb"))
        return false;
    const uint32_t event = app ? kEventVnicApproaching : kEventVnicExceeded;
    const std::string& lsp = f->second.lsp;
    bool done = raise ? source_->Raise(event, lsp, Context(lsp))
                      : (source_->Clear(event, lsp, Context(lsp)), true);
    if (!done)
        return false;
    limit.entity = lsp;
    ++(raise ? limit.raises : limit.clears);
    DFW_INFO(
        "dfw: DfwAlarmReporter::%1: Succeeded to %2 dfw rules per vnic %3 alarm for lsp %4 "
        "filter %5.",
        "PollingCb", raise ? "raise" : "clear", KindName(app), lsp, f->second.name);
    return true;
}

bool DfwAlarmReporter::ReportHost(Kind kind, bool raise) {
    const bool app = kind == Kind::kApproaching;
    if (!(app ? config_.hostApproaching : config_.hostExceeded)) {
        DFW_DEBUG("dfw: %1: DFW Rule limit per host %2 alarm is disbled, skip reporting.", kWho,
                  KindName(app));
        return false;
    }
    if (!SourceReady("PollingCb"))
        return false;
    const uint32_t event = app ? kEventHostApproaching : kEventHostExceeded;
    bool done = raise ? source_->Raise(event, host_, Context(host_))
                      : (source_->Clear(event, host_, Context(host_)), true);
    if (!done)
        return false;
    hostLimit_.entity = host_;
    ++(raise ? hostLimit_.raises : hostLimit_.clears);
    DFW_INFO(
        "dfw: DfwAlarmReporter::%1: Succeeded to %2 dfw rules per host %3 alarm for entityId "
        "%4 host %5.",
        "PollingCb", raise ? "raise" : "clear", KindName(app), host_, host_);
    return true;
}

void DfwAlarmReporter::PollingCb() {
    // The filters (a walk of every firewall filter) are read only when some vif's state is due to
    // change: a poll of a thousand vifs in their states costs no copy of them. A state that
    // becomes due between this look and the reports below finds no filter and is reported on the
    // next poll.
    bool due = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint32_t pct = config_.approachingPercent;
        for (const auto& [vif, limit] : vifs_) {
            if (Approaching(limit.count, options_.vnicMax, pct) != limit.approaching ||
                Exceeded(limit.count, options_.vnicMax) != limit.exceeded) {
                due = true;
                break;
            }
        }
    }
    const std::map<std::string, FilterInfo> filters =
        due ? FiltersByVif() : std::map<std::string, FilterInfo>();
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t pct = config_.approachingPercent;
    for (auto& [vif, limit] : vifs_) {
        const bool app = Approaching(limit.count, options_.vnicMax, pct);
        const bool exc = Exceeded(limit.count, options_.vnicMax);
        if (app != limit.approaching && ReportVnic(vif, limit, Kind::kApproaching, app, filters))
            limit.approaching = app;
        if (exc != limit.exceeded && ReportVnic(vif, limit, Kind::kExceeded, exc, filters))
            limit.exceeded = exc;
        DFW_DEBUG("dfw: DfwAlarmReporter::%1: vifId %2 app_state=%3 exc_state=%4", "PollingCb", vif,
                  limit.approaching, limit.exceeded);
    }
    const bool app = Approaching(hostLimit_.count, options_.hostMax, pct);
    const bool exc = Exceeded(hostLimit_.count, options_.hostMax);
    if (app != hostLimit_.approaching && ReportHost(Kind::kApproaching, app))
        hostLimit_.approaching = app;
    if (exc != hostLimit_.exceeded && ReportHost(Kind::kExceeded, exc))
        hostLimit_.exceeded = exc;
}

bool DfwAlarmReporter::ParseHopover(const uint8_t* msg, size_t length, HopoverEvent* out,
                                    std::string* why) {
    if (length < w::kHopoverSize) {
        *why = "short migration failure message of " + std::to_string(length) + " bytes";
        return false;
    }
    out->filter = Field(msg + w::kHopoverFilterOffset, w::kNotifyNameField - 1);
    out->vif = Field(msg + w::kHopoverVifOffset, w::kRecVifField);
    out->reason = Be32(msg + w::kHopoverReasonOffset);
    return true;
}

bool DfwAlarmReporter::ParseFlood(const uint8_t* msg, size_t length, FloodEvent* out,
                                  std::string* why) {
    if (length < w::kFloodMsgSize) {
        *why = "short flood limit message of " + std::to_string(length) + " bytes";
        return false;
    }
    const uint8_t* proto = msg + w::kFloodProtocolOffset;
    const size_t n = strnlen(reinterpret_cast<const char*>(proto), w::kFloodProtocolField);
    if (n == 0 || n == w::kFloodProtocolField) {
        *why = n == 0 ? "empty protocol name" : "unterminated protocol name";
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (proto[i] < 0x20 || proto[i] > 0x7e) {
            *why = "protocol name that is not printable";
            return false;
        }
    }
    const uint8_t severity = msg[w::kFloodSeverityOffset];
    if (severity != w::kFloodWarning && severity != w::kFloodCritical) {
        *why = "unknown severity " + std::to_string(severity);
        return false;
    }
    out->filter = Field(msg + w::kFloodFilterOffset, w::kNotifyNameField - 1);
    out->vif = Field(msg + w::kFloodVifOffset, w::kRecVifField);
    out->protocol.assign(reinterpret_cast<const char*>(proto), n);
    out->critical = severity == w::kFloodCritical;
    out->raise = (msg[w::kFloodFlagsOffset] & w::kFloodRaise) != 0;
    return true;
}

void DfwAlarmReporter::OnKernelMessage(uint16_t type, const uint8_t* msg, size_t length) {
    std::string why;
    if (type == w::kMsgHopoverFailure) {
        HopoverEvent e;
        if (ParseHopover(msg, length, &e, &why)) {
            DfwRaiseHopoverAlarm(e);
            return;
        }
    } else if (type == w::kMsgFloodLimit) {
        FloodEvent e;
        if (ParseFlood(msg, length, &e, &why)) {
            DfwRaiseFloodLimitAlarm(e);
            return;
        }
    } else {
        why = "not an alarm message";
    }
    DFW_ERROR_CODE("LCP00901", "dfw: %1: dropped tarp msg %2: %3", kWho, type, why);
}

void DfwAlarmReporter::DfwRaiseHopoverAlarm(const HopoverEvent& e) {
    const bool raise = e.reason != 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!config_.hopover) {
            DFW_INFO("dfw: %1: Dfw hopover failure alarm is diabled, skip reporting.", kWho);
            return;
        }
    }
    if (e.filter.empty())
        return;
    std::string lsp;
    for (const FilterInfo& f : options_.filters ? options_.filters() : std::vector<FilterInfo>()) {
        if (f.name == e.filter)
            lsp = f.lsp;
    }
    DFW_INFO("dfw: %1: read LspId %3 for filter %2.", kWho, e.filter, lsp);
    if (!ValidLsp(lsp)) {
        DFW_ERROR("dfw: %1: Failed to report dfw hopover alarm due to invalid LspId for filter %2.",
                  kWho, e.filter);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!SourceReady("DfwRaiseHopoverAlarm"))
        return;
    if (raise)
        source_->Raise(kEventHopover, lsp, Context(lsp));
    else
        source_->Clear(kEventHopover, lsp, Context(lsp));
    DFW_INFO("dfw: %1: Succeeded to %2 dfw hopover failure alarm for filter %3.", kWho,
             raise ? "raise" : "clear", e.filter);
}

void DfwAlarmReporter::DfwRaiseFloodLimitAlarm(const FloodEvent& e) {
    const char* severity = e.critical ? "critical" : "warning";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!(e.critical ? config_.floodCritical : config_.floodWarning)) {
            DFW_INFO("dfw: %1: Dfw flood %2 alarm is diabled, skip reporting.", kWho, severity);
            return;
        }
    }
    if (e.vif.empty()) {
        DFW_INFO("dfw: %1 VifId string is empty, skip dfw flood limit alarm processing", kWho);
        return;
    }
    const std::map<std::string, FilterInfo> filters = FiltersByVif();
    auto f = filters.find(e.vif);
    if (f == filters.end() || f->second.name != e.filter || !ValidLsp(f->second.lsp)) {
        DFW_INFO("dfw: %1: No filter info for dfw flood limit alarm.", kWho);
        return;
    }
    const std::string& lsp = f->second.lsp;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!SourceReady("DfwRaiseFloodLimitAlarm"))
        return;
    auto context = Context(lsp);
    context.emplace_back("protocol_name", e.protocol);
    const uint32_t event = e.critical ? kEventFloodCritical : kEventFloodWarning;
    if (e.raise) {
        source_->Raise(event, lsp, context);
        if (e.critical && source_->Clear(kEventFloodWarning, lsp, context))
            DFW_INFO("dfw: %1: Succeeded to clear dfw flood limit warning alarm for filter %2.",
                     kWho, e.filter);
    } else {
        source_->Clear(event, lsp, context);
    }
    DFW_INFO("dfw: %1: Succeeded to %2 dfw flood limit %3 alarm for filter %4.", kWho,
             e.raise ? "raise" : "clear", severity, e.filter);
}

std::string DfwAlarmReporter::VnicRuleCountText(const std::string& vif) const {
    nlohmann::json rows = nlohmann::json::array();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, limit] : vifs_) {
        if (vif.empty() || vif == id)
            rows.push_back({{"vif", id}, {"rule_count", limit.count}});
    }
    return nlohmann::json({{"dfw_vnic_rule_count", rows}, {"vnic_max", options_.vnicMax}}).dump();
}

std::string DfwAlarmReporter::VnicAlarmStateText(const std::string& vif) const {
    nlohmann::json rows = nlohmann::json::array();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, limit] : vifs_) {
        if (!vif.empty() && vif != id)
            continue;
        rows.push_back({{"vif", id},
                        {"lsp", limit.entity},
                        {"rule_count", limit.count},
                        {"approaching", limit.approaching},
                        {"exceeded", limit.exceeded},
                        {"raises", limit.raises},
                        {"clears", limit.clears}});
    }
    return nlohmann::json({{"dfw_vnic_rule_alarm_data", rows}}).dump();
}

std::string DfwAlarmReporter::HostAlarmStateText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json j = {{"host", host_},
                        {"rule_count", hostLimit_.count},
                        {"host_max", options_.hostMax},
                        {"approaching", hostLimit_.approaching},
                        {"exceeded", hostLimit_.exceeded},
                        {"raises", hostLimit_.raises},
                        {"clears", hostLimit_.clears}};
    return nlohmann::json({{"dfw_host_rule_alarm_data", j}}).dump();
}

namespace {

using Flag = bool DfwAlarmReporter::Config::*;

// The configuration's flags by their CLI names.
Flag FlagOf(const std::string& key) {
    static const std::map<std::string, Flag> kFlags = {
        {"vnic_approaching", &DfwAlarmReporter::Config::vnicApproaching},
        {"vnic_exceeded", &DfwAlarmReporter::Config::vnicExceeded},
        {"host_approaching", &DfwAlarmReporter::Config::hostApproaching},
        {"host_exceeded", &DfwAlarmReporter::Config::hostExceeded},
        {"hopover", &DfwAlarmReporter::Config::hopover},
        {"flood_warning", &DfwAlarmReporter::Config::floodWarning},
        {"flood_critical", &DfwAlarmReporter::Config::floodCritical},
    };
    auto it = kFlags.find(key);
    return it == kFlags.end() ? nullptr : it->second;
}

}  // namespace

std::string DfwAlarmReporter::ConfigText() const {
    const Config c = config();
    nlohmann::json j = {{"vnic_approaching", c.vnicApproaching},
                        {"vnic_exceeded", c.vnicExceeded},
                        {"host_approaching", c.hostApproaching},
                        {"host_exceeded", c.hostExceeded},
                        {"hopover", c.hopover},
                        {"flood_warning", c.floodWarning},
                        {"flood_critical", c.floodCritical},
                        {"approaching_percent", c.approachingPercent}};
    return nlohmann::json({{"dfw_rule_alarm_config_data", j}}).dump();
}

bool DfwAlarmReporter::SetConfigText(const std::string& assignment, std::string* why) {
    const size_t eq = assignment.find('=');
    const std::string key = assignment.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : assignment.substr(eq + 1);
    Config c = config();
    if (key == "approaching_percent") {
        if (value.empty() || value.size() > 3 ||
            value.find_first_not_of("0123456789") != std::string::npos || std::stoul(value) < 1 ||
            std::stoul(value) > 100) {
            *why = "approaching_percent takes 1-100";
            return false;
        }
        c.approachingPercent = static_cast<uint32_t>(std::stoul(value));
    } else if (auto flag = FlagOf(key)) {
        if (value != "on" && value != "off") {
            *why = key + " takes on or off";
            return false;
        }
        c.*flag = value == "on";
    } else {
        *why =
            "usage: KEY=VALUE with KEY approaching_percent, vnic_approaching, vnic_exceeded, "
            "host_approaching, host_exceeded, hopover, flood_warning or flood_critical";
        return false;
    }
    ConfigCb(c);
    return true;
}

}  // namespace CfgAgent

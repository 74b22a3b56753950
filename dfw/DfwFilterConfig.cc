#include "dfw/DfwFilterConfig.h"

#include <optional>
#include <utility>

#include "dfw/DfwLog.h"
#include "platform/upm/UPMService.h"
#include "proto/UuidText.h"
#include "proto/cairndb_switching.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

DfwFilterConfig::DfwFilterConfig(Options options) : options_(std::move(options)) {
    DFW_INFO("dfw: Created DfwFilterConfig instance");
}

DfwFilterConfig::~DfwFilterConfig() {
    DFW_INFO("dfw: Destroyed DfwFilterConfig instance");
}

bool DfwFilterConfig::start(ozy::upm::UPMService* upm) {
    upm_ = upm;
    if (upm_ != nullptr) {
        ozy::RefPtr<DfwFilterConfig> self(this);
        callbackId_ = upm_->RegisterMonitorCallback(
            {ozy::upm::kProfileFilterConfig},
            [self](const std::vector<ozy::upm::ProfileUpdate>& updates, bool fullSync) {
                self->SetConfig(updates, fullSync);
            });
    }
    DFW_INFO("dfw: DfwFilterConfig started");
    return true;
}

void DfwFilterConfig::stop() {
    if (upm_ != nullptr && callbackId_ != 0)
        upm_->UnregisterMonitorCallback(callbackId_);
    callbackId_ = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    DFW_INFO("dfw: DfwFilterConfig stopped");
}

void DfwFilterConfig::SetConfig(const std::vector<ozy::upm::ProfileUpdate>& updates,
                                bool fullSync) {
    DFW_INFO("dfw: dfw filter monitor callback called, fullsync : %1, update size: %2", fullSync,
             updates.size());
    std::map<std::string, bool> changes;  // port to enable
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_)
            return;
        // A full sync lists every port with a profile: the others are enabled.
        std::map<std::string, std::string> next;
        if (!fullSync)
            next = disabled_;
        std::map<std::string, bool> named;  // ports of this callback to whether enabled
        // Each body is parsed once, however many ports share it: whether it enables its
        // ports, none when it is refused.
        std::map<const std::string*, std::optional<bool>> enables;
        auto enabling = [&enables](const std::string& body) {
            auto it = enables.find(&body);
            if (it != enables.end())
                return it->second;
            std::optional<bool> enable;
            pb::ProfileMsg profile;
            if (profile.ParseFromString(body) &&
                profile.profile_type() == ozy::upm::kProfileFilterConfig) {
                const pb::FilterConfigProfileMsg& cfg = profile.filter_config_profile();
                enable = !cfg.has_enabled() || cfg.enabled();
            }
            return enables.emplace(&body, enable).first->second;
        };
        for (const ozy::upm::ProfileUpdate& u : updates) {
            if (u.profileType == 0) {
                DFW_ERROR_CODE("LCP01153", "dfw: no profile type specified %1", u.portId);
                continue;
            }
            if (u.profileType != ozy::upm::kProfileFilterConfig) {
                DFW_WARN("dfw: SetConfig: unhandled profile type %1", u.profileType);
                continue;
            }
            ++received_;
            const std::string port = ozy::cairndb::CanonicalUuidText(u.portId);
            // Without a body the port has no profile: enabled.
            const std::optional<bool> enabled =
                u.HasProfile() ? enabling(*u.profile) : std::optional<bool>(true);
            if (port.empty() || !enabled) {
                DFW_ERROR_CODE("LCP01153", "dfw: bad filter config profile %1",
                               u.profileId + " of port " + u.portId);
                // Refused: the port keeps its state.
                auto old = disabled_.find(port);
                if (old != disabled_.end())
                    next[port] = old->second;
                continue;
            }
            const bool enable = *enabled;
            if (enable)
                next.erase(port);
            else
                next[port] = u.profileId;
            named[port] = enable;
        }
        for (const auto& [port, enable] : named) {
            if ((disabled_.count(port) == 0) == enable) {
                DFW_INFO(enable ? "dfw: ignoring a vif to enaable (filter configration)"
                                : "dfw: ignoring a vif to disable (filter configration)");
            }
        }
        for (const auto& [port, profile] : disabled_) {
            if (next.count(port) == 0)
                changes[port] = true;
        }
        for (const auto& [port, profile] : next) {
            if (disabled_.count(port) == 0)
                changes[port] = false;
        }
        disabled_.swap(next);
    }
    if (changes.empty() || !options_.filters || !options_.request)
        return;
    for (const auto& [vif, f] : options_.filters()) {
        auto c = changes.find(ozy::cairndb::CanonicalUuidText(f.lsp));
        if (c == changes.end())
            continue;
        DFW_INFO("dfw: update vif list with vif: %1, %2", vif, c->second ? "enable" : "disable");
        options_.request(vif, f.name, c->second);
    }
}

std::set<std::string> DfwFilterConfig::DisabledPorts() const {
    std::set<std::string> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [port, profile] : disabled_)
        out.insert(out.end(), port);
    return out;
}

std::string DfwFilterConfig::DisablingProfile(const std::string& port) const {
    const std::string key = ozy::cairndb::CanonicalUuidText(port);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = disabled_.find(key);
    return it == disabled_.end() ? std::string() : it->second;
}

size_t DfwFilterConfig::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

}  // namespace CfgAgent

#include "services/ipfix/IpfixApp.h"

#include <cerrno>
#include <cstdlib>

#include <boost/property_tree/ptree.hpp>

#include "cli/CliPages.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace {

// Milliseconds of `key` within [min, max]; `fallback` when absent or refused (logged).
std::chrono::milliseconds ReadMillis(const boost::property_tree::ptree& config, const char* key,
                                     std::chrono::milliseconds fallback, long long min,
                                     long long max) {
    auto text = config.get_optional<std::string>(key);
    if (!text)
        return fallback;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || errno != 0 || v < min || v > max) {
        CFG_ERROR_CODE("LCP00001", "Invalid value \"%1\" of %2 (%3-%4), using %5", *text, key, min,
                       max, fallback.count());
        return fallback;
    }
    return std::chrono::milliseconds(v);
}

}  // namespace

bool IpfixApp::ReadSettings(const boost::property_tree::ptree& config, Options* options) {
    auto enabled = config.get_optional<std::string>(kEnabledKey);
    if (enabled && *enabled != "true" && *enabled != "false")
        CFG_ERROR_CODE("LCP00001", "Invalid value \"%1\" of %2, using true", *enabled, kEnabledKey);
    options->observer.firewall.timeout =
        ReadMillis(config, kTimeoutKey, options->observer.firewall.timeout, 100, 600000);
    options->observer.retryInterval =
        ReadMillis(config, kRetryKey, options->observer.retryInterval, 100, 86400000);
    return !enabled || *enabled != "false";
}

IpfixApp::IpfixApp(Options options) : options_(std::move(options)) {
    CFG_INFO("IpfixApp create");
    observer_ = IpfixConfigObserver::Create(options_.observer);
}

IpfixApp::~IpfixApp() {
    Stop();
    CFG_INFO("IpfixApp destory");
}

bool IpfixApp::Start() {
    CFG_INFO("IpfixApp start");
    if (!observer_->start())
        return false;
    if (options_.upm != nullptr) {
        upmCallback_ = options_.upm->RegisterMonitorCallback(
            {ozy::upm::kProfileIpfixSwitch},
            [this](const std::vector<ozy::upm::ProfileUpdate>& updates, bool fullSync) {
                OnProfileUpdates(updates, fullSync);
            });
    }
    return true;
}

void IpfixApp::Stop() {
    if (!observer_)
        return;
    CFG_INFO("IpfixApp stop");
    // Waits for a delivery in progress; afterwards none reaches this object.
    if (options_.upm != nullptr && upmCallback_ != 0) {
        options_.upm->UnregisterMonitorCallback(upmCallback_);
        upmCallback_ = 0;
    }
    observer_->stop();
    observer_.reset();
}

void IpfixApp::OnProfileUpdates(const std::vector<ozy::upm::ProfileUpdate>& updates,
                                bool fullSync) {
    CFG_INFO("IpfixApp: Receive UPM callback, profileUpdateList size: %1, fullSync: %2",
             updates.size(), fullSync ? "TRUE" : "FALSE");
    if (observer_)
        observer_->IpfixOZYProcessUpdatesFromUpm(updates, fullSync);
}

std::string IpfixApp::GetIpfixEffectiveProfiles() const {
    CFG_DEBUG("IpfixApp: GetIpfixEffectiveProfiles");
    return observer_ ? observer_->EffectiveProfilesJson() : std::string("{}");
}

std::string IpfixApp::GetEffectiveProfileByEntity(const std::string& port) const {
    CFG_DEBUG("IpfixApp: GetEffectiveProfileByEntity %1", port);
    return observer_ ? observer_->EffectiveProfileJson(port) : std::string("{}");
}

void IpfixApp::RegisterCliPages(CliPages& pages) {
    pages.Add("cfgagent/ipfix-switch/profile/all", "", 0, 0,
              [this](const CliPages::Args&) { return CliReply::Ok(GetIpfixEffectiveProfiles()); });
    pages.Add("cfgagent/ipfix-switch/profile/lport", "NODE_UUID", 1, 1,
              [this](const CliPages::Args& a) {
                  return CliReply::Ok(GetEffectiveProfileByEntity(a[0]));
              });
}

}  // namespace CfgAgent

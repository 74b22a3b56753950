#pragma once
// IpfixApp: IPFIX flow export per logical switch port. It owns the IpfixConfigObserver, feeds it
// the effective IPFIX switch profiles of the profile service (a callback registered at start),
// and answers the CLI pages "cfgagent/ipfix-switch/profile/all" and
// "cfgagent/ipfix-switch/profile/lport NODE_UUID".
//
// It has no row in the application table: the configuration application creates it once its DVS
// property conversion exists (the port values go there) and stops it before itself. Settings,
// from the configuration application's subtree: "features.ipfix.enabled" (default true),
// "features.ipfix.hostcliTimeoutMs" (10000), "features.ipfix.retryIntervalMs" (30000).
//
// Threads: the profile-service callback runs on io threads and only queues; the CLI handlers run
// under the global agent lock.
#include <chrono>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "runtime/RefCounted.h"
#include "services/ipfix/IpfixConfigObserver.h"

namespace CfgAgent {

class CliPages;

class IpfixApp : public ozy::RefCounted<IpfixApp> {
  public:
    static constexpr const char* kEnabledKey = "features.ipfix.enabled";
    static constexpr const char* kTimeoutKey = "features.ipfix.hostcliTimeoutMs";
    static constexpr const char* kRetryKey = "features.ipfix.retryIntervalMs";

    struct Options {
        IpfixConfigObserver::Options observer;
        ozy::upm::UPMService* upm = nullptr;  // may be null (no port gets a profile)
    };

    // Reads the settings of `config` into `options` (bad values logged with LCP00001, defaults
    // kept); false when IPFIX is disabled.
    static bool ReadSettings(const boost::property_tree::ptree& config, Options* options);

    explicit IpfixApp(Options options);
    ~IpfixApp() override;
    IpfixApp(const IpfixApp&) = delete;
    IpfixApp& operator=(const IpfixApp&) = delete;

    bool Start();
    void Stop();
    void RegisterCliPages(CliPages& pages);

    // The profile service's callback.
    void OnProfileUpdates(const std::vector<ozy::upm::ProfileUpdate>& updates, bool fullSync);

    // Global agent lock held.
    std::string GetIpfixEffectiveProfiles() const;
    std::string GetEffectiveProfileByEntity(const std::string& port) const;

    IpfixConfigObserver* observer() const { return observer_.get(); }

  private:
    Options options_;
    ozy::RefPtr<IpfixConfigObserver> observer_;
    int upmCallback_ = 0;
};

}  // namespace CfgAgent

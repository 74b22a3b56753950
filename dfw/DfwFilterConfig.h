#pragma once
// Follows the ports' firewall filter configuration profiles (profile type 7) and tells the
// process loop which vifs' firewall filters to disable (clean of every rule) or enable again.
//
// A port is disabled while its effective profile says `enabled: false`; without a profile, or
// with one that says true or nothing, it is enabled. The state is kept per port, so that a filter
// that appears later for a disabled port is found disabled (DfwMain asks DisabledPorts on each
// pass). A change of a port's state becomes one request per firewall filter of the port
// (`request`, DfwMain::RequestVif); a profile that changes nothing is ignored with its line. A
// full sync of the profile service enables every disabled port it does not list.
//
// Threads: SetConfig runs on the profile service's thread, DisabledPorts on the process loop,
// the CLI's calls on its own; `mutex_` guards the ports and is never held while `filters` or
// `request` run.
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "dfw/DfwFilterRepo.h"
#include "runtime/RefCounted.h"

namespace ozy::upm {
class UPMService;
struct ProfileUpdate;
}  // namespace ozy::upm

namespace CfgAgent {

class DfwFilterConfig : public ozy::RefCounted<DfwFilterConfig, ozy::IRefCountable> {
  public:
    struct Options {
        // The firewall filters now, by vif.
        std::function<DfwFilterRepo::FilterMap()> filters;
        // The filter of a vif is to be enabled (true) or disabled.
        std::function<void(const std::string& vif, const std::string& filter, bool enable)> request;
    };

    explicit DfwFilterConfig(Options options);
    ~DfwFilterConfig() override;

    // Registers the profile callback with `upm` (null: every port stays enabled).
    bool start(ozy::upm::UPMService* upm);
    void stop();
    // The profile service's callback.
    void SetConfig(const std::vector<ozy::upm::ProfileUpdate>& updates, bool fullSync);

    // Ports whose filters are disabled.
    std::set<std::string> DisabledPorts() const;
    // The profile id that disables `port`; empty when it is enabled.
    std::string DisablingProfile(const std::string& port) const;
    // Profiles received (profile updates of this type), for the CLI.
    size_t Received() const;

  private:
    Options options_;
    ozy::upm::UPMService* upm_ = nullptr;
    int callbackId_ = 0;

    mutable std::mutex mutex_;
    std::map<std::string, std::string> disabled_;  // port to the profile disabling it
    size_t received_ = 0;
    bool stopped_ = false;
};

}  // namespace CfgAgent

#pragma once
// A named address set of the firewall library: addresses, excluded addresses and the
// IP-reputation flag. Built once, then shared read-only by every command list that creates it
// (held by shared_ptr), so a thousand filters using one set hold one copy in the agent.
#include <cstddef>
#include <string>
#include <vector>

#include "platform/tarp/CTarpFWAddress.h"

namespace TarpFirewall {

class CTarpFWAddrSet {
  public:
    // Throws CTarpFWException for an empty name or one over ozy::tarp::kMaxContainerName.
    explicit CTarpFWAddrSet(std::string name);

    void addAddress(const CTarpFWAddress& addr) { addresses_.push_back(addr); }
    void addExcludedAddress(const CTarpFWAddress& addr) { excluded_.push_back(addr); }
    void setIpReputation(bool on) { ipReputation_ = on; }

    const std::string& name() const { return name_; }
    const std::vector<CTarpFWAddress>& addresses() const { return addresses_; }
    const std::vector<CTarpFWAddress>& excluded() const { return excluded_; }
    bool ipReputation() const { return ipReputation_; }

  private:
    std::string name_;
    std::vector<CTarpFWAddress> addresses_;
    std::vector<CTarpFWAddress> excluded_;
    bool ipReputation_ = false;
};

}  // namespace TarpFirewall

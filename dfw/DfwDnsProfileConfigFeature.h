#pragma once
// The DNS settings of the firewall filters from the ports' DNS profiles (profile type 6): the TTL
// flag and the TTL in seconds, set with FW_SetDnsConfigProfiles. Without a profile the flag is off
// and the TTL 0. A TTL above kMaxTtl refuses the profile (LCP01153). See DfwFilterFeature.
#include <cstdint>
#include <string>
#include <vector>

#include "dfw/DfwFilterFeature.h"

namespace CfgAgent {

class DfwDnsProfileConfigFeature : public DfwFilterFeature {
  public:
    static constexpr uint32_t kMaxTtl = 864000;  // 10 days

    explicit DfwDnsProfileConfigFeature(Options options);

  protected:
    bool Resolve(const orvane::ozy::cairndb::ProfileMsg* profile, std::vector<uint32_t>* values,
                 std::string* why) const override;
    void Set(FW_Handle* handle, const std::vector<const char*>& filters,
             const std::vector<const std::vector<uint32_t>*>& values, int* statuses) const override;
};

}  // namespace CfgAgent

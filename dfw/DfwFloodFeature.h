#pragma once
// Flood protection of the firewall filters from the ports' flood protection profiles (profile type
// 4): the half-open TCP, UDP, ICMP and other flow limits and the SYN cache, RST spoofing and NAT
// flags, set with FW_SetFloodCfgs. Without a profile a filter gets no limit and every flag off.
// A limit above kMaxLimit refuses the profile (LCP01153). See DfwFilterFeature for the rest.
#include <cstdint>
#include <string>
#include <vector>

#include "dfw/DfwFilterFeature.h"

namespace CfgAgent {

class DfwFloodFeature : public DfwFilterFeature {
  public:
    static constexpr uint32_t kMaxLimit = 1000000;

    explicit DfwFloodFeature(Options options);

  protected:
    bool Resolve(const orvane::ozy::cairndb::ProfileMsg* profile, std::vector<uint32_t>* values,
                 std::string* why) const override;
    void Set(FW_Handle* handle, const std::vector<const char*>& filters,
             const std::vector<const std::vector<uint32_t>*>& values, int* statuses) const override;
};

}  // namespace CfgAgent

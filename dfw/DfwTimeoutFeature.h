#pragma once
// Session timeouts of the firewall filters from the ports' session timeout profiles (profile type
// 5): 14 timeouts in seconds, in the order of the device's layout (TCP first packet .. other
// protocols both ways), set with FW_SetTimeouts. An absent timeout, and every one without a
// profile, takes its default (kDefaults). A timeout outside kMin-kMax, or an established TCP
// timeout below kMinTcpEstablished, refuses the profile (LCP01153). See DfwFilterFeature.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dfw/DfwFilterFeature.h"

namespace CfgAgent {

class DfwTimeoutFeature : public DfwFilterFeature {
  public:
    static constexpr size_t kCount = 14;
    static constexpr uint32_t kMin = 1;
    static constexpr uint32_t kMax = 4320000;  // 50 days
    static constexpr uint32_t kMinTcpEstablished = 120;
    static constexpr uint32_t kDefaults[kCount] = {120, 30, 43200, 120, 45, 20, 60,
                                                   60,  60, 20,    10,  60, 60, 60};

    explicit DfwTimeoutFeature(Options options);

  protected:
    bool Resolve(const orvane::ozy::cairndb::ProfileMsg* profile, std::vector<uint32_t>* values,
                 std::string* why) const override;
    void Set(FW_Handle* handle, const std::vector<const char*>& filters,
             const std::vector<const std::vector<uint32_t>*>& values, int* statuses) const override;
};

}  // namespace CfgAgent

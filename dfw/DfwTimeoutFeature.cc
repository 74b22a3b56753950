#include "dfw/DfwTimeoutFeature.h"

#include <algorithm>
#include <utility>

#include <google/protobuf/descriptor.h>

#include "platform/tarp/TarpFw.h"
#include "platform/upm/UPMService.h"
#include "proto/cairndb_switching.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

DfwTimeoutFeature::DfwTimeoutFeature(Options options)
    : DfwFilterFeature(
          std::move(options),
          Words{
              "DfwTimeoutFeature",
              "timeout",
              ozy::upm::kProfileSessionTimeout,
              "timeout",
              "dfw: dfw timeout monitor callback called, fullsync : %1, update size: %2",
              "dfw: dfw timer profile updated, request map sizes: %1",
              "dfw: bad session timeout profile %1",
              "dfw: realizing timeout config on filter %1 of vif %2",
              "dfw: failed to apply timeout config to filter %1 of vif %2: %3",
              "dfw: DfwTimeoutFeature stopped",
              {"tcp_first_packet", "tcp_opening", "tcp_established", "tcp_closing", "tcp_fin_wait",
               "tcp_closed", "udp_first_packet", "udp_single", "udp_multiple", "icmp_first_packet",
               "icmp_error_reply", "other_first_packet", "other_single", "other_multiple"}}) {}

bool DfwTimeoutFeature::Resolve(const pb::ProfileMsg* profile, std::vector<uint32_t>* values,
                                std::string* why) const {
    values->assign(kDefaults, kDefaults + kCount);
    if (profile == nullptr)
        return true;
    // The schema numbers the timeouts 1-14 in the device's order.
    const pb::SessionTimeoutProfileMsg& m = profile->session_timeout_profile();
    const auto* desc = m.GetDescriptor();
    const auto* refl = m.GetReflection();
    for (size_t i = 0; i < kCount; ++i) {
        const auto* field = desc->FindFieldByNumber(static_cast<int>(i + 1));
        if (field == nullptr || !refl->HasField(m, field))
            continue;
        const uint32_t v = refl->GetUInt32(m, field);
        const uint32_t min = i == 2 ? kMinTcpEstablished : kMin;
        if (v < min || v > kMax) {
            *why = field->name() + " " + std::to_string(v) + " is outside " + std::to_string(min) +
                   "-" + std::to_string(kMax);
            return false;
        }
        (*values)[i] = v;
    }
    return true;
}

void DfwTimeoutFeature::Set(FW_Handle* handle, const std::vector<const char*>& filters,
                            const std::vector<const std::vector<uint32_t>*>& values,
                            int* statuses) const {
    std::vector<FW_TimeoutCfg> cfgs(values.size());
    std::vector<const FW_TimeoutCfg*> each(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        for (size_t k = 0; k < kCount; ++k)
            cfgs[i].seconds[k] = values[i]->at(k);
        each[i] = &cfgs[i];
    }
    const int rc = FW_SetTimeouts(handle, filters.data(), static_cast<uint32_t>(filters.size()), 0,
                                  each.data(), statuses);
    if (rc != 0)
        std::fill(statuses, statuses + filters.size(), rc);
}

}  // namespace CfgAgent

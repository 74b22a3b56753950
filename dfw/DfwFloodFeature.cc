#include "dfw/DfwFloodFeature.h"

#include <algorithm>
#include <utility>

#include "platform/tarp/TarpFw.h"
#include "platform/upm/UPMService.h"
#include "proto/cairndb_switching.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

DfwFloodFeature::DfwFloodFeature(Options options)
    : DfwFilterFeature(
          std::move(options),
          Words{"DfwFloodFeature",
                "flood",
                ozy::upm::kProfileFloodProtection,
                "flood",
                "dfw: dfw flood monitor callback called, fullsync : %1, update size: %2",
                "dfw: dfw flood profile updated, request map sizes: %1",
                "dfw: bad flood profile %1",
                "dfw: realizing flood config on filter %1 of vif %2",
                "dfw: failed to apply flood config for filter %1 of vif %2: %3",
                "dfw: DfwFloodConfig stopped",
                {"tcp_half_open_limit", "udp_flow_limit", "icmp_flow_limit", "other_flow_limit",
                 "syn_cache", "rst_spoofing", "nat_limits"}}) {}

bool DfwFloodFeature::Resolve(const pb::ProfileMsg* profile, std::vector<uint32_t>* values,
                              std::string* why) const {
    const pb::FloodProtectionProfileMsg& m =
        profile != nullptr ? profile->flood_protection_profile()
                           : pb::FloodProtectionProfileMsg::default_instance();
    *values = {m.tcp_half_open_limit(), m.udp_flow_limit(), m.icmp_flow_limit(),
               m.other_flow_limit(),    m.syn_cache(),      m.rst_spoofing(),
               m.nat_limits()};
    for (size_t i = 0; i < 4; ++i) {
        if ((*values)[i] > kMaxLimit) {
            *why = std::string(valueNames()[i]) + " " + std::to_string((*values)[i]) +
                   " is above " + std::to_string(kMaxLimit);
            return false;
        }
    }
    return true;
}

void DfwFloodFeature::Set(FW_Handle* handle, const std::vector<const char*>& filters,
                          const std::vector<const std::vector<uint32_t>*>& values,
                          int* statuses) const {
    std::vector<FW_FloodCfg> cfgs(values.size());
    std::vector<const FW_FloodCfg*> each(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        FW_FloodCfg& cfg = cfgs[i];
        const std::vector<uint32_t>& v = *values[i];
        cfg.tcpHalfOpenLimit = v.at(0);
        cfg.udpFlowLimit = v.at(1);
        cfg.icmpFlowLimit = v.at(2);
        cfg.otherFlowLimit = v.at(3);
        cfg.synCache = v.at(4) != 0;
        cfg.rstSpoofing = v.at(5) != 0;
        cfg.natLimits = v.at(6) != 0;
        each[i] = &cfgs[i];
    }
    const int rc = FW_SetFloodCfgs(handle, filters.data(), static_cast<uint32_t>(filters.size()), 0,
                                   each.data(), statuses);
    if (rc != 0)
        std::fill(statuses, statuses + filters.size(), rc);
}

}  // namespace CfgAgent

#include "dfw/DfwFloodFeature.h"

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

int DfwFloodFeature::Set(FW_Handle* handle, const std::string& filter,
                         const std::vector<uint32_t>& values) const {
    FW_FloodCfg cfg;
    cfg.tcpHalfOpenLimit = values.at(0);
    cfg.udpFlowLimit = values.at(1);
    cfg.icmpFlowLimit = values.at(2);
    cfg.otherFlowLimit = values.at(3);
    cfg.synCache = values.at(4) != 0;
    cfg.rstSpoofing = values.at(5) != 0;
    cfg.natLimits = values.at(6) != 0;
    return FW_SetFloodCfg(handle, filter.c_str(), 0, &cfg);
}

}  // namespace CfgAgent

#include "dfw/DfwDnsProfileConfigFeature.h"

#include <algorithm>
#include <utility>

#include "dfw/DfwLog.h"
#include "platform/tarp/TarpFw.h"
#include "platform/upm/UPMService.h"
#include "proto/cairndb_switching.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

DfwDnsProfileConfigFeature::DfwDnsProfileConfigFeature(Options options)
    : DfwFilterFeature(std::move(options),
                       Words{"DfwDnsProfileConfigFeature",
                             "dns",
                             ozy::upm::kProfileDnsConfig,
                             "dns",
                             "dfw: dfw dns profile callback called, fullsync : %1, update size: %2",
                             "dfw: dfw dns profile updated, request map sizes: %1",
                             "dfw: bad dns profile %1",
                             "dfw: realizing dns profile on filter %1 of vif %2",
                             "dfw: failed to apply dns profile to filter %1 of vif %2: %3",
                             "dfw: DfwDnsProfileConfigFeature stopped",
                             {"ttl_flag", "ttl"}}) {}

bool DfwDnsProfileConfigFeature::Resolve(const pb::ProfileMsg* profile,
                                         std::vector<uint32_t>* values, std::string* why) const {
    const pb::DnsConfigProfileMsg& m = profile != nullptr
                                           ? profile->dns_config_profile()
                                           : pb::DnsConfigProfileMsg::default_instance();
    if (m.ttl() > kMaxTtl) {
        *why = "ttl " + std::to_string(m.ttl()) + " is above " + std::to_string(kMaxTtl);
        return false;
    }
    *values = {m.ttl_flag() ? 1u : 0u, m.ttl()};
    if (profile != nullptr)
        DFW_DEBUG("dfw: successfully parsed ttl config flag : %1 ttl : %2", m.ttl_flag(), m.ttl());
    return true;
}

void DfwDnsProfileConfigFeature::Set(FW_Handle* handle, const std::vector<const char*>& filters,
                                     const std::vector<const std::vector<uint32_t>*>& values,
                                     int* statuses) const {
    std::vector<FW_DnsCfg> cfgs(values.size());
    std::vector<const FW_DnsCfg*> each(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        cfgs[i].ttlFlag = values[i]->at(0) != 0;
        cfgs[i].ttl = values[i]->at(1);
        each[i] = &cfgs[i];
    }
    const int rc = FW_SetDnsConfigProfiles(
        handle, filters.data(), static_cast<uint32_t>(filters.size()), 0, each.data(), statuses);
    if (rc != 0)
        std::fill(statuses, statuses + filters.size(), rc);
}

}  // namespace CfgAgent

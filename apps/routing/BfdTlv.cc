#include "apps/routing/BfdTlv.h"

#include <algorithm>
#include <cstring>

#include "dataplane/DpFraming.h"

namespace CfgAgent::bfd {

using namespace vxlan;

SessionEntry BuildSessionEntry(const std::array<uint8_t, 16>& local,
                               const std::array<uint8_t, 16>& remote, bool ipv6, uint32_t vni,
                               const UuidBytes& routingDomain, uint32_t groupLabel) {
    SessionEntry e{};
    const size_t width = ipv6 ? 16 : 4;
    std::memcpy(e.data() + kBfdLocalIp, local.data(), width);
    std::memcpy(e.data() + kBfdRemoteIp, remote.data(), width);
    e[kBfdFamily] = ipv6 ? kBfdFamilyIpv6 : kBfdFamilyIpv4;
    StoreBe32(e.data() + kBfdVni, vni);
    std::memcpy(e.data() + kBfdRoutingDomain, routingDomain.data(), routingDomain.size());
    StoreBe32(e.data() + kBfdGroupLabel, groupLabel);
    return e;
}

void WriteSessionValue(uint8_t* out, uint32_t switchId, bool remove, const SessionEntry& entry) {
    StoreBe32(out + kBfdSessionSwitchId, switchId);
    StoreBe16(out + kBfdSessionOp, remove ? kBfdSessionRemove : kBfdSessionAdd);
    std::memcpy(out + kBfdSessionEntry, entry.data(), entry.size());
}

std::vector<uint8_t> BuildSessionValue(uint32_t switchId, bool remove, const SessionEntry& entry) {
    std::vector<uint8_t> v(kBfdSessionValueSize, 0);
    WriteSessionValue(v.data(), switchId, remove, entry);
    return v;
}

std::vector<uint8_t> BuildBfdConfigValue(const std::string& dvsUuid, const ConfigFields& f) {
    std::vector<uint8_t> v(kCfgBfdValueSize, 0);
    std::memcpy(v.data() + kBfdCfgDvsUuid, dvsUuid.data(),
                std::min(dvsUuid.size(), kBfdCfgDvsUuidSize));
    uint8_t flags = 0;
    if (f.hasEnable) {
        flags |= kBfdCfgHasEnable;
        v[kBfdCfgEnable] = f.enable ? 1 : 0;
    }
    if (f.hasInterval) {
        flags |= kBfdCfgHasInterval;
        StoreBe32(v.data() + kBfdCfgInterval, f.interval);
    }
    if (f.hasLatency) {
        flags |= kBfdCfgHasLatency;
        v[kBfdCfgLatency] = f.latency ? 1 : 0;
    }
    v[kBfdCfgFlags] = flags;
    return v;
}

std::vector<uint8_t> BuildEvpnBfdValue(const ConfigFields& f) {
    std::vector<uint8_t> v(kCfgEvpnBfdValueSize, 0);
    uint8_t flags = 0;
    if (f.hasEnable) {
        flags |= kEvpnBfdHasEnable;
        v[kEvpnBfdEnable] = f.enable ? 1 : 0;
    }
    if (f.hasInterval) {
        flags |= kEvpnBfdHasInterval;
        StoreBe32(v.data() + kEvpnBfdInterval, f.interval);
    }
    if (f.hasMultiplier) {
        flags |= kEvpnBfdHasMultiplier;
        StoreBe32(v.data() + kEvpnBfdMultiplier, f.multiplier);
    }
    v[kEvpnBfdFlags] = flags;
    return v;
}

}  // namespace CfgAgent::bfd

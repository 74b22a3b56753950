#pragma once
// The checks of MAC management, QoS and switch security, and the KCP property values they yield.
// Each error is logged with its code; the callers decide what a rejection means for the port.
#include <cstdint>
#include <vector>

#include "apps/switching/DVSPropConvertorState.h"
#include "proto/cairndb_switching.pb.h"

namespace CfgAgent::dvs {

constexpr uint32_t kMacLimitMax = 4096;
constexpr uint32_t kMacLimitDefault = 4096;
constexpr uint8_t kMacLimitPolicyDefault = 0;
constexpr uint32_t kCosMax = 7;
constexpr uint32_t kDscpMax = 63;

// The "mac_management" value of a switch or port. A limit above 4096 or a policy other than 1 or
// 2 logs LCP00001 and the defaults (limit 4096, policy 0) are used; learning, flooding and MAC
// change keep their configured values.
std::vector<uint8_t> MacManagementValue(const orvane::ozy::cairndb::MacManagementMsg& m);

// The "qos_shapers" and "qos_marking" values; false (each error logged with LCP00001) when the
// configuration is rejected, and then `out` is left alone.
bool QosProperties(const orvane::ozy::cairndb::QosMsg& m, std::vector<PropValue>* out);

// The switch-security values ("spoof_guard", "bpdu_filter", "dhcp_filter", "non_ip_block",
// "ra_guard", "rate_limits"); false (logged with LCP00001) when rejected.
bool SwitchSecurityProperties(const orvane::ozy::cairndb::SwitchSecurityMsg& m,
                              std::vector<PropValue>* out);

}  // namespace CfgAgent::dvs

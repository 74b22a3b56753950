#pragma once
// The framing of the message cache's fuzz inputs, shared by the target and its corpus generator:
// byte 0 splits the records between the two batches; then records, each a type byte (an index
// into kDfwFuzzTypes), an op byte (bit 0: delete; bits 1-3: the record id's number), a 16-bit
// little-endian body length and the body.
#include "intake/CfgTypes.h"

namespace CfgAgent::test {

inline constexpr ObjectType kDfwFuzzTypes[] = {
    ObjectType::RULE,
    ObjectType::RULE_SECTION,
    ObjectType::CONTAINER,
    ObjectType::CONTEXT_PROFILE,
    ObjectType::CONFIG_SPAN,
    ObjectType::IP_REPUTATION_CONFIG,
    ObjectType::ENTITY_GROUP_RELATION,
    ObjectType::GLOBAL_CONFIG,
    ObjectType::SECURITY_FEATURE_TOGGLE,
    ObjectType::FLEET_CLUSTER_HOST_CONFIG,
    ObjectType::BARRIER,
};
inline constexpr size_t kDfwFuzzTypeCount = sizeof(kDfwFuzzTypes) / sizeof(kDfwFuzzTypes[0]);

}  // namespace CfgAgent::test

#pragma once
// The decode function of every routed object type. Each appends the records of one update to
// *out[0] (and, for types with two record groups, *out[1]); the routing table in Decoder.cc says
// which components receive each group.
#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent::decode {

struct Input;

using DecodeFn = void (*)(const Input& in, CairnDBUpdateList* const* out);

// Switching objects (DecodeSwitching.cc).
void DecodeLogSwitchConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeLogSwitchPortConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeTransportNodeConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeBridgeClusterConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodePortMirrorSession(const Input& in, CairnDBUpdateList* const* out);
void DecodeIpfixConfiguration(const Input& in, CairnDBUpdateList* const* out);
void DecodeProfile(const Input& in, CairnDBUpdateList* const* out);
void DecodeDaVifMsg(const Input& in, CairnDBUpdateList* const* out);
// *out[0]: property records (CONFIGCACHE); *out[1]: the whole object for the firewall and LB.
void DecodeEntityGroupRelation(const Input& in, CairnDBUpdateList* const* out);
void DecodeNsgMemberShipStatus(const Input& in, CairnDBUpdateList* const* out);

// L2 forwarding tables (DecodeL2.cc).
void DecodeLogSwitchFib(const Input& in, CairnDBUpdateList* const* out);
void DecodeRoutingDomainFib(const Input& in, CairnDBUpdateList* const* out);
void DecodeVtepGroup(const Input& in, CairnDBUpdateList* const* out);

// Routing objects (DecodeL3.cc).
void DecodeLogRouterConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeLogRouterPortConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeFib(const Input& in, CairnDBUpdateList* const* out);
void DecodeArpTableConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodePrefixList(const Input& in, CairnDBUpdateList* const* out);
void DecodeMulticastConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeMulticastStaticRoute(const Input& in, CairnDBUpdateList* const* out);
void DecodeNdraProfileConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeDadProfileConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeLogRouterPortFibDadState(const Input& in, CairnDBUpdateList* const* out);
void DecodeLogRouterPortDadRequest(const Input& in, CairnDBUpdateList* const* out);

// Firewall, IDS, load balancer and service insertion (DecodeServices.cc).
void DecodeDfwContainer(const Input& in, CairnDBUpdateList* const* out);
void DecodeDfwRule(const Input& in, CairnDBUpdateList* const* out);
void DecodeDfwRuleSection(const Input& in, CairnDBUpdateList* const* out);
void DecodeDfwContextProfile(const Input& in, CairnDBUpdateList* const* out);
void DecodeDfwIpReputationConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeDFWConfigSpan(const Input& in, CairnDBUpdateList* const* out);
void DecodeIdsSignatures(const Input& in, CairnDBUpdateList* const* out);
void DecodeIdsThresholdConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeFleetClusterHostConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeSecurityFeatureToggle(const Input& in, CairnDBUpdateList* const* out);
void DecodeLbService(const Input& in, CairnDBUpdateList* const* out);
void DecodeLbVirtualServer(const Input& in, CairnDBUpdateList* const* out);
void DecodeLbPool(const Input& in, CairnDBUpdateList* const* out);
void DecodeLbApplicationProfile(const Input& in, CairnDBUpdateList* const* out);
void DecodeLbPersistenceProfile(const Input& in, CairnDBUpdateList* const* out);
void DecodeSiRedirectionPolicy(const Input& in, CairnDBUpdateList* const* out);
void DecodeSiServiceChain(const Input& in, CairnDBUpdateList* const* out);
void DecodeSiServicePath(const Input& in, CairnDBUpdateList* const* out);

// Agent-wide objects (DecodeSystem.cc).
void DecodeConduitGlobalConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeConduitVIFConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeCcpSession(const Input& in, CairnDBUpdateList* const* out);
void DecodeBarrier(const Input& in, CairnDBUpdateList* const* out);
void DecodeGlobalConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeBfdGlobalConfig(const Input& in, CairnDBUpdateList* const* out);
void DecodeHostSwitchSmartnicBacking(const Input& in, CairnDBUpdateList* const* out);

}  // namespace CfgAgent::decode

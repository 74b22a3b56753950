#pragma once
// The converters of the routing schema into VDR messages (PB2TLV) and of the dataplane's DAD
// report back into the schema (TLV2PB), with the value mappings between schema codes and
// dataplane codes. L3App resolves what a message refers to (the router's VDR ID, a LIF's switch,
// a next hop's egress LIF, a prefix list's index) and hands the converters plain values.
//
// Converters validate what they copy: an IPv6 address must be 16 bytes, an IPv4 prefix at most 32
// long and an IPv6 one at most 128, a code must have a dataplane counterpart. What fails is
// logged with its error code and skipped (one address, one next hop) or refused whole (an empty
// message comes back); nothing is copied blindly.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dataplane/DpFraming.h"
#include "dataplane/VdrBuilders.h"
#include "dataplane/VdrWalk.h"

namespace orvane::ozy::cairndb {
class ArpEntryMsg;
class BridgeEndpointMsg;
class DadProfileConfigMsg;
class FibNextHopMsg;
class GlobalConfigMsg;
class IpAddressMsg;
class IpPrefixMsg;
class LogRouterConfigMsg;
class LogRouterPortConfigMsg;
class LogRouterPortFibDadStateMsg;
class MulticastConfigMsg;
class NdraProfileConfigMsg;
class PrefixListMsg;
class UuidMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

// An address of the schema on the wire; false with `reason` for none or an IPv6 value that is not
// 16 bytes.
bool ToVdrIp(const pb::IpAddressMsg& in, vdr::IpAddr* out, std::string* reason);
// A prefix; false (logged with `what`, LCP00905) for a bad address or length.
bool ToVdrPrefix(const pb::IpPrefixMsg& in, vdr::IpPrefix* out, const char* what);

// --- value mappings (false, logged with LCP00905, for a value without a dataplane code) ---
bool VDRGetTLVLifType(uint32_t type, uint8_t* out);
bool VDRGetTLVLifFlags(uint32_t type, uint8_t* out);
uint8_t VDRGetNextHopType(const pb::FibNextHopMsg& nh);
bool VDRGetRoutingPolicyType(uint32_t mode, uint8_t* out);
bool VDRGetTLVLifMulticastIp(const pb::IpAddressMsg& ip, vdr::IpAddr* out);
bool VDRGetPrefixAction(uint32_t action, uint8_t* out);

// --- schema to dataplane ---

DpMsg VDRInsAddPB2TLV(uint32_t vdrId, const pb::LogRouterConfigMsg& lr,
                      const pb::DadProfileConfigMsg* dad, const pb::NdraProfileConfigMsg* ndra);

// What a LIF takes from outside its router port.
struct LifContext {
    std::string lifName;
    uint32_t lifId = 0;
    uint32_t vni = 0;
    uint16_t vlan = 0;
    uint8_t replicationMode = 0;
    std::string dvsUuid;
    std::string lsUuid;
    bool linkedRouter = false;
    uint32_t linkedVdrId = 0;
    // The index of a prefix list by its serialized id; false when it is not known.
    std::function<bool(const std::string& listId, uint32_t* index)> prefixIndex;
};
// The LIF add of a router port, its addresses split by family for the caller's comparisons.
struct LifBuild {
    vdr::LifSpec fields;
    std::vector<vdr::LifIp> v4;
    std::vector<vdr::LifIp> v6;
    std::vector<std::string> prefixListIds;  // the lists the LIF references
};
// False when the port cannot become a LIF (a code without a dataplane value, too many IPv6
// addresses); each address or reference that fails alone is skipped.
bool VDRPortAddPB2TLV(const pb::LogRouterPortConfigMsg& lrp, const LifContext& ctx, LifBuild* out);

// One next hop of a route of `family` (4 or 16) through `egress` (empty: none named); false,
// logged, when its address is of another family or not valid.
bool VDRNextHopPB2TLV(const pb::FibNextHopMsg& nh, uint8_t family, const std::string& egress,
                      vdr::NextHopSpec* out);
// A route add; a route without a prefix is not sent.
DpMsg VDRRouteAddPB2TLV(uint32_t vdrId, const pb::IpPrefixMsg* prefix,
                        const std::vector<vdr::NextHopSpec>& hops);
DpMsg VDRRouteNHUpdatePB2TLV(uint32_t vdrId, const vdr::IpPrefix& prefix,
                             const std::vector<vdr::NextHopSpec>& added,
                             const std::vector<vdr::NextHopSpec>& deleted);

DpMsg VDRMulticastConfigPB2TLV(uint32_t vdrId, const pb::MulticastConfigMsg& mc);
DpMsg VDRMulticastRouteAddPB2TLV(uint32_t vdrId, const vdr::IpPrefix& group,
                                 const std::vector<vdr::McastNextHop>& hops);

// The ARP entries of a table; an entry whose address is not valid is skipped with a line.
bool VDRArpEntryPB2TLV(const pb::ArpEntryMsg& entry, vdr::ArpEntrySpec* out);
std::vector<DpMsg> VDRArpTableUpdatePB2TLV(uint32_t vdrId, const std::string& tableUuid, bool add,
                                           const std::vector<vdr::ArpEntrySpec>& entries);
DpMsg VDRArpLimitAddPB2TLV(uint32_t vdrId, const pb::LogRouterConfigMsg& lr);

DpMsg VDRPrefixListAddPB2TLV(uint32_t index, const pb::PrefixListMsg& list);
DpMsg VDRGlobalUpdatePB2TLV(const pb::GlobalConfigMsg& global);

// A switch port's bridge endpoint, named by the port (its UUID text), on a switch's VNI and DVS.
DpMsg VDRBridgeEndpointAddPB2TLV(const std::string& name, const pb::BridgeEndpointMsg& be,
                                 const std::string& lsUuid, uint32_t vni,
                                 const std::string& dvsUuid);
DpMsg VDRBridgeEndpointDelPB2TLV(const std::string& name);

DpMsg VDRDadStatusUpdatePB2TLV(uint32_t vdrId, const std::string& lifName,
                               const pb::LogRouterPortFibDadStateMsg& state);
// The DAD entries of a state, in the dataplane's terms (entries that fail are skipped).
std::vector<vdr::DadEntry> DadEntriesOf(const pb::LogRouterPortFibDadStateMsg& state);

// --- dataplane to schema ---

// A DAD report as the L3 table's object of the router port `lrpId` (version and switch parsed from
// their text). False, logged, for an empty version ("Empty version"), a version that is not a
// UUID ("Version UUID invalid", LCP00703) or a switch that is not one ("LS UUID invalid %1").
bool VDRDadStatusUpdateTLV2PB(const vdr::DadReport& report, const pb::UuidMsg& lrpId,
                              pb::LogRouterPortFibDadStateMsg* out);

}  // namespace CfgAgent

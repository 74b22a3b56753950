#pragma once
// Checks of a container interface (CIF) as the configuration gives it, before anything is built
// for it: its VIF message (host VIF, VLAN), the MAC of its address bindings, and the id of the
// child segment port that stands for it ("<VM port UUID>_<index>"). Each refusal is logged with
// LCP00514 and the CIF is ignored. Pure functions, any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace CfgAgent {

// 802.1Q VLAN ids a CIF may use.
constexpr uint32_t kMinCifVlan = 1;
constexpr uint32_t kMaxCifVlan = 4094;

// The host VIF must be named and the VLAN given and within kMinCifVlan..kMaxCifVlan.
bool ValidateCifVif(const std::string& hostVifId, std::optional<uint32_t> vlan);

// The MACs of the CIF's address bindings (schema form: the low 48 bits, first octet highest;
// nullopt for a binding without one). The first MAC given must be unicast (not a group address,
// not all zero, nothing above 48 bits); it is returned in `mac`.
bool ValidateCifMac(const std::vector<std::optional<uint64_t>>& macs, uint64_t* mac);

struct ChildPortId {
    std::string vmPortId;  // textual UUID
    uint32_t index = 0;
};
// "<VM port UUID>_<index>": the prefix a textual UUID, the index 1 to 10 decimal digits that fit
// 32 bits (so the id fits the dataplane's 48-byte port id field).
std::optional<ChildPortId> ParseChildPortId(const std::string& id);

}  // namespace CfgAgent

#pragma once
// Checks of the firewall objects the message cache takes from the database, before anything is
// copied out of them: what the firewall library and the device could not hold (an IPv6 address
// that is not 16 bytes, a prefix over 32/128, a port over 65535, a range whose start is above its
// end, an ICMP value over 255) and lists or texts beyond the caps below, which bound what one
// replayed object can cost. Also the rewrite of a context profile as a container of key/value
// attributes. Pure functions: no state, no logging (the cache logs what they return).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::ozy::cairndb {
class ContextProfileMsg;
class FirewallAddressMsg;
}  // namespace orvane::ozy::cairndb
namespace orvane::ozy::firewall {
class LcpContainerMsg;
class LcpIpReputationConfigMsg;
class LcpRuleMsg;
}  // namespace orvane::ozy::firewall

namespace CfgAgent {

class DfwMsgParser {
  public:
    // Entries of one list of a rule (services, profiles, each side's containers and addresses,
    // ports of one service, applied-to) and attributes or values of one profile.
    static constexpr size_t kMaxListEntries = 65536;
    // Addresses (or MAC addresses, or identities) of one container.
    static constexpr size_t kMaxContainerEntries = 1u << 20;
    // One text: tag, attribute key or value, identity, name.
    static constexpr size_t kMaxText = 1024;
    // Entries of one IP-reputation chunk (16 bytes each).
    static constexpr size_t kMaxChunkEntries = 1u << 20;
    static constexpr size_t kChunkEntrySize = 16;

    // Each returns "" when the object can be taken, else the reason it cannot.
    static std::string CheckAddress(const orvane::ozy::cairndb::FirewallAddressMsg& a);
    static std::string CheckRule(const orvane::ozy::firewall::LcpRuleMsg& r);
    static std::string CheckContainer(const orvane::ozy::firewall::LcpContainerMsg& c);
    static std::string CheckChunk(const orvane::ozy::firewall::LcpIpReputationConfigMsg& c);

    enum class ProfileOutcome {
        kContainer,  // `out` holds the profile's attributes
        kSkipped,    // an "IDS" or "MPS" attribute: not the firewall's
        kRefused,    // over a cap; `why` says which
    };
    // The profile as a container: its uuid and name, one key/value attribute per value of every
    // attribute with a key and values. `droppedKeys` receives the keys of attributes left out for
    // want of values ("" for an attribute without key), for the cache to log.
    static ProfileOutcome ProfileToContainer(const orvane::ozy::cairndb::ContextProfileMsg& p,
                                             orvane::ozy::firewall::LcpContainerMsg* out,
                                             std::vector<std::string>* droppedKeys,
                                             std::string* why);
};

}  // namespace CfgAgent

#pragma once
// Global address sets: in global address-set mode the address sets and containers that the
// filters' rules name live once, on the shared filter "shared-addrset-filter-orvane-sfw", and
// every firewall filter resolves them there.
//
// Order within a pass: Apply creates (or replaces) on the shared filter the objects that changed
// since the last apply and activates them, before any filter uses them; the filters are applied;
// then Clean reads the shared filter's statistics list and destroys the sets that no filter's
// rules use (anchor count 0) and no filter is to use. When the mode is turned off, the filters
// take their own sets again and Clean, with nothing wanted, empties the shared filter and cleans
// up the device's global sets.
//
// Device records are untrusted: the statistics list is read bounded (74 bytes a record, names
// within their field). Runs on the process loop's thread only.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct FW_Handle;

namespace TarpFirewall {
class CTarpFWAddrSet;
class CTarpFWContainer;
}  // namespace TarpFirewall

namespace CfgAgent {

class DfwGlobalAddrSets {
  public:
    // An object of the shared filter by name: an address set or a container.
    struct Object {
        std::shared_ptr<const TarpFirewall::CTarpFWAddrSet> set;
        std::shared_ptr<const TarpFirewall::CTarpFWContainer> container;
    };
    using Objects = std::map<std::string, Object>;
    // One record of the statistics list.
    struct Stat {
        std::string name;
        uint32_t anchors = 0;
    };

    explicit DfwGlobalAddrSets(FW_Handle* handle) : handle_(handle) {}

    // Creates on the shared filter what in `wanted` differs from the last apply (everything when
    // `force`, e.g. after the MAC-set optimisation mode changed or the device restarted) and
    // activates it. Returns the device status of the apply (0 or 21: applied, or nothing to do).
    int Apply(const Objects& wanted, bool force);
    // Destroys the shared filter's sets whose anchor count is 0 and that `wanted` does not hold;
    // with `modeOff` also cleans up the device's global sets. The device status.
    int Clean(const Objects& wanted, bool modeOff);
    // The device may be a new one: the next Apply sends everything.
    void Forget() { applied_.clear(); }

    // Records of a statistics list (`total` of them claimed), read within `size` bytes.
    static std::vector<Stat> ParseStats(const uint8_t* records, size_t size, uint32_t total);

  private:
    FW_Handle* handle_;
    // What the shared filter was last given, by name: the objects' identity (cache objects are
    // immutable, a changed one is a new object).
    std::map<std::string, const void*> applied_;
};

}  // namespace CfgAgent

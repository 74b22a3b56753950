#pragma once
// CfgAgent::SNTable: the SmartNIC backing of a SmartNIC host's switches. Each entry says which
// vdb serves a host switch and which SmartNICs are active, standby and currently active for it;
// an index gives the host switches of each vdb (several switches may share one vdb). Entries carry
// the full-sync version in which they were last confirmed, so that a full sync can sweep the ones
// it did not resend.
//
// Guarded by one recursive mutex; any thread may call. Log prefix "smartnicTable:".
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace CfgAgent {

class SNTable {
  public:
    struct Backing {
        uint16_t vdb = 0;
        std::string activeSn;
        std::string standbySn;
        std::string currentActiveSn;
        uint32_t version = 0;
    };
    // What an Update changed.
    struct Change {
        bool added = false;
        uint16_t oldVdb = 0;  // the vdb before (0 when added)
        bool vdbChanged() const { return !added && oldVdb != 0; }
    };
    // An entry removed by Remove or Sweep.
    struct Removed {
        std::string hostSwitch;
        uint16_t vdb = 0;
    };

    // Adds or updates the entry of `hostSwitch` (UUID text), stamped with the table's version.
    Change Update(const std::string& hostSwitch, const Backing& backing);
    // The removed entry's vdb; nothing when the switch is unknown (logged).
    std::optional<uint16_t> Remove(const std::string& hostSwitch);
    // Stamps the entry with the table's version; false when unknown.
    bool Restamp(const std::string& hostSwitch);
    // Removes every entry older than the table's version.
    std::vector<Removed> Sweep();

    uint32_t Version() const;
    void SetVersion(uint32_t version);

    std::optional<Backing> Find(const std::string& hostSwitch) const;
    // The host switches served by `vdb`.
    std::set<std::string> HostSwitchesOf(uint16_t vdb) const;
    size_t HostSwitchCount(uint16_t vdb) const;
    std::vector<std::pair<std::string, Backing>> Entries() const;
    size_t Size() const;
    // The dump lines of the table (also logged at debug level).
    std::vector<std::string> Dump() const;

  private:
    void Unindex(const std::string& hostSwitch, uint16_t vdb);

    mutable std::recursive_mutex mutex_;
    std::map<std::string, Backing> backing_;
    std::map<uint16_t, std::set<std::string>> byVdb_;
    uint32_t version_ = 0;
};

}  // namespace CfgAgent

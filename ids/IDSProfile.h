#pragma once
// IDSProfile: the IDS profiles' signature overrides and packet-capture settings, kept for the
// engine's profile map.
//
// A profile comes from a context profile's attributes: "IDS" values are override lists
// "[SID:GID:ACTION, ...]" (ACTION "alert" or "reject"; "[]" none; a SID of 0 stands for every
// signature), "IDS_PCAP" one value "ENABLED:BYTES:PACKETS" (missing: "false:0:0"). Changed and
// deleted profiles are remembered until the next GetModifiedProfiles, which turns them into one
// engine update: every profile with sync type full on a full sync, else the changed ones and the
// names deleted, so a deleted profile reaches the engine too. Profile names become dump file
// names ("dump_" + name): a name with "/", "..", or NUL is refused. Not thread-safe: the owner
// (IDSMsgCache) serialises access.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "proto/idps.pb.h"

namespace CfgAgent {

class IDSProfile {
  public:
    struct Record {
        std::map<uint64_t, std::string> sidActions;
        bool pcapEnabled = false;
        uint64_t pcapByteCount = 0;
        uint64_t pcapPacketCount = 0;
        bool operator==(const Record& o) const {
            return sidActions == o.sidActions && pcapEnabled == o.pcapEnabled &&
                   pcapByteCount == o.pcapByteCount && pcapPacketCount == o.pcapPacketCount;
        }
    };

    // `dumpDir`: where DumpProfile writes (empty: no dumps).
    void Initialize(std::string dumpDir);
    void ClearCache();
    // Replaces the profile's record; false (logged, nothing changed) for invalid input.
    bool UpdateProfileAttributes(const std::string& name, const std::vector<std::string>& ids,
                                 const std::vector<std::string>* pcap);
    bool DeleteProfile(const std::string& name);
    // The engine update since the last call (see above); nothing pending afterwards.
    orvane::ozy::lcp::idps::ProfileUpdateMsg GetModifiedProfiles(bool fullSync);
    // Writes "dump_" + name under the dump directory.
    bool DumpProfile(const std::string& name) const;

    // A name usable as part of a file name.
    static bool SafeName(const std::string& name);
    // Parses one "IDS" value into `out` (added to); false when malformed.
    static bool ParseOverrides(const std::string& value, std::map<uint64_t, std::string>* out);
    static bool ParsePcap(const std::string& value, Record* out);

    const std::map<std::string, Record>& profiles() const { return profiles_; }

  private:
    std::string dumpDir_;
    std::map<std::string, Record> profiles_;
    std::set<std::string> modified_;
    std::set<std::string> deleted_;
};

}  // namespace CfgAgent

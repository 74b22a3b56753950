#pragma once
// The container-interface bus as the agent feeds it: the link-local IP manager and a small
// configuration cache in front of it.
//
// The agent says what holds for each VIF (its logical port attached, connected, enabled as a bus
// parent) and for each container-bus kernel NIC (up with its address, or down), as often as it
// likes; the cache remembers what was passed on and hands the IP manager only the changes, as
// typed updates: attach/detach is type 1, connect/disconnect type 32 (the kernel NIC's with its
// address), the parent flag type 64. The global channel settings are kept for the bus's server.
//
// Pure: no I/O, no timers. One mutex guards the cache; the manager is called after it is released
// and tells its listeners on the calling thread (see IPManager.h).
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "conduit/IPManager.h"

namespace ozy::Conduit {

struct GlobalSettings {
    bool enabled = false;
    uint32_t cip = 0;  // container-side address of the bus server, host byte order
    uint32_t vip = 0;  // its virtual address
    uint32_t vlanTag = 0;
    uint32_t txLimit = 0;
    bool operator==(const GlobalSettings& o) const {
        return enabled == o.enabled && cip == o.cip && vip == o.vip && vlanTag == o.vlanTag &&
               txLimit == o.txLimit;
    }
};

class ConduitService {
  public:
    // The port the bus's RPC server listens on (inside the container-bus network).
    static constexpr uint16_t kServerPort = 6655;

    ConduitService() = default;
    ConduitService(const ConduitService&) = delete;
    ConduitService& operator=(const ConduitService&) = delete;

    IPManager& Manager() { return manager_; }
    const IPManager& Manager() const { return manager_; }

    // Sets (or, with nullopt, clears) the global channel settings.
    void SetGlobalConfig(const std::optional<GlobalSettings>& settings);
    std::optional<GlobalSettings> GlobalConfig() const;

    // A VIF's bit of `type` (kUpdateLspVifAttachment, kUpdateVifState, kUpdateConduitParentVif)
    // is now `on`; `hostSwitchId` may be empty (not known to the caller). False when nothing
    // changed (and nothing was passed on). A detach also clears the parent flag (as the manager
    // does), so callers set it again after the next attach.
    bool SetVif(uint32_t type, const std::string& vifId, const std::string& hostSwitchId, bool on);
    // A container-bus kernel NIC is up on its host switch with this address, or (Down) gone.
    // False when nothing changed.
    bool KrnnicUp(const std::string& name, const std::string& hostSwitchId, uint32_t ip,
                  uint32_t mask);
    bool KrnnicDown(const std::string& name);

    // What was passed on for a VIF (its bits) and the kernel NICs that are up.
    unsigned VifBits(const std::string& vifId) const;
    struct Krnnic {
        std::string hostSwitchId;
        uint32_t ip = 0;
        uint32_t mask = 0;
    };
    std::map<std::string, Krnnic> Krnnics() const;

  private:
    void Send(uint32_t type, const IPUpdate& msg, bool add);

    IPManager manager_;
    mutable std::mutex mutex_;
    std::optional<GlobalSettings> global_;
    std::map<std::string, unsigned> vifBits_;  // by VIF: the update types passed on as set
    std::map<std::string, Krnnic> krnnics_;    // by name
};

}  // namespace ozy::Conduit

#pragma once
// The container-interface bus's link-local addresses (LIPs): one pool per host switch, made from
// the switch's container-bus kernel NIC address when that NIC connects, and one record per VIF
// with three state bits (its logical port attached, the VIF connected, the VIF enabled as a bus
// parent). A VIF with all three bits gets a LIP from its host switch's pool, or waits in the
// pool's queue while the pool is used up; it gives the LIP back when it loses a bit. Listeners
// hear of every assignment and release.
//
// A VIF's host switch is the one its VIF state update (from the dataplane) names; the attach and
// enable updates only fill it in while none is known. A VIF reported on another host switch gives
// back what the old pool gave it.
//
// Pure: no I/O, no timers. Fed by the bus's configuration cache (HandleMsgUpdate) from any thread;
// one mutex guards the state, and listeners are called after it is released (a listener may
// query the manager or unregister itself), in the order of the changes, from the thread whose
// update caused them. Updates are expected from one thread at a time, so that notifications of
// different updates do not interleave.
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ozy::Conduit {

// Update message types, one bit each.
enum UpdateMsgType : uint32_t {
    kUpdateLspVifAttachment = 1,
    kUpdateLspAddrBinding = 2,
    kUpdateLspLinkAttachment = 4,
    kUpdateLspSwitchId = 8,
    kUpdateLrpSubnet = 16,
    kUpdateVifState = 32,
    kUpdateConduitParentVif = 64,
};
// "UPDATE_MSG_TYPE_LSP_VIF_ATTACHMENT" ...; "INVALID" (logged) for any other value.
const char* UpdateMsgTypeName(uint32_t type);

// One update as the configuration cache passes it. For a VIF state update (type 32) of the
// container-bus kernel NIC itself, `krnnicName` names it and `krnnicIp`/`krnnicMask` hold its
// address (host byte order).
struct IPUpdate {
    std::string vifId;
    std::string hostSwitchId;
    std::string krnnicName;
    uint32_t krnnicIp = 0;
    uint32_t krnnicMask = 0;
};

// Dotted text of an address in host byte order ("169.254.1.10").
std::string LipText(uint32_t lip);

class IPManager {
  public:
    // (VIF, LIP, 1 assigned / 0 released)
    using Listener = std::function<void(const std::string& vif, uint32_t lip, int assigned)>;

    // A pool as the CLI shows it.
    struct PoolInfo {
        std::string hostSwitchId;
        std::string krnnicName;
        uint32_t krnnicIp = 0;
        uint32_t krnnicMask = 0;
        uint32_t first = 0;
        uint32_t last = 0;
        size_t used = 0;
        std::vector<std::string> pending;
        std::map<std::string, uint32_t> lips;  // VIF -> LIP
    };

    IPManager() = default;
    IPManager(const IPManager&) = delete;
    IPManager& operator=(const IPManager&) = delete;

    // Acts on types 1, 32 and 64; the others change nothing. `add`: attach, connect, enable.
    void HandleMsgUpdate(uint32_t type, const IPUpdate& msg, bool add);

    int RegisterListener(Listener listener);
    // After it returns the listener is not called again (also when called from a notification).
    void UnregisterListener(int id);

    // The VIF's LIP, 0 when it has none (logged).
    uint32_t QueryLip(const std::string& vif) const;
    // The VIF's LIP and host switch; false when it has no LIP (logged).
    bool QueryLip(const std::string& vif, uint32_t* lip, std::string* hostSwitchId) const;
    // The VIF holding `lip`, "" when none (logged).
    std::string QueryVif(uint32_t lip) const;

    std::vector<PoolInfo> Pools() const;
    // The VIF's state bits (0 when there is no record).
    unsigned VifState(const std::string& vif) const;

    // The pool a kernel NIC address gives: [first, last]; false (and why) when it cannot give one
    // inside its subnet (a non-contiguous mask, a subnet too small, an address near its top).
    static bool PoolRange(uint32_t ip, uint32_t mask, uint32_t* first, uint32_t* last,
                          std::string* why);

  private:
    static constexpr unsigned kAttached = 1;
    static constexpr unsigned kConnected = 2;
    static constexpr unsigned kEnabled = 4;
    static constexpr unsigned kEligible = kAttached | kConnected | kEnabled;

    struct Vif {
        std::string hostSwitchId;
        uint32_t lip = 0;
        unsigned state = 0;
    };
    struct Pool {
        std::string krnnicName;
        uint32_t krnnicIp = 0;
        uint32_t krnnicMask = 0;
        uint32_t first = 0;
        uint32_t last = 0;
        uint32_t next = 0;
        std::set<uint32_t> used;
        std::list<std::string> pending;
        std::set<std::string> pendingSet;
    };
    struct Notice {
        std::string vif;
        uint32_t lip;
        int assigned;
    };
    struct ListenerSlot {
        Listener fn;
        // Held while the listener runs; `active` is cleared under it.
        std::recursive_mutex calling;
        bool active = true;
    };
    using Notices = std::vector<Notice>;

    void SetBit(const IPUpdate& msg, unsigned bit, const char* newLine, Notices* out);
    void ClearBits(const std::string& vifId, unsigned bits, const char* releaseLine, Notices* out);
    void KrnnicUpdate(const IPUpdate& msg, bool connect, Notices* out);
    void CreatePool(const IPUpdate& msg, Notices* out);
    void RemovePool(const std::string& hostSwitchId, Notices* out);
    uint32_t Allocate(const std::string& vifId, Vif& vif, Notices* out);
    void Release(const std::string& vifId, Vif& vif, Notices* out);
    void Notify(const Notices& notices);

    mutable std::mutex mutex_;
    std::map<std::string, Pool> pools_;  // by host switch
    std::map<std::string, Vif> vifs_;
    std::map<uint32_t, std::string> vifByLip_;

    std::mutex listenerMutex_;
    std::map<int, std::shared_ptr<ListenerSlot>> listeners_;
    int nextListener_ = 1;
};

}  // namespace ozy::Conduit

#pragma once
// ozy::upm::UPMService: the profile service. It follows the PROFILE objects and the container
// relations (ENTITY_GROUP_RELATION) of one vdb through its own monitor on the database client
// library, derives each logical switch port's effective profile of every type, and delivers the
// changes to the callbacks components register for the types they use.
//
// Effective profile of (port, type): among the profiles of that type bound to the port itself,
// the one with the least id; without one, among those bound to a container that holds the port
// and whose CONTAINER object is present (RevertContainerMapping), the one with the least id;
// else none. Each barrier delivers the ports whose effective profile changed: the profile's body,
// or no body when the port has none of that type any more (revert). The first barrier after
// Start, or after the channel came back, is a full sync: every effective profile, and the
// receiver replaces what it had.
//
// A profile's body is kept once, immutable, and shared by every port it applies to and by every
// delivery that carries it: a profile bound to a thousand ports is delivered as a thousand
// references to one body, so a receiver can tell the ports of one profile apart by the body's
// address and parse it once for all of them.
//
// Threads: the library calls OnUpdate/OnBarrier one at a time on its io threads; the database
// client calls RevertContainerMapping and OnChannelDown from its own callbacks. One mutex guards
// the tables; callbacks run without it held, in registration order, and must not call back into
// Register/Unregister. Work per barrier follows the ports the transaction touched, never the
// whole table (except a full sync); a profile whose body alone changed (a new limit for the same
// thousand ports) costs one lookup per port and no recomputation.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace orvane::ozy::cairndb {
class MonitorUpdateMsg;
}

namespace ozy::cairndb {
class CairnDbClientInterface;
}

namespace ozy::upm {

// Profile types (ProfileMsg.profile_type).
enum ProfileType : uint32_t {
    kProfileIpfixSwitch = 1,
    kProfileIpfixCollector = 2,
    kProfileIpDiscovery = 3,
    kProfileFloodProtection = 4,
    kProfileSessionTimeout = 5,
    kProfileDnsConfig = 6,
    kProfileFilterConfig = 7,
};

// A profile's serialized ProfileMsg, shared by the ports that have the profile.
using ProfileBody = std::shared_ptr<const std::string>;

struct ProfileUpdate {
    std::string portId;  // logical switch port, 8-4-4-4-12 text
    uint32_t profileType = 0;
    std::string profileId;  // empty without a profile
    ProfileBody profile;    // null (or empty): the port has none of the type now

    bool HasProfile() const { return profile != nullptr && !profile->empty(); }
};

using ProfileCallback =
    std::function<void(const std::vector<ProfileUpdate>& updates, bool fullSync)>;

class UPMService {
  public:
    static constexpr uint32_t kMonitorId = 103;

    UPMService(std::shared_ptr<cairndb::CairnDbClientInterface> client, uint16_t vdb = 1);
    ~UPMService();
    UPMService(const UPMService&) = delete;
    UPMService& operator=(const UPMService&) = delete;

    // Callbacks for the given types; registered before Start (the full sync reaches them).
    int RegisterMonitorCallback(std::set<uint32_t> profileTypes, ProfileCallback callback);
    void UnregisterMonitorCallback(int id);

    // Registers the monitor of PROFILE and ENTITY_GROUP_RELATION; false when the library refuses.
    bool Start();
    // Removes the monitor; callbacks are not called any more.
    void Stop();
    bool running() const;

    // The CONTAINER object `containerId` (8-4-4-4-12 text) is present (true) or gone: bindings
    // through the container apply only while it is present. The ports that change are delivered
    // at once (after the first full sync).
    void RevertContainerMapping(const std::string& containerId, bool present);
    // The library lost its session: the next contents it delivers are complete (a full sync).
    void OnChannelDown();

    // The effective profile of a port: serialized ProfileMsg, empty when none.
    std::string EffectiveProfile(const std::string& portId, uint32_t profileType) const;
    // {"ports": {PORT: {TYPE: PROFILE_ID}}, "containers": [...], "profiles": N} for the CLI.
    std::string ToJson() const;

    // ---- library callbacks (public for tests) ----
    void OnUpdate(const orvane::ozy::cairndb::MonitorUpdateMsg& update);
    void OnBarrier();

  private:
    // A port or container id as parsed (left and right halves).
    using Key = std::pair<uint64_t, uint64_t>;
    struct Profile {
        uint32_t type = 0;
        ProfileBody body;
        std::vector<std::string> ports;
        std::vector<std::string> containers;
        // The same ids as parsed, in the same order: a new body is compared with them, and the
        // texts are made only when they changed.
        std::vector<Key> portKeys;
        std::vector<Key> containerKeys;
    };
    struct Callback {
        std::set<uint32_t> types;
        ProfileCallback fn;
    };
    using PortProfiles =
        std::map<uint32_t, std::pair<std::string, ProfileBody>>;  // type -> id, body

    void ResetLocked();
    void UnbindLocked(const std::string& profileId);
    void BindLocked(const std::string& profileId, Profile profile);
    // The ports that have `profileId` as their effective profile get its new body (`updates`
    // unless a full sync delivers everything anyway); no other port can change.
    void SwapBodyLocked(const std::string& profileId, const Profile& profile, bool fullSync,
                        std::vector<ProfileUpdate>* updates);
    void SetRelationLocked(const std::string& relationId,
                           std::vector<std::pair<std::string, std::vector<std::string>>> members);
    void TouchContainerLocked(const std::string& containerId);
    PortProfiles ComputeLocked(const std::string& port) const;
    void Deliver(const std::vector<ProfileUpdate>& updates, bool fullSync);

    std::shared_ptr<cairndb::CairnDbClientInterface> client_;
    uint16_t vdb_;

    mutable std::mutex mutex_;
    bool running_ = false;
    bool fullSyncPending_ = true;              // the next barrier is a full sync
    bool resetPending_ = false;                // the next update starts complete contents
    std::map<std::string, Profile> profiles_;  // by profile id
    std::map<std::string, std::set<std::string>> portBindings_;       // port -> profile ids
    std::map<std::string, std::set<std::string>> containerBindings_;  // container -> profile ids
    // ENTITY_GROUP_RELATION objects: relation id -> (container, ports) pairs.
    std::map<std::string, std::vector<std::pair<std::string, std::vector<std::string>>>> relations_;
    std::map<std::string, std::set<std::string>> containerPorts_;  // container -> ports
    std::map<std::string, std::set<std::string>> portContainers_;  // port -> containers
    std::set<std::string> containersPresent_;
    std::map<std::string, PortProfiles> effective_;  // port -> its effective profiles
    std::set<std::string> dirty_;                    // ports to recompute at the barrier
    // Profiles whose body changed while their type, ports and containers did not: at the barrier
    // only the ports that have them get the new body, nothing is recomputed.
    std::set<std::string> newBodies_;

    std::mutex callbackMutex_;  // keeps deliveries in order and apart from (un)registration
    std::map<int, Callback> callbacks_;
    int nextCallbackId_ = 1;
};

}  // namespace ozy::upm

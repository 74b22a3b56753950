#pragma once
// LbMsgCache: the load balancer's objects from the database (LB services, virtual servers, pools,
// application and persistence profiles), the groups they use (CONTAINER addresses, and the
// container-LSP map of the entity-group relations), their links, and the pending configuration
// update entries; it builds the packed update buffer (platform/device/LbConfigBuffer.h).
//
// Rules:
// - An object that changes becomes a pending entry (update or delete, the last one winning); an
//   unchanged one is dropped. A profile change re-sends the virtual servers using it, a group's
//   addresses the pools taking members from it, a group's ports (relations, and the ports'
//   attachments through LspChanged) the LB services attached to it.
// - Deleting a profile or pool still linked with virtual servers is logged; the servers stay
//   cached and are skipped by the builds until it is back.
// - Build puts the entries in dependency order (virtual server, pool and service deletes, then
//   service, pool and virtual server updates), resolves each one, skipping with a log line what
//   cannot be written (missing object or link, bad address or protocol, a pool without a cached
//   LB service, system-created objects), sizes the rest and writes them with the bounded writer:
//   a build whose bytes differ from its size, or that passes the device limit or a count's field
//   width, fails whole (nothing to send).
// - A full build writes every cached object as an update.
// Not thread-safe: LbApp serialises the calls.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "platform/device/LbConfigBuffer.h"

namespace CfgAgent {

class LbMsgCache {
  public:
    // Whether a logical switch port (serialized id) is a VIF port; only those are sent.
    using VifCheck = std::function<bool(const std::string& lsp)>;

    struct BuildResult {
        bool ok = false;  // false: `error` says why, nothing to send
        // The whole buffer (header only when no entry), `size` bytes, every one of them written.
        // It is the cache's own, reused by the next build: valid until then.
        uint8_t* buf = nullptr;
        size_t size = 0;
        size_t entries = 0;
        std::string error;
    };

    explicit LbMsgCache(VifCheck isVif);

    // Drops every object, link and pending entry.
    void Clear();
    // One record; false (logged, LCP01801) for a type the load balancer does not handle.
    bool Handle(const CairnDBUpdateMsg& u);
    // A logical switch port changed (its attachment may have become, or stopped being, a VIF).
    void LspChanged(const std::string& lsp, Operation op);

    size_t PendingCount() const { return pending_.size(); }
    void ClearPending();
    // Not const: the build's lists and buffer are kept for the next one (an update of the same
    // size then costs no allocation and no fresh page).
    BuildResult Build(bool full);

    // Tests: counts of cached objects.
    size_t ServiceCount() const { return services_.size(); }
    size_t ServerCount() const { return servers_.size(); }
    size_t PoolCount() const { return pools_.size(); }

  private:
    // Another object's id: its key (the serialized UuidMsg) and its 16 bytes.
    struct Service;
    struct Pool;
    struct Group;
    struct Profile;
    // An LB service named by a pool: its key (the serialized UuidMsg), its 16 bytes, and the
    // cached service (null: absent).
    struct Ref {
        std::string key;
        ozy::device::LbUuid id{};
        const Service* obj = nullptr;
    };
    struct Service {
        ozy::device::LbUuid id{};
        std::string raw;
        std::string name;
        uint64_t created = 0;
        bool isDefault = false;
        uint32_t logLevel = 0;
        std::vector<std::string> containers;
        bool manMade = false;
    };
    struct Server {
        ozy::device::LbUuid id{};
        std::string raw;
        std::string lbs, pool, app, persistence;
        ozy::device::LbUuid lbsId{}, poolId{}, persistenceId{};
        // The cached objects the ids name; null: absent.
        const Service* lbsObj = nullptr;
        const Pool* poolObj = nullptr;
        const Profile* appObj = nullptr;
        const Profile* persistObj = nullptr;
        uint32_t protocol = 0;
        uint32_t port = 0;
        ozy::device::LbAddress address;
        bool addressOk = false;
        bool manMade = false;
    };
    struct Pool {
        ozy::device::LbUuid id{};
        std::string raw;
        std::vector<Ref> lbs;
        std::vector<ozy::device::LbMember> members;
        bool membersOk = true;
        std::string group;  // container id; empty: none
        const Group* groupObj = nullptr;  // the cached group `group` names; null: absent
        uint32_t ipRevision = 0;
        uint16_t groupPort = 0;
        bool manMade = false;
    };
    struct Profile {
        std::string raw;
        uint32_t type = 0;
    };
    struct Group {
        std::string raw;
        std::vector<ozy::device::LbAddress> addresses;  // host addresses only
    };
    // A port of a group: its references from relations, and its id.
    struct LspRef {
        size_t refs = 0;
        ozy::device::LbUuid id{};
    };
    // Pending entry types (1 lbs update ... 6 pool delete), as the device numbers its kinds.
    struct Pending {
        ozy::device::LbEntryKind kind;
        bool manMade = false;
        ozy::device::LbUuid id{};
    };
    // One entry of a build, resolved and sized before anything is written. Ports of a service and
    // LB services of a pool are `count` pointers from `first` in the build's list of ids.
    struct Resolved {
        ozy::device::LbEntryKind kind;
        const ozy::device::LbUuid* id = nullptr;
        const std::string* key = nullptr;
        const Service* service = nullptr;
        const Server* server = nullptr;
        const Pool* pool = nullptr;
        const Group* group = nullptr;  // a pool's group whose addresses are members
        size_t size = 0;
        size_t first = 0, count = 0;
        size_t groupMembers = 0;
        uint8_t logLevel = 0, appType = 0, persistType = 0;
    };
    using IdList = std::vector<const ozy::device::LbUuid*>;

    void HandleService(const CairnDBUpdateMsg& u);
    void HandleServer(const CairnDBUpdateMsg& u);
    void HandlePool(const CairnDBUpdateMsg& u);
    void HandleProfile(const CairnDBUpdateMsg& u, bool app);
    void HandleGroup(const CairnDBUpdateMsg& u);
    void HandleRelation(const CairnDBUpdateMsg& u);

    void Mark(const std::string& key, const ozy::device::LbUuid& id, ozy::device::LbEntryKind kind,
              bool manMade);
    void MarkServersUsing(const std::multimap<std::string, std::string>& index,
                          const std::string& target);
    void MarkServicesOfGroup(const std::string& group);
    void LinkServer(const std::string& vs, Server& s);
    // Points the servers linked with `target` through `index` at `obj` (null: gone).
    template <class T>
    void PointServers(const std::multimap<std::string, std::string>& index,
                      const std::string& target, const T* Server::*field, const T* obj);
    // Points the servers and pools of LB service `key` at `s` (null: gone); marks them when
    // `mark`.
    void PointAtService(const std::string& key, const Service* s, bool mark);
    void UnlinkServer(const std::string& vs, const Server& s);
    void UnlinkService(const std::string& id, const Service& s);
    void UnlinkPool(const std::string& id, const Pool& p);
    void LinkLsp(const std::string& group, const std::string& lsp);
    void UnlinkLsp(const std::string& group, const std::string& lsp);

    bool Resolve(Resolved* r, IdList* ids) const;
    bool ResolveService(Resolved* r, IdList* ids) const;
    bool ResolveServer(Resolved* r) const;
    bool ResolvePool(Resolved* r, IdList* ids) const;
    void Write(const Resolved& r, const IdList& ids, ozy::device::LbConfigWriter* w) const;

    VifCheck isVif_;
    std::unordered_map<std::string, Service> services_;
    std::unordered_map<std::string, Server> servers_;
    std::unordered_map<std::string, Pool> pools_;
    std::unordered_map<std::string, Profile> appProfiles_;
    std::unordered_map<std::string, Profile> persistProfiles_;
    std::unordered_map<std::string, Group> groups_;
    // Links by id (kept while the target is absent): target -> virtual servers.
    std::multimap<std::string, std::string> serversByPool_, serversByApp_, serversByPersist_;
    // LB service -> virtual servers, and pools, naming it.
    std::multimap<std::string, std::string> serversByLbs_, poolsByLbs_;
    // Group -> services attached to it, and pools taking members from it.
    std::multimap<std::string, std::string> servicesByGroup_, poolsByGroup_;
    // Container-LSP map: group -> port -> reference count, and port -> groups.
    std::unordered_map<std::string, std::map<std::string, LspRef>> groupLsps_;
    std::unordered_map<std::string, std::set<std::string>> lspGroups_;
    // Entity-group relation -> its (group, port) pairs.
    std::unordered_map<std::string, std::vector<std::pair<std::string, std::string>>> relations_;
    // (object class, id) -> the entry owed for it; an update and a delete of one object share it.
    std::map<std::pair<int, std::string>, Pending> pending_;
    // Kept from build to build.
    std::vector<Resolved> entries_;
    IdList ids_;
    std::unique_ptr<uint8_t[]> out_;
    size_t outCapacity_ = 0;
};

}  // namespace CfgAgent

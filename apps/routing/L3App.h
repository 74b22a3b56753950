#pragma once
// L3App: the distributed logical routers of this host, realized in the dataplane's VDR module.
//
// It owns the VDR kernel link (4096-byte buffers) and what it has sent over it: per router its
// VDR ID and instance, per router port its LIF, prefix lists by index with the LIFs that refer to
// them, routes and their next hops, multicast configuration and routes, ARP tables, DAD status,
// bridge endpoints and the global settings. The desired state is the state cache's: it observes
// the L3 table (routers, ports, FIBs, ARP tables, prefix lists, multicast, DAD, global settings,
// barriers) and the configuration table (switches, switch ports for bridge endpoints, transport
// nodes for the switches' DVS), and sends only what differs from what it sent: every change names
// objects, and each named object is compared between the store and what was sent.
//
// Dependencies are met, not assumed: a LIF waits for its router's instance and for its switch's
// VNI (or VLAN) and DVS; a route, multicast route, ARP table or DAD status waits for the router
// and the LIFs it names. What waits is sent when what it waits for is, whatever order the changes
// came in, so that the dataplane never sees a reference before the object.
//
// Full sync with the dataplane (on link up once the desired state has arrived, and on the
// dataplane's request for all): what was sent is forgotten, everything is sent again from the
// store in a fixed order (bridge endpoints; router instances and their settings; prefix lists;
// per router its LIFs, routes, multicast routes, ARP tables and DAD status; the global settings),
// then Full Sync End, then the current barrier is reported as processed, only if every send of the
// sync succeeded on the same link.
//
// From the dataplane: full-sync requests (all, or one router) and DAD status reports, which are
// written to the database as the router port's LOG_ROUTER_PORT_FIB_DAD_STATE (Put, or Delete when
// no address is left) only when they differ from the last write; the database's echo is not sent
// back to the dataplane when it equals the dataplane's last report. Anything malformed from the
// dataplane is logged with its code and dropped.
//
// Threads: the link's receive and status handlers, the state-cache observers (dispatcher thread)
// and the CLI all take the global agent lock before touching the state below; no lock of L3App's
// own is held when calling out.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "dataplane/KrnlinkFactory.h"
#include "dataplane/VdrBuilders.h"
#include "runtime/RefCounted.h"
#include "statecache/SCConfigTableObserver.h"
#include "statecache/SCL3TableObserver.h"

namespace orvane::ozy::cairndb {
class FibNextHopMsg;
class LogRouterPortConfigMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

class ICairndbClient;
class IStateCacheConfigTable;
class IStateCacheL3Table;
struct LifContext;

namespace vdr {
struct DadReport;
}

struct L3AppOptions {
    IStateCacheConfigTable* configTable = nullptr;  // required
    IStateCacheL3Table* l3Table = nullptr;          // required
    ICairndbClient* cairndb = nullptr;              // DAD state writes; null: not written
    // Reports a barrier processed for the L3 vertical; null: not reported.
    std::function<void(uint64_t barrier)> reportBarrier;
    KrnlinkFactory makeLink;  // default: the system's kernel links
};

class L3App : public SCL3TableObserver,
              public SCConfigTableObserver,
              public ozy::RefCounted<L3App, ozy::IRefCountable> {
  public:
    static constexpr int kLinkBufferSize = 4096;
    static constexpr const char* kSubtree = "l3";
    static constexpr const char* kLinkPathKey = "krnlink.path";
    static constexpr const char* kDefaultLinkPath = "ozy_vdr_krnlink";
    static constexpr const char* kSoftRssKey = "features.softRSS.enabled";
    // The L3 vertical's number in its processed-barrier reports.
    static constexpr uint32_t kVerticalId = 3;

    explicit L3App(L3AppOptions options);
    ~L3App() override;
    L3App(const L3App&) = delete;
    L3App& operator=(const L3App&) = delete;

    // Reads the "l3" subtree (the application's subtree itself when it has none), registers the
    // observers and starts the link.
    void Init(const boost::property_tree::ptree& config);
    void Stop();

    // ---- desired state ----
    void ProcessL3DesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;

    // ---- dataplane ----
    void HandleVdrMessage(const uint8_t* msg, size_t length);
    void HandleLinkStatus(DataplaneLink* link, int status);

    // ---- state, for the CLI and tests (take the global agent lock) ----
    bool linkUp() const;
    bool dataplaneSynced() const;
    size_t pendingLrpCount() const;
    size_t sentRouteCount() const;
    uint64_t fullSyncCount() const;

  private:
    // Objects that wait for another (a router or a router port) to reach the dataplane.
    enum class Kind : uint8_t { kLrp, kFib, kMcastConfig, kMcastRoute, kArp, kDad };
    struct ObjRef {
        Kind kind;
        std::string id;
        bool operator<(const ObjRef& o) const { return kind != o.kind ? kind < o.kind : id < o.id; }
    };

    struct RouterState {
        uint32_t vdrId = 0;
        DpMsg instance;  // as last sent
        bool arpLimitSent = false;
        uint32_t arpLimit = 0;
        bool arpOverridden = false;
    };
    struct LrpState {
        std::string lrId;
        std::string lsId;
        std::string lifName;
        uint32_t vdrId = 0;
        bool inDataplane = false;
        bool adminUp = true;
        uint32_t linkType = 0;
        uint32_t vni = 0;
        uint8_t replicationMode = 0;
        std::vector<vdr::LifIp> v4;
        std::vector<vdr::LifIp> v6;
        DpMsg lif;  // the LIF add last sent
    };
    struct PrefixListState {
        uint32_t index = 0;
        bool inStore = false;
        DpMsg sent;                  // the add last sent; empty when the dataplane has none
        std::set<std::string> lifs;  // router ports whose LIF refers to the list
    };
    struct FibState {
        std::string lrId;
        uint32_t vdrId = 0;
        bool sent = false;
        vdr::IpPrefix prefix;
        std::map<std::string, vdr::NextHopSpec> hops;  // by serialized FibNextHopMsg
        std::set<std::string> lrps;                    // router ports its next hops name
    };
    // A FIB's next-hop changes as the records of one update carried them.
    struct FibChange {
        std::set<std::string> added;
        std::set<std::string> deleted;
    };
    struct McastConfigState {
        std::string lrId;
        uint32_t vdrId = 0;
        DpMsg sent;
    };
    struct McastRouteState {
        std::string lrId;
        uint32_t vdrId = 0;
        vdr::IpPrefix group;
        DpMsg sent;
    };
    struct ArpState {
        std::string lrpId;
        uint32_t vdrId = 0;
        std::map<std::string, vdr::ArpEntrySpec> entries;  // by serialized ArpEntryMsg
    };
    struct DadState {
        std::string lastReport;  // the dataplane's last report (canonical text)
        std::string lastSent;    // the last DAD status sent to the dataplane
        std::string lastWrite;   // the last object written; "" none, kDeletedWrite a Delete
    };
    struct BridgeState {
        std::string lsId;
        DpMsg sent;
    };
    // The objects one update names, by kind.
    struct Dirty {
        bool global = false;
        std::set<std::string> routers, lrps, prefixLists, mcastConfigs, mcastRoutes, arps, dads;
        std::map<std::string, FibChange> fibs;
        std::vector<uint64_t> barriers;
    };

    // L3App.cc: link, receive, full sync, barriers.
    bool Send(DpMsg msg);
    void FullSyncDataplane(const char* why);
    void FullSyncRouter(const std::string& lrId, uint32_t vdrId);
    void ForgetSentState();
    void ReportBarrier(uint64_t barrier, const char* why);
    void HandleFullSyncRequest(uint8_t scope, uint32_t vdrId);
    void ApplyDirty(const Dirty& d);
    void ReconcileAll();
    void CollectL3Record(const CairnDBUpdateMsg& u, Dirty* d);

    // L3AppRouters.cc: routers, router ports, prefix lists, switches, bridges, global.
    void SyncRouter(const std::string& lrId);
    void DetachRouter(const std::string& lrId, bool sendDeletes);
    void SyncLrp(const std::string& lrpId);
    void RemoveLif(LrpState& st, const std::string& lrpId, bool sendDelete);
    bool LifContextOf(const std::string& lrpId, const orvane::ozy::cairndb::LogRouterPortConfigMsg&,
                      LrpState& st, LifContext* ctx);
    void SyncPrefixList(const std::string& listId);
    bool PrefixIndex(const std::string& listId, uint32_t* index);
    void SetPrefixRefs(const std::string& lrpId, const std::vector<std::string>& lists);
    void SyncBridge(const std::string& lspId);
    void SyncGlobal(bool force);
    void SyncMcastConfig(const std::string& id);

    // L3AppRoutes.cc: routes, multicast routes, ARP tables.
    // `force`: send the whole route again even when nothing changed.
    void SyncFib(const std::string& fibId, const FibChange* change, bool force);
    void RemoveFib(const std::string& fibId, bool sendDelete);
    bool EgressOf(const orvane::ozy::cairndb::FibNextHopMsg& nh, std::string* lifName,
                  std::string* lrpId);
    void SyncMcastRoute(const std::string& id);
    void SyncArp(const std::string& arpId);
    void ResendRoutesOf(const std::string& lrpId, const char* why);

    // L3AppDad.cc: DAD status.
    void SyncDadState(const std::string& id, bool force);
    void HandleDadReport(const vdr::DadReport& report);
    void WriteDadState(const std::string& lifName, bool remove, const std::string& body,
                       const std::string& idBytes);

    // Waiting objects.
    void WaitFor(const std::string& dependency, Kind kind, const std::string& id);
    void StopWaiting(Kind kind, const std::string& id);
    void ReleaseWaiting(const std::string& dependency);
    void SyncObject(const ObjRef& ref);

    uint32_t VdrOfRouter(const std::string& lrId) const;    // 0: not in the dataplane
    const LrpState* LifOf(const std::string& lrpId) const;  // null: no LIF in the dataplane

    L3AppOptions options_;
    IStateCacheConfigTable* configTable_;
    IStateCacheL3Table* l3Table_;
    ozy::RefPtr<DataplaneLink> link_;
    bool initialized_ = false;
    bool stopped_ = false;

    // Session state (global agent lock).
    bool linkUp_ = false;
    bool desiredReady_ = false;     // the L3 table has had its first full sync
    bool dataplaneSynced_ = false;  // a full sync was sent on this link
    uint64_t linkGeneration_ = 0;
    bool sendsOk_ = true;  // no send failed since this was last set
    uint64_t fullSyncs_ = 0;

    // What the dataplane holds, and what waits.
    std::map<std::string, RouterState> routers_;
    std::map<uint32_t, std::string> vdrIndex_;  // VDR ID -> router
    std::map<std::string, std::set<std::string>> routerLrps_;
    std::map<std::string, std::set<std::string>> routerFibs_;
    std::map<std::string, LrpState> lrps_;
    std::set<std::string> pendingLrps_;            // waiting for their switch, VNI, VLAN or DVS
    std::map<std::string, std::string> lifIndex_;  // LIF name -> router port
    std::map<std::string, std::set<std::string>> lsLrps_;
    std::map<std::string, PrefixListState> prefixLists_;
    std::map<std::string, std::set<std::string>> lifPrefixRefs_;  // router port -> lists
    std::unordered_map<std::string, FibState> fibs_;
    std::map<std::string, std::set<std::string>> lrpFibs_;
    std::map<std::string, McastConfigState> mcastConfigs_;
    std::map<std::string, McastRouteState> mcastRoutes_;
    std::map<std::string, ArpState> arps_;
    std::map<std::string, DadState> dad_;  // by LIF name
    std::set<std::string> bridgeIds_;      // switch ports with a bridge endpoint
    std::map<std::string, BridgeState> bridges_;
    DpMsg global_;
    std::map<std::string, std::set<ObjRef>> waiting_;  // dependency -> objects
    std::map<ObjRef, std::string> waitingOn_;
};

}  // namespace CfgAgent

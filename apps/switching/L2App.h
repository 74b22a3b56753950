#pragma once
// L2App: the L2 overlay application ("vxlan"). It owns the VXLAN kernel link and the L2 mapping
// session with the dataplane's overlay module, and turns what the dataplane learns locally (the
// VNIs it joined, its switch instances, the local VTEPs and VM MACs of each VNI, the local
// routing-domain VTEPs of each switch) into runtime state of the L2 table, which the state-cache
// observer writes to cairndb as LOG_SWITCH_STATE and ROUTING_DOMAIN_VTEP.
//
// Session: on link up, on a State report with a non-zero out-of-sync byte and on the CLI's
// simulated out-of-sync, every dataplane-reported table is forgotten (the dataplane restates it),
// a Session Open goes out with a new process-wide L2 session ID (state 1), then the Configure
// message with the six settings. Open ACK with the current ID: state 2, reports are converted and
// queued. Full Sync End in state 2: state 3, the queued reports (and the object records of every
// joined VNI's logical switch and of every routing domain with local VTEPs) are written to the L2
// table as one runtime full sync, then the registered completion callbacks run. After that,
// reports are written as they come. Messages with another session ID are dropped.
//
// Records: a VNI's entries go to LOG_SWITCH_STATE of its logical switch (LS_VNI in the
// configuration table); the object record of a switch is written once, before its first entry, and
// a VNI leave deletes the object. Reports of a VNI whose switch is not known yet are held (bounded)
// and written when its LS_VNI arrives. The local routing-domain VTEPs of a switch go to
// ROUTING_DOMAIN_VTEP of the routing domain of each of its joined VNIs (LS_ROUTING_DOMAIN_ID).
//
// Remote state (L2AppRemote.cc): once the dataplane joined a VNI and its logical switch is known,
// SendVNIMbrChangeMsgToDP confirms the membership, sends the Link change, the Controller IP Update
// and the routing domain item, then the switch's remote VTEPs, VM MACs and VM IPs as the desired
// L2 table holds them at that moment (LOG_SWITCH_FIB; nothing is copied). Later desired changes of
// a pushed VNI are sent as they come; changes of other VNIs wait for their join. Of what was pushed
// only the keys are kept (the VTEP entries whole: they are few), so that a full sync of the desired
// store, which delivers filtered lists, is reconciled by reading the store back. Every list is
// split at the negotiated maximum message length. Nothing is pushed before the Open ACK.
//
// Routing domains and VTEP groups (L2AppDomains.cc): the routing domains of the joined VNIs'
// logical switches (LS_ROUTING_DOMAIN_ID) go to the dataplane as one list per switch (data type
// 10) whenever a switch's set changes; at Full Sync End, and later as soon as a domain comes into
// use, its remote VTEPs (ROUTING_DOMAIN_FIB) follow in Routing domain membership changes. When the
// last logical switch of this host leaves a domain, the domain's remote state is dropped from the
// dataplane and its ROUTING_DOMAIN_VTEP row is removed; the desired state is never written. The
// global routing domain (GLOBAL_CONFIG) goes with the only switch instance, and the global
// replication mode too; with none or several instances neither is sent. VTEP groups (VTEP_GROUP)
// are sent at the Open ACK and on change; logical switches and routing domains are bound to them
// by their group labels (L2_VTEP_GROUP_LABEL of their FIB). A deleted group that is still in use is
// reported and unbound in the dataplane, and bound again if it comes back.
//
// Queries (L2AppQueries.cc): the dataplane's MAC, ARP and IPv6 neighbour queries are answered
// from the desired L2 table, one reply per query TLV with the entries found (split at the maximum).
//
// TEP alarms (L2AlarmReporter): type 17 from the dataplane, raised through the event source
// "cfgAgent_l2" once the transport node (TRANSPORT_NODE_CONFIG) is known, pending until then; a
// new session forgets the pending ones.
//
// Threads: the link's receive and status handlers run on the link's threads, the desired-state
// operations on the dispatcher's thread, the CLI hook on the CLI thread. Each takes the global
// agent lock before touching the state below. Bad input from the dataplane is logged with its code
// (LCP00407 malformed or unexpected, LCP00409 unsupported session data type, LCP00019 invalid
// address type) and dropped; it never reaches the L2 table. Nothing is sent after Stop().
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "apps/switching/IL2App.h"
#include "dataplane/KrnlinkFactory.h"
#include "dataplane/VxlanBuilders.h"
#include "intake/Component.h"
#include "runtime/RefCounted.h"
#include "statecache/L2ValueKey.h"
#include "statecache/SCConfigTableObserver.h"
#include "statecache/SCL2TableObserver.h"

namespace orvane::ozy::cairndb {
class IpAddressMsg;
}  // namespace orvane::ozy::cairndb
namespace ozy::monitoring {
class AlarmTable;
}  // namespace ozy::monitoring

namespace CfgAgent {

class IStateCacheConfigTable;
class IStateCacheL2Table;
class L2AlarmReporter;
class MsgDispatcher;

struct L2AppOptions {
    IStateCacheConfigTable* configTable = nullptr;  // LS_VNI and routing domains; may be null
    IStateCacheL2Table* l2Table = nullptr;          // runtime writes; may be null
    MsgDispatcher* dispatcher = nullptr;            // registration as L2APP; may be null
    KrnlinkFactory makeLink;                        // default: the system's kernel links
    ozy::monitoring::AlarmTable* alarmTable = nullptr;  // TEP alarms; default: the process's
    // A run of input (see L2App::ReceiveFromLink) goes on while the next message arrives within
    // `runGapMs` of the last one's handling; a run older than `maxRunMs` is written and goes on
    // as a new one.
    int runGapMs = 1;
    int maxRunMs = 1000;
};

class L2App : public IL2App,
              public SCConfigTableObserver,
              public SCL2TableObserver,
              public ozy::RefCounted<L2App, Component> {
  public:
    static constexpr int kLinkBufferSize = 4096;
    static constexpr const char* kLinkPathKey = "krnlink.path";
    static constexpr const char* kName = "L2App";
    // Reports kept while the dataplane's full sync runs, and reports kept for VNIs whose logical
    // switch is not known yet ("l2.maxQueuedReports", "l2.maxHeldReports"); beyond, reports are
    // dropped with a line.
    static constexpr size_t kDefaultMaxQueuedReports = 1u << 19;
    static constexpr size_t kDefaultMaxHeldReports = 1u << 17;

    enum SessionState : int {
        kSessionIdle = 0,
        kSessionOpenSent = 1,
        kSessionOpenAcked = 2,
        kSessionFullSyncEnded = 3,
    };

    explicit L2App(L2AppOptions options);
    ~L2App() override;
    L2App(const L2App&) = delete;
    L2App& operator=(const L2App&) = delete;

    // Reads the "l2" settings and the link path ("krnlink.path", required when the subtree is not
    // empty: boost::property_tree::ptree_bad_path otherwise), registers with the dispatcher and as
    // LOG_SWITCH_CONFIG observer, and starts the link.
    void Init(const boost::property_tree::ptree& config);
    void PostStart() {}
    void Stop();

    // ---- desired state ----
    // Component L2APP: keeps the controller session (CCP_SESSION), the global configuration
    // (GLOBAL_CONFIG) and hands the SmartNIC backing (HOST_SWITCH_SMARTNIC_BACKING) to the alarm
    // reporter.
    void UpdateDesiredState(const CairnDBUpdateList& objects, bool fullSync) override;
    // LOG_SWITCH_CONFIG: LS_VNI names the logical switch of a VNI, LS_ROUTING_DOMAIN_ID its
    // routing domain. TRANSPORT_NODE_CONFIG: the transport node of the TEP alarms.
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;
    // L2 table (desired): remote VTEPs, VM MACs and VM IPs of the logical switches.
    void ProcessL2DesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;

    // ---- dataplane ----
    // Sends one message when the link is up and the app not stopped; an empty message is an error
    // (a build failure) and is never sent.
    bool SendToDataplane(DpMsg msg);
    void HandleVxlanMessage(const uint8_t* msg, size_t length);
    // A message from the link's receiver: handled, then, while the link has more input waiting or
    // arriving within the run's gap, the runtime changes it made join a batch of the L2 table
    // that the last message of the run ends (so that a row learning many entries is written once
    // for them, not once per message, even when the sender pauses briefly mid-burst). A batch
    // open for the run's maximum is ended and a new one opened, so that a steady stream is
    // written at least that often.
    void ReceiveFromLink(const uint8_t* msg, size_t length);
    void HandleLinkStatus(DataplaneLink* link, int status);
    // Ends the open runtime batch, if any: its changes reach the observers.
    void EndReportBatch();
    // The CLI's "cfgagent/set-simulate/out-of-sync l2": a State report with the out-of-sync byte.
    void SimulateOutOfSync();

    // ---- IL2App (the BFD sessions) ----
    bool SendSessionTlvs(uint16_t dataType, const uint8_t* values, size_t valueSize,
                         size_t count) override;
    bool SendConfigureItem(uint16_t item, const std::vector<uint8_t>& value) override;
    size_t SessionTlvsPerUpdate(size_t valueSize) const override;
    bool SwitchIdOfVni(uint32_t vni, uint32_t* switchId) const override;
    bool VniOfLogicalSwitch(const std::string& lsId, uint32_t* vni) const override;
    void AddVniJoinListener(VniJoinListener listener) override;
    // Runs after every Full Sync End has been applied, under the agent lock.
    void RegisterFullSyncCallback(std::function<void()> callback) override;

    // ---- state, for the CLI and tests (take the global agent lock) ----
    struct VniInfo {
        uint32_t switchId = 0;
        std::string lsId;  // serialized UUID; empty while unknown
    };
    int sessionState() const;
    uint32_t sessionId() const;
    bool linkUp() const { return linkUp_.load(); }
    vxlan::Settings settings() const;
    bool GetVni(uint32_t vni, VniInfo* out) const;
    size_t vniCount() const;
    std::set<uint32_t> instances() const;
    std::set<uint32_t> queuedInstances() const;
    size_t queuedReports() const;
    // TEP alarms kept until the transport node is known, and the transport node's id text.
    size_t pendingAlarms() const;
    std::string transportNode() const;
    size_t heldReports() const;
    // Remote entries pushed to the dataplane for a VNI (VTEPs, MACs, IPs); false when not pushed.
    struct RemoteCounts {
        size_t vteps = 0;
        size_t macs = 0;
        size_t ips = 0;
    };
    bool GetRemoteCounts(uint32_t vni, RemoteCounts* out) const;
    // The routing domains in use on this host and the per-switch lists sent
    // ("cfgagent/l2/routingdomain"), as JSON.
    std::string RoutingDomainsJson() const;
    // VTEP group labels bound for a VNI (empty when not pushed) and the groups sent.
    std::set<uint32_t> BoundGroups(uint32_t vni) const;
    std::set<uint32_t> SentGroups() const;

  private:
    // One converted report: an entry of a VNI's logical switch.
    struct Report {
        uint32_t vni = 0;
        PropertyType property = PropertyType::INVALID_PROPERTY;
        Operation op = Operation::OPERATION_UPDATE;
        std::string data;
    };
    // The keys of the remote entries pushed for a VNI.
    struct RemoteKeys {
        std::map<L2ValueKey, vxlan::VtepEntry> vteps;
        std::unordered_set<L2ValueKey, L2ValueKeyHash> macs;
        std::unordered_set<L2ValueKey, L2ValueKeyHash> ipv4;
        std::unordered_set<L2ValueKey, L2ValueKeyHash> ipv6;
        std::set<uint32_t> groups;  // VTEP group labels bound
    };
    struct VniEntry {
        uint32_t switchId = 0;
        std::string lsId;
        bool objectWritten = false;
        bool pushed = false;  // SendVNIMbrChangeMsgToDP ran for lsId in this session
        RemoteKeys remote;
    };
    struct RemoteBatch;
    // A routing domain in use on this host.
    struct DomainEntry {
        uint32_t switchId = 0;  // a switch of this host attached to it
        bool global = false;
        bool pushed = false;             // its remote state went to the dataplane in this session
        std::set<std::string> switches;  // logical switches of this host attached to it
        std::map<L2ValueKey, vxlan::VtepEntry> vteps;  // remote VTEPs pushed
        std::set<uint32_t> groups;                     // VTEP group labels bound
    };
    // A VTEP group of the desired state.
    struct GroupEntry {
        uint32_t label = 0;
        uint8_t type = 0;
        uint8_t protocol = 0;
        bool sent = false;  // in this session
    };
    // A user of a VTEP group label: a logical switch (false) or a routing domain (true).
    using GroupUser = std::pair<bool, std::string>;

    // Settings (L2App.cc).
    void ReadSettings(const boost::property_tree::ptree& config);
    // The transport node as the desired configuration holds it, to the alarm reporter.
    void RefreshTransportNode();

    // Session and receive dispatch (L2AppSession.cc).
    void RestartSession(const char* why);
    void HandleSessionControl(const vxlan::MsgView& msg);
    void HandleFullSyncEnd();
    void HandleStateReport(const vxlan::MsgView& msg);
    void HandleVniMembership(const vxlan::MsgView& msg);
    void HandleInstanceChange(const vxlan::MsgView& msg);
    void HandleUpdate(const vxlan::MsgView& msg);
    bool SendLocked(DpMsg msg);
    // A message of one TLV for the BFD sessions (an Update or a Configure): refused before the
    // Open ACK and past the maximum length.
    // One message of `count` TLVs of `tlvType`, `valueSize` bytes each from `values`.
    bool SendSessionMsg(uint16_t type, uint16_t tlvType, const uint8_t* values, size_t valueSize,
                        size_t count);
    void NotifyVniJoin(uint32_t vni, uint32_t switchId, bool joined);

    // Local learning (L2AppLocal.cc).
    void HandleVtepMembership(const DpTlv& tlv);
    void HandleVmMac(const DpTlv& tlv);
    // Data types 4 and 5: entries of a joined VNI, by the property they are written as.
    void HandleEntryUpdate(const DpTlv& tlv, PropertyType property);
    void HandleRdVteps(const DpTlv& tlv);
    // Queues, holds or writes the reports of one TLV of `vni`.
    void Emit(uint32_t vni, std::vector<Report> reports);
    // Writes the reports' entries (their bodies moved out) to the VNI's logical switch.
    void WriteReports(VniEntry& entry, std::vector<Report> reports);
    void Hold(uint32_t vni, std::vector<Report> reports);
    void DropHeld(uint32_t vni);
    void ReplayHeld(uint32_t vni);
    void LeaveVni(uint32_t vni);
    std::string LogicalSwitchOfVni(uint32_t vni) const;
    std::string RoutingDomainOf(const std::string& lsId) const;
    // The routing-domain VTEP entries the local state implies, by routing domain.
    std::map<std::string, std::set<std::string>> RdVtepBodies() const;
    // Writes the difference between RdVtepBodies() and what was written.
    void SyncRdVteps();
    CairnDBUpdateList FullSyncRecords();
    // Logical switch of every joined VNI again from the configuration table.
    void RefreshVniSwitches();
    void SetVniSwitch(uint32_t vni, VniEntry& entry, const std::string& lsId);

    // Remote state (L2AppRemote.cc).
    void SendVNIMbrChangeMsgToDP(uint32_t vni, VniEntry& entry);
    vxlan::ControllerIp BuildCtlrIPUpdate(uint32_t switchId, uint32_t vni) const;
    DpMsg BuildLinkChangeOf(uint32_t vni, const VniEntry& entry) const;
    // The routing domain item (259) of a VNI; false (with the stop line) when there is none.
    bool RoutingDomainItemOf(uint32_t vni, const VniEntry& entry,
                             vxlan::ConfigureItemValue* out) const;
    // The MAC limit item (261) of a VNI; false (with its line) without a valid limit.
    bool MacLimitItemOf(uint32_t vni, const VniEntry& entry, vxlan::ConfigureItemValue* out) const;
    // Every remote entry of the VNI's switch from the desired store.
    void PushRemoteState(uint32_t vni, VniEntry& entry);
    // Adds one desired record to a batch; flushes first when a removal follows an addition.
    void AddRemoteRecord(uint32_t vni, VniEntry& entry, RemoteBatch& batch,
                         const CairnDBUpdateMsg& record);
    // Removals of every pushed entry the desired store no longer holds.
    void AddStaleRemovals(VniEntry& entry, RemoteBatch& batch);
    void SendRemoteBatch(uint32_t vni, const VniEntry& entry, RemoteBatch& batch);
    // The joined, pushed VNI of a logical switch; null when none.
    VniEntry* PushedVniOf(const std::string& lsId, uint32_t* vni);
    // Per-switch settings of a pushed VNI changed in the configuration table.
    void SendSwitchSettings(uint32_t vni, VniEntry& entry, PropertyType property);
    bool LsConfig(const std::string& lsId, PropertyType property, std::string* body) const;

    // Queries (L2AppQueries.cc): each query TLV answered with one reply from the desired store.
    struct VmLocation;
    void HandleQuery(const vxlan::MsgView& msg);
    void AnswerQuery(const DpTlv& tlv);
    bool LocateMac(const std::string& lsId, uint64_t mac, VmLocation* out) const;
    bool LookupIp(const std::string& lsId, const orvane::ozy::cairndb::IpAddressMsg& ip,
                  uint64_t* mac) const;

    // Routing domains and VTEP groups (L2AppDomains.cc).
    // Recomputes the domains of the joined VNIs: per-switch lists, attach and detach, the remote
    // state of domains coming into use (from Full Sync End on) and of domains left.
    // At Full Sync End (`atFullSyncEnd`) the domains are recorded and PushDomains sends them.
    void SyncRoutingDomains(bool atFullSyncEnd = false);
    // At Full Sync End: the remote state of every domain in use.
    void PushDomains();
    void PushDomain(const std::string& rd, DomainEntry& d);
    void SendDomainBatch(const std::string& rd, const DomainEntry& d, vxlan::EntryBuffer& removed,
                         vxlan::EntryBuffer& added);
    // ROUTING_DOMAIN_FIB records of one update list.
    void ApplyDomainRecords(const CairnDBUpdateList& updates);
    // Removals of every pushed VTEP and binding of a domain that the store no longer holds.
    void AddStaleDomainEntries(const std::string& rd, DomainEntry& d, vxlan::EntryBuffer& removed);
    // The only switch instance; false (with its line) when there are none or several.
    bool OnlyInstance(uint32_t* id) const;
    // The global replication mode with the only instance, when it changed (from Full Sync End on).
    void SyncGlobalReplication();
    // VTEP_GROUP records (and the group labels of both FIBs): the index, whatever the session.
    void IndexGroups(const CairnDBUpdateList& updates, bool fullSync);
    void SendVtepGroups();
    // Sends group `id` as the store holds it (or its delete); binds its users when it is new.
    void SendVtepGroup(const std::string& id, bool removed);
    // The group labels of a pushed VNI's switch, bound (and stale ones unbound).
    void SyncLsBindings(uint32_t vni, VniEntry& entry);
    void SyncRdBindings(const std::string& rd, DomainEntry& d);
    // Binds the labels of `want` not bound yet (when their group was sent) and unbinds the bound
    // ones it lacks; `build` makes the binding message of a label.
    void SyncBindings(const std::set<uint32_t>& want, std::set<uint32_t>& bound,
                      const std::function<DpMsg(uint32_t label, uint8_t op)>& build);
    void Bind(const GroupUser& user, uint32_t label, bool associate);
    std::set<uint32_t> StoreLabels(ObjectType type, const std::string& id) const;

    L2AppOptions options_;
    vxlan::Settings settings_;
    size_t maxQueuedReports_ = kDefaultMaxQueuedReports;
    size_t maxHeldReports_ = kDefaultMaxHeldReports;

    ozy::RefPtr<DataplaneLink> link_;
    std::unique_ptr<L2AlarmReporter> alarms_;  // under the global agent lock
    std::atomic<bool> linkUp_{false};
    bool initialized_ = false;
    bool stopped_ = false;
    bool reportBatch_ = false;  // a runtime batch of the L2 table is open (agent lock)
    std::chrono::steady_clock::time_point reportBatchStart_;  // when it opened (agent lock)

    // Under the global agent lock.
    int sessionState_ = kSessionIdle;
    std::map<uint32_t, VniEntry> vnis_;  // joined VNIs
    std::set<uint32_t> instances_;
    std::set<uint32_t> queuedInstances_;
    std::map<uint32_t, std::vector<vxlan::VtepEntry>> localRdVteps_;  // by switch ID
    std::map<std::string, std::set<std::string>> rdWritten_;          // routing domain -> bodies
    std::vector<Report> queue_;
    bool queueOverflowLogged_ = false;
    // Held entries of VNIs without a known switch, by (property, entry key): what a replay writes.
    using HeldKey = std::pair<uint32_t, L2ValueKey>;
    std::map<uint32_t, std::map<HeldKey, std::string>> held_;
    size_t heldCount_ = 0;
    bool heldOverflowLogged_ = false;
    std::string ccpSession_;                         // serialized CcpSessionMsg, empty when none
    std::optional<uint32_t> globalReplicationMode_;  // GLOBAL_CONFIG l2_replication_mode
    std::vector<std::function<void()>> fullSyncCallbacks_;
    std::vector<VniJoinListener> vniJoinListeners_;
    std::string globalRd_;  // GLOBAL_CONFIG global routing domain
    std::optional<std::pair<uint32_t, uint32_t>> replicationSent_;  // switch ID, mode
    std::map<std::string, DomainEntry> domains_;          // in use on this host, by routing domain
    std::map<uint32_t, std::set<std::string>> rdLists_;   // switch ID -> last list sent
    std::map<std::string, GroupEntry> groups_;            // by VTEP_GROUP id
    std::map<uint32_t, std::string> groupIds_;            // label -> VTEP_GROUP id
    std::map<uint32_t, std::set<GroupUser>> groupUsers_;  // label -> its users (desired)
};

}  // namespace CfgAgent

#pragma once
// BFDTableApp: the BFD application ("bfd", component BFD). It decides which BFD sessions the VXLAN
// dataplane runs between local and remote tunnel endpoints, and pushes the BFD settings of the
// host switches (Configure item 8) and of EVPN (item 9), all through L2App's IL2App slice.
//
// Sessions are derived per logical switch, always from the stores (never from the observers'
// lists, which leave unchanged entries out and drop stale ones without records):
// - VNI-based: the switch's local VTEPs (runtime LOG_SWITCH_STATE) x its remote VTEPs (desired
//   LOG_SWITCH_FIB), referenced by the switch, or by its routing domain when it has one;
// - routing-domain-based: for an EVPN switch of a routing domain other than the global one, the
//   domain's local VTEPs (runtime ROUTING_DOMAIN_VTEP) x its remote VTEPs (desired
//   ROUTING_DOMAIN_FIB), referenced by the domain;
// - VTEP-group-based: the switch's local VTEPs x the members of each VTEP group its FIB names,
//   when the group is a VTEP group of the desired state (LCP02204 otherwise) whose activeness
//   protocol is MBR_VTEP_BFD (LCP02205 otherwise), referenced by the group's label.
// Any change that touches a switch (its configuration, either FIB, its domain's or group's
// entries) recomputes that switch and applies the difference to the table; a full sync of any
// store recomputes every switch.
//
// Dataplane sessions: the dataplane keys a session by (switch ID, 57-byte entry), and the entry
// carries the VNI, the routing domain and the group label, so references of different VNIs are
// different dataplane sessions. An add goes out when the first reference mapping to an entry
// appears and a removal when the last one goes; two VNIs sharing a table entry hold two dataplane
// sessions and removing one VNI's reference removes only its session. A session whose VNI is not
// joined (no switch ID), or that IL2App refused (before the Open ACK, link down), stays in the
// table unsent: it goes out at its VNI's join and at every L2 Full Sync End ("Sync BFD sessions
// to dataplane"), which sends what the new session lacks and both configurations.
//
// Session TLVs go out packed: what one entry point (a store's update, a join, a resync) adds and
// removes is gathered in order and put on the link as Updates of as many TLVs as the negotiated
// maximum allows, one Update whenever a full one is gathered and the rest when the entry point
// returns. An Update L2App refuses leaves its adds unsent (sent at the VNI's next join or the next
// full sync).
//
// Threads: every entry point takes the global agent lock; observers, the VNI-join listener and the
// Full Sync End callback are called with it held. Bad input (another object type on component
// BFD: LCP02203, unreadable bodies) is logged and dropped. Nothing is sent after Stop().
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "apps/routing/BFDTable.h"
#include "apps/routing/BfdWantedSet.h"
#include "intake/Component.h"
#include "runtime/RefCounted.h"
#include "statecache/SCConfigTableObserver.h"
#include "statecache/SCL2TableObserver.h"

namespace CfgAgent {

class IL2App;
class IStateCacheConfigTable;
class IStateCacheL2Table;
class IStateCacheL3Table;
class MsgDispatcher;

struct BFDTableAppOptions {
    IL2App* l2App = nullptr;                        // required
    IStateCacheConfigTable* configTable = nullptr;  // switches, transport nodes; may be null
    IStateCacheL2Table* l2Table = nullptr;          // VTEPs and groups; may be null
    IStateCacheL3Table* l3Table = nullptr;          // the global routing domain; may be null
    MsgDispatcher* dispatcher = nullptr;            // registration as BFD; may be null
};

class BFDTableApp : public SCConfigTableObserver,
                    public SCL2TableObserver,
                    public ozy::RefCounted<BFDTableApp, Component> {
  public:
    static constexpr const char* kName = "BFDTableApp";
    // Activeness protocol of the VTEP groups that take part (MBR_VTEP_BFD).
    static constexpr uint32_t kMbrVtepBfd = 1;

    explicit BFDTableApp(BFDTableAppOptions options);
    ~BFDTableApp() override;
    BFDTableApp(const BFDTableApp&) = delete;
    BFDTableApp& operator=(const BFDTableApp&) = delete;

    // Registers with the stores, the dispatcher and L2App, and derives what the stores hold.
    void Start();
    void Stop();

    // Component BFD: BFD_GLOBAL_CONFIG gives the EVPN BFD item; any other type LCP02203.
    void UpdateDesiredState(const CairnDBUpdateList& objects, bool fullSync) override;
    // LOG_SWITCH_CONFIG (VNI, routing domain, EVPN mode) and TRANSPORT_NODE_CONFIG (the BFD
    // settings of its transport switches).
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;
    void ProcessL2DesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;
    void ProcessL2RuntimeStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;
    // Each list as an update of its own, then one recomputation (a learned burst's lists are not
    // joined).
    void ProcessL2RuntimeStateBatch(const std::vector<CairnDBUpdateList>& lists) override;

    // L2App's hooks (also called by tests).
    void OnVniJoin(uint32_t vni, uint32_t switchId, bool joined);
    void SyncToDataplane();

    // One reference of a session: op 0 adds, anything else deletes. False when refused (mixed
    // families) or, for a delete, when the table lacks the reference (LCP00007).
    bool UpdateBFDTable(const BfdSessionKey& key, int op, const BfdReference& ref, uint32_t vni);

    // ---- state (take the global agent lock) ----
    // "cfgagent/bfd": the table with its references, and the dataplane sessions.
    std::string TableJson() const;
    size_t EntryCount() const;
    size_t ReferenceCount() const;
    size_t DataplaneSessionCount() const;
    size_t SentSessionCount() const;
    // Does the logical switch run EVPN (LS_EVPN_MODE non-zero)?
    bool IsEVPNLogicalSwitch(const std::string& lsId) const;

  private:
    using Vtep = BfdWantedSet::Vtep;
    // A dataplane session: the VNI and the entry it is keyed by (with the switch ID).
    struct DpKey {
        uint32_t vni = 0;
        std::array<uint8_t, 57> entry{};
        bool operator<(const DpKey& o) const {
            return vni != o.vni ? vni < o.vni : entry < o.entry;
        }
    };
    struct DpSession {
        uint32_t refs = 0;
        bool sent = false;  // the dataplane holds it in this L2 session
        uint32_t switchId = 0;
    };
    // Derivation (BFDTableAppDerive.cc).
    void Recompute(const std::string& lsId);
    void RecomputeAll();
    void RecomputeDirty();
    // Marks the switches whose runtime VTEPs or objects `updates` change.
    void MarkRuntimeChanges(const CairnDBUpdateList& updates);
    // The references switch `lsId` wants now, and the VTEP group labels its FIB names.
    void Derive(const std::string& lsId, const std::string& rd, BfdWantedSet* out,
                std::set<uint32_t>* labels) const;
    std::vector<Vtep> Vteps(bool runtime, ObjectType type, const std::string& id,
                            bool* objectFound = nullptr) const;
    void DeriveGroup(const std::string& lsId, uint32_t label, const std::vector<Vtep>& local,
                     uint32_t vni, BfdWantedSet* out) const;
    // The routing domain of a switch as its configuration gives it ("" when none or invalid).
    std::string RoutingDomainOf(const std::string& lsId) const;
    std::string GlobalRoutingDomain() const;
    void UpdateRoutingDomainMap(const std::string& lsId, const std::string& rd, bool add);
    void UpdateGroupMap(const std::string& lsId, const std::set<uint32_t>& labels);
    // VTEP_GROUP records: the label index, and the switches of the labels touched marked dirty.
    void IndexGroupRecords(const CairnDBUpdateList& updates);
    void RebuildGroups();
    void MarkDomainSwitches(const std::string& rd);

    // Dataplane (BFDTableApp.cc).
    // One entry point's sending: the outermost one flushes the outbox when it returns.
    class Pass {
      public:
        explicit Pass(BFDTableApp& app) : app_(app) { ++app_.passDepth_; }
        ~Pass() {
            if (--app_.passDepth_ == 0)
                app_.Flush();
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

      private:
        BFDTableApp& app_;
    };
    DpKey DpKeyOf(const BfdSessionKey& key, const BfdReference& ref, uint32_t vni) const;
    void AddDataplaneRef(const BfdSessionKey& key, const BfdReference& ref, uint32_t vni);
    void DropDataplaneRef(const BfdSessionKey& key, const BfdReference& ref, uint32_t vni);
    // Puts the session's TLV in the outbox (false when its VNI is not joined or after Stop()).
    bool SendSession(const DpKey& key, DpSession& s, bool remove);
    // Sends the outbox as one Update; when refused, its adds are marked unsent.
    void Flush();
    void PushTransportNode(const std::string& body);
    void PushEvpn(const std::string& body);
    void SendConfigurations();

    BFDTableAppOptions options_;
    bool started_ = false;
    bool stopped_ = false;

    // Under the global agent lock.
    BFDTable table_;
    std::map<DpKey, DpSession> dpSessions_;
    // The session after the last one added: where the next add looks first (the sessions of a
    // switch come in key order). end() when unknown; reset when a session goes.
    std::map<DpKey, DpSession>::iterator dpNext_ = dpSessions_.end();
    std::vector<uint8_t> outbox_;  // session values (data type 11) end to end, in order
    size_t outboxLimit_ = 1;       // values per Update, taken when the outbox starts filling
    int passDepth_ = 0;
    size_t refused_ = 0;  // adds of refused Updates, for the resync's count
    std::map<std::string, std::set<std::string>> rdLSMap_;  // _rdLSMap: routing domain -> switches
    std::map<std::string, std::string> lsRd_;               // switch -> routing domain
    std::map<uint32_t, std::set<std::string>> vgLSMap_;     // _vgLSMap: group label -> switches
    std::map<std::string, std::set<uint32_t>> lsLabels_;    // switch -> group labels of its FIB
    std::map<uint32_t, std::string> groupIds_;              // TN VTEP group label -> VTEP_GROUP id
    std::map<std::string, uint32_t> groupLabels_;           // VTEP_GROUP id -> label
    std::set<std::string> dirty_;                           // switches to recompute
    std::map<std::string, std::vector<uint8_t>> bfdConfigs_;  // DVS UUID text -> item 8 value
    std::optional<std::vector<uint8_t>> evpnBfd_;             // item 9 value
};

}  // namespace CfgAgent

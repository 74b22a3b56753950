#pragma once
// CIFConfig: container interfaces (CIFs), the network interfaces of containers that run inside a
// VM and reach the switch through the VM's port on a VLAN.
//
// A CIF is a logical switch port whose attachment names a parent VIF (the host VM's VIF), a VLAN
// and a child port id ("<VM port UUID>_<index>"), with a unicast MAC among its address bindings.
// For each CIF whose host VIF is connected, CIFConfig
// - announces the child port to the DVS property engine (which computes its properties like any
//   port's, DFW excluded) and sends its deletion when the CIF goes, moves or loses its host;
// - sends its Container record, the list of every CIF the dataplane holds (ContainerList) and the
//   list of the CIFs behind each host VIF (Port ContainerList).
// A CIF whose host VIF is not connected waits; it is created when the VIF connects and its child
// port is removed again (the CIF waiting) when the VIF disconnects or goes away. A move deletes the
// old child port before the new one is created.
//
// Desired state: each batch names logical ports; CIFConfig reads each one's whole body from the
// configuration table and compares it with what it holds, so property records, entity deletes and
// full syncs are handled alike. A refused CIF (LCP00514) leaves what was there unchanged.
//
// Owned by ConfigApp, which calls every operation under the global agent lock. Nothing is sent
// before the dataplane session has had its full-state push (PushFullState), which sends all.
//
// It also feeds the container-interface bus (AttachConduit; CIFConfigConduit.cc): VIF attachment,
// connection and parent flag, the container-bus kernel NICs' addresses (polled while the virtual
// switch does not know them), and it programs the "ct-" port of each VIF the bus gives a LIP.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "apps/switching/CifSpans.h"
#include "apps/switching/IDVSPropConvertor.h"
#include "apps/switching/PackedId.h"
#include "dataplane/KcpWalk.h"
#include "intake/CairnDBUpdateMsg.h"
#include "runtime/RefCounted.h"

namespace boost::asio {
class io_context;
}
namespace ozy::Conduit {
class ConduitService;
}
namespace ozy::device {
class IKrnnicAddressQuery;
}
namespace orvane::ozy::cairndb {
class LogSwitchPortConfigMsg;
}

namespace CfgAgent {

template <typename T>
class AsyncTimer;
class CifConduitTarget;
class IConfigApp;
class IKCPMsgConvertor;
class IStateCacheConfigTable;

class CIFConfig {
  public:
    // One CIF as the configuration gives it and as it is realised.
    struct Cif {
        std::string cifId;        // the container's VIF id
        std::string hostVifId;    // the host VM's VIF
        std::string childPortId;  // "<VM port UUID>_<index>"
        std::string childLs;      // serialized id of the CIF's logical switch
        uint16_t vlan = 0;
        kcp::MacAddr mac{};
        std::vector<kcp::ContainerAddress> addresses;
        // Realised: the child port exists behind `vmPortId` (the host VIF's DVS port).
        bool connected = false;
        bool outOfSync = false;
        std::string vmPortId;
        // Covered by the firewall and service-insertion spans (CifSpans).
        bool inDfw = false;
        bool inSi = false;

        bool SameDesired(const Cif& o) const;
    };

    // How CIFConfig reaches the container-interface bus.
    struct ConduitOptions {
        ozy::Conduit::ConduitService* service = nullptr;
        ozy::device::IKrnnicAddressQuery* query = nullptr;
        // Where the LIP notices and the kernel-NIC poll run (ConfigApp's context).
        boost::asio::io_context* io = nullptr;
        std::chrono::milliseconds pollInterval{5000};
    };
    static constexpr const char* kPollIntervalKey = "features.conduit.krnnicPollMs";
    // The container-bus channel of this node, chosen by its transport node's type: a hypervisor
    // host (type 1) reaches the bus through the virtual switch's container-bus kernel NICs; other
    // node types have no channel here, nor a node without a transport node.
    enum class Channel { kNone, kKrnnic };
    static constexpr uint32_t kHostNodeType = 1;

    CIFConfig(IConfigApp* sender, IStateCacheConfigTable* table, IDVSPropConvertor* convertor);
    ~CIFConfig();
    CIFConfig(const CIFConfig&) = delete;
    CIFConfig& operator=(const CIFConfig&) = delete;

    void Stop();
    // Without it (tests of the CIFs alone) the bus is not fed.
    void AttachConduit(const ConduitOptions& options);

    // Dispatcher objects: CONTAINER and CONFIG_SPAN (the CIFs' span coverage),
    // TRANSPORT_NODE_CONFIG (the bus's channel), CONDUIT_CHANNEL_GLOBAL_CONFIG and
    // CONDUIT_CHANNEL_VIF_CONFIG.
    void UpdateDesiredState(const CairnDBUpdateList& objects, bool fullSync);
    // The bus's LIP notices (posted) and the kernel-NIC poll (timer); public for tests, callers
    // hold the global agent lock.
    void OnLip(const std::string& vif, uint32_t lip, int assigned);
    void OnKrnnicPoll();

    // The records of a desired-state batch (logical switch ports are looked at, the rest is not).
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync);
    // A VIF as the dataplane reported it; container VIFs themselves are not host VIFs. True when
    // child ports were announced (the engine's flush then sends their properties).
    bool HandleVifInfo(const DvsVifInfo& vif);
    // The dataplane lost the port of `vifId`: the CIFs behind it are sent again.
    void MarkHostVifOutOfSync(const std::string& vifId);
    // The dataplane asks for the container list of `vifId` (hopover).
    void SyncPortContainerList(const std::string& vifId);

    // Session events, in the order ConfigApp sees them.
    void ResetSyncState();
    void PushFullState();
    void OnDataplaneFullSyncDone();
    void OnDataplaneDisconnected();

    // "cfgagent/config/ciflist": one JSON object per CIF.
    std::string DumpCifs() const;
    // "cfgagent/config/conduitkrn": the engine's container-bus kernel NICs (`programmed`, its JSON
    // array) with their host switch, address, pool, used count, pending VIFs and LIPs.
    std::string DumpConduitKrnnics(const std::string& programmed) const;
    size_t CifCount() const { return cifs_.size(); }
    Channel ConduitChannel() const { return channel_; }
    const Cif* FindCif(const std::string& lspId) const;
    // Heap bytes of the CIFs and of the bus's view of the logical ports, for the memory section.
    size_t TableBytes() const;

  private:
    // A switch that logical ports with a VIF attachment are on: whether it was an overlay switch
    // when last looked at, and how many such ports it has.
    struct BusSwitch {
        bool overlay = false;
        size_t ports = 0;
    };
    // A logical port with a VIF attachment as the bus sees it. Its VIF is on the bus (attached)
    // only when the switch is an overlay switch; `vifId` is empty otherwise.
    struct BusPort {
        dvs::PackedId vifId;
        const std::string* switchId = nullptr;  // the key of its busSwitches_ entry
        bool parent = false;                    // its extra config makes the VIF a bus parent
    };
    using BusPortEntry = std::pair<const dvs::PackedId, BusPort>;
    // Orders pointers to ids by the ids; finds them by an id.
    struct PointeeOrder {
        using is_transparent = void;
        bool operator()(const dvs::PackedId* a, const dvs::PackedId* b) const { return *a < *b; }
        bool operator()(const dvs::PackedId* a, const dvs::PackedId& b) const { return *a < b; }
        bool operator()(const dvs::PackedId& a, const dvs::PackedId* b) const { return a < *b; }
    };
    struct KrnnicWait {
        std::string switchId;
        bool waiting = true;  // its address is not known yet (polled)
    };
    struct HostVif {
        dvs::PackedId portId;
        bool confirmed = true;  // reported in the current dataplane session
    };

    void Reevaluate(const std::string& lspId);
    // The CIF a logical port body describes; false when it is none (`isCif` false) or refused.
    bool ParseCif(const std::string& lspId, const orvane::ozy::cairndb::LogSwitchPortConfigMsg& m,
                  Cif* out) const;
    bool Conflicts(const std::string& lspId, const Cif& c) const;
    void UpdateCIFPort(const std::string& lspId, Cif desired);
    void DeleteCIFPort(const std::string& lspId);
    void Index(const std::string& lspId, const Cif& c, bool add);

    // Creates (or confirms) the child port when the host VIF is connected; the CIF is sent when
    // it is new there or `changed`.
    void Program(const std::string& lspId, Cif& c, bool changed);
    // Removes the child port; its deletion is sent with the next Flush.
    void Unprogram(const std::string& lspId, Cif& c);
    void HostVifGone(const std::string& vifId);
    // The logical ports of the CIFs behind `hostVifId` that have their child port.
    std::vector<std::string> ConnectedCifsOf(const std::string& hostVifId) const;

    // Changes are marked and sent once per entry point (Flush): port deletions, Container
    // records, the ContainerList, then the Port ContainerLists of the host VIFs concerned.
    // The span coverage of one CIF; true when it changed.
    bool Cover(Cif& c) const;
    void CoverAll();
    // The bus (CIFConfigConduit.cc).
    void DetachConduit();
    void UpdateConduitObjects(const CairnDBUpdateList& objects, bool fullSync);
    void UpdateChannel(const CairnDBUpdateList& nodes, bool fullSync);
    void UpdateBusPort(const std::string& lspId,
                       const orvane::ozy::cairndb::LogSwitchPortConfigMsg* m);
    // Whether the desired switch has a VNI (remembered for the switch's bus ports).
    bool IsOverlaySwitch(const std::string& switchId) const;
    // Takes the port out of attachedBy_ and out of its switch's count (the switch goes with its
    // last port); the entry itself stays.
    void UnindexBusPort(BusPortEntry& entry);
    // The logical ports to look at again: those on switches of `updates` that became, or stopped
    // being, overlay switches.
    void BusPortsOfChangedSwitches(const CairnDBUpdateList& updates, std::set<std::string>* lsps);
    void UpdateParentFlag(const std::string& vifId);
    void UpdateBusVif(const DvsVifInfo& vif);
    bool QueryKrnnic(const std::string& name);
    bool SendConduitPort(const std::string& portId);

    bool CanSend() const { return pushed_ && dpConnected_ && !stopped_; }
    void MarkSend(const std::string& lspId, const Cif& c);
    void Flush();
    bool SendContainerList();
    bool SendPortContainerList(const std::string& hostVifId);
    kcp::ContainerRecord Record(const Cif& c) const;

    IStateCacheConfigTable* table_;
    IDVSPropConvertor* convertor_;
    ozy::RefPtr<IKCPMsgConvertor> kcp_;

    std::map<std::string, Cif> cifs_;                          // by CIF logical port
    std::map<std::string, std::string> lspByCif_;              // CIF id -> logical port
    std::map<std::string, std::string> lspByChildPort_;        // child port -> logical port
    std::map<std::string, std::set<std::string>> lspsByHost_;  // host VIF -> logical ports
    std::map<dvs::PackedId, HostVif> hostVifs_;                // connected VIFs
    // To send at the next Flush.
    std::set<std::string> deletions_;   // child ports (kept while their deletion fails)
    std::set<std::string> records_;     // logical ports whose Container record is due
    std::set<std::string> dirtyHosts_;  // host VIFs whose Port ContainerList is due
    bool listDirty_ = false;
    CifSpans spans_;

    // The bus.
    ozy::Conduit::ConduitService* conduit_ = nullptr;
    ozy::device::IKrnnicAddressQuery* krnnicQuery_ = nullptr;
    std::chrono::milliseconds pollInterval_{5000};
    ozy::RefPtr<CifConduitTarget> conduitTarget_;
    std::shared_ptr<AsyncTimer<CifConduitTarget>> pollTimer_;
    bool pollArmed_ = false;
    int lipListener_ = 0;
    // Logical ports with a VIF attachment (overlay switch or not) by id, and their switches. A
    // port is one hash-table node of 80 bytes, its ids packed (their order matters nowhere; nodes
    // stay where they are, which attachedBy_ relies on); the ports of a switch whose overlay flag
    // changed are found by one walk of busPorts_ (a rare event), not by a per-switch index.
    std::unordered_map<dvs::PackedId, BusPort, dvs::PackedId::Hasher> busPorts_;
    std::map<std::string, BusSwitch> busSwitches_;
    // VIF on the bus -> the ports attaching it: pointers to busPorts_'s own VIF ids and to its
    // nodes (released before a VIF id changes or its node goes).
    std::multimap<const dvs::PackedId*, const BusPortEntry*, PointeeOrder> attachedBy_;
    std::map<std::string, bool> channelParent_;                // VIF -> CONDUIT_CHANNEL_VIF_CONFIG
    std::map<std::string, std::string> channelVifById_;        // its object id -> VIF
    std::map<std::string, KrnnicWait> krnnics_;                // connected kernel NICs
    std::map<std::string, uint32_t> conduitPorts_;             // "ct-" port -> LIP
    std::map<std::string, uint32_t> nodeTypes_;                // transport node -> its type
    Channel channel_ = Channel::kNone;
    bool pushed_ = false;
    bool dpConnected_ = true;
    bool stopped_ = false;
};

}  // namespace CfgAgent

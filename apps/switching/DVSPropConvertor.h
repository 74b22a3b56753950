#pragma once
// DVSPropConvertor: turns the desired state of logical switches and ports, the transport node,
// mirror sessions and global options into port, kernel-interface and switch properties of the
// distributed virtual switch, and sends them as KCP Updates through ConfigApp.
//
// Owned and driven by ConfigApp, which calls every operation under the global agent lock; the
// resync and hopover timers take the same lock. It never reads the database and never touches the
// kernel link: desired state arrives as configuration-table records (and is re-read from the table
// when a record only says that something went away), and every message leaves through
// KCPMsgConvertor and IConfigApp::SendKcpMessage.
//
// How it works: handlers only change the tables (DVSPropConvertorState.h) and mark the dataplane
// records they affect; Flush() then computes each marked record's desired properties, compares
// them with what the dataplane was last given in this session and sends the differences in one
// Update (removed properties as a DELETE element, new or changed ones as an UPDATE element).
// Desired-state batches are flushed once, by SendPortUnblockUpdate at the end of the batch; every
// other entry point flushes before it returns. A port carries the BLOCK property while any block
// cause holds (switch unknown or without VNI/VLAN, switch or port administratively down, switch
// security required but rejected, logical port detached) and UNBLOCK otherwise; UNBLOCK always
// travels last in its record, after the properties it guards. A send that fails drops what the
// dataplane is believed to hold for those records and queues them for the resync timer, which
// re-sends them whole (FULL SYNC).
//
// Timer intervals: the resync queue is drained 1 s after its first entry (out-of-sync reports come
// in bursts after a dataplane hiccup; one second merges a burst into one message while keeping
// the repair quick), the hopover queue 500 ms after its first entry (a migrating VM waits for it).
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "apps/switching/AppliedValues.h"
#include "apps/switching/DVSPropConvertorState.h"
#include "apps/switching/IDVSPropConvertor.h"
#include "apps/switching/TextIndex.h"
#include "runtime/RefCounted.h"

namespace boost::asio {
class io_context;
}
namespace ozy::device {
class IDeviceOpener;
}

namespace CfgAgent {

class IConfigApp;
class IKCPMsgConvertor;
class IStateCacheConfigTable;
template <typename T>
class AsyncTimer;
class DvsTimerTarget;
namespace kcp {
class KcpUpdateBuilder;
}

struct DVSPropConvertorOptions {
    // Where the timers run; null: the process io context.
    boost::asio::io_context* io = nullptr;
    // How devices are opened; null: the device sockets under the host root.
    ozy::device::IDeviceOpener* devices = nullptr;
    std::chrono::milliseconds resyncInterval{1000};
    std::chrono::milliseconds hopoverInterval{500};
};

class DVSPropConvertor : public IDVSPropConvertor {
  public:
    // `cache` may be null (then records that say something went away are taken at their word).
    DVSPropConvertor(IConfigApp* sender, IStateCacheConfigTable* cache,
                     DVSPropConvertorOptions options = {});
    ~DVSPropConvertor() override;
    DVSPropConvertor(const DVSPropConvertor&) = delete;
    DVSPropConvertor& operator=(const DVSPropConvertor&) = delete;

    void Init(const boost::property_tree::ptree& config) override;
    void Stop() override;

    void ProcessConfigPropertyUpdate(ObjectType type, const std::string& id, Operation op,
                                     PropertyType property, const std::string& value) override;
    void ProcessConfigEntityUpdate(ObjectType type, const std::string& id, Operation op) override;
    void HandleTransportNodes(const CairnDBUpdateList& updates, bool fullSync) override;
    void HandleConfigSpans(const CairnDBUpdateList& updates, bool fullSync) override;
    void HandleOffloadedHostSwitches(const CairnDBUpdateList& updates, bool fullSync) override;
    void HandleCcpSessions(const CairnDBUpdateList& updates, bool fullSync) override;
    void HandleGlobalConfigs(const CairnDBUpdateList& updates, bool fullSync) override;
    void SendPortUnblockUpdate(const std::set<std::string>& portIds,
                               const std::set<std::string>& switchIds) override;

    void ProcessVifInfoUpdate(const DvsVifInfo& vif) override;
    void AddUplink(const DvsUplink& uplink) override;
    void DeleteUplink(const DvsUplink& uplink) override;
    void ApplyFullSyncUplinks(const std::vector<DvsUplink>& uplinks) override;
    void MarkPortOutOfSync(const std::string& vifId) override;
    void MarkKrnnicOutOfSync(const std::string& krnnicName) override;
    void QueueHopoverSync(const std::string& vifId, uint16_t syncType) override;
    void RemoveFromHopoverSyncQueue(const std::string& portId) override;

    bool AnnounceChildPort(const DvsChildPort& child) override;
    void WithdrawChildPort(const std::string& portId) override;

    void UpdatePortIpfix(const PortValues& values) override;

    void ResetSyncState() override;
    void OnDataplaneFullSyncDone() override;
    void OnDataplaneDisconnected() override;
    void PushFullState() override;

    void OnDaemonHealthStateUpdate(bool connected) override;

    std::string DumpUplinks() const override;
    std::string DumpConduitKrnnics() const override;
    size_t TableBytes() const override;  // DVSPropConvertorMemory.cc

    // Timer callbacks (public so that tests can drain the queues without waiting); they expect
    // the global agent lock to be held.
    void OnResyncProperty();
    void OnHopoverSync();

    // Inspection for tests and diagnostics.
    bool HasPort(const std::string& portId) const {
        return ports_.count(dvs::PackedId(portId)) != 0;
    }
    std::set<dvs::BlockCause> PortCauses(const std::string& portId) const;
    size_t ResyncQueueSize() const {
        return resyncPorts_.size() + resyncKrnnics_.size() + resyncSwitches_.size();
    }
    size_t HopoverQueueSize() const { return hopoverQueue_.size(); }

  private:
    struct PropertyUpdate {
        ObjectType type;
        const std::string& id;
        Operation op;
        PropertyType property;
        const std::string& value;
        bool Deleted() const { return op == Operation::OPERATION_DELETE; }
    };
    using Handler = void (DVSPropConvertor::*)(const PropertyUpdate&);

    void BuildHandlerMap();

    // Logical switch properties (DVSPropConvertorSwitch.cc).
    void HandleLSVniUpdate(const PropertyUpdate& u);
    void HandleLSVlanUpdate(const PropertyUpdate& u);
    void HandleLSVlanTrunkUpdate(const PropertyUpdate& u);
    void HandleLSReplicationModeUpdate(const PropertyUpdate& u);
    void HandleLSAdminStateUpdate(const PropertyUpdate& u);
    void HandleLSTypeUpdate(const PropertyUpdate& u);
    void HandleLSAttachmentUpdate(const PropertyUpdate& u);
    void SegmentChanged(const std::string& lsId, bool hadSegment);
    void DeleteLogicalSwitch(const std::string& lsId);

    // Logical port properties (DVSPropConvertorPort.cc).
    void HandleLSPSwitchIdUpdate(const PropertyUpdate& u);
    void HandleLSPAttachmentUpdate(const PropertyUpdate& u);
    void HandleLSPIpDiscoveryUpdate(const PropertyUpdate& u);
    void HandleLSPAdminStateUpdate(const PropertyUpdate& u);
    void HandleLSPIsHyvKrnUpdate(const PropertyUpdate& u);
    void HandleLSPLatencyUpdate(const PropertyUpdate& u);
    void ApplyLatency(const std::string& lspId, const std::string& body);
    bool LatencyApplies(const std::string& portId, const dvs::PortState& port,
                        const dvs::LspState& l) const;
    void UnindexAttachment(const dvs::PackedId& lspId, const dvs::LspState& l);
    // Takes the logical port off its switch's list, and puts it on the list of `switchId`.
    void LeaveSwitch(dvs::LspEntry& lsp);
    void JoinSwitch(dvs::LspEntry& lsp, dvs::PackedId switchId);
    void DeleteLogicalPort(const std::string& lspId);

    // MAC management, QoS, switch security (DVSPropConvertorValidation.cc).
    void HandleMacManagementUpdate(const PropertyUpdate& u);
    void HandleLSPQosUpdate(const PropertyUpdate& u);
    void HandleLSPSwitchSecurityUpdate(const PropertyUpdate& u);

    // Extra configurations (DVSPropConvertorExtraConfig.cc).
    void HandleExtraConfigsUpdate(const PropertyUpdate& u);
    void LogGvmSkip(const std::string& lspId, const dvs::LspState& l) const;
    void AddExtraConfigProperties(const dvs::LspState& l, const dvs::SwitchState* s,
                                  dvs::PropSet& out) const;

    // Mirror sessions (DVSPropConvertorMirror.cc).
    void HandleMirrorSessionUpdate(const PropertyUpdate& u);
    void HandleLSPMirrorTargetsUpdate(const PropertyUpdate& u);
    void AddMirrorProperties(const dvs::PortState& port, const std::string& lspId,
                             const dvs::LspState& lsp, dvs::PropSet& out) const;
    void AddSwitchMirrorProperties(const std::string& switchId, dvs::PropSet& out) const;
    std::vector<uint8_t> MirrorValue(const std::string& sessionId, PropertyType kind,
                                     const dvs::MirrorKind& k, uint8_t type,
                                     const std::string& name) const;

    // Transport node, host switches, uplinks, global options (DVSPropConvertorHostSwitch.cc).
    void HandleTNTransportSwitchesUpdate(const PropertyUpdate& u);
    void HandleTNLabelUpdate(const PropertyUpdate& u);
    void RecomputeLabels();
    void HostSwitchesChanged();
    void UplinksChanged();
    bool IsOffloaded(const std::string& hostSwitch) const;
    bool CcpConnected() const;

    // Entity records and reconciliation with the configuration table (DVSPropConvertor.cc).
    void HandleWholeObject(ObjectType type, const std::string& id, Operation op,
                           const std::string* body);
    void RunReconciles();
    void Reconcile(ObjectType type, const std::string& id);
    void ReconcileAll();

    // Ports and their logical ports.
    dvs::LspState& Lsp(const std::string& lspId);
    dvs::SwitchState& Switch(const std::string& lsId);
    const dvs::LspState* FindLsp(const std::string& lspId) const;
    const dvs::SwitchState* FindSwitch(const std::string& lsId) const;
    // The logical port of a dataplane port, and the port of a logical port: the key in the other
    // table (null when none).
    const dvs::PackedId* LspKeyOfPort(const dvs::PackedId& portId,
                                      const dvs::PortState& port) const;
    const dvs::PackedId* PortKeyOfLsp(const dvs::PackedId& lspId) const;
    std::string LspOfPort(const dvs::PackedId& portId, const dvs::PortState& port) const;
    std::string PortOfLsp(const std::string& lspId) const;
    std::string PortOfVif(const std::string& vifId) const;
    static const dvs::PackedId& ChildPortId(const dvs::LspState& l);
    std::vector<std::string> ConnectedPortsOfSwitch(const std::string& lsId) const;
    void MarkLspDirty(const std::string& lspId);
    void MarkLspDirty(const dvs::PackedId& lspId);
    void MarkSwitchPortsDirty(const std::string& lsId);
    void MarkAllPortsDirty();
    dvs::BlockCauses CausesOf(const std::string& lspId) const;
    void RemovePort(const std::string& portId);

    // Desired properties and sending (DVSPropConvertorProperties.cc).
    // Also records the port's block causes and whether it ever had a logical port.
    dvs::PropSet DesiredPortProps(const std::string& portId, dvs::PortState& port);
    dvs::PropSet DesiredSwitchProps(const std::string& switchId) const;
    dvs::PropSet DesiredKrnnicProps(const std::string& name) const;
    std::set<std::string> DesiredSwitchIds() const;
    std::set<std::string> DesiredKrnnicNames() const;
    void Flush();
    void FlushPorts();
    void FlushSwitches();
    void FlushKrnnics();
    bool SendBuilder(const kcp::KcpUpdateBuilder& builder);
    size_t MaxMsgLength() const;

    // Resync, hopover, full-state push (DVSPropConvertorSync.cc).
    void QueueResyncPort(const std::string& portId);
    void StartResyncTimer();
    void StartHopoverTimer();
    // Sends the ports whole, in Updates of at most kPortsPerUpdate ports; the second form sends
    // portIds[from, to) as one Update.
    bool SendPortsWhole(const std::vector<std::string>& portIds, const char* what);
    bool SendPortsWhole(const std::vector<std::string>& portIds, size_t from, size_t to,
                        const char* what);
    bool SendSwitchesWhole(const std::vector<std::string>& switchIds);
    bool SendKrnnicsWhole(const std::vector<std::string>& names);

    // Devices (DVSPropConvertorDevices.cc).
    void ApplyFlowCacheSettings(const boost::property_tree::ptree& config);
    void ApplyVswitchSettings(const boost::property_tree::ptree& config);

    IConfigApp* sender_;
    IStateCacheConfigTable* cache_;
    DVSPropConvertorOptions options_;
    ozy::RefPtr<IKCPMsgConvertor> kcp_;
    std::map<PropertyType, Handler> _cfgUpdateHandlerMap;

    // Last value handled per object and property (op UPDATE), as a digest; reconciliation
    // compares the configuration table with it, and an unchanged value is not handled twice.
    dvs::AppliedValues applied_;
    std::set<std::pair<ObjectType, std::string>> pendingReconcile_;

    // Desired state.
    std::map<std::string, dvs::SwitchState> switches_;
    // Logical ports in a hash table (the order of logical ports matters nowhere): a node is 16
    // bytes less than a tree's, and nodes stay where they are, which the indexes and the
    // switches' lists rely on.
    std::unordered_map<dvs::PackedId, dvs::LspState, dvs::PackedId::Hasher> lsps_;
    // A logical port's DVS port id and VIF id -> the logical port (pointers into lsps_'s nodes).
    dvs::TextIndex lspByDvport_;
    dvs::TextIndex lspByVif_;
    // The switches that logical ports are on, each with the list of its ports (linked through
    // the ports' records, the latest first); a switch's entry goes with its last port.
    struct SwitchPorts {
        dvs::LspEntry* first = nullptr;
        size_t count = 0;
    };
    std::map<dvs::PackedId, SwitchPorts> lspsBySwitch_;
    // LS attachments: parent LS -> VLAN -> child LS.
    std::map<std::string, std::map<uint16_t, std::string>> childByParentVlan_;
    // Mirror sessions: session id -> property type -> kind.
    std::map<std::string, std::map<PropertyType, dvs::MirrorKind>> mirrors_;
    std::map<std::string, std::set<std::string>> mirrorTargetLsps_;  // session -> target ports
    // Transport nodes: TN id -> host switch id text -> host switch; the node's label.
    std::map<std::string, std::map<std::string, dvs::HostSwitch>> hostSwitches_;
    std::map<std::string, uint32_t> nodeLabels_;
    std::map<std::string, uint32_t> labels_;        // VTEP labels per kernel interface
    std::map<std::string, std::string> offloaded_;  // backing id -> host switch id text
    std::map<std::string, uint32_t> ccpSessions_;   // session id -> state
    bool databaseHealthy_ = true;
    std::map<std::string, std::string> globalOpaque_;  // supported opaque keys
    std::map<std::string, size_t> configSpans_;
    std::map<std::string, std::vector<uint8_t>> ipfix_;  // logical port -> "ipfix" value

    // Dataplane state.
    std::map<dvs::PackedId, dvs::PortState> ports_;
    dvs::TextIndex portByVif_;  // a port's VIF id -> the port (pointers into ports_'s nodes)
    std::set<std::string> conduitKrnnics_;
    std::map<std::string, dvs::Uplink> uplinks_;
    std::map<std::string, dvs::PropSet> installedSwitches_;
    std::map<std::string, dvs::PropSet> installedKrnnics_;
    std::set<std::string> dirtyPorts_;
    std::set<std::string> dirtySwitches_;
    std::set<std::string> dirtyKrnnics_;
    std::set<std::string> listedSwitches_;  // the switch list the dataplane was last given
    bool dpConnected_ = true;
    bool pushed_ = false;

    // Resync and hopover queues.
    std::set<std::string> resyncPorts_;
    std::set<std::string> resyncKrnnics_;
    std::set<std::string> resyncSwitches_;
    std::map<std::pair<std::string, std::string>, uint16_t> hopoverQueue_;  // (port, VIF) -> flags
    ozy::RefPtr<DvsTimerTarget> timerTarget_;
    std::shared_ptr<AsyncTimer<DvsTimerTarget>> resyncTimer_;
    std::shared_ptr<AsyncTimer<DvsTimerTarget>> hopoverTimer_;
    bool resyncArmed_ = false;
    bool hopoverArmed_ = false;
    bool stopped_ = false;
};

}  // namespace CfgAgent

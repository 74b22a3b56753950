#pragma once
// What ConfigApp asks of the DVS property conversion engine. ConfigApp owns it, calls every
// operation under the global agent lock, and hands it desired-state changes, VIF reports from the
// dataplane and session events; the engine answers with KCP property messages sent through
// ConfigApp (IConfigApp::SendKcpMessage).
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

// One VIF as the dataplane reported it (a record of a KCP VIF Update).
struct DvsVifInfo {
    std::string vifId;
    std::string portId;    // DVS port ID
    std::string switchId;  // DVS (SWX) ID
    std::string parentVifId;
    uint8_t vifType =
        0;  // KCP VIF type: 1 VNIC, 2 krnnic, 3 container, 4 CRX port, 5 SR-IOV, 6 DVPG port
    bool smartNic = false;
    bool hopover = false;
    bool connected = false;  // status CONNECT
    bool deleted = false;    // operation DELETE
    std::vector<std::string> macs;
};

// An uplink as the dataplane reported it.
struct DvsUplink {
    std::string vifId;
    std::string portId;
    std::string alias;
    std::string switchId;
    bool operator<(const DvsUplink& o) const { return vifId < o.vifId; }
};

// The child port of a container interface, as CIFConfig (its owner) announces it: the port's id,
// the CIF's logical port and VIF, and the host VM's VIF it hangs off.
struct DvsChildPort {
    std::string portId;
    std::string cifLspId;
    std::string cifVifId;
    std::string parentVifId;
};

class IDVSPropConvertor {
  public:
    virtual ~IDVSPropConvertor() = default;

    // "DVSPropConvertor start": flow-cache and netqueue settings from the application subtree.
    virtual void Init(const boost::property_tree::ptree& config) = 0;
    virtual void Stop() = 0;

    // Desired state (configuration-table observer records and dispatcher object lists). A record
    // of one property with op Delete and no value is the removal of that property; it may come to
    // ProcessConfigPropertyUpdate (with the empty value) or, like records without a value, to
    // ProcessConfigEntityUpdate, which then tells it from the removal of the whole object by
    // asking the configuration table once the batch is in.
    virtual void ProcessConfigPropertyUpdate(ObjectType type, const std::string& id, Operation op,
                                             PropertyType property, const std::string& value) = 0;
    virtual void ProcessConfigEntityUpdate(ObjectType type, const std::string& id,
                                           Operation op) = 0;
    virtual void HandleTransportNodes(const CairnDBUpdateList& updates, bool fullSync) = 0;
    virtual void HandleConfigSpans(const CairnDBUpdateList& updates, bool fullSync) = 0;
    virtual void HandleOffloadedHostSwitches(const CairnDBUpdateList& updates, bool fullSync) = 0;
    virtual void HandleCcpSessions(const CairnDBUpdateList& updates, bool fullSync) = 0;
    virtual void HandleGlobalConfigs(const CairnDBUpdateList& updates, bool fullSync) = 0;
    // Re-evaluates blocking of the given ports (LSP ids) and of the ports on the given switches
    // (LS ids); sends UNBLOCK where every cause is cleared. Called once at the end of every
    // desired-state batch, also with empty sets: it sends everything the batch changed.
    virtual void SendPortUnblockUpdate(const std::set<std::string>& portIds,
                                       const std::set<std::string>& switchIds) = 0;

    // Dataplane reports.
    virtual void ProcessVifInfoUpdate(const DvsVifInfo& vif) = 0;
    virtual void AddUplink(const DvsUplink& uplink) = 0;
    virtual void DeleteUplink(const DvsUplink& uplink) = 0;
    // The uplinks a full sync reported: differences against the table are applied.
    virtual void ApplyFullSyncUplinks(const std::vector<DvsUplink>& uplinks) = 0;
    virtual void MarkPortOutOfSync(const std::string& vifId) = 0;
    virtual void MarkKrnnicOutOfSync(const std::string& krnnicName) = 0;
    virtual void QueueHopoverSync(const std::string& vifId, uint16_t syncType) = 0;
    virtual void RemoveFromHopoverSyncQueue(const std::string& portId) = 0;

    // Container child ports, created, moved and deleted by CIFConfig; the engine computes their
    // properties like any port's. An announce only marks the port: the properties go with the
    // next SendPortUnblockUpdate. False (logged) when the id belongs to another port. A withdraw
    // forgets the port without sending (CIFConfig sends its deletion).
    virtual bool AnnounceChildPort(const DvsChildPort& child) = 0;
    virtual void WithdrawChildPort(const std::string& portId) = 0;

    // IPFIX export (IpfixApp): the "ipfix" property value of logical ports by serialized id; an
    // empty value removes it. Kept apart from the rest of a logical port's state, so that a value
    // given before the port exists, or while it is deleted and created again, applies whenever
    // the port is programmed; full pushes and resyncs carry it. Flushes before it returns.
    using PortValues = std::vector<std::pair<std::string, std::vector<uint8_t>>>;
    virtual void UpdatePortIpfix(const PortValues& values) { (void)values; }

    // Session events.
    virtual void ResetSyncState() = 0;           // a new session starts its full sync
    virtual void OnDataplaneFullSyncDone() = 0;  // "Session Full Sync End" handled
    virtual void OnDataplaneDisconnected() = 0;
    // Sends the DVS list, the port list and every port's properties.
    virtual void PushFullState() = 0;

    virtual void OnDaemonHealthStateUpdate(bool connected) = 0;

    // Diagnostics (the CLI's "cfgagent/config/uplink" and "cfgagent/config/conduitkrn"): the
    // uplinks and the container-bus kernel interfaces the engine holds, as JSON arrays.
    virtual std::string DumpUplinks() const { return "[]"; }
    virtual std::string DumpConduitKrnnics() const { return "[]"; }
    // Heap bytes of the engine's per-object tables (an estimate in allocator chunks), for the
    // memory section.
    virtual size_t TableBytes() const { return 0; }
};

}  // namespace CfgAgent

#pragma once
// ConfigApp: the host-switch control session with the dataplane (KCP) and the switching desired
// state.
//
// It owns:
// - the KCP kernel link (key "krnlink.path", 10240-byte buffers) and the KCP session: a Session
//   Open with a new process-wide session ID on every link-up, DP out-of-sync report and simulated
//   out-of-sync; Update messages are accepted once the dataplane acknowledged the open; the VIF
//   reports of the dataplane's full sync are collected and applied in one step at "Session Full
//   Sync End"; messages carrying another session ID are dropped (LCP00504);
// - the VIF state written to the configuration table's runtime store (VIF_STATE, merged with the
//   IP discovery bindings) and the hopover status records (HOPOVER_STATUS), which the expiry timer
//   removes kHopoverLifetimeSeconds after they were reported (checked every
//   kHopoverCheckIntervalMicros on the serial context);
// - the DVS property conversion engine (IDVSPropConvertor), which it feeds with desired state (as
//   configuration-table observer for switches, ports, transport nodes, mirror sessions and bridge
//   clusters, and as dispatcher component CONFIGAPP for transport nodes, SmartNIC backings,
//   configuration spans, controller sessions and global configuration), VIF reports and session
//   events, and whose full state it pushes after every (re)connection once desired state exists;
// - CIFConfig, the container interfaces and their child ports (fed with the logical ports of each
//   desired-state batch, the VIF reports and the session events; its CIFs in
//   "cfgagent/config/ciflist");
// - IpDiscovery (the discovered bindings and the switch-security link) and, when the key
//   "features.healthMonitor.enabled" is true, the DaemonHealthMonitor.
//
// Threads: the link's receive and status handlers run on the link's threads, the desired-state
// operations on the dispatcher's thread, the CLI hook on the CLI thread, the timers on io threads.
// Every one of them takes the global agent lock before touching the state below or calling the
// engine or IpDiscovery. Bad input from the dataplane is logged with its code and dropped; it
// never reaches the tables.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "apps/switching/IDVSPropConvertor.h"
#include "apps/switching/IpDiscovery.h"
#include "apps/switching/VifState.h"
#include "apps/switching/VifStateTable.h"
#include "dataplane/IConfigApp.h"
#include "dataplane/KrnlinkFactory.h"
#include "intake/Component.h"
#include "runtime/AgentClock.h"
#include "runtime/RefCounted.h"
#include "statecache/SCConfigTableObserver.h"

namespace boost::asio {
class io_context;
}
namespace ozy::Conduit {
class ConduitService;
}
namespace ozy::device {
class IKrnnicAddressQuery;
}

namespace CfgAgent {

template <typename T>
class AsyncTimer;
class CIFConfig;
class CliPages;
class DaemonHealthMonitor;
class ICairndbClient;
class ICairndbLiveness;
class IStateCacheConfigTable;
class MsgDispatcher;

namespace kcp {
struct KcpMsgView;
}

struct ConfigAppOptions {
    IStateCacheConfigTable* configTable = nullptr;  // required
    MsgDispatcher* dispatcher = nullptr;            // registration as CONFIGAPP; may be null
    ICairndbClient* cairndb = nullptr;              // IpDiscovery's DA_VIF lookups; may be null
    ozy::upm::UPMService* upm = nullptr;            // IpDiscovery's profiles; may be null
    ICairndbLiveness* liveness = nullptr;           // the health monitor's source; null: no monitor
    // Creates the DVS property conversion engine (required).
    std::function<std::unique_ptr<IDVSPropConvertor>(IConfigApp*)> makeConvertor;
    KrnlinkFactory makeLink;                           // default: the system's kernel links
    boost::asio::io_context* timerContext = nullptr;   // hopover expiry; default SerialContext()
    boost::asio::io_context* healthContext = nullptr;  // health monitor; default IoContext()
    int persona = 0;                                   // 0: the process's node persona
    // The container bus's kernel-NIC addresses; null: the virtual switch device.
    ozy::device::IKrnnicAddressQuery* krnnicQuery = nullptr;
};

class ConfigApp : public SCConfigTableObserver,
                  public ozy::RefCounted<ConfigApp, Component>,
                  public IConfigApp,
                  public IIpDiscoveryOwner {
  public:
    static constexpr int kLinkBufferSize = 10240;
    static constexpr const char* kLinkPathKey = "krnlink.path";
    static constexpr const char* kHealthMonitorKey = "features.healthMonitor.enabled";
    static constexpr uint64_t kHopoverCheckIntervalMicros = 30'000'000;
    static constexpr int64_t kHopoverLifetimeSeconds = 120;
    // Fragments of one Update kept at most (bytes, messages); more is dropped with LCP00508.
    static constexpr size_t kMaxFragmentBytes = 1u << 20;
    static constexpr size_t kMaxFragments = 256;

    enum SessionState : int {
        kSessionIdle = 0,
        kSessionOpenSent = 1,
        kSessionOpenAcked = 2,
        kSessionFullSyncEnded = 3,
    };

    explicit ConfigApp(ConfigAppOptions options);
    ~ConfigApp() override;
    ConfigApp(const ConfigApp&) = delete;
    ConfigApp& operator=(const ConfigApp&) = delete;

    // Start-up: IpDiscovery, the link, the observers, the dispatcher registration, the engine and
    // the health monitor, then the link is started. Throws (boost::property_tree::ptree_bad_path)
    // when a non-empty subtree lacks "krnlink.path".
    void Init(const boost::property_tree::ptree& config);
    // The post-start step: arms the hopover expiry timer on the timer context.
    void PostStart();
    void Stop();

    // ---- desired state ----
    // Configuration-table observer (switches, ports, transport nodes, mirror sessions, bridge
    // clusters).
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;
    // A full sync in parts (SCConfigTableObserver.h): each part's records go to the engine as they
    // come; the container interfaces, the unblocks and the push to the dataplane wait for the last
    // call, and see the whole full sync then.
    bool TakesDesiredFullSyncParts() const override { return true; }
    void ProcessConfigDesiredStateFullSyncPart(const CairnDBUpdateList& part, bool first) override;
    // Dispatcher component CONFIGAPP.
    void UpdateDesiredState(const CairnDBUpdateList& objects, bool fullSync) override;

    // ---- dataplane ----
    bool SendKcpMessage(DpMsg msg) override;
    void HandleKcpMessage(const uint8_t* msg, size_t length);
    void HandleLinkStatus(DataplaneLink* link, int status);
    // The CLI's "cfgagent/set-simulate/out-of-sync config": a DP Status OutOfSync notification.
    void SimulateOutOfSync();
    // Its CLI pages: the out-of-sync simulation, "cfgagent/config/uplink" and
    // "cfgagent/config/conduitkrn" answered from the conversion engine, "cfgagent/config/ciflist"
    // from CIFConfig.
    void RegisterCliPages(CliPages& pages);

    // ---- IP discovery, health, timers ----
    void OnIpDiscoveryReady(bool vifConnectionUpdate, const std::vector<IpDiscResult>& updates,
                            bool fullSync) override;
    void OnDaemonHealthChange(bool connected);
    void OnHopoverTimer();
    // "UP" or "DOWN" as the health monitor sees the database; "UNKNOWN" without a monitor.
    std::string CairndbConnectionStatus() const;

    // ---- state, for the CLI and tests (take the global agent lock) ----
    int sessionState() const;
    bool linkUp() const { return linkUp_.load(); }
    bool fullSyncDone() const;
    bool desiredStateSynced() const;
    bool ipDiscoveryFullSyncDone() const;
    size_t vifCount() const;
    size_t hopoverCount() const;
    size_t pendingFragments() const;
    // Heap bytes of the VIF tables and the conversion engine's tables (an estimate in allocator
    // chunks); listed in the memory section as "ConfigApp" while the application runs.
    size_t TableBytes() const;
    IpDiscovery* ipDiscovery() const { return ipDiscovery_.get(); }
    // The DVS property conversion engine (after Init); call it under the global agent lock.
    IDVSPropConvertor* convertor() const { return convertor_.get(); }
    CIFConfig* cifConfig() const { return cifConfig_.get(); }
    ozy::Conduit::ConduitService* conduit() const { return conduit_.get(); }

  private:
    // One VIF of a VIF Update, decoded.
    struct VifReport {
        kcp::VifRecord record;
        bool deleted = false;
        std::optional<uint8_t> status;
        bool hasMacs = false;
        std::vector<kcp::MacAddr> macs;
        bool hasBindings = false;
        std::vector<kcp::Binding> bindings;
    };
    struct HopoverEntry {
        HopoverStatusRecord record;
        AgentClock::time_point expiresAt;
    };

    // KCP (ConfigAppKcp.cc).
    void StartFullSync();
    // A DP OutOfSync report: a new session and the full state, unless a session is still opening
    // (Session Open sent, its full sync not ended), in which case one more follows that one.
    void ResyncAfterOutOfSync();
    void HandleSessionControl(const kcp::KcpMsgView& msg);
    void HandleDPUpdateMsg(const kcp::KcpMsgView& msg);
    // The elements of a complete Update from `firstTlv`.
    void ProcessUpdateElements(const uint8_t* msg, size_t firstTlv, size_t end);
    void ProcessJoinedFragments();
    void HandleNotification(const uint8_t* msg, size_t length);
    // Decodes one VIF record's properties; false (logged) when they do not fit.
    bool DecodeVifReport(const kcp::VifRecord& record, uint8_t op, VifReport* out);
    void ProcessVifReports(const std::vector<VifReport>& reports);
    void DropFragments(const std::string& why);

    // VIF state (ConfigAppVifState.cc).
    void UpdateVifInfo(const VifReport& report);
    void UpdateLocalState(const std::vector<VifReport>& reports);
    void UpdateUplink(const VifReport& report);
    VifStateRecord BuildVifState(const VifReport& report, const VifStateRecord* previous) const;
    void NoteHopover(const VifStateRecord& vif, bool left, CairnDBUpdateList* writes);
    void HandleFullSyncEnd();
    CairnDBUpdateMsg VifStateWrite(const VifStateRecord& vif) const;
    CairnDBUpdateMsg HopoverWrite(const HopoverStatusRecord& h) const;

    // Desired state (ConfigApp.cc).
    // What the parts of an open full sync leave for its last call.
    struct FullSyncParts {
        bool open = false;
        size_t records = 0;
        std::set<std::string> unblockPorts;
        std::set<std::string> unblockSwitches;
        // One record per object of the parts, without its body: the container interfaces look at
        // which objects a full sync has, not at their values.
        CairnDBUpdateList objects;
    };
    // Hands the records to the engine; the ports and switches to unblock are added to the sets.
    void ApplyDesiredRecords(const CairnDBUpdateList& updates, std::set<std::string>* unblockPorts,
                             std::set<std::string>* unblockSwitches);
    void PushFullState(const char* why);
    void DropMemoryAccount();

    ConfigAppOptions options_;
    IStateCacheConfigTable* configTable_;
    int persona_ = 0;

    std::unique_ptr<IDVSPropConvertor> convertor_;
    std::unique_ptr<ozy::Conduit::ConduitService> conduit_;
    std::unique_ptr<ozy::device::IKrnnicAddressQuery> krnnicQuery_;
    std::unique_ptr<CIFConfig> cifConfig_;  // uses convertor_, conduit_ and krnnicQuery_
    ozy::RefPtr<DaemonHealthMonitor> healthMonitor_;
    ozy::RefPtr<DataplaneLink> link_;
    ozy::RefPtr<IpDiscovery> ipDiscovery_;
    std::shared_ptr<AsyncTimer<ConfigApp>> hopoverTimer_;
    bool initialized_ = false;
    bool stopped_ = false;
    // The memory section's account and the object it reads (cleared under the global agent lock
    // when the application stops or goes, so that a report being made never reads a gone object).
    uint64_t memoryAccount_ = 0;
    std::shared_ptr<const ConfigApp*> accountTarget_;

    // Session and sync state (global agent lock).
    int sessionState_ = kSessionIdle;
    bool fullSyncDone_ = false;
    bool desiredStateSynced_ = false;
    FullSyncParts fullSyncParts_;
    bool ipDisFullSyncDone_ = false;
    // OutOfSync reported while a session was opening: resync once its full sync ends.
    bool resyncPending_ = false;
    std::atomic<bool> linkUp_{false};
    std::vector<DpMsg> fragments_;
    size_t fragmentBytes_ = 0;

    // Collected during the dataplane's full sync.
    std::vector<IpDiscVifUpdate> fullSyncIpDiscList_;
    std::vector<std::pair<VifStateRecord, bool>> fullSyncVifList_;  // (state, deleted)
    std::vector<DvsUplink> fullSyncUplinks_;

    // Runtime state by VifKey.
    VifStateTable vifStates_;
    std::map<std::string, HopoverEntry> hopover_;
};

}  // namespace CfgAgent

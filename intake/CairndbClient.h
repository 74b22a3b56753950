#pragma once
// CfgAgent::CairndbClient: the agent's single connection to the local configuration database.
//
// It owns the database client library object (and the UPM service built on it), subscribes to the
// configuration object types (the configuration monitor, id 101), has every changed object decoded
// into the pending batch, closes the batch at each database barrier (full sync or delta), merges
// cancelling L2/L3 records and queues the batch for the message dispatcher. Components write
// modify requests through write()/writeRuntime(); the writer work item submits them to the library.
// On a SmartNIC (persona 2) it follows the host switches offloaded onto the local SmartNIC,
// monitors the vdb it serves, publishes its runtime state only while active and acknowledges
// failovers. On a SmartNIC host (persona 1) updates, barriers and channel changes also go to the
// SmartNIC coordinator when one is attached.
//
// Threads: the library's callbacks (update, barrier, channel status) run on its io threads, one at
// a time, and take the global agent lock; the pending batch is touched only there. write(),
// writeRuntime(), setFullSyncDone() and mainVdbId() may be called from any thread. The writer loop
// runs on the work group and returns when stop() is called. Never call into the library while
// holding the client's runtime mutex.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "intake/Decoder.h"
#include "intake/ICairndbClient.h"
#include "intake/PendingBatch.h"
#include "runtime/RefCounted.h"

namespace orvane::ozy::cairndb {
class MonitorUpdateMsg;
class ModifyRequestMsg;
class MonitorStatementMsg;
class ProcessedBarrierMsg;
class RuntimeStatusMsg;
}  // namespace orvane::ozy::cairndb

namespace ozy {
class AsioOzyProvider;
namespace cairndb {
class CairnDbClientInterface;
}
namespace upm {
class UPMService;
}
}  // namespace ozy

namespace CfgAgent {

class ISmartNicCoordinator;

// The runtime side of the state cache, read back when a SmartNIC becomes active for its vdb.
struct RuntimeStateSource {
    // VIF_STATE and HOPOVER_STATUS records (whole objects and properties).
    std::function<CairnDBUpdateList()> configRuntime;
    // LOG_SWITCH_STATE and ROUTING_DOMAIN_VTEP records (whole objects and entries).
    std::function<CairnDBUpdateList()> l2Runtime;
};

struct CairndbClientOptions {
    // 1 SmartNIC host, 2 SmartNIC, 3 other; 0: read SNUtil::GetNodePersona().
    int persona = 0;
    // A library client to use instead of building one (tests); the endpoint is then unused.
    std::shared_ptr<ozy::cairndb::CairnDbClientInterface> library;
    // Platform provider whose io context runs the library client built here.
    ozy::AsioOzyProvider* provider = nullptr;
    // SmartNIC identity; empty: from SNUtil (persona 2 only).
    std::string localSnId;
    // Silence after which the library probes its database member; twice this and it moves on.
    std::chrono::milliseconds probeInterval{5000};
    // How long the writer waits for the writes before a reconciled full sync to be acknowledged,
    // and then for the stored rows (see CairndbClient::kReconcileMinPuts); the list is written as
    // it is when either takes longer.
    std::chrono::milliseconds reconcileWait{30000};
    // A full sync's configuration-cache records go to the dispatcher in parts of at least this
    // many as they are decoded, instead of all at the barrier (0: no parts).
    size_t fullSyncPartRecords = 32768;
    // How long the decoding waits for the dispatcher to take the parts before it goes on.
    std::chrono::milliseconds fullSyncPartWait{10000};
};

class CairndbClient : public ozy::RefCounted<CairndbClient, ozy::IRefCountable>,
                      public ICairndbClient {
  public:
    static constexpr uint32_t kMonitorId = 101;
    // The SmartNIC's own monitor of HOST_SWITCH_SMARTNIC_BACKING on vdb 1.
    static constexpr uint32_t kBackingMonitorId = 102;
    static constexpr uint16_t kHostVdb = 1;
    // A full-sync write of the configuration runtime state (a flush of VIF_STATE and
    // HOPOVER_STATUS, then a put of every object) with at least this many puts is written as its
    // differences from the stored rows, in lists of kReconcileChunk requests, once the writes
    // before it are acknowledged and the stored rows read (RuntimeReconcile.h); a shorter one, or
    // one that cannot be reconciled so, is written as it is.
    static constexpr size_t kReconcileMinPuts = 512;
    static constexpr size_t kReconcileChunk = 1024;
    // A full sync's parts queued and not yet taken by the dispatcher before the decoding waits:
    // the records in flight stay a few parts, whatever the size of the database.
    static constexpr size_t kQueuedParts = 2;

    CairndbClient(UpdateQueuePtr updateQueue, RuntimeStateSource runtime,
                  const CairndbClientOptions& options);
    ~CairndbClient() override;
    CairndbClient(const CairndbClient&) = delete;
    CairndbClient& operator=(const CairndbClient&) = delete;

    // Registers the monitors, starts the library and posts the writer on the process work group.
    // False when no library client exists (unknown persona).
    bool start();
    // Unregisters the configuration monitor and ends the writer loop.
    void stop();

    // ---- ICairndbClient ----
    // Queues a list of modify requests for the writer ("CairnDB write message ID %1").
    void write(const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& requests) override;
    // Runtime state of the state-cache observer (kind 1 configuration, 2 L2): to the SmartNIC
    // coordinator on a SmartNIC host when one is attached, only while active on a SmartNIC (kept
    // for the vdb while standby), directly elsewhere.
    void writeRuntime(std::vector<orvane::ozy::cairndb::ModifyRequestMsg> requests, int kind,
                      bool fullSync) override;
    // The observer's full sync with the dataplane is done (selector 1 configuration, 2 L2).
    void setFullSyncDone(bool fullSync, int selector) override;
    uint16_t mainVdbId() const override { return mainVdb_.load(std::memory_order_acquire); }
    // Reads one object through the library; kFailed when the channel is down.
    void getObject(ObjectType objectType, uint16_t vdb, const std::string& oid,
                   GetObjectCallback callback) override;
    // Realization reports (CairndbClientReports.cc): written to the main vdb, or kept until it
    // is known (SmartNIC before its backing arrives).
    bool reportProcessedBarrier(const orvane::ozy::cairndb::ProcessedBarrierMsg& report) override;
    bool reportRuntimeStatus(const orvane::ozy::cairndb::RuntimeStatusMsg& report) override;
    // Reports kept while the main vdb was unknown (tests, CLI).
    size_t CachedReportCount() const;

    void SetSmartNicCoordinator(ISmartNicCoordinator* coordinator) { coordinator_ = coordinator; }
    // The library session itself, for liveness checks (echo, last exchange); null when none.
    std::shared_ptr<ozy::cairndb::CairnDbClientInterface> library() const { return lib_; }
    // The profile service built on the library (started and stopped by start-up); null when
    // there is no library client.
    ozy::upm::UPMService* upm() const { return upm_.get(); }

    // ---- library callbacks (public for the library binding and tests) ----
    void MonitorUpdateCB(const orvane::ozy::cairndb::MonitorUpdateMsg& update);
    void MonitorBarrierCB();
    void ChannelStatusCB(bool up);
    void HyvioSmartnicMonitorUpdateCB(const orvane::ozy::cairndb::MonitorUpdateMsg& update);
    void HyvioSmartnicMonitorBarrierCB();

    // The writer work item's loop.
    void WriterLoop();

    // ---- state for the CLI, health and tests ----
    int persona() const { return persona_; }
    bool channelUp() const { return channelUp_.load(); }
    bool configFullSyncDone() const { return configFullSyncDone_.load(); }
    bool l2FullSyncDone() const { return l2FullSyncDone_.load(); }
    // Seconds since the epoch of the last barrier (0: none yet).
    int64_t lastBarrierTime() const { return barrierTime_.load(); }
    bool activeForMainVdb() const { return active_.load(); }
    bool writerRunning() const { return writerRunning_.load(); }
    // Full-sync runtime writes written as their differences from the stored rows.
    uint64_t reconciledWrites() const { return reconciled_.load(); }
    // Parts of full syncs sent before their barrier.
    uint64_t fullSyncParts() const { return partsSent_.load(); }
    // Whether an update of `type` is decoded and filed without the agent lock (callbacks only):
    // during a full sync that goes in parts, so that the decoding goes on while the dispatcher
    // applies a part (which holds the lock), on a node without a SmartNIC coordinator, and not for
    // a failover ack.
    bool FilesWithoutAgentLock(ObjectType type) const;
    const std::string& localSnId() const { return localSnId_; }
    // The next transaction id and write message id (process-wide counters that start at 1).
    static uint64_t NextTransactionId();
    static uint64_t NextWriteMessageId();
    // The statements of the configuration monitor, in order, for this client's persona.
    std::vector<orvane::ozy::cairndb::MonitorStatementMsg> ConfigStatements() const;

    // Removes pairs of cancelling records from the L2CACHE and L3CACHE lists (see
    // CairndbClientMerge.cc); on a delta a list that the merge empties is dropped from the batch.
    static void MergeCancellingRecords(ComponentUpdateMap& batch, bool fullSync);
    // Text forms for log lines: the UUID of a serialized UuidMsg, the data of a record.
    static std::string ObjectIdText(const std::string& id);
    static std::string RecordDataText(const CairnDBUpdateMsg& rec);

  private:
    // A host switch offloaded onto the local SmartNIC: its vdb and whether the SmartNIC is active.
    struct ServedSwitch {
        uint16_t vdb = 0;
        bool active = false;
    };

    void init(const CairndbClientOptions& options);
    bool RegisterMonitorCB(uint16_t vdb);
    bool UnregisterMonitorCB(uint16_t vdb);
    bool RegisterBackingMonitor();
    // Closes the pending batch; a full sync only when `mayBeFullSync`.
    void RunBarrier(bool mayBeFullSync);
    // During a full sync, sends the configuration-cache records decoded so far as a part once
    // they are fullSyncPartRecords or more.
    void MaybeSendFullSyncPart();
    // The full sync whose parts were sent will not end (the channel went down, another vdb is
    // monitored): its transaction id is used up, so that the next full sync is told apart.
    void AbandonFullSyncParts(const char* why);
    void RevertUPMContainerMapping(const ComponentUpdateMap& batch);
    void submit(std::vector<orvane::ozy::cairndb::ModifyRequestMsg> requests, uint64_t id);
    // Queues a list for the writer; `reconcile`: a full-sync list of the configuration runtime
    // state (see kReconcileMinPuts).
    void queueWrite(std::vector<orvane::ozy::cairndb::ModifyRequestMsg> requests, bool reconcile);
    // Writer: writes `requests` as their differences from the stored rows; false (nothing
    // written, `requests` untouched) when they must be written as they are.
    bool WriteReconciled(std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& requests,
                         uint64_t id);

    // SmartNIC (CairndbClientSmartNic.cc).
    void ProcessBackingMessage(const orvane::ozy::cairndb::MonitorUpdateMsg& update);
    void ProcessFailoverAck(const orvane::ozy::cairndb::MonitorUpdateMsg& update);
    void ClearBacking();
    void BecomeActive(const std::string& hostSwitch);
    void WriteFailoverAck(bool put, const std::string& hostSwitchId, const std::string& message);
    void RepublishRuntimeState();
    void SendBackingToL2App(const orvane::ozy::cairndb::MonitorUpdateMsg& update, bool clear);
    // Writes the reports kept while the main vdb was unknown.
    void FlushCachedReports();

    std::shared_ptr<ozy::cairndb::CairnDbClientInterface> lib_;
    std::unique_ptr<ozy::upm::UPMService> upm_;
    UpdateQueuePtr updateQueue_;
    WriteQueuePtr writeQueue_;
    RuntimeStateSource runtime_;
    ISmartNicCoordinator* coordinator_ = nullptr;
    int persona_ = 3;
    std::string localSnId_;

    std::atomic<bool> channelUp_{false};
    bool fullSyncSeen_ = false;  // callbacks only
    bool partsOpen_ = false;     // callbacks only: parts of the coming full sync were sent
    std::atomic<uint64_t> partsSent_{0};
    std::atomic<uint16_t> mainVdb_{0};
    std::atomic<bool> active_{false};
    std::atomic<bool> configFullSyncDone_{false};
    std::atomic<bool> l2FullSyncDone_{false};
    std::atomic<int64_t> barrierTime_{0};
    std::atomic<bool> started_{false};
    std::atomic<bool> writerRunning_{false};
    std::atomic<uint64_t> reconciled_{0};

    // The writer's lists in the library not yet acknowledged, the write ids to reconcile, and
    // the reads the writer waits for (shared with the library's callbacks, which may outlive the
    // client).
    struct WriterSync {
        std::mutex mutex;
        std::condition_variable changed;
        size_t inFlight = 0;
        bool stopping = false;
        std::set<uint64_t> reconcile;
    };
    std::shared_ptr<WriterSync> writerSync_;
    std::chrono::milliseconds reconcileWait_{30000};
    // A full sync's parts: their size in records (0: none) and the decoding's wait for them.
    size_t partRecords_ = 0;
    std::chrono::milliseconds partWait_{10000};

    // The pending batch and its decoding scratch (library callbacks only).
    PendingBatch pending_;
    DecodeResult decoded_;

    // SmartNIC: cached backing updates until their barrier, the switches served, and runtime
    // writes made while standby (guarded by runtimeMutex_).
    std::vector<std::string> backingCache_;
    std::map<std::string, ServedSwitch> servedSwitches_;  // by host switch id (text)
    std::mutex runtimeMutex_;
    std::map<uint16_t, std::vector<orvane::ozy::cairndb::ModifyRequestMsg>> runtimeQueue_;

    // Realization reports kept until the main vdb is known: the serialized latest report per
    // vertical and per component (guarded by reportMutex_).
    mutable std::mutex reportMutex_;
    std::map<uint32_t, std::string> cachedBarriers_;
    std::map<uint32_t, std::string> cachedStatus_;
};

}  // namespace CfgAgent

#pragma once
// CfgAgent::SmartNic: the SmartNIC coordinator of a SmartNIC host (node persona 1).
//
// It sits beside the CairndbClient, which hands it every decoded configuration update, every
// barrier and every channel change (ISmartNicCoordinator). It follows the SmartNIC backing of the
// host's switches (HOST_SWITCH_SMARTNIC_BACKING, cached during the transaction and applied at its
// barrier, before the Demux's barrier) in the SmartNIC table, binds each backing's vdb to its host
// switch in the Demux, and opens one monitor per bound vdb for the runtime state that the SmartNIC
// agents write there (VIF_STATE, HOPOVER_STATUS, LOG_SWITCH_STATE, ROUTING_DOMAIN_VTEP,
// PROCESSED_BARRIER, RUNTIME_STATUS, SI_SERVICE_VM_STATUS). Those updates go to the Mux (or to a
// sink a test sets), which also takes the host's own runtime state and merges both into vdb 1,
// and hands each vdb's realization reports to realization tracking (Rtf): the Demux hands it
// every barrier with the vdbs it went to, the host's verticals report to it (ReportLocal...),
// bound and unbound vdbs join and leave it.
//
// Threads: the client's calls arrive on the database library's thread with the global agent lock
// held; the per-vdb monitor callbacks arrive on the library's thread too and may call back in; the
// CLI reads the dumps from its own thread. One recursive mutex guards the coordinator's state.
// Log prefix "SmartNic:".
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "intake/Demux.h"
#include "intake/ISmartNicCoordinator.h"
#include "intake/Mux.h"
#include "intake/Rtf.h"
#include "intake/SNTable.h"
#include "runtime/RefCounted.h"

namespace orvane::ozy::cairndb {
class MonitorStatementMsg;
}
namespace ozy::cairndb {
class CairnDbClientInterface;
}

namespace CfgAgent {

class ICairndbClient;

class SmartNic : public ozy::RefCounted<SmartNic, ozy::IRefCountable>, public ISmartNicCoordinator {
  public:
    // The per-vdb runtime monitors (101: the configuration monitor, 102: a SmartNIC's backing
    // monitor).
    static constexpr uint32_t kVdbMonitorId = 103;

    // Where the runtime updates of the SmartNIC vdbs go instead of the Mux (tests).
    struct VdbSink {
        std::function<void(uint16_t vdb, const orvane::ozy::cairndb::MonitorUpdateMsg&)> update;
        std::function<void(uint16_t vdb)> barrier;
    };
    struct VdbStats {
        uint64_t updates = 0;
        uint64_t barriers = 0;
    };

    // `writer` takes the Demux's request lists (and, for now, the host's own runtime state);
    // `library` opens the per-vdb monitors. Both outlive the coordinator's Stop().
    SmartNic(ICairndbClient* writer, std::shared_ptr<ozy::cairndb::CairnDbClientInterface> library);
    ~SmartNic() override;
    SmartNic(const SmartNic&) = delete;
    SmartNic& operator=(const SmartNic&) = delete;

    // Closes every vdb monitor; later calls change nothing. Called after the client has stopped.
    void Stop();

    // ---- ISmartNicCoordinator ----
    void OnConfigUpdate(const orvane::ozy::cairndb::MonitorUpdateMsg& update,
                        DemuxRoute route) override;
    void OnBarrier(bool fullSync) override;
    void OnChannelStatus(bool up) override;
    void WriteLocalRuntime(const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& requests,
                           int kind, bool fullSync) override;
    bool ReportLocalProcessedBarrier(
        const orvane::ozy::cairndb::ProcessedBarrierMsg& report) override;
    bool ReportLocalRuntimeStatus(const orvane::ozy::cairndb::RuntimeStatusMsg& report) override;

    void SetVdbSink(VdbSink sink);
    // The statements of a vdb's runtime monitor, in order.
    static std::vector<orvane::ozy::cairndb::MonitorStatementMsg> RuntimeStatements();

    Demux& demux() { return *demux_; }
    const Demux& demux() const { return *demux_; }
    Rtf& rtf() { return *rtf_; }
    const Rtf& rtf() const { return *rtf_; }
    Mux& mux() { return *mux_; }
    const Mux& mux() const { return *mux_; }
    const SNTable& table() const { return table_; }
    std::set<uint16_t> MonitoredVdbs() const;
    std::map<uint16_t, VdbStats> Stats() const;

    // ---- CLI dumps (JSON text; false and an error text for bad arguments) ----
    bool DemuxById(const std::string& vdb, const std::string& id, std::string* out) const;
    bool DemuxByType(const std::string& type, std::string* out) const;
    std::string DemuxInfo() const;
    std::string HostSwitchTable() const;

  private:
    void ProcessBacking(const std::string& serialized, bool fullSync);
    void Attach(uint16_t vdb, const std::string& hostSwitch);
    void Detach(uint16_t vdb, const std::string& hostSwitch);
    bool RegisterSmartNicMonitorCB(uint16_t vdb);
    void UnregisterSmartNicMonitorCB(uint16_t vdb);
    void OnVdbUpdate(uint16_t vdb, const orvane::ozy::cairndb::MonitorUpdateMsg& update);
    void OnVdbBarrier(uint16_t vdb);

    mutable std::recursive_mutex mutex_;
    ICairndbClient* writer_;
    std::shared_ptr<ozy::cairndb::CairnDbClientInterface> lib_;
    ozy::RefPtr<Demux> demux_;
    ozy::RefPtr<Mux> mux_;
    ozy::RefPtr<Rtf> rtf_;
    SNTable table_;
    std::vector<std::string> backingCache_;  // serialized updates until the barrier
    std::set<uint16_t> monitored_;
    std::map<uint16_t, VdbStats> stats_;
    VdbSink sink_;
    bool stopped_ = false;
};

}  // namespace CfgAgent

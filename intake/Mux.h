#pragma once
// CfgAgent::Mux: merges the runtime state that the SmartNIC agents write into their vdbs with the
// host's own runtime state, into the host's database (vdb 1). Owned by the SmartNIC coordinator
// of a SmartNIC host (node persona 1).
//
// Sources: one block per bound vdb (created at bind, destroyed at unbind), fed by the vdb's
// runtime monitor (updates cached until the vdb's barrier), and the host's own runtime lists
// (WriteLocalRuntime: the state-cache observer's requests, kind 1 configuration, 2 L2). Each
// source holds its objects of the four runtime types by (type, id) with the version (a Mux-wide
// sequence number) of their last change. What vdb 1 gets per (type, id):
//   VIF_STATE, HOPOVER_STATUS  the body of the source that changed it last; gone only when no
//                              source holds it any more (failover, migration);
//   LOG_SWITCH_STATE           the last changed body with the entries of every list merged
//                              across the sources (one switch on two SmartNICs, or on a SmartNIC
//                              and the host);
//   ROUTING_DOMAIN_VTEP        the union of the VTEP entries over all sources, deleted when empty.
// PROCESSED_BARRIER and RUNTIME_STATUS of a vdb go to the report hook (realization tracking) at
// the vdb's barrier; SI_SERVICE_VM_STATUS is forwarded to vdb 1 (a CLEAR as a delete).
//
// Full-sync gate: nothing merged is written until the host's database has delivered its full
// sync, the host's producers that run (SetLocalProducers) have written theirs, and every bound
// vdb has delivered its own; then one list with leading flushes of the four types and the whole
// merged state. After that every merged change is written as it arrives (only real differences).
// A vdb's full sync (its first barrier after binding or after the channel came up) replaces what
// the vdb held; unbinding a vdb withdraws its contributions.
//
// Threads: the per-vdb monitor callbacks (database library thread), the coordinator's calls and
// WriteLocalRuntime (dispatcher thread) and the CLI dumps; one recursive mutex guards everything.
// Writes only queue lists on the writer. Log prefix "Mux:".
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "intake/CfgTypes.h"
#include "runtime/RefCounted.h"

namespace orvane::ozy::cairndb {
class ModifyRequestMsg;
class MonitorUpdateMsg;
class PatchMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

class ICairndbClient;

class Mux : public ozy::RefCounted<Mux, ozy::IRefCountable> {
  public:
    // The host's own database: where the merged state goes, never a SmartNIC's vdb.
    static constexpr uint16_t kHostVdb = 1;

    // A vdb's realization reports of one transaction (PROCESSED_BARRIER, RUNTIME_STATUS), in the
    // order the monitor delivered them; `fullSync` for the vdb's full sync.
    using ReportHook =
        std::function<void(uint16_t vdb, bool fullSync,
                           const std::vector<const orvane::ozy::cairndb::MonitorUpdateMsg*>&)>;

    // `writer` takes the lists for vdb 1; it outlives the Mux.
    explicit Mux(ICairndbClient* writer);
    ~Mux() override;
    Mux(const Mux&) = delete;
    Mux& operator=(const Mux&) = delete;

    void SetReportHook(ReportHook hook);
    // Which producers of the host's own runtime state run (configuration: ConfigApp; L2: L2App):
    // the gate waits only for their full syncs. Both by default.
    void SetLocalProducers(bool config, bool l2);

    // ---- the coordinator ----
    // A vdb is bound (its monitor opened) / unbound (its last host switch left it). False for an
    // id that cannot be a SmartNIC's vdb (0 or the host's) or an unknown one.
    bool InitVdb(uint16_t vdb);
    bool DestroyVdb(uint16_t vdb);
    // The vdb monitor's callbacks.
    void OnVdbUpdate(uint16_t vdb, const orvane::ozy::cairndb::MonitorUpdateMsg& update);
    void OnVdbBarrier(uint16_t vdb);
    // The host database's full sync arrived (only the first one counts).
    void OnMainFullSync();
    // Channel down: every vdb's next barrier is its full sync again.
    void ChannelStatus(bool up);
    // The host's own runtime requests (kind 1 configuration, 2 L2); requests of other types are
    // written as they are.
    void WriteLocalRuntime(const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& requests,
                           int kind, bool fullSync);

    // ---- dumps and state (CLI, tests) ----
    // Text dumps: configuration runtime objects per source, L2 runtime objects per source, the
    // merged routing-domain VTEP lists.
    std::string DumpConfig() const;
    std::string DumpL2() const;
    std::string DumpGlobalVtep() const;
    bool GateOpen() const;
    std::set<uint16_t> Vdbs() const;
    // What vdb 1 holds from the Mux: serialized bodies by (type, serialized id).
    std::map<std::pair<ObjectType, std::string>, std::string> Written() const;

  private:
    using Key = std::pair<ObjectType, std::string>;  // type, serialized UuidMsg
    struct Held {
        std::string body;
        uint64_t version = 0;
    };
    using Store = std::map<Key, Held>;
    struct VdbBlock {
        Store objects;
        std::vector<orvane::ozy::cairndb::MonitorUpdateMsg> pending;
        bool fullSyncDone = false;
    };
    using Requests = std::vector<orvane::ozy::cairndb::ModifyRequestMsg>;
    using Reports = std::vector<const orvane::ozy::cairndb::MonitorUpdateMsg*>;

    void ApplyVdbUpdate(uint16_t vdb, const orvane::ozy::cairndb::MonitorUpdateMsg& update,
                        Store* store, Requests* forwards, Reports* reports);
    void ApplyLocalRequest(const orvane::ozy::cairndb::ModifyRequestMsg& request,
                           Requests* passThrough);
    bool ApplyLocalPatch(const orvane::ozy::cairndb::PatchMsg& patch);
    void Put(Store* store, const Key& key, std::string body, uint16_t vdb, uint32_t op);
    void Erase(Store* store, const Key& key);
    // The merged body of `key` over every source; false when it is to be absent from vdb 1.
    bool Merged(const Key& key, std::string* body) const;
    // Ends an input: opens the gate when it may (its list first), or appends the differences of
    // the changed keys; writes `out` when not empty.
    void Commit(Requests out);
    bool GateReady() const;
    void OpenGate(Requests* out);
    void Differences(Requests* out);
    std::string SourceDump(bool config) const;

    mutable std::recursive_mutex mutex_;
    ICairndbClient* writer_;
    ReportHook reportHook_;
    std::map<uint16_t, VdbBlock> vdbs_;
    Store local_;
    bool configProducer_ = true;
    bool l2Producer_ = true;
    bool localConfigDone_ = false;
    bool localL2Done_ = false;
    bool mainFullSync_ = false;
    bool gateOpen_ = false;
    uint32_t fullSyncVersion_ = 0;  // channel ups seen
    uint64_t version_ = 0;
    std::set<Key> dirty_;
    std::map<Key, std::string> written_;
};

}  // namespace CfgAgent

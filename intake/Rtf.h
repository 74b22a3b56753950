#pragma once
// CfgAgent::Rtf: realization tracking of a SmartNIC host (node persona 1), owned by the SmartNIC
// coordinator.
//
// The database puts numbered BARRIER objects into its stream; the Demux forwards each to the bound
// SmartNIC vdbs and hands it here with the vdbs it went to. Every realizing vertical (firewall 1,
// L3 3, IDS 10) reports the barrier it has realized as a PROCESSED_BARRIER and its realization
// errors as a RUNTIME_STATUS: on each SmartNIC into its vdb (the Mux hands them here), and on the
// host itself through the database client's report calls (HandleLocal...). Rtf writes a vertical's
// PROCESSED_BARRIER n into vdb 1 only when every participant of barrier n has realized it, and one
// RUNTIME_STATUS per component holding the errors of every participant.
//
// Rules, stated once:
// - Participants of (barrier n, vertical V): the vdbs n was forwarded to (bound when it arrived),
//   plus those bound since (each receives the barrier objects at its binding), less those unbound
//   since; plus the host (vdb 1) when V runs on the host (SetHostVerticals, or learned from the
//   host's first report of V).
// - A report of n from a participant counts for every pending barrier <= n (a vertical realizes
//   in order); its last reported number per vertical is kept as the participant's mark, so a
//   barrier that arrives again (a full sync of vdb 1) is complete as soon as the marks cover it.
// - Barriers complete in order per vertical: PROCESSED_BARRIER n says everything up to n is
//   realized, so n is written when it and every lower pending barrier are covered (with the rule
//   above, completing n completes the lower ones). Per vertical only numbers above the last one
//   written are written: out-of-order completion never moves the report backwards.
// - A barrier forwarded to no vdb is complete at once on the SmartNIC side (it still waits for the
//   host where V runs there).
// - A barrier is erased once every vertical seen so far has completed it; at most 100 are pending
//   (the lowest number goes first).
// - Unbinding a vdb (DeleteVdbId) drops it from every pending barrier, completes what only waited
//   for it, and rewrites the merged RUNTIME_STATUS without its errors.
// - A vdb's full sync drops that vdb's marks and errors, takes what the full sync delivers, then
//   rewrites the merged RUNTIME_STATUS of every component concerned.
// Bad input (a body that does not parse, no vertical, no barrier number, no component, a vdb that
// is not bound) is logged with LCP00028 and dropped.
//
// Threads: the Demux's barrier hook (database library thread), the Mux's per-vdb barriers (library
// threads), the host's verticals (their own threads) and the CLI call in; one recursive mutex
// guards everything. Writes are queued on the writer under that mutex (the writer only queues), so
// reports leave in the order they were decided. Rtf never calls back into its callers.
// Log prefix "RTF:".
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime/RefCounted.h"

namespace orvane::ozy::cairndb {
class ModifyRequestMsg;
class MonitorUpdateMsg;
class ProcessedBarrierMsg;
class RealizationErrorMsg;
class RuntimeStatusMsg;
}  // namespace orvane::ozy::cairndb

namespace CfgAgent {

class ICairndbClient;

class Rtf : public ozy::RefCounted<Rtf, ozy::IRefCountable> {
  public:
    // The realizing verticals and the application that runs each.
    static constexpr uint32_t kVerticalDfw = 1;   // "dfw"
    static constexpr uint32_t kVerticalL3 = 3;    // "vdrb"
    static constexpr uint32_t kVerticalIds = 10;  // "ids"
    // Pending barriers kept at most.
    static constexpr size_t kMaxReceivedBarriers = 100;
    // Distinct verticals and components tracked at most (a peer cannot grow the maps unbounded).
    static constexpr size_t kMaxIds = 64;
    // The host's own database; the host's reports count as this vdb's.
    static constexpr uint16_t kHostVdb = 1;

    // Vertical and component ids as the log lines and the dump print them.
    static const char* VerticalName(uint32_t vertical);
    static const char* ComponentName(uint32_t component);

    // `writer` takes the PROCESSED_BARRIER and RUNTIME_STATUS writes into vdb 1; it outlives Rtf.
    explicit Rtf(ICairndbClient* writer);
    ~Rtf() override;
    Rtf(const Rtf&) = delete;
    Rtf& operator=(const Rtf&) = delete;

    // ---- participants ----
    // The verticals that run on the host (from the enabled applications), before the first barrier.
    void SetHostVerticals(const std::set<uint32_t>& verticals);
    // A SmartNIC vdb is bound (its monitor opened): its reports are taken from now on, and the
    // pending barriers wait for it too.
    void AddVdbId(uint16_t vdb);
    // The vdb is unbound (its last host switch left it).
    void DeleteVdbId(uint16_t vdb);

    // ---- inputs ----
    // The Demux's barrier hook: a BARRIER body forwarded to `vdbs`.
    void UpdateCairndbBarrier(const std::string& body, const std::set<uint16_t>& vdbs);
    // A vdb's transaction closed: its PROCESSED_BARRIER and RUNTIME_STATUS updates as the vdb's
    // monitor delivered them, in order (other types are refused). With `fullSync` the vdb's marks
    // and errors are dropped first. Everything decided goes out as one write.
    void VdbBarrier(uint16_t vdb, bool fullSync,
                    const std::vector<const orvane::ozy::cairndb::MonitorUpdateMsg*>& updates);
    // One update of a vdb on its own (a delta transaction of one report).
    void UpdateFromVdb(uint16_t vdb, const orvane::ozy::cairndb::MonitorUpdateMsg& update);
    // The host's own verticals (the database client's report calls on a SmartNIC host). False when
    // the report is refused (logged).
    bool HandleLocalProcessedBarrierMsg(const orvane::ozy::cairndb::ProcessedBarrierMsg& report);
    bool HandleLocalRuntimeStatusMsg(const orvane::ozy::cairndb::RuntimeStatusMsg& report);

    // ---- inspection (CLI, tests) ----
    // The CLI's text: the header line and the sections ReceivedBarrierMap, ProcessedBarrierMap,
    // RuntimeErrorMap, then the marks and the last numbers written.
    std::string Dump() const;
    struct Info {
        std::map<uint64_t, std::set<uint16_t>> received;
        std::map<uint64_t, std::map<uint32_t, std::set<uint16_t>>> processed;
        // (component, vdb) -> number of errors kept.
        std::map<std::pair<uint32_t, uint16_t>, size_t> errors;
        // vertical -> last barrier number written.
        std::map<uint32_t, uint64_t> written;
        std::set<uint16_t> vdbs;
        std::set<uint32_t> hostVerticals;
    };
    Info GetInfo() const;

  private:
    using Requests = std::vector<orvane::ozy::cairndb::ModifyRequestMsg>;
    using VdbSet = std::set<uint16_t>;
    struct Errors {
        bool hasBarrier = false;
        uint64_t barrier = 0;
        std::vector<orvane::ozy::cairndb::RealizationErrorMsg> list;
    };

    // One report of a vdb (`out` collects writes, `touched` the components whose merged status
    // must be rewritten).
    void ApplyVdbUpdate(uint16_t vdb, const orvane::ozy::cairndb::MonitorUpdateMsg& update,
                        Requests* out, std::set<uint32_t>* touched);
    bool ProcessedBarrier(uint16_t vdb, uint32_t vertical, uint64_t barrier, Requests* out);
    void StoreErrors(uint32_t component, uint16_t vdb,
                     const orvane::ozy::cairndb::RuntimeStatusMsg& status);
    // Drops a participant's marks; its runtime errors (logged with `how`, the components recorded
    // in `touched` for their rewrite).
    void DropMarks(uint16_t vdb);
    void DropErrors(uint16_t vdb, const char* how, std::set<uint32_t>* touched);
    bool Track(std::set<uint32_t>* ids, uint32_t id, const char* what, uint16_t vdb);

    // The participants of (barrier, vertical).
    VdbSet Required(const VdbSet& forwarded, uint32_t vertical) const;
    // Completes what the marks cover for `vertical`, writing its highest newly complete barrier.
    // `byDelete`: the completion comes from a vdb's unbinding (its own log line).
    void Complete(uint32_t vertical, bool byDelete, Requests* out);
    // Whether every participant in `required` has realized (barrier, vertical).
    bool Covered(uint64_t barrier, uint32_t vertical, const VdbSet& required) const;
    void CompleteAll(bool byDelete, Requests* out);
    // Erases barriers that every known vertical has completed.
    void EraseCompleted();
    void Evict();
    void WriteStatus(uint32_t component, Requests* out) const;
    void Write(Requests* requests);

    mutable std::recursive_mutex mutex_;
    ICairndbClient* writer_;
    // barrier -> the vdbs it still waits for (those it was forwarded to, less the unbound).
    std::map<uint64_t, VdbSet> receivedBarrierMap_;
    // barrier -> vertical -> participants that have realized it (the host as vdb 1).
    std::map<uint64_t, std::map<uint32_t, VdbSet>> processedBarrierMap_;
    // (component, vdb) -> the errors last reported.
    std::map<std::pair<uint32_t, uint16_t>, Errors> runtimeErrorMap_;
    // (vertical, participant) -> the highest barrier number reported.
    std::map<std::pair<uint32_t, uint16_t>, uint64_t> marks_;
    // vertical -> the highest barrier number completed (and written).
    std::map<uint32_t, uint64_t> written_;
    std::set<uint32_t> verticals_;   // every vertical seen (host's and reported)
    std::set<uint32_t> components_;  // every component seen
    std::set<uint32_t> hostVerticals_;
    VdbSet vdbs_;  // bound SmartNIC vdbs
};

}  // namespace CfgAgent

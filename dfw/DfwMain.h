#pragma once
// The firewall's process loop. Owns the firewall-library handle, the converted configuration
// (DfwCache) and the filter repository, and turns the message cache's desired state into each
// filter's configuration.
//
// One pass (ProcessOnce), once the message cache has merged its first full sync (before that a
// wake-up does nothing and leaves every request owed): take the pending requests; take the message
// cache's snapshot, its change set and its barrier together; rebuild the cache beside the last good
// one when rules changed; clean the filters of disabled vifs; apply to every filter after a
// rebuild, to newly enabled filters, and to every filter when the feature flags or NTP changed;
// report RUNTIME_STATUS (when it changed) and the snapshot's barrier as PROCESSED_BARRIER. A failed
// build keeps the last good cache in use, its error in the status, and its changes pending until a
// build succeeds.
//
// Threads: the loop runs on its own work item and is the only writer of filter configuration.
// Notify and the requests may come from any thread; they take only `mutex_`, never across an
// apply. No lock (not the message cache's, not the global agent lock) is held while applying.
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

#include "dataplane/KrnlinkFactory.h"
#include "dfw/DfwCache.h"
#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwGlobalAddrSets.h"
#include "dfw/DfwMsgSnapshot.h"
#include "dfw/DfwSettings.h"
#include "dfw/DfwSpanConfig.h"
#include "runtime/RefCounted.h"

struct FW_Handle;

namespace ozy::metrics {
class Registry;
}
namespace ozy::monitoring {
class AlarmTable;
}
namespace ozy::upm {
class UPMService;
}

namespace CfgAgent {

class DfwAlarmReporter;
class DfwFilterConfig;
class DfwFilterFeature;
class DfwIpRepChunkList;
class DfwMetrics;
class DfwMsgCache;
class DfwNtpConfig;
class ICairndbClient;

class DfwMain : public ozy::RefCounted<DfwMain, ozy::IRefCountable> {
  public:
    static constexpr uint32_t kVerticalId = 1;
    static constexpr uint32_t kComponentId = 1;

    struct Options {
        DfwSettings settings;
        ICairndbClient* cairndb = nullptr;
        KrnlinkFactory links;  // the filter link; empty: none
        bool postLoop = true;  // false: tests call ProcessOnce themselves
        // The firewall's metrics ("dfw update counter", ...); optional.
        ozy::metrics::Registry* metrics = nullptr;
        // Seconds since the epoch (imported filters' timeout); empty: the system clock.
        std::function<uint64_t()> wallSeconds;
        // The table the alarm reporter records into; null: the process's.
        ozy::monitoring::AlarmTable* alarmTable = nullptr;
        // The profile service: with it, the per-port features (flood, timeout, DNS) follow their
        // profiles on every pass and the filter configuration profiles disable filters; without
        // it there are none.
        ozy::upm::UPMService* upm = nullptr;
    };
    // Counters of the passes (CLI and tests).
    struct Counters {
        uint64_t passes = 0;
        uint64_t builds = 0;
        uint64_t failedBuilds = 0;
        uint64_t applies = 0;
        uint64_t failedApplies = 0;
        uint64_t skippedApplies = 0;
        uint64_t unsyncedPasses = 0;  // wake-ups before the first full sync: nothing done
        uint64_t statusWrites = 0;
        uint64_t barrierWrites = 0;
        uint64_t lastPassMs = 0;
        uint64_t maxPassMs = 0;
    };

    DfwMain(ozy::RefPtr<DfwMsgCache> cache, Options options);
    ~DfwMain() override;

    // Initialises the library, starts the repository and posts the loop; false when it failed
    // (logged with LCP00002).
    bool Start();
    void Stop();
    void Run();
    // One pass on the calling thread.
    void ProcessOnce();

    // Wake-ups.
    void Notify();
    void RequestVif(const std::string& agent, const std::string& vif, const std::string& filter,
                    bool enable);
    void RequestCleanup(const std::string& agent, const std::string& filter);
    // The device may have restarted (the filter link came up): the include and exclude tables
    // are written again on the next pass.
    void RequestSpanResync();
    void SetNtpUp(bool up);

    // Called with the name of a point of the pass ("snapshot" once the snapshot is taken).
    void SetSyncPoint(std::function<void(const char*)> hook) { syncPoint_ = std::move(hook); }

    DfwFilterRepo* repo() const { return repo_.get(); }
    // The NTP checker; null with "default.skip_ntp_check" or before Start.
    DfwNtpConfig* ntp() const { return ntp_.get(); }
    // The alarm reporter (null before Start); the loop feeds it after each pass.
    DfwAlarmReporter* alarms() const { return alarms_.get(); }
    // The per-port metrics (null before Start); the loop feeds them after each apply and pass.
    DfwMetrics* lspMetrics() const { return lspMetrics_.get(); }
    // The per-port features (flood, timeout, DNS) and the filter configuration; empty and null
    // without the profile service, before Start and after Stop.
    std::vector<ozy::RefPtr<DfwFilterFeature>> features() const;
    ozy::RefPtr<DfwFilterConfig> filterConfig() const;
    Counters counters() const;
    // "dfw/vif": every filter with its vif, port and agent, as JSON text.
    std::string VifText() const;
    // "dfw/counters": the pass counters and the modes' summary line, as JSON text.
    std::string CountersText() const;
    // "dfw/rules VIF": the rule ids of the vif's firewall filter in order (layer 3, then layer 2)
    // as JSON text; false with `text` saying why when there is no such filter or no rules yet.
    bool RulesText(const std::string& vif, std::string* text) const;
    // "dfw/exclude [si]": the agent's exclusion list and exclude table as last synced, as JSON.
    std::string ExcludeText(bool serviceInsertion) const;
    // "dfw/ipreputation [ADDR]": the IP-reputation chunks as last synced (DfwIpRepChunkList).
    bool ChunksText(const std::string& address, std::string* text) const;

  private:
    struct FilterState {
        // What the last successful apply left: its configuration (by hash), the address-set
        // mode, and the filter holding the two root rule sets and `left` (null in global mode:
        // none). An apply of the same configuration to a filter holding just that is skipped.
        bool applied = false;
        uint64_t configHash = 0;
        bool globalMode = false;
        std::shared_ptr<const DfwCache::Objects> left;
        uint32_t status = 0;
        size_t l3Rules = 0, l2Rules = 0;
        int fastPath = -1;  // the fast-path mode set on the filter; -1 not known
        int shared = -1;    // shared address-set mode set on the filter; -1 not known
        // The filter's own address sets and containers as its last successful apply left them
        // (by name, with content hashes); null when not known for sure (never applied here, a
        // failure, global mode, an import, a device that may be new): the next apply sends all.
        std::shared_ptr<const DfwCache::Objects> objects;
        // The library's token of the filter's names right after the last successful apply here
        // (FW_GetNamesToken; 0 none): while it is unchanged the filter holds the two root rule
        // sets and `left`'s names, and they are not listed again.
        uint64_t namesToken = 0;
    };
    struct Pending {
        std::map<std::string, std::string> enable, disable;  // vif to filter name
        std::map<std::string, std::string> siEnable, siDisable;
        std::vector<std::pair<std::string, std::string>> cleanups;  // agent, filter
        std::map<std::string, std::string>
            added;  // firewall vifs asked to enable, for the features
        bool ntpChanged = false;
        bool spanResync = false;
    };

    // Applies the cache's configuration to one filter; the realization error code (0 success).
    // The time-based sections its configuration leaves out go to heldByFilter_.
    uint32_t ApplyFilter(const std::string& agent, const std::string& vif, const std::string& name,
                         const std::string& lsp, const DfwModes& modes, bool timeBased);
    // ApplyFilter in two halves around the library's call, so that a pass sends the applies of
    // many filters together (FW_EvaluateConfigFiles). The first makes the filter's list into
    // `out`, or leaves it null and returns the code when there is nothing to send (skipped, no
    // port, an import kept, the names not read); the second takes the library's status.
    struct Prepared;
    uint32_t PrepareFilter(const std::string& agent, const std::string& vif,
                           const std::string& name, const std::string& lsp, const DfwModes& modes,
                           bool timeBased, std::unique_ptr<Prepared>* out);
    uint32_t FinishFilter(Prepared& p, int rc, const DfwModes& modes);
    bool CleanFilter(const std::string& name);
    // What the library lists for a filter into held_'s rule sets or address sets; the status.
    int ReadRuleSets(const std::string& filter);
    int ReadAddrSets(const std::string& filter);
    // Cleans the firewall filters of ports disabled by their filter configuration profile, once
    // each; false when a clean failed.
    bool ClearDisabled();
    bool PortDisabled(const std::string& lsp) const;
    // The address sets and containers the firewall filters' configurations name (global mode).
    DfwGlobalAddrSets::Objects SharedObjects(const DfwModes& modes, bool timeBased) const;
    // The include and exclude tables of both agents, when the span changed, the device may be
    // new or the last sync failed; false when a table could not be written.
    bool SyncSpans(const DfwMsgSnapshot& snap, bool resync);
    void Report(uint64_t barrier);
    // The pass's rule counts, vifs and a poll to the alarm reporter; the vifs and a publication to
    // the per-port metrics.
    void FeedAlarms(const DfwFilterRepo::FilterMap& fw);
    void Point(const char* name) const {
        if (syncPoint_)
            syncPoint_(name);
    }

    ozy::RefPtr<DfwMsgCache> msgs_;
    Options options_;
    FW_Handle* handle_ = nullptr;
    ozy::RefPtr<DfwFilterRepo> repo_;
    // The names of the filter being applied or cleaned (the loop's own, reused).
    struct HeldLists;
    std::unique_ptr<HeldLists> held_;
    ozy::RefPtr<DfwNtpConfig> ntp_;
    std::unique_ptr<DfwAlarmReporter> alarms_;
    std::unique_ptr<DfwMetrics> lspMetrics_;
    std::vector<ozy::RefPtr<DfwFilterFeature>> features_;
    ozy::RefPtr<DfwFilterConfig> filterConfig_;
    std::function<void(const char*)> syncPoint_;

    mutable std::mutex mutex_;  // the pending requests and the wake-up
    std::condition_variable wake_;
    bool woken_ = true;
    bool running_ = false;
    bool stopping_ = false;
    Pending pending_;
    bool ntpUp_ = false;
    bool waitLogged_ = false;  // the loop's own

    void UpdateMetrics(const DfwModes& modes, bool rebuilt, bool barrierWritten, uint64_t ms);

    // The loop's own state.
    std::shared_ptr<const DfwCache> cache_;
    // What the CLI reads: the last good cache and modes of a pass (under mutex_).
    std::shared_ptr<const DfwCache> published_;
    DfwModes publishedModes_;
    bool timeBasedPublished_ = false;
    bool haveModes_ = false;
    DfwModes lastModes_;
    DfwChangeSet changes_;  // since cache_ was built
    DfwModes appliedModes_;
    bool appliedTimeBased_ = false;
    std::string buildErrorMeta_, buildErrorText_;
    uint32_t buildError_ = 0;
    std::map<std::string, FilterState> filters_;  // by filter name
    std::set<std::string> disabledPorts_;         // this pass's, from the filter configuration
    std::set<std::string> cleared_;  // firewall filters cleaned because their port is disabled
    std::unique_ptr<DfwGlobalAddrSets> global_;
    std::unique_ptr<DfwIpRepChunkList> chunks_;
    bool globalHeld_ = false;  // the shared filter may hold sets of ours
    uint32_t globalError_ = 0;
    std::map<std::string, std::pair<uint32_t, std::string>> filterErrors_;
    // Time-based sections held back, by filter as its last apply left them (a pass applies only
    // some filters; the sections the others hold stay held), and their union after a pass.
    std::map<std::string, std::vector<std::string>> heldByFilter_;
    std::vector<std::string> heldSections_;
    // Span configuration per agent (firewall, service insertion).
    DfwSpanConfig spans_[2] = {DfwSpanConfig("orvane-sfw"), DfwSpanConfig("orvane-si")};
    int included_[2] = {-1, -1};  // include table as written: -1 unknown, 0 off, 1 on
    bool spanPending_ = true;     // sync on the next pass (first pass, failure)
    std::string spanError_;
    // What the CLI reads (under mutex_): per agent, the cache's list and the table as synced.
    std::vector<std::string> excludeWanted_[2], excludeHeld_[2];
    std::string lastStatusBody_;
    uint64_t lastBarrier_ = 0;
    bool barrierWritten_ = false;
    mutable std::mutex countersMutex_;
    Counters counters_;
};

}  // namespace CfgAgent

#pragma once
// The agent's picture of the kernel's firewall and service-insertion filters: which filters exist,
// for which vif and logical switch port, and which agent owns them. Filled by querying the device
// (FW_Ioctl 20, then 21) on its own loop, every "filter_query_interval" seconds and at once when
// the filter link "ozy_tarp_krnlink" reports a filter (type 1) or comes up; the process loop
// (DfwMain) reads it under the shared lock and hears of every filter that appeared or changed
// name through `onFilter`, called without the repository's lock held.
//
// Kernel records and link messages are untrusted: counts above kMaxFilters are refused
// (LCP01129), records are read field by field within their bounds, and short or unknown messages
// are dropped with a log line (LCP00901).
//
// Import list: a filter notified as imported (live migration) by "orvane-sfw" gets its import time
// once, kept on its entry across queries until the process loop applied its configuration
// (ClearImport) or "filter_import_clear_timeout" passed; at the timeout the loop is asked again.
//
// Vif table: the runtime VIF_STATE objects (registered as the configuration table's runtime
// observer). The observer runs under the global agent lock and only queues the records; the query
// loop parses them, keeps each vif's MAC and port, pushes a changed MAC to the vif's filters
// (FW_Ioctl 30, and the old MAC's spoof-guard entry removed), and queries the filters again when
// a vif expected to have a filter (a connected vnic) has none -- at most once per
// `outOfSyncGap`, since some vifs rightly have none for a while.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include "dataplane/KrnlinkFactory.h"
#include "runtime/RefCounted.h"
#include "statecache/SCConfigTableObserver.h"

struct FW_Handle;

namespace CfgAgent {

class DfwFilterRepo : public ozy::RefCounted<DfwFilterRepo, ozy::IRefCountable>,
                      public SCConfigTableObserver {
  public:
    static constexpr uint32_t kMaxFilters = 65536;
    static constexpr size_t kMaxVifStateBytes = 64 * 1024;
    // A failed query is tried again after this long (or the interval, when shorter).
    static constexpr std::chrono::milliseconds kQueryRetry{1000};
    using Clock = std::chrono::steady_clock;

    // Every field takes part in the comparison (SharedFilters tells a changed map by it).
    struct Filter {
        std::string name;
        std::string vif;
        std::string lsp;
        std::string agent;
        uint64_t importTime = 0;
        bool stale = false;

        bool operator==(const Filter& o) const {
            return name == o.name && vif == o.vif && lsp == o.lsp && agent == o.agent &&
                   importTime == o.importTime && stale == o.stale;
        }
    };
    // A kernel filter record as read (fields bounded; `product` empty for filters not ours).
    struct Record {
        std::string name, vif, lsp, agent, product;
        uint32_t flags = 0;
        uint64_t importTime = 0;
    };
    // Filters of one agent by vif (made-up "vif-N" names for filters that lost their vif).
    using FilterMap = std::map<std::string, Filter>;
    // A vif of the runtime VIF_STATE objects.
    struct Vif {
        uint64_t mac = 0;  // 0: none reported
        std::string lsp;
        uint32_t type = 0;    // KCP vif type (0: not reported)
        uint32_t status = 0;  // 1 connected, 2 disconnected
    };
    struct VifCounters {
        uint64_t updates = 0;
        uint64_t badRecords = 0;
        uint64_t macPushes = 0;  // filters whose MAC was pushed
        uint64_t outOfSyncQueries = 0;
    };

    struct Options {
        FW_Handle* handle = nullptr;
        KrnlinkFactory links;  // empty: no link, queries on the interval only
        std::chrono::milliseconds queryInterval{30000};
        // A filter that appeared or changed name: (agent, filter). Called on the query loop.
        std::function<void(const Filter&)> onFilter;
        // A notification naming a filter without vif: its configuration is to be cleaned.
        std::function<void(const std::string& agent, const std::string& filter)> onCleanup;
        // The filter link came up (the device may have restarted). Called on the link's thread.
        std::function<void()> onLinkUp;
        // Some filters left the maps (the kernel no longer lists them). Called on the query loop.
        std::function<void()> onRemoved;
        // A migration-failure (5) or flood-limit (6) message, whole; on the link's thread.
        std::function<void(uint16_t type, const uint8_t* msg, size_t length)> onAlarmMessage;
        // The vifs excluded from firewall filters (the message cache's list).
        std::function<std::vector<std::string>()> excluded;
        // Vifs without their filter cause a query at most this often.
        std::chrono::milliseconds outOfSyncGap{5000};
        std::function<Clock::time_point()> now;  // empty: Clock::now
        // Seconds an imported filter waits for a configuration that names its port.
        uint32_t importClearTimeout = 0;
        std::function<uint64_t()> wallSeconds;  // seconds since the epoch; empty: std::time
    };
    // The import state of a vif's firewall filter.
    struct Import {
        uint64_t time = 0;  // 0: not imported
        bool expired = false;
    };

    explicit DfwFilterRepo(Options options);
    ~DfwFilterRepo() override;

    bool Start();
    void Stop();
    // The query loop (the work item's member function).
    void Run();
    // Asks the loop to query now.
    void Wake();
    // Queries the kernel and updates both maps on the calling thread; false when the query failed.
    bool QueryNow();

    FilterMap Filters(const std::string& agent) const;
    // The same, shared and never changed: the snapshot handed out last as long as the filters
    // are the same (told by comparing, which copies nothing), else a new one. A pass that reads
    // a thousand filters several times copies them once per change of the filters, not per read.
    std::shared_ptr<const FilterMap> SharedFilters(const std::string& agent) const;

    // Parses the records of a read reply (header and records); bounded by the buffer.
    static std::vector<Record> ParseRecords(const uint8_t* buf, size_t size);
    // Updates `map` (the filters of `agent`) from the kernel's records, keeping made-up vif names
    // stable per filter name in `fakeNames` and each filter's import time from `imports` (vif to
    // time). Returns the filters that appeared or changed name or import time.
    static std::vector<Filter> UpdateFilterMap(const std::string& agent,
                                               const std::vector<Record>& records,
                                               const std::vector<std::string>& excluded,
                                               FilterMap& map,
                                               std::map<std::string, std::string>& fakeNames,
                                               uint64_t& fakeCounter,
                                               const std::map<std::string, uint64_t>& imports = {});
    // The import state of `vif`'s firewall filter.
    Import ImportOf(const std::string& vif) const;
    // The configuration of `vif`'s imported filter was applied: it leaves the import list.
    void ClearImport(const std::string& vif);
    // Asks the process loop again (onFilter) for the imported filters whose timeout passed, once
    // each; the time until the next timeout. Called by the query loop (and tests).
    std::chrono::milliseconds TriggerDueImports();
    // One message of the filter link.
    void OnLinkMessage(const uint8_t* msg, size_t length);
    // A status event of the filter link (DataplaneLink::kLinkUp or kLinkDown).
    void OnLinkStatus(int status);
    // Whether the filter link last reported up.
    bool LinkUp() const;

    // VIF_STATE records (runtime observer; global agent lock held): queued for the loop.
    void ProcessConfigRuntimeStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;
    // Handles the queued vif updates on the calling thread (the loop; tests).
    void ProcessVifUpdates();
    std::map<std::string, Vif> Vifs() const;
    VifCounters vifCounters() const;

  private:
    Options options_;
    ozy::RefPtr<DataplaneLink> link_;

    mutable std::shared_mutex mapMutex_;
    std::map<std::string, FilterMap> maps_;  // by agent
    std::map<std::string, uint64_t> imports_;  // firewall vif to import time
    std::set<std::string> importsDue_;         // of imports_: the loop was asked at the timeout
    std::map<std::string, std::string> fakeNames_;
    uint64_t fakeCounter_ = 0;
    mutable std::mutex snapshotMutex_;  // under mapMutex_ when both are held
    mutable std::map<std::string, std::shared_ptr<const FilterMap>> snapshots_;  // by agent

    // Pushes MACs to the filters of `changed` vifs (vif to old MAC).
    void PushMacs(const std::map<std::string, uint64_t>& changed);
    uint64_t WallSeconds() const;
    // Counts the vifs expected to have a filter and asks for a query when some have none.
    void CheckAssociations();

    mutable std::mutex vifMutex_;  // the queue, the table and its counters
    std::vector<std::pair<CairnDBUpdateList, bool>> vifQueue_;
    std::map<std::string, Vif> vifs_;
    std::map<std::string, std::string> vifIds_;  // object id to vif id (deletes name the id)
    VifCounters vifCounters_;
    Clock::time_point lastOutOfSyncQuery_{};
    bool outOfSyncQueried_ = false;

    mutable std::mutex runMutex_;
    std::condition_variable wake_;
    bool linkUp_ = false;
    bool queryRequested_ = true;
    bool vifWork_ = false;
    bool running_ = false;
    bool stopping_ = false;
};

}  // namespace CfgAgent

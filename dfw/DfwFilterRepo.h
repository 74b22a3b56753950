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
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "dataplane/KrnlinkFactory.h"
#include "runtime/RefCounted.h"

struct FW_Handle;

namespace CfgAgent {

class DfwFilterRepo : public ozy::RefCounted<DfwFilterRepo, ozy::IRefCountable> {
  public:
    static constexpr uint32_t kMaxFilters = 65536;

    struct Filter {
        std::string name;
        std::string vif;
        std::string lsp;
        std::string agent;
        uint64_t importTime = 0;
        bool stale = false;
    };
    // A kernel filter record as read (fields bounded; `product` empty for filters not ours).
    struct Record {
        std::string name, vif, lsp, agent, product;
        uint32_t flags = 0;
        uint64_t importTime = 0;
    };
    // Filters of one agent by vif (made-up "vif-N" names for filters that lost their vif).
    using FilterMap = std::map<std::string, Filter>;

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
        // The vifs excluded from firewall filters (the message cache's list).
        std::function<std::vector<std::string>()> excluded;
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

    // Parses the records of a read reply (header and records); bounded by the buffer.
    static std::vector<Record> ParseRecords(const uint8_t* buf, size_t size);
    // Updates `map` (the filters of `agent`) from the kernel's records, keeping made-up vif names
    // stable per filter name in `fakeNames`. Returns the filters that appeared or changed name.
    static std::vector<Filter> UpdateFilterMap(const std::string& agent,
                                               const std::vector<Record>& records,
                                               const std::vector<std::string>& excluded,
                                               FilterMap& map,
                                               std::map<std::string, std::string>& fakeNames,
                                               uint64_t& fakeCounter);
    // One message of the filter link.
    void OnLinkMessage(const uint8_t* msg, size_t length);

  private:
    Options options_;
    ozy::RefPtr<DataplaneLink> link_;

    mutable std::shared_mutex mapMutex_;
    std::map<std::string, FilterMap> maps_;  // by agent
    std::map<std::string, std::string> fakeNames_;
    uint64_t fakeCounter_ = 0;

    std::mutex runMutex_;
    std::condition_variable wake_;
    bool queryRequested_ = true;
    bool running_ = false;
    bool stopping_ = false;
};

}  // namespace CfgAgent

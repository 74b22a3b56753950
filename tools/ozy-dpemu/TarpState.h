#pragma once
// The emulated firewall: one object behind both the device "/dev/ozy-tarp" (the library's ioctls,
// platform/tarp/TarpWire.h) and the filter link "ozy_tarp_krnlink" (notifications to the agent).
//
// It holds, per filter, the record's fields, MAC, settings, address sets, containers, rule sets
// (as segment references), root rule sets, apply count and last status; globally, the shared
// address-set filter, IP-reputation chunks, the include and exclude tables per agent, IDS mode and
// oversubscription (on the shared filter), the load-balancer tables (LbTables.h), the
// service-insertion tables (SiTables.h), the segment store and the device epoch (a random
// instance id, new on every start).
//
// Applies are strict and whole-or-nothing: a configuration is decoded completely and applied to a
// copy, which replaces the filter's configuration only when every reference resolves; otherwise
// nothing changes (65 invalid, 19 unknown filter, "unknown segment" with the missing hashes).
// Runs on the emulator's loop thread; no locks.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/tarp/TarpWire.h"
#include "tools/ozy-dpemu/DeviceFaults.h"
#include "tools/ozy-dpemu/Handlers.h"
#include "tools/ozy-dpemu/LbTables.h"
#include "tools/ozy-dpemu/SiTables.h"
#include "tools/ozy-dpemu/TarpModel.h"

namespace ozy::dpemu::tarp {

// A resolved name: what a rule or container names, on the filter or on the shared filter.
struct Resolved {
    const AddrSet* addrSet = nullptr;
    const Container* container = nullptr;
    bool shared = false;
    bool Found() const { return addrSet != nullptr || container != nullptr; }
};

class TarpState {
  public:
    static constexpr size_t kKeptErrors = 32;
    static constexpr size_t kKeptRevalidations = 16;
    // Unreferenced segments are kept (for the next filter that needs them) up to this many bytes.
    static constexpr size_t kSegmentCacheBytes = 512u * 1024u * 1024u;

    TarpState();

    // The device.
    IoctlResult Ioctl(uint32_t command, const uint8_t* payload, size_t size);

    // Filters (injections). False with `why` when refused.
    struct NewFilter {
        std::string name, vif, lsp, agent;
        bool imported = false;
        bool tagged = true;
    };
    bool CreateFilter(const NewFilter& f, std::string* why);
    bool DeleteFilter(const std::string& name, std::string* why);
    // The next `count` applies and settings of the filter fail with `status` and change nothing
    // (count 0 clears); the fault goes with the filter. False with `why` for an unknown filter.
    bool FailFilter(const std::string& name, uint32_t status, uint64_t count, std::string* why);

    // Forgets every segment no filter uses (as a device short of memory would); the count.
    size_t DropUnusedSegments();

    const Filter* FindFilter(const std::string& name) const;
    const std::map<std::string, Filter>& Filters() const { return filters_; }
    const Filter& SharedFilter() const { return filters_.at(kShared); }
    const Segment* FindSegment(uint64_t hash) const;
    // The filter's vif (in uuid form) is in its agent's exclude table: the filter is bypassed.
    bool Excluded(const Filter& f) const;
    Resolved Lookup(const Filter& f, const std::string& name) const;
    // The same over a filter's sets and containers as `objects` holds them.
    Resolved Lookup(const FilterConfig& objects, bool sharedAddrSets,
                    const std::string& name) const;
    const std::map<uint32_t, IpRepChunk>& Chunks() const { return chunks_; }
    // Service insertion (SI_Ioctl).
    SiTables& Si() { return si_; }
    const SiTables& Si() const { return si_; }
    const LbTables& Lb() const { return lb_; }
    DeviceFaults& LbFaults() { return lb_.Faults(); }
    uint64_t InstanceId() const { return instanceId_; }
    // Filters (in shared mode) whose rules use each of the shared filter's sets.
    std::map<std::string, uint32_t> AnchorCounts() const;
    nlohmann::json Dump() const;
    // The IP-reputation chunks: id, capacity (tier), entry count, bucket and content hash.
    nlohmann::json ChunksJson() const;

    // Rules of a filter in evaluation order: (rule set name, rule) for each root, in order.
    std::vector<std::pair<std::string, const Rule*>> RootRules(const Filter& f) const;

  private:
    static constexpr const char* kShared = ozy::tarp::kSharedAddrSetFilter;
    struct PendingSegment {
        uint32_t total = 0;
        std::string bytes;
    };
    struct DvfTables {
        std::vector<std::string> include;  // entries, 23 bytes each
        std::vector<std::string> exclude;
    };
    struct Revalidation {
        std::string agent, vm;
        uint32_t world;
    };

    IoctlResult Refuse(uint32_t status, const std::string& why);
    // A pending injected failure of the filter's applies and settings: its status, else 0.
    uint32_t InjectedFailure(const std::string& name, Filter& f);
    IoctlResult Hello(size_t size);
    IoctlResult SegmentPut(const uint8_t* p, size_t size);
    IoctlResult Apply(const uint8_t* p, size_t size);
    IoctlResult Setting(const uint8_t* p, size_t size);
    IoctlResult List(uint32_t command, const uint8_t* p, size_t size);
    IoctlResult ListChunks(const uint8_t* p, size_t size);
    IoctlResult Activate(size_t size);
    IoctlResult Cleanup(size_t size);
    IoctlResult FwIoctl(const uint8_t* p, size_t size);
    IoctlResult DvfIoctl(const uint8_t* p, size_t size);
    IoctlResult SiIoctl(const uint8_t* p, size_t size);
    IoctlResult Revalidate(const uint8_t* p, size_t size);
    IoctlResult ReadFilters(std::vector<uint8_t> buf);
    // Every name the configuration's rules and containers use resolves; else the first that
    // does not, in `why`. The rule sets and roots are `c`'s, the sets and containers `objects`'s
    // (an apply that changes none of them checks against the filter's own, not a copy).
    // With `known`, the segments it holds resolve already and so do `objects`' containers (what
    // a filter's last check found, its sets and the shared filter's unchanged since).
    bool Resolvable(bool sharedAddrSets, const FilterConfig& c, const FilterConfig& objects,
                    std::string* why, const std::vector<uint64_t>* known = nullptr) const;
    // The filter's rule sets as all resolving against its sets as they are now.
    void RecordResolved(Filter& f);
    void Reference(const FilterConfig& c, int delta);
    void TrimSegments();
    void EncodeRecord(const std::string& name, const Filter& f, uint8_t* out) const;

    uint64_t instanceId_;
    uint64_t useClock_ = 0;
    uint64_t objectsClock_ = 0;  // Filter::objectsVersion
    std::map<std::string, Filter> filters_;
    std::map<std::string, DeviceFaults> filterFaults_;
    std::unordered_map<uint64_t, Segment> segments_;
    size_t segmentBytes_ = 0;
    std::unordered_map<uint64_t, PendingSegment> pending_;
    std::map<uint32_t, IpRepChunk> chunks_;
    std::map<std::string, DvfTables> tables_;
    // Shared-filter address sets: activation state (name -> raw at activation).
    std::map<std::string, std::string> activeSets_;
    LbTables lb_;
    std::deque<Revalidation> revalidations_;
    uint64_t revalidated_ = 0;
    SiTables si_;
    std::map<std::string, uint64_t> stats_;
    std::deque<std::string> errors_;
};

}  // namespace ozy::dpemu::tarp

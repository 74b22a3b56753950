#pragma once
// The firewall's per-port metrics: for each logical switch port with a firewall filter, its rule
// counts, address sets, last apply status and profiles applied, as labelled series of the agent's
// metrics registry (one series per port and figure) and as the pages "dfw/lspMetrics" and
// "dfw/tnMetrics".
//
// Fed by the process loop: after each apply of a firewall filter, the port's figures
// (DfwSetLspMetrics, usually through Measure; a failed apply sets only the status); after each
// pass, the vifs that have a firewall filter (DfwSyncVifTable), then Publish. The transport node
// comes from the configuration (TRANSPORT_NODE_CONFIG, SetTnUuid). The profile features report the
// profiles they applied to a filter with DfwSetLspProfiles (0 until they do).
//
// GetDfwLspMetrics gives the figures of the active vifs, those of the last vif table: nothing while
// the transport node's uuid is not valid ("dfw: %1: TN uuid is not valid. Skipped."); a vif set
// but not in the table is left out ("dfw: %1: This was not an active vif.") and kept until the
// next table says whether it is. A vif that leaves the table leaves the metrics. Publish makes the
// registry hold exactly the series of what GetDfwLspMetrics gives: a removed port's series, or
// every series while the transport node is not valid, leave every view.
//
// Series, labels "tn_uuid", "lsp_uuid", "vif": "dfw/lsp/rule_count", "dfw/lsp/url_rule_count",
// "dfw/lsp/ids_rule_count", "dfw/lsp/idfw_rule_count", "dfw/lsp/appid_rule_count",
// "dfw/lsp/addrset_count", "dfw/lsp/apply_status" (the realization code of the last apply, 0
// applied), "dfw/lsp/profile_count"; label "tn_uuid": "dfw/tn/rule_count" and
// "dfw/tn/lsp_with_rules".
//
// Threads: any (the process loop, the CLI, the configuration observer); one mutex guards the
// tables and is held while the registry is updated (the registry never calls back).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "dfw/DfwCache.h"

namespace ozy::metrics {
class Gauge;
class Registry;
}  // namespace ozy::metrics

namespace TarpFirewall {
class CTarpFWSegment;
}

namespace CfgAgent {

class DfwMetrics {
  public:
    // What one rule set counts, from a filter's configuration.
    struct RuleCounts {
        uint64_t rules = 0;
        uint64_t url = 0;    // rules whose context profile matches domains or URLs
        uint64_t ids = 0;    // rules with an IDS profile
        uint64_t idfw = 0;   // identity firewall rules (an extended source)
        uint64_t appid = 0;  // rules whose context profile matches application ids
        uint64_t addrSets = 0;
        bool allDfw = true;  // every rule applies everywhere (no applied-to names the port)
    };
    struct LspMetrics {
        std::string vif;
        std::string lsp;
        RuleCounts counts;
        uint32_t applyStatus = 0;  // realization code of the last apply; 0 applied
        uint64_t profiles = 0;     // profiles applied to the filter
        uint64_t updateTime = 0;   // seconds since the epoch
    };
    struct TnMetrics {
        std::string tn;
        uint64_t rules = 0;
        uint64_t lspWithRules = 0;
        uint64_t updateTime = 0;
    };
    struct Options {
        ozy::metrics::Registry* registry = nullptr;  // null: pages only
        std::function<uint64_t()> wallSeconds;       // empty: the system clock
    };

    explicit DfwMetrics(Options options);
    ~DfwMetrics();
    DfwMetrics(const DfwMetrics&) = delete;
    DfwMetrics& operator=(const DfwMetrics&) = delete;

    // The transport node's uuid text ("" when there is none).
    void SetTnUuid(const std::string& tn);
    std::string TnUuid() const;
    // The vifs that have a firewall filter now; the others leave the metrics.
    void DfwSyncVifTable(const std::vector<std::string>& vifs);
    // The port's figures after an apply of its filter (the profiles count is kept).
    void DfwSetLspMetrics(const std::string& vif, const LspMetrics& metrics);
    // A failed apply: the filter keeps what it held, only the status changes.
    void DfwSetLspStatus(const std::string& vif, const std::string& lsp, uint32_t applyStatus);
    // The profiles the features applied to the vif's filter.
    void DfwSetLspProfiles(const std::string& vif, uint64_t profiles);
    // The figures of the active vifs (by vif); empty while the transport node is not valid.
    std::vector<LspMetrics> GetDfwLspMetrics() const;
    // The transport node's totals; false while its uuid is not valid.
    bool GetDfwTnMetrics(TnMetrics* out) const;
    // Makes the registry's series those of GetDfwLspMetrics.
    void Publish();

    // The figures of `cfg` for a port (counted once per distinct configuration).
    LspMetrics Measure(const std::string& vif, const std::string& lsp,
                       const DfwCache::FilterConfig& cfg, uint32_t applyStatus);
    static RuleCounts Count(const DfwCache::FilterConfig& cfg);

    // "dfw/lspMetrics" and "dfw/tnMetrics", as JSON text.
    std::string LspMetricsText() const;
    std::string TnMetricsText() const;

  private:
    // The series of one port as last published (its vif is its key).
    struct Published {
        std::string tn, lsp;
        std::vector<std::shared_ptr<ozy::metrics::Gauge>> gauges;
        uint64_t publication = 0;  // the last publication that kept it
    };

    bool TnValidLocked() const;
    std::vector<LspMetrics> ActiveLocked() const;
    uint64_t Now() const;
    void Unpublish(const std::map<std::string, std::string>& labels,
                   const std::vector<const char*>& names);

    Options options_;
    mutable std::mutex mutex_;
    std::string tn_;
    std::map<std::string, LspMetrics> lsps_;      // by vif
    std::set<std::string> vifs_;                  // the last vif table
    uint64_t syncTime_ = 0;                       // of the last vif table
    std::map<std::string, Published> published_;  // by vif
    uint64_t publications_ = 0;
    std::string publishedTn_;  // "" none
    std::vector<std::shared_ptr<ozy::metrics::Gauge>> tnGauges_;
    // What one segment of rules counts whatever the configuration holding it; the rules with an
    // attribute profile (`profiled`) are counted against each configuration's profiles.
    struct SegmentCounts {
        uint64_t rules = 0;
        uint64_t ids = 0;
        uint64_t idfw = 0;
        bool profiled = false;
    };
    static SegmentCounts CountSegment(const TarpFirewall::CTarpFWSegment& seg);
    // The counts of `cfg` with `countsOf(segment)` giving each segment's.
    template <class SegmentCountsOf>
    static RuleCounts CountWith(const DfwCache::FilterConfig& cfg, SegmentCountsOf countsOf);

    // Counts by configuration hash, of the configurations measured since the last publication
    // and the one before (older ones are dropped at publication); the same of segments, by the
    // segment's hash.
    std::map<uint64_t, RuleCounts> counted_, countedBefore_;
    std::unordered_map<uint64_t, SegmentCounts> segments_, segmentsBefore_;
};

}  // namespace CfgAgent

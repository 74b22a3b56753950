#pragma once
// The firewall application's settings, read once from its "config" subtree (keys under
// "default."). A value that is not of its kind, or out of range, is logged with LCP00001 and the
// default kept.
#include <cstdint>

#include <boost/property_tree/ptree_fwd.hpp>

namespace CfgAgent {

struct DfwSettings {
    static constexpr const char* kFilterQueryIntervalKey = "default.filter_query_interval";
    static constexpr const char* kConfigOptimizationKey = "default.config_optimization";
    static constexpr const char* kSkipNtpCheckKey = "default.skip_ntp_check";
    static constexpr const char* kImportClearTimeoutKey = "default.filter_import_clear_timeout";
    static constexpr const char* kNtpCheckIntervalKey = "default.ntp_check_interval";
    static constexpr const char* kIpRepMaxEntriesKey = "default.ip_reputation_max_entries";

    // Seconds between two queries of the kernel filters by the filter repository (1-86400).
    uint32_t filterQueryInterval = 30;
    // Skip a filter whose configuration equals its last successful apply in the device's state.
    bool configOptimization = false;
    // Time-based sections go at once, without waiting for NTP.
    bool skipNtpCheck = false;
    // Seconds an imported filter keeps its import flag without a matching applied-to; only a
    // positive value replaces the built-in 0.
    uint32_t importClearTimeout = 0;
    // Minutes between two runs of the NTP check script (1-1440); the first runs at start. Five
    // minutes: time-based sections wait at most that long after the time service came up, and the
    // script (which asks the time daemon) runs rarely enough to cost nothing.
    uint32_t ntpCheckInterval = 5;
    // Entries of all IP-reputation chunks together (0-67108864). Two million: sixteen bytes an
    // entry, 32 MB of dataplane memory, twice the largest chunk the intake accepts; a new or grown
    // chunk beyond it is refused and the one installed stays.
    uint32_t ipRepMaxEntries = 2000000;

    static DfwSettings Read(const boost::property_tree::ptree& config);
};

}  // namespace CfgAgent

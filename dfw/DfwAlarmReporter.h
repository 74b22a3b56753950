#pragma once
// The firewall's alarms, through the event source "cfgAgent_dfw" (component "DfwAlarmReporter"):
// too many rules on one vNIC or on the host (approaching and exceeded), a filter whose state
// failed to move with a live-migrated VM (hopover, event type 7), and flood-protection limits
// reached (WARNING 21, CRITICAL 23).
//
// Rule limits: the process loop sets each vif's rule count after applying its filter, the host's
// total and the current vifs after each pass, then polls. A poll compares each count with its
// maximum: approaching is count >= approachingPercent of the maximum (rounded up), exceeded is
// count > maximum (a maximum of 0: no limit); only a change of either state raises or clears, so
// repeated polls report nothing new. A vNIC alarm's entity is the vif's logical switch port,
// looked up in the filter list; a vif without filter or with an invalid port is not reported (and
// tried again at the next poll). A vif that vanished leaves the tables and its entity is deleted
// once. The host alarms' entity is the host name.
//
// Kernel messages (types 5 and 6 of the filter link) are untrusted: parsed within their fixed
// size; a flood message whose protocol name is empty, unterminated within its 16 bytes or not
// printable ASCII, or whose severity is unknown, is dropped with LCP00901.
//
// Context: one-line JSON with "entity_id", "transport_node_name" and, for floods,
// "protocol_name", in that order (built by the event source's JSON library).
//
// Event types of the rule-limit alarms (ours): vNIC approaching 4101, vNIC exceeded 4102, host
// approaching 4103, host exceeded 4104. Defaults: vNIC maximum 4000 rules, host maximum 100000,
// approaching at 80 %, every alarm kind enabled.
//
// Threads: every operation may be called from any thread (the process loop, the filter link's
// receiver, the CLI); one mutex guards the tables and is never held while calling the lookup.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ozy::monitoring {
class AlarmTable;
class EventSourceAPI;
}  // namespace ozy::monitoring

namespace CfgAgent {

class DfwAlarmReporter {
  public:
    static constexpr const char* kSource = "cfgAgent_dfw";
    static constexpr const char* kComponent = "DfwAlarmReporter";
    static constexpr uint32_t kEventVnicApproaching = 4101;
    static constexpr uint32_t kEventVnicExceeded = 4102;
    static constexpr uint32_t kEventHostApproaching = 4103;
    static constexpr uint32_t kEventHostExceeded = 4104;
    static constexpr uint32_t kEventHopover = 7;
    static constexpr uint32_t kEventFloodWarning = 21;
    static constexpr uint32_t kEventFloodCritical = 23;

    // The configuration callback's data: which alarm kinds are reported, and when a count is
    // approaching its maximum.
    struct Config {
        bool vnicApproaching = true;
        bool vnicExceeded = true;
        bool hostApproaching = true;
        bool hostExceeded = true;
        bool hopover = true;
        bool floodWarning = true;
        bool floodCritical = true;
        uint32_t approachingPercent = 80;  // 1-100
    };
    // A firewall filter as the reporter needs it.
    struct FilterInfo {
        std::string name, vif, lsp;
    };
    struct FloodEvent {
        std::string filter, vif, protocol;
        bool critical = false;
        bool raise = false;
    };
    struct HopoverEvent {
        std::string filter, vif;
        uint32_t reason = 0;  // 0: the failure is over (clear)
    };

    struct Options {
        ozy::monitoring::AlarmTable* table = nullptr;  // null: the process's table
        // The firewall filters now (the filter repository); empty: none known.
        std::function<std::vector<FilterInfo>()> filters;
        // The host name; empty: gethostname. False: unreadable ("unknown").
        std::function<bool(std::string*)> hostName;
        uint32_t vnicMax = 4000;
        uint64_t hostMax = 100000;
    };

    explicit DfwAlarmReporter(Options options);
    ~DfwAlarmReporter();
    DfwAlarmReporter(const DfwAlarmReporter&) = delete;
    DfwAlarmReporter& operator=(const DfwAlarmReporter&) = delete;

    // Creates and starts the event source; false (logged) when it cannot.
    bool Start();
    void Stop();

    void ConfigCb(const Config& config);
    Config config() const;
    // Raises and clears the rule-limit alarms whose state changed.
    void PollingCb();

    void DfwSetRuleAlarmCounts(const std::string& vif, uint64_t count);
    void DfwSetHostRuleAlarmCounts(uint64_t count);
    // The vifs that have a firewall filter now; the others leave the tables.
    void DfwUpdateAlarmVifs(const std::vector<std::string>& vifs);
    void DfwSetHostId(const std::string& host);
    void DfwHostMaxRuleCnt(uint64_t max);
    void DfwVnicMaxRuleCnt(uint32_t max);

    void DfwRaiseHopoverAlarm(const HopoverEvent& event);
    void DfwRaiseFloodLimitAlarm(const FloodEvent& event);
    // A kernel message of type 5 or 6 (whole message, header included).
    void OnKernelMessage(uint16_t type, const uint8_t* msg, size_t length);

    // Parsers of the two messages; false with `why` for a message to drop.
    static bool ParseHopover(const uint8_t* msg, size_t length, HopoverEvent* out,
                             std::string* why);
    static bool ParseFlood(const uint8_t* msg, size_t length, FloodEvent* out, std::string* why);

    // CLI pages, as JSON text.
    std::string VnicRuleCountText(const std::string& vif) const;
    std::string VnicAlarmStateText(const std::string& vif) const;
    std::string HostAlarmStateText() const;
    std::string ConfigText() const;
    // "KEY=VALUE" of "dfw/ruleAlarmConfigData"; false with `why`.
    bool SetConfigText(const std::string& assignment, std::string* why);

  private:
    struct Limit {
        uint64_t count = 0;
        bool approaching = false;
        bool exceeded = false;
        std::string entity;  // the port last reported (vNIC)
        uint64_t raises = 0, clears = 0;
    };
    enum class Kind { kApproaching, kExceeded };

    // Reports one rule-limit change; true when it reached the event source.
    bool ReportVnic(const std::string& vif, Limit& limit, Kind kind, bool raise,
                    const std::map<std::string, FilterInfo>& filters);
    bool ReportHost(Kind kind, bool raise);
    bool SourceReady(const char* operation) const;
    std::vector<std::pair<std::string, std::string>> Context(const std::string& entity) const;
    std::map<std::string, FilterInfo> FiltersByVif() const;

    Options options_;
    std::unique_ptr<ozy::monitoring::EventSourceAPI> source_;

    mutable std::mutex mutex_;
    Config config_;
    std::string host_;
    std::map<std::string, Limit> vifs_;
    Limit hostLimit_;
};

}  // namespace CfgAgent

#pragma once
// IpfixConfigObserver: works out the IPFIX export configuration of every logical switch port and
// keeps the host firewall open for the collectors' UDP ports.
//
// Inputs: each port's effective IPFIX switch profile, from the profile service (through IpfixApp),
// and the collector profiles (PROFILE objects, property IPFIX_COLLECTOR_PROFILE) of the
// configuration table, which it observes. A port's configuration is its switch profile's settings
// with the collectors of the collector profile that profile names (the first of its list). Output:
// the port's "ipfix" property value handed to the port sink (the DVS property conversion, which
// sends it, and carries it in full pushes and resyncs), an empty value when the port has none any
// more; and the union of the collectors' UDP ports, applied to the host firewall (IpfixFirewall).
//
// Rules:
// - a collector profile that arrives after its switch profile refreshes the ports using it; one
//   that is deleted clears them; one that changes refreshes them; a switch profile whose
//   collector profile is not in the table leaves its ports unchanged;
// - a full sync of the profile service resets the ports it no longer lists; a full sync of the
//   table refreshes every port (clearing those whose collector profile is gone);
// - bad input (a profile that does not parse, a collector without address, port 0 or above 65535,
//   more collectors than the property holds) is logged with LCP01602 and leaves the port as it is;
// - the firewall is applied only when the port set differs from what it last accepted; a failed
//   apply is owed: tried again with the next change and on the retry timer, never in a loop. A
//   ruleset file found at start (an earlier run's) is owed too: the first pass rewrites it, or
//   disables the ruleset and removes the file when no port has a collector.
//
// Threads: the table's callback (dispatcher thread) and the profile service's callback (io
// threads) only queue what they got; the observer's loop (a work item) handles the queue under the
// global agent lock, hands the port values to the sink while holding it, and then applies the
// firewall without it (hostcli blocks). Queries (CLI) expect the global agent lock held.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/upm/UPMService.h"
#include "runtime/RefCounted.h"
#include "services/ipfix/IpfixFirewall.h"
#include "services/ipfix/IpfixPortConfig.h"
#include "statecache/SCConfigTableObserver.h"

namespace boost::asio {
class io_context;
}

namespace CfgAgent {

class IStateCacheConfigTable;
template <typename T>
class AsyncTimer;

class IpfixConfigObserver : public SCConfigTableObserver,
                            public ozy::RefCounted<IpfixConfigObserver> {
  public:
    // (serialized logical port id, "ipfix" value; empty: none), called under the global agent lock.
    using PortValues = std::vector<std::pair<std::string, std::vector<uint8_t>>>;
    using PortSink = std::function<void(const PortValues&)>;

    struct Options {
        IStateCacheConfigTable* configTable = nullptr;  // required
        PortSink sink;                                  // required
        IpfixFirewall::Options firewall;
        boost::asio::io_context* timerContext = nullptr;  // the retry timer; default IoContext()
        std::chrono::milliseconds retryInterval{30000};
        // Post the loop on the work group at start; tests leave it off and call RunPending().
        bool postLoop = true;
    };

    static ozy::RefPtr<IpfixConfigObserver> Create(Options options);
    ~IpfixConfigObserver() override;
    IpfixConfigObserver(const IpfixConfigObserver&) = delete;
    IpfixConfigObserver& operator=(const IpfixConfigObserver&) = delete;

    bool start();
    void stop();

    // Configuration-table observer of PROFILE objects.
    void ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates, bool fullSync) override;
    // The profile service's effective IPFIX switch profiles, per port.
    void IpfixOZYProcessUpdatesFromUpm(const std::vector<ozy::upm::ProfileUpdate>& updates,
                                       bool fullSync);
    void OnRetryTimer();

    // Handles what is queued, on the calling thread (the loop does the same).
    void RunPending();

    // ---- queries (global agent lock held) ----
    // The port's configuration; nullptr (logged "No effective profile found") when it has none.
    const IpfixPortConfig* GetPortIpfixConfigUpdate(const std::string& port) const;
    // {"PORT": {"switch_profile", "collector_profile", "exported", "observation_domain_id",
    //  "sampling_location", "collectors": [{"address", "port"}]}} for every port with a profile.
    std::string EffectiveProfilesJson() const;
    // The same object for one port, "{}" when it has no profile.
    std::string EffectiveProfileJson(const std::string& port) const;
    std::set<uint16_t> CollectorPorts() const;
    bool FirewallOwed() const;

  private:
    struct Event {
        enum Kind { kTable, kUpm, kRetry } kind = kRetry;
        std::vector<std::string> collectors;  // kTable: collector profiles (text) changed
        std::vector<ozy::upm::ProfileUpdate> upm;
        bool fullSync = false;
    };
    struct SwitchProfile {
        std::string body;       // serialized IpfixSwitchProfileMsg
        std::string collector;  // collector profile id (text), "" when it names none
        std::set<std::string> ports;
    };
    struct CollectorEntry {
        bool missing = false;                                   // the table does not hold it
        std::optional<std::vector<IpfixCollector>> collectors;  // nullopt: missing or refused
    };
    struct Port {
        std::string switchProfile;
        std::optional<IpfixPortConfig> config;  // what the port exports now
    };

    explicit IpfixConfigObserver(Options options);
    void Run();
    void Queue(Event event);
    void Handle(Event& event);
    void HandleUpm(const std::vector<ozy::upm::ProfileUpdate>& updates, bool fullSync);
    void HandleIpfixCollectorProfileUpdate(const std::string& collector);
    void RefreshAll();
    void BindPort(const std::string& port, const std::string& profileId, std::string body);
    void ResetPort(const std::string& port);
    // Recomputes the port; `authoritative`: a collector profile missing from the table clears it.
    void GeneratePortIpfixConfig(const std::string& port, bool authoritative);
    void SetPortConfig(const std::string& port, Port& entry, std::optional<IpfixPortConfig> c);
    // The collectors of a collector profile from the table; nullptr when it is not there or is
    // refused (`missing` tells which).
    const std::vector<IpfixCollector>* Collectors(const std::string& collector, bool* missing);
    void ApplyFirewall();
    std::string PortJson(const Port& entry) const;

    Options options_;
    IpfixFirewall firewall_;
    std::shared_ptr<AsyncTimer<IpfixConfigObserver>> retryTimer_;
    bool registered_ = false;

    // The queue and the loop.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Event> events_;
    bool running_ = false;
    bool stopping_ = false;

    // Global agent lock.
    std::map<std::string, Port> ports_;  // by port id text
    std::map<std::string, SwitchProfile> switchProfiles_;
    // Collector profiles read from the table on first use, forgotten when they change.
    std::map<std::string, CollectorEntry> collectorCache_;
    std::map<uint16_t, size_t> portRefs_;  // collector UDP port -> ports exporting to it
    PortValues pending_;                   // for the sink

    // The loop's (and RunPending's caller's) own.
    std::set<uint16_t> applied_;        // what the firewall last accepted
    bool owed_ = false;                 // an apply failed: the firewall's state is unknown
    mutable std::mutex firewallMutex_;  // one apply at a time; guards applied_ and owed_
};

}  // namespace CfgAgent

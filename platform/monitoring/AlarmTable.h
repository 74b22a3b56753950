#pragma once
// ozy::monitoring::AlarmTable: the alarms raised in this process and not yet cleared, as the
// host's monitoring service would hold them, with running totals in the metrics registry.
//
// Every EventSourceAPI records into the one table of the process (Instance()). A raised alarm is
// keyed by (source, event type, entity); raising it again replaces its context and counts the
// raise; clearing removes it. The table holds only raised alarms, so its size follows the
// conditions that hold now, never the history. The CLI shows it ("cfgagent/alarms").
//
// Thread-safety: every operation may be called from any thread; one mutex guards the table and the
// metric handles (the metrics themselves are atomics).
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace ozy::metrics {
class Counter;
class Gauge;
class Registry;
}  // namespace ozy::metrics

namespace ozy::monitoring {

struct AlarmRecord {
    std::string source;     // event source ("cfgAgent_dfw")
    std::string component;  // component that raised it ("DfwAlarmReporter")
    uint32_t eventType = 0;
    std::string entity;
    std::string context;  // one-line JSON object
    uint64_t raiseCount = 0;
    int64_t raisedAt = 0;  // seconds since the epoch of the last raise
};

class AlarmTable {
  public:
    static AlarmTable& Instance();

    AlarmTable() = default;
    AlarmTable(const AlarmTable&) = delete;
    AlarmTable& operator=(const AlarmTable&) = delete;

    // Counters "alarms.raised", "alarms.cleared" and the gauge "alarms.active", plus the same per
    // source ("alarms.<source>.raised", ...); null detaches. Counting starts at the attachment.
    void AttachMetrics(metrics::Registry* registry);

    void Raise(const AlarmRecord& alarm);
    // False when the alarm was not raised.
    bool Clear(const std::string& source, uint32_t eventType, const std::string& entity);
    // Clears every alarm of the entity raised by `source`; the number cleared.
    size_t ClearEntity(const std::string& source, const std::string& entity);

    std::vector<AlarmRecord> Active() const;
    size_t size() const;
    // {"alarms": [{"source", "component", "event_type", "entity", "context", "raise_count",
    // "raised_at"}...], "active": N}, in key order; the context as a JSON
    // value with its fields in the order raised.
    std::string ToJson() const;
    // Empties the table (tests); metrics stay attached.
    void Reset();

  private:
    using Key = std::tuple<std::string, uint32_t, std::string>;
    struct SourceMetrics {
        std::shared_ptr<metrics::Counter> raised;
        std::shared_ptr<metrics::Counter> cleared;
        std::shared_ptr<metrics::Gauge> active;
    };
    // Counts `raised` raises and `cleared` clears of `source` and sets the active gauges.
    void CountLocked(const std::string& source, int64_t raised, int64_t cleared);
    SourceMetrics& MetricsOfLocked(const std::string& source);

    mutable std::mutex mutex_;
    std::map<Key, AlarmRecord> alarms_;
    metrics::Registry* registry_ = nullptr;
    SourceMetrics total_;
    std::map<std::string, SourceMetrics> perSource_;
    std::map<std::string, int64_t> activePerSource_;
};

}  // namespace ozy::monitoring

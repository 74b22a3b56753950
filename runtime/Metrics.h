#pragma once
// A small metrics registry: counters, gauges, frequency counters and latencies, registered by name,
// readable through the CLI and exportable in the Prometheus text format.
//
// A series is a name with a set of label pairs (none for a plain metric): the same name with other
// labels is another series of the same family, e.g. one per logical switch port. A series can be
// removed (a port that went): it leaves every view; whoever still holds it may go on updating it
// unseen. Label names are made valid when the series is created ([a-zA-Z_][a-zA-Z0-9_]*; others
// become '_'), so two spellings that map to one name are one series.
//
// Metric objects are created once and updated lock-free from any thread; the registry's mutex is
// only taken to create, look up, remove or export. Hot paths keep the returned pointer.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace ozy::metrics {

class Counter {
  public:
    void inc(int64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
    void dec(int64_t n = 1) { value_.fetch_sub(n, std::memory_order_relaxed); }
    int64_t value() const { return value_.load(std::memory_order_relaxed); }

  private:
    std::atomic<int64_t> value_{0};
};

class Gauge {
  public:
    void set(int64_t v) { value_.store(v, std::memory_order_relaxed); }
    int64_t value() const { return value_.load(std::memory_order_relaxed); }

  private:
    std::atomic<int64_t> value_{0};
};

// Counts events; the rate is derived by the reader from two readings.
class Frequency {
  public:
    void mark(int64_t n = 1) { total_.fetch_add(n, std::memory_order_relaxed); }
    int64_t total() const { return total_.load(std::memory_order_relaxed); }

  private:
    std::atomic<int64_t> total_{0};
};

// Records durations (microseconds): count, sum and maximum.
class Latency {
  public:
    void record(int64_t micros);
    int64_t count() const { return count_.load(std::memory_order_relaxed); }
    int64_t sum() const { return sum_.load(std::memory_order_relaxed); }
    int64_t max() const { return max_.load(std::memory_order_relaxed); }

  private:
    std::atomic<int64_t> count_{0};
    std::atomic<int64_t> sum_{0};
    std::atomic<int64_t> max_{0};
};

// Label pairs of a series, by label name.
using Labels = std::map<std::string, std::string>;

class Registry {
  public:
    // Each returns the series of that name and labels, creating it on first use. A name used with
    // two kinds gets two metrics; the export tells them apart by suffix.
    std::shared_ptr<Counter> counter(const std::string& name, const Labels& labels = {});
    std::shared_ptr<Gauge> gauge(const std::string& name, const Labels& labels = {});
    std::shared_ptr<Frequency> frequency(const std::string& name, const Labels& labels = {});
    std::shared_ptr<Latency> latency(const std::string& name, const Labels& labels = {});

    // Removes the series of that name and labels, of every kind; the number removed.
    size_t remove(const std::string& name, const Labels& labels);
    // Series of a name (every kind, every label set), for tests and pages.
    size_t seriesCount(const std::string& name) const;

    // Prometheus text exposition (version 0.0.4): names prefixed "ozy_", every character outside
    // [a-zA-Z0-9_] made '_'; one "# HELP" (the registry's name) and one "# TYPE" line per family,
    // its series together, sorted. Counters and gauges are gauges, frequencies counters
    // ("_total"), latencies summaries ("_us", with "_count" and "_sum") beside a "_us_max" gauge.
    // Label values are escaped (backslash, double quote, newline); a family name that two metrics
    // would share gets a numbered suffix for the later one ("_2", ...).
    std::string exportPrometheus() const;
    // One line per series, "name{labels} kind value[s]", sorted (CLI and debugging).
    std::string dumpText() const;

    // A label value or help text as the exposition writes it (between the quotes for a value).
    static std::string escapeLabelValue(const std::string& value);
    static std::string escapeHelp(const std::string& text);
    // A label name made valid.
    static std::string labelName(const std::string& name);

  private:
    struct Key {
        std::string name;
        Labels labels;
        bool operator<(const Key& o) const {
            return name != o.name ? name < o.name : labels < o.labels;
        }
    };
    template <typename M>
    using Series = std::map<Key, std::shared_ptr<M>>;
    static Key MakeKey(const std::string& name, const Labels& labels);

    mutable std::mutex mutex_;
    Series<Counter> counters_;
    Series<Gauge> gauges_;
    Series<Frequency> frequencies_;
    Series<Latency> latencies_;
};

}  // namespace ozy::metrics

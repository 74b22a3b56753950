#pragma once
// A small metrics registry: counters, gauges, frequency counters and latencies, registered by name,
// readable through the CLI and exportable in the Prometheus text format.
//
// Metric objects are created once and updated lock-free from any thread; the registry's mutex is
// only taken to create, look up or export.
#include <atomic>
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

class Registry {
  public:
    // Each returns the metric of that name, creating it on first use. A name used with two kinds
    // gets two metrics; the export distinguishes them by suffix.
    std::shared_ptr<Counter> counter(const std::string& name);
    std::shared_ptr<Gauge> gauge(const std::string& name);
    std::shared_ptr<Frequency> frequency(const std::string& name);
    std::shared_ptr<Latency> latency(const std::string& name);

    // Prometheus text exposition: names with '/' and '.' become '_', prefixed "ozy_".
    std::string exportPrometheus() const;
    // One line per metric, "name kind value[s]", sorted by name (CLI and debugging).
    std::string dumpText() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Counter>> counters_;
    std::map<std::string, std::shared_ptr<Gauge>> gauges_;
    std::map<std::string, std::shared_ptr<Frequency>> frequencies_;
    std::map<std::string, std::shared_ptr<Latency>> latencies_;
};

}  // namespace ozy::metrics

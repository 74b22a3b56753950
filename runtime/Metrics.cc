#include "runtime/Metrics.h"

#include <sstream>

namespace ozy::metrics {

void Latency::record(int64_t micros) {
    count_.fetch_add(1, std::memory_order_relaxed);
    sum_.fetch_add(micros, std::memory_order_relaxed);
    int64_t prev = max_.load(std::memory_order_relaxed);
    while (micros > prev && !max_.compare_exchange_weak(prev, micros, std::memory_order_relaxed)) {
    }
}

namespace {
template <typename M>
std::shared_ptr<M> getOrCreate(std::map<std::string, std::shared_ptr<M>>& map,
                               const std::string& name) {
    auto it = map.find(name);
    if (it == map.end()) {
        it = map.emplace(name, std::make_shared<M>()).first;
    }
    return it->second;
}

std::string promName(const std::string& name) {
    std::string out = "ozy_";
    for (char c : name) {
        out.push_back(
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ? c : '_');
    }
    return out;
}
}  // namespace

std::shared_ptr<Counter> Registry::counter(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return getOrCreate(counters_, name);
}
std::shared_ptr<Gauge> Registry::gauge(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return getOrCreate(gauges_, name);
}
std::shared_ptr<Frequency> Registry::frequency(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return getOrCreate(frequencies_, name);
}
std::shared_ptr<Latency> Registry::latency(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return getOrCreate(latencies_, name);
}

std::string Registry::exportPrometheus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream out;
    for (const auto& [name, c] : counters_) {
        std::string n = promName(name);
        out << "# TYPE " << n << " gauge\n" << n << ' ' << c->value() << '\n';
    }
    for (const auto& [name, g] : gauges_) {
        std::string n = promName(name);
        out << "# TYPE " << n << " gauge\n" << n << ' ' << g->value() << '\n';
    }
    for (const auto& [name, f] : frequencies_) {
        std::string n = promName(name) + "_total";
        out << "# TYPE " << n << " counter\n" << n << ' ' << f->total() << '\n';
    }
    for (const auto& [name, l] : latencies_) {
        std::string n = promName(name) + "_us";
        out << "# TYPE " << n << " summary\n"
            << n << "_count " << l->count() << '\n'
            << n << "_sum " << l->sum() << '\n'
            << n << "_max " << l->max() << '\n';
    }
    return out.str();
}

std::string Registry::dumpText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, std::string> lines;
    for (const auto& [name, c] : counters_)
        lines[name + " counter"] = std::to_string(c->value());
    for (const auto& [name, g] : gauges_)
        lines[name + " gauge"] = std::to_string(g->value());
    for (const auto& [name, f] : frequencies_)
        lines[name + " frequency"] = std::to_string(f->total());
    for (const auto& [name, l] : latencies_) {
        lines[name + " latency"] = "count=" + std::to_string(l->count()) +
                                   " sum_us=" + std::to_string(l->sum()) +
                                   " max_us=" + std::to_string(l->max());
    }
    std::string out;
    for (const auto& [k, v] : lines) {
        out += k + ' ' + v + '\n';
    }
    return out;
}

}  // namespace ozy::metrics

#include "platform/monitoring/AlarmTable.h"

#include <nlohmann/json.hpp>

#include "runtime/Metrics.h"

namespace ozy::monitoring {

AlarmTable& AlarmTable::Instance() {
    static AlarmTable table;
    return table;
}

void AlarmTable::AttachMetrics(metrics::Registry* registry) {
    std::lock_guard<std::mutex> lock(mutex_);
    registry_ = registry;
    perSource_.clear();
    total_ = SourceMetrics{};
    if (registry_ != nullptr) {
        total_.raised = registry_->counter("alarms.raised");
        total_.cleared = registry_->counter("alarms.cleared");
        total_.active = registry_->gauge("alarms.active");
        total_.active->set(static_cast<int64_t>(alarms_.size()));
    }
}

AlarmTable::SourceMetrics& AlarmTable::MetricsOfLocked(const std::string& source) {
    auto it = perSource_.find(source);
    if (it != perSource_.end())
        return it->second;
    SourceMetrics m;
    if (registry_ != nullptr) {
        const std::string prefix = "alarms." + source + ".";
        m.raised = registry_->counter(prefix + "raised");
        m.cleared = registry_->counter(prefix + "cleared");
        m.active = registry_->gauge(prefix + "active");
    }
    return perSource_.emplace(source, std::move(m)).first->second;
}

void AlarmTable::CountLocked(const std::string& source, int64_t raised, int64_t cleared) {
    const int64_t active = activePerSource_[source];
    if (registry_ == nullptr)
        return;
    SourceMetrics& m = MetricsOfLocked(source);
    for (SourceMetrics* s : {&total_, &m}) {
        if (raised > 0)
            s->raised->inc(raised);
        if (cleared > 0)
            s->cleared->inc(cleared);
    }
    total_.active->set(static_cast<int64_t>(alarms_.size()));
    m.active->set(active);
}

void AlarmTable::Raise(const AlarmRecord& alarm) {
    std::lock_guard<std::mutex> lock(mutex_);
    Key key{alarm.source, alarm.eventType, alarm.entity};
    auto [it, inserted] = alarms_.try_emplace(key, alarm);
    if (inserted) {
        ++activePerSource_[alarm.source];
    } else {
        const uint64_t count = it->second.raiseCount;
        it->second = alarm;
        it->second.raiseCount = count;
    }
    ++it->second.raiseCount;
    CountLocked(alarm.source, 1, 0);
}

bool AlarmTable::Clear(const std::string& source, uint32_t eventType, const std::string& entity) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (alarms_.erase(Key{source, eventType, entity}) == 0)
        return false;
    --activePerSource_[source];
    CountLocked(source, 0, 1);
    return true;
}

size_t AlarmTable::ClearEntity(const std::string& source, const std::string& entity) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (auto it = alarms_.lower_bound(Key{source, 0, std::string()});
         it != alarms_.end() && std::get<0>(it->first) == source;) {
        if (std::get<2>(it->first) == entity) {
            it = alarms_.erase(it);
            ++n;
        } else {
            ++it;
        }
    }
    if (n > 0) {
        activePerSource_[source] -= static_cast<int64_t>(n);
        CountLocked(source, 0, static_cast<int64_t>(n));
    }
    return n;
}

std::vector<AlarmRecord> AlarmTable::Active() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<AlarmRecord> out;
    out.reserve(alarms_.size());
    for (const auto& [key, alarm] : alarms_)
        out.push_back(alarm);
    return out;
}

size_t AlarmTable::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return alarms_.size();
}

std::string AlarmTable::ToJson() const {
    // Ordered, so that a context keeps its fields in the order they were raised with; the other
    // keys are put in key order.
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const AlarmRecord& a : Active()) {
        nlohmann::ordered_json context = nlohmann::ordered_json::parse(a.context, nullptr, false);
        if (context.is_discarded())
            context = a.context;  // shown as text rather than dropped
        nlohmann::ordered_json row;
        row["component"] = a.component;
        row["context"] = std::move(context);
        row["entity"] = a.entity;
        row["event_type"] = a.eventType;
        row["raise_count"] = a.raiseCount;
        row["raised_at"] = a.raisedAt;
        row["source"] = a.source;
        list.push_back(std::move(row));
    }
    nlohmann::ordered_json out;
    out["active"] = list.size();
    out["alarms"] = std::move(list);
    return out.dump();
}

void AlarmTable::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    alarms_.clear();
    activePerSource_.clear();
    if (total_.active)
        total_.active->set(0);
    for (auto& [source, m] : perSource_) {
        if (m.active)
            m.active->set(0);
    }
}

}  // namespace ozy::monitoring

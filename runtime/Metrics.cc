#include "runtime/Metrics.h"

#include <initializer_list>
#include <utility>

namespace ozy::metrics {

void Latency::record(int64_t micros) {
    count_.fetch_add(1, std::memory_order_relaxed);
    sum_.fetch_add(micros, std::memory_order_relaxed);
    int64_t prev = max_.load(std::memory_order_relaxed);
    while (micros > prev && !max_.compare_exchange_weak(prev, micros, std::memory_order_relaxed)) {
    }
}

namespace {

template <typename Map>
typename Map::mapped_type getOrCreate(Map& map, typename Map::key_type key) {
    auto it = map.find(key);
    if (it == map.end()) {
        it =
            map.emplace(std::move(key), std::make_shared<typename Map::mapped_type::element_type>())
                .first;
    }
    return it->second;
}

bool NameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string promName(const std::string& name) {
    std::string out = "ozy_";
    for (char c : name)
        out.push_back(NameChar(c) ? c : '_');
    return out;
}

std::string labelText(const Labels& labels) {
    if (labels.empty())
        return std::string();
    std::string out = "{";
    for (const auto& [k, v] : labels) {
        if (out.size() > 1)
            out += ',';
        out += k + "=\"" + Registry::escapeLabelValue(v) + '"';
    }
    return out + '}';
}

// The exposition's families. Each metric (kind and registry name) claims a family name and the
// sample names it writes; a name another metric holds already is not shared: the later metric
// takes the first free numbered variant.
class Exposition {
  public:
    struct Family {
        std::string help;
        const char* type = "";
        std::string text;  // the samples
    };

    // The family name for `base` whose samples end in `suffixes`.
    const std::string& Claim(const std::string& base, std::initializer_list<const char*> suffixes,
                             const std::string& owner, const char* type, const std::string& help) {
        auto known = claimed_.find({owner, base});
        if (known != claimed_.end())
            return known->second;
        std::string name = base;
        for (int n = 2; !Free(name, suffixes, owner); ++n)
            name = base + '_' + std::to_string(n);
        for (const char* s : suffixes)
            owners_[name + s] = owner;
        Family& f = families_[name];
        f.help = help;
        f.type = type;
        return claimed_.emplace(std::make_pair(owner, base), name).first->second;
    }
    void Sample(const std::string& family, const char* suffix, const Labels& labels,
                int64_t value) {
        families_[family].text +=
            family + suffix + labelText(labels) + ' ' + std::to_string(value) + '\n';
    }
    std::string Text() const {
        std::string out;
        for (const auto& [name, f] : families_) {
            out += "# HELP " + name + ' ' + Registry::escapeHelp(f.help) + '\n';
            out += "# TYPE " + name + ' ' + f.type + '\n';
            out += f.text;
        }
        return out;
    }

  private:
    bool Free(const std::string& name, std::initializer_list<const char*> suffixes,
              const std::string& owner) const {
        if (families_.count(name) != 0)
            return false;
        for (const char* s : suffixes) {
            auto it = owners_.find(name + s);
            if (it != owners_.end() && it->second != owner)
                return false;
        }
        // A family name must not be a sample name of another family either.
        auto it = owners_.find(name);
        return it == owners_.end() || it->second == owner;
    }

    std::map<std::string, std::string> owners_;  // sample names
    std::map<std::pair<std::string, std::string>, std::string> claimed_;
    std::map<std::string, Family> families_;
};

}  // namespace

std::string Registry::escapeLabelValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string Registry::escapeHelp(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out.push_back(c);
    }
    return out;
}

std::string Registry::labelName(const std::string& name) {
    std::string out;
    for (char c : name)
        out.push_back(NameChar(c) ? c : '_');
    // Not empty, no leading digit, and not of the "__" names kept for the server's own use.
    if (out.empty() || (out[0] >= '0' && out[0] <= '9') || out.compare(0, 2, "__") == 0)
        out.insert(0, "l");
    return out;
}

Registry::Key Registry::MakeKey(const std::string& name, const Labels& labels) {
    Key key{name, {}};
    for (const auto& [k, v] : labels)
        key.labels[labelName(k)] = v;
    return key;
}

std::shared_ptr<Counter> Registry::counter(const std::string& name, const Labels& labels) {
    Key key = MakeKey(name, labels);
    std::lock_guard<std::mutex> lock(mutex_);
    return getOrCreate(counters_, std::move(key));
}
std::shared_ptr<Gauge> Registry::gauge(const std::string& name, const Labels& labels) {
    Key key = MakeKey(name, labels);
    std::lock_guard<std::mutex> lock(mutex_);
    return getOrCreate(gauges_, std::move(key));
}
std::shared_ptr<Frequency> Registry::frequency(const std::string& name, const Labels& labels) {
    Key key = MakeKey(name, labels);
    std::lock_guard<std::mutex> lock(mutex_);
    return getOrCreate(frequencies_, std::move(key));
}
std::shared_ptr<Latency> Registry::latency(const std::string& name, const Labels& labels) {
    Key key = MakeKey(name, labels);
    std::lock_guard<std::mutex> lock(mutex_);
    return getOrCreate(latencies_, std::move(key));
}

size_t Registry::remove(const std::string& name, const Labels& labels) {
    const Key key = MakeKey(name, labels);
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_.erase(key) + gauges_.erase(key) + frequencies_.erase(key) +
           latencies_.erase(key);
}

size_t Registry::seriesCount(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    auto count = [&](const auto& series) {
        for (auto it = series.lower_bound(Key{name, {}});
             it != series.end() && it->first.name == name; ++it)
            ++n;
    };
    count(counters_);
    count(gauges_);
    count(frequencies_);
    count(latencies_);
    return n;
}

std::string Registry::exportPrometheus() const {
    Exposition out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [key, c] : counters_) {
        const std::string& f =
            out.Claim(promName(key.name), {""}, "counter\n" + key.name, "gauge", key.name);
        out.Sample(f, "", key.labels, c->value());
    }
    for (const auto& [key, g] : gauges_) {
        const std::string& f =
            out.Claim(promName(key.name), {""}, "gauge\n" + key.name, "gauge", key.name);
        out.Sample(f, "", key.labels, g->value());
    }
    for (const auto& [key, q] : frequencies_) {
        const std::string& f = out.Claim(promName(key.name) + "_total", {""},
                                         "frequency\n" + key.name, "counter", key.name);
        out.Sample(f, "", key.labels, q->total());
    }
    for (const auto& [key, l] : latencies_) {
        const std::string base = promName(key.name) + "_us";
        const std::string& f = out.Claim(base, {"_count", "_sum"}, "latency\n" + key.name,
                                         "summary", key.name + " (microseconds)");
        out.Sample(f, "_count", key.labels, l->count());
        out.Sample(f, "_sum", key.labels, l->sum());
        const std::string& m = out.Claim(f + "_max", {""}, "latency max\n" + key.name, "gauge",
                                         key.name + " (maximum, microseconds)");
        out.Sample(m, "", key.labels, l->max());
    }
    return out.Text();
}

std::string Registry::dumpText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, std::string> lines;
    for (const auto& [key, c] : counters_)
        lines[key.name + labelText(key.labels) + " counter"] = std::to_string(c->value());
    for (const auto& [key, g] : gauges_)
        lines[key.name + labelText(key.labels) + " gauge"] = std::to_string(g->value());
    for (const auto& [key, f] : frequencies_)
        lines[key.name + labelText(key.labels) + " frequency"] = std::to_string(f->total());
    for (const auto& [key, l] : latencies_) {
        lines[key.name + labelText(key.labels) + " latency"] =
            "count=" + std::to_string(l->count()) + " sum_us=" + std::to_string(l->sum()) +
            " max_us=" + std::to_string(l->max());
    }
    std::string out;
    for (const auto& [k, v] : lines) {
        out += k + ' ' + v + '\n';
    }
    return out;
}

}  // namespace ozy::metrics

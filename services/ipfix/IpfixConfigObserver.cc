#include "services/ipfix/IpfixConfigObserver.h"

#include <nlohmann/json.hpp>

#include "proto/cairndb_ipfix.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/AgentLock.h"
#include "runtime/AsyncTimer.h"
#include "runtime/IoContexts.h"
#include "runtime/Logger.h"
#include "runtime/WorkGroup.h"
#include "runtime/WorkItem.h"
#include "statecache/IStateCacheConfigTable.h"
#include "statecache/IdText.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

ozy::RefPtr<IpfixConfigObserver> IpfixConfigObserver::Create(Options options) {
    CFG_INFO("IpfixConfigObserver::Create");
    return ozy::RefPtr<IpfixConfigObserver>(new IpfixConfigObserver(std::move(options)));
}

IpfixConfigObserver::IpfixConfigObserver(Options options)
    : options_(std::move(options)), firewall_(options_.firewall) {}

IpfixConfigObserver::~IpfixConfigObserver() {
    CFG_INFO("IpfixConfigObserver::destroy");
}

bool IpfixConfigObserver::start() {
    CFG_INFO("IpfixConfigObserver::start");
    if (IpfixFirewall::RulesetPresent()) {
        // The ruleset of an earlier run: what it opens is unknown here, so the first pass (the
        // table's full sync) rewrites it, or disables it and removes the file when no port has a
        // collector.
        CFG_INFO("IpfixConfigObserver: ruleset %1 left by an earlier run, owed a rewrite",
                 IpfixFirewall::kRulesetPath);
        std::lock_guard<std::mutex> lock(firewallMutex_);
        owed_ = true;
    }
    boost::asio::io_context& io =
        options_.timerContext != nullptr ? *options_.timerContext : IoContext();
    retryTimer_ = std::make_shared<AsyncTimer<IpfixConfigObserver>>(
        io, &IpfixConfigObserver::OnRetryTimer, this);
    if (options_.postLoop) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = true;
        }
        if (!WorkGroups::Post(
                MakeWorkItem(&IpfixConfigObserver::Run, this, "IpfixConfigObserver"))) {
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = false;
            CFG_ERROR_CODE("LCP01601", "IpfixConfigObserver::start: the loop was not posted");
            return false;
        }
    }
    registered_ = options_.configTable->RegisterDesiredStateObserver(ObjectType::PROFILE, this);
    return registered_;
}

void IpfixConfigObserver::stop() {
    CFG_INFO("IpfixConfigObserver::stop");
    if (registered_) {
        options_.configTable->UnregisterDesiredStateObserver(ObjectType::PROFILE, this);
        registered_ = false;
    }
    if (retryTimer_) {
        retryTimer_->stop();
        retryTimer_.reset();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    events_.clear();
    wake_.notify_all();
    wake_.wait_for(lock, std::chrono::seconds(10), [this] { return !running_; });
}

void IpfixConfigObserver::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !events_.empty(); });
        if (stopping_)
            break;
        lock.unlock();
        try {
            RunPending();
        } catch (const std::exception& e) {
            CFG_ERROR("IpfixConfigObserver: Caught exception at line %1. Ignored. (%2)", __LINE__,
                      e.what());
        }
        lock.lock();
    }
    running_ = false;
    wake_.notify_all();
}

void IpfixConfigObserver::Queue(Event event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
        return;
    events_.push_back(std::move(event));
    wake_.notify_all();
}

void IpfixConfigObserver::ProcessConfigDesiredStateUpdate(const CairnDBUpdateList& updates,
                                                          bool fullSync) {
    CFG_DEBUG("IpfixConfigObserver: ProcessConfigDesiredStateUpdate");
    Event e;
    e.kind = Event::kTable;
    e.fullSync = fullSync;
    for (const CairnDBUpdateMsg& u : updates) {
        if (u.objType != ObjectType::PROFILE) {
            CFG_INFO("ProcessConfigDesiredStateUpdate: unsupported object update, %1",
                     ObjectTypeName(static_cast<uint32_t>(u.objType)));
            continue;
        }
        // A collector profile's collectors changed, or a profile went away as a whole.
        bool wholeDelete =
            u.property == PropertyType::INVALID_PROPERTY && u.op == Operation::OPERATION_DELETE;
        if (u.property != PropertyType::IPFIX_COLLECTOR_PROFILE && !wholeDelete) {
            if (u.property != PropertyType::INVALID_PROPERTY)
                CFG_DEBUG("ProcessIpfixProfileUpdate: not supported profile %1",
                          static_cast<uint32_t>(u.property));
            continue;
        }
        if (!wholeDelete)
            CFG_INFO("ProcessIpfixProfileUpdate: update collector profile");
        e.collectors.push_back(IdText(u.id));
    }
    if (!e.collectors.empty() || fullSync)
        Queue(std::move(e));
}

void IpfixConfigObserver::IpfixOZYProcessUpdatesFromUpm(
    const std::vector<ozy::upm::ProfileUpdate>& updates, bool fullSync) {
    Event e;
    e.kind = Event::kUpm;
    e.upm = updates;
    e.fullSync = fullSync;
    Queue(std::move(e));
}

void IpfixConfigObserver::OnRetryTimer() {
    Queue(Event{});
}

void IpfixConfigObserver::RunPending() {
    std::deque<Event> events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events.swap(events_);
    }
    if (events.empty())
        return;
    {
        AgentLockGuard guard(GlobalAgentLock());
        for (Event& e : events)
            Handle(e);
        if (!pending_.empty()) {
            PortValues values;
            values.swap(pending_);
            options_.sink(values);
        }
    }
    ApplyFirewall();
}

void IpfixConfigObserver::Handle(Event& e) {
    if (e.kind == Event::kUpm) {
        HandleUpm(e.upm, e.fullSync);
    } else if (e.kind == Event::kTable) {
        for (const std::string& c : e.collectors)
            collectorCache_.erase(c);
        if (e.fullSync) {
            collectorCache_.clear();
            RefreshAll();
            return;
        }
        std::set<std::string> seen;
        for (const std::string& c : e.collectors) {
            if (seen.insert(c).second)
                HandleIpfixCollectorProfileUpdate(c);
        }
    }
}

void IpfixConfigObserver::HandleUpm(const std::vector<ozy::upm::ProfileUpdate>& updates,
                                    bool fullSync) {
    std::set<std::string> listed;
    // A profile bound to many ports shares one body: its switch profile is taken out once.
    std::map<const std::string*, std::optional<std::string>> switchBodies;
    for (const ozy::upm::ProfileUpdate& u : updates) {
        if (fullSync)
            listed.insert(u.portId);
        if (!u.HasProfile()) {
            CFG_DEBUG("IpfixOZYProcessUpdatesFromUpm: Delete profile case, resetting config");
            ResetPort(u.portId);
            continue;
        }
        auto parsed = switchBodies.find(u.profile.get());
        if (parsed == switchBodies.end()) {
            pb::ProfileMsg profile;
            std::string body;
            std::optional<std::string> sp;
            if (profile.ParseFromString(*u.profile) &&
                profile.ipfix_switch_profile().SerializeToString(&body))
                sp = std::move(body);
            parsed = switchBodies.emplace(u.profile.get(), std::move(sp)).first;
        }
        if (!parsed->second) {
            CFG_ERROR_CODE("LCP01602",
                           "IpfixOZYProcessUpdatesFromUpm: profile %1 of port %2 "
                           "does not parse, ignored",
                           u.profileId, u.portId);
            continue;
        }
        CFG_DEBUG("IpfixOZYProcessUpdatesFromUpm: Create/Update profile case, updating config");
        BindPort(u.portId, u.profileId, *parsed->second);
        GeneratePortIpfixConfig(u.portId, false);
    }
    if (!fullSync)
        return;
    std::vector<std::string> gone;
    for (const auto& [port, entry] : ports_) {
        if (listed.count(port) == 0)
            gone.push_back(port);
    }
    for (const std::string& port : gone)
        ResetPort(port);
}

void IpfixConfigObserver::BindPort(const std::string& port, const std::string& profileId,
                                   std::string body) {
    Port& entry = ports_[port];
    if (entry.switchProfile != profileId) {
        auto old = switchProfiles_.find(entry.switchProfile);
        if (old != switchProfiles_.end()) {
            old->second.ports.erase(port);
            if (old->second.ports.empty())
                switchProfiles_.erase(old);
        }
        entry.switchProfile = profileId;
    }
    SwitchProfile& sp = switchProfiles_[profileId];
    sp.ports.insert(port);
    if (sp.body == body && !sp.body.empty())
        return;
    pb::IpfixSwitchProfileMsg m;
    m.ParseFromString(body);
    sp.body = std::move(body);
    sp.collector.clear();
    if (m.config().collector_profile_ids_size() > 0) {
        const pb::UuidMsg& id = m.config().collector_profile_ids(0);
        std::string serialized;
        id.SerializeToString(&serialized);
        sp.collector = IdText(serialized);
    }
}

void IpfixConfigObserver::ResetPort(const std::string& port) {
    auto it = ports_.find(port);
    if (it == ports_.end())
        return;
    SetPortConfig(port, it->second, std::nullopt);
    auto sp = switchProfiles_.find(it->second.switchProfile);
    if (sp != switchProfiles_.end()) {
        sp->second.ports.erase(port);
        if (sp->second.ports.empty())
            switchProfiles_.erase(sp);
    }
    ports_.erase(it);
}

void IpfixConfigObserver::HandleIpfixCollectorProfileUpdate(const std::string& collector) {
    for (const auto& [id, sp] : switchProfiles_) {
        CFG_DEBUG("checking ipfix switch profile %1", id);
        if (sp.collector != collector) {
            CFG_DEBUG("ipfix switch profile %1 is using another collector %2, ignore", id,
                      sp.collector);
            continue;
        }
        CFG_INFO("ipfix switch profile %1 is using target collector %2, refresh", id, collector);
        CFG_INFO("exist ipfix collector profile %1 changed, refresh all related ports", collector);
        for (const std::string& port : sp.ports)
            GeneratePortIpfixConfig(port, true);
    }
}

void IpfixConfigObserver::RefreshAll() {
    for (const auto& [port, entry] : ports_)
        GeneratePortIpfixConfig(port, true);
}

const std::vector<IpfixCollector>* IpfixConfigObserver::Collectors(const std::string& collector,
                                                                   bool* missing) {
    auto it = collectorCache_.find(collector);
    if (it == collectorCache_.end()) {
        CollectorEntry e;
        std::string id;
        std::string body;
        pb::ProfileMsg m;
        std::string why;
        std::vector<IpfixCollector> collectors;
        if (!IdFromText(collector, &id) ||
            !options_.configTable->GetProperty(ConfigStore::kDesired, ObjectType::PROFILE, id,
                                               PropertyType::IPFIX_COLLECTOR_PROFILE, &body)) {
            CFG_WARN("GeneratePortIpfixConfig: Cannot query collector msg %1 from cache",
                     collector);
            e.missing = true;
        } else if (!m.ParseFromString(body) ||
                   !ReadIpfixCollectors(m.ipfix_collector_profile(), &collectors, &why)) {
            CFG_ERROR_CODE("LCP01602", "GeneratePortIpfixConfig: collector profile %1 refused: %2",
                           collector, why.empty() ? std::string("its body does not parse") : why);
        } else {
            e.collectors = std::move(collectors);
        }
        it = collectorCache_.emplace(collector, std::move(e)).first;
    }
    *missing = it->second.missing;
    return it->second.collectors ? &*it->second.collectors : nullptr;
}

void IpfixConfigObserver::GeneratePortIpfixConfig(const std::string& port, bool authoritative) {
    auto it = ports_.find(port);
    if (it == ports_.end())
        return;
    Port& entry = it->second;
    auto sp = switchProfiles_.find(entry.switchProfile);
    if (sp == switchProfiles_.end()) {
        CFG_INFO("GeneratePortIpfixConfig: remove switch profile on %1", port);
        SetPortConfig(port, entry, std::nullopt);
        return;
    }
    if (sp->second.collector.empty()) {
        CFG_WARN("GeneratePortIpfixConfig: Cannot get ipfix collectors");
        return;
    }
    CFG_DEBUG("GeneratePortIpfixConfig use collector profile %1 for port %2", sp->second.collector,
              port);
    bool missing = false;
    const std::vector<IpfixCollector>* collectors = Collectors(sp->second.collector, &missing);
    if (collectors == nullptr) {
        if (missing && authoritative)
            SetPortConfig(port, entry, std::nullopt);
        return;
    }
    if (collectors->empty()) {
        CFG_WARN("GeneratePortIpfixConfig: Cannot get ipfix collectors");
        return;
    }
    pb::IpfixSwitchProfileMsg profile;
    profile.ParseFromString(sp->second.body);
    IpfixPortConfig config;
    std::string why;
    if (!BuildIpfixOzyPortPropUpdateData(port, profile, *collectors, &config, &why)) {
        CFG_ERROR_CODE("LCP01602", "GeneratePortIpfixConfig: port %1 refused: %2", port, why);
        return;
    }
    SetPortConfig(port, entry, std::move(config));
}

void IpfixConfigObserver::SetPortConfig(const std::string& port, Port& entry,
                                        std::optional<IpfixPortConfig> c) {
    std::vector<uint8_t> value = c ? c->Encode() : std::vector<uint8_t>();
    std::vector<uint8_t> old = entry.config ? entry.config->Encode() : std::vector<uint8_t>();
    if (value == old)
        return;
    auto ports = [](const std::optional<IpfixPortConfig>& cfg) {
        std::set<uint16_t> s;
        if (cfg) {
            for (const IpfixCollector& col : cfg->collectors)
                s.insert(col.port);
        }
        return s;
    };
    for (uint16_t p : ports(entry.config)) {
        auto r = portRefs_.find(p);
        if (r != portRefs_.end() && --r->second == 0)
            portRefs_.erase(r);
    }
    for (uint16_t p : ports(c))
        ++portRefs_[p];
    entry.config = std::move(c);
    std::string id;
    if (!IdFromText(port, &id)) {
        CFG_ERROR_CODE("LCP01602", "GeneratePortIpfixConfig: port id %1 is not a UUID", port);
        return;
    }
    pending_.emplace_back(std::move(id), std::move(value));
}

void IpfixConfigObserver::ApplyFirewall() {
    std::set<uint16_t> desired;
    {
        AgentLockGuard guard(GlobalAgentLock());
        for (const auto& [p, n] : portRefs_)
            desired.insert(p);
    }
    std::lock_guard<std::mutex> lock(firewallMutex_);
    if (!owed_ && desired == applied_)
        return;
    if (firewall_.Apply(desired)) {
        applied_ = std::move(desired);
        owed_ = false;
        return;
    }
    owed_ = true;
    if (retryTimer_)
        retryTimer_->start(static_cast<uint64_t>(options_.retryInterval.count()) * 1000);
}

std::set<uint16_t> IpfixConfigObserver::CollectorPorts() const {
    std::set<uint16_t> s;
    for (const auto& [p, n] : portRefs_)
        s.insert(p);
    return s;
}

bool IpfixConfigObserver::FirewallOwed() const {
    std::lock_guard<std::mutex> lock(firewallMutex_);
    return owed_;
}

const IpfixPortConfig* IpfixConfigObserver::GetPortIpfixConfigUpdate(
    const std::string& port) const {
    auto it = ports_.find(port);
    if (it == ports_.end() || !it->second.config) {
        CFG_INFO("GetPortIpfixConfigUpdate: No effective profile found");
        return nullptr;
    }
    return &*it->second.config;
}

std::string IpfixConfigObserver::PortJson(const Port& entry) const {
    nlohmann::json j;
    j["switch_profile"] = entry.switchProfile;
    auto sp = switchProfiles_.find(entry.switchProfile);
    j["collector_profile"] = sp != switchProfiles_.end() ? sp->second.collector : std::string();
    j["exported"] = entry.config.has_value();
    if (entry.config) {
        j["observation_domain_id"] = entry.config->observationDomainId;
        j["sampling_location"] = entry.config->samplingLocation;
        nlohmann::json cols = nlohmann::json::array();
        for (const IpfixCollector& c : entry.config->collectors)
            cols.push_back({{"address", c.AddressText()}, {"port", c.port}});
        j["collectors"] = cols;
    }
    return j.dump();
}

std::string IpfixConfigObserver::EffectiveProfilesJson() const {
    std::string out = "{";
    for (const auto& [port, entry] : ports_) {
        if (out.size() > 1)
            out += ",";
        out += nlohmann::json(port).dump() + ":" + PortJson(entry);
    }
    return out + "}";
}

std::string IpfixConfigObserver::EffectiveProfileJson(const std::string& port) const {
    auto it = ports_.find(port);
    return it == ports_.end() ? std::string("{}") : PortJson(it->second);
}

}  // namespace CfgAgent

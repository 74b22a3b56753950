#include "platform/upm/UPMService.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "platform/LibraryLogLevels.h"
#include "platform/cairndb/CairnDbClientInterface.h"
#include "proto/UuidText.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_switching.pb.h"
#include "runtime/Logger.h"

namespace ozy::upm {

namespace pb = orvane::ozy::cairndb;

#define UPM_LOG(lvl, ...) CFG_LOG_AT(::ozy::upm::library_log_level, lvl, {}, __VA_ARGS__)

namespace {

std::string Text(const pb::UuidMsg& id) {
    return ozy::cairndb::UuidText(id.left(), id.right());
}

pb::MonitorStatementMsg Statement(pb::ObjectType type) {
    pb::MonitorStatementMsg s;
    s.mutable_statement()->set_object_type(type);
    s.set_option(true);
    return s;
}

std::vector<pb::MonitorStatementMsg> Statements() {
    return {Statement(pb::PROFILE), Statement(pb::ENTITY_GROUP_RELATION)};
}

// An update deletes its object when it carries only the old body.
bool IsDelete(const pb::MonitorUpdateMsg& u) {
    return u.object_body().empty() && !u.old_object_body().empty();
}

}  // namespace

UPMService::UPMService(std::shared_ptr<cairndb::CairnDbClientInterface> client, uint16_t vdb)
    : client_(std::move(client)), vdb_(vdb) {}

UPMService::~UPMService() {
    Stop();
}

int UPMService::RegisterMonitorCallback(std::set<uint32_t> profileTypes, ProfileCallback callback) {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    const int id = nextCallbackId_++;
    callbacks_[id] = Callback{std::move(profileTypes), std::move(callback)};
    return id;
}

void UPMService::UnregisterMonitorCallback(int id) {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    callbacks_.erase(id);
}

bool UPMService::Start() {
    if (!client_)
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_)
            return true;
        running_ = true;
        fullSyncPending_ = true;
    }
    client_->RegisterMonitorCallbacks(
        kMonitorId, vdb_, [this](const pb::MonitorUpdateMsg& u) { OnUpdate(u); },
        [this] { OnBarrier(); });
    if (!client_->ConfigureMonitor(Statements(), {}, kMonitorId, vdb_)) {
        CFG_ERROR("UPMService: Failed to configure the profile monitor for vdb %1", vdb_);
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        return false;
    }
    UPM_LOG(CfgAgent::kLogInfo, "UPMService: started on vdb %1", vdb_);
    return true;
}

void UPMService::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_)
            return;
        running_ = false;
    }
    if (client_ && !client_->ConfigureMonitor({}, Statements(), kMonitorId, vdb_)) {
        CFG_ERROR("UPMService: Failed to remove the profile monitor for vdb %1", vdb_);
    }
    UPM_LOG(CfgAgent::kLogInfo, "UPMService: stopped");
}

bool UPMService::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void UPMService::OnChannelDown() {
    std::lock_guard<std::mutex> lock(mutex_);
    resetPending_ = true;
    fullSyncPending_ = true;
}

void UPMService::ResetLocked() {
    // Complete contents follow: forget the objects, keep the effective profiles to compare with.
    for (const auto& [port, ignored] : effective_)
        dirty_.insert(port);
    profiles_.clear();
    portBindings_.clear();
    containerBindings_.clear();
    relations_.clear();
    containerPorts_.clear();
    portContainers_.clear();
    newBodies_.clear();
    resetPending_ = false;
}

void UPMService::UnbindLocked(const std::string& profileId) {
    auto it = profiles_.find(profileId);
    if (it == profiles_.end())
        return;
    for (const std::string& port : it->second.ports) {
        portBindings_[port].erase(profileId);
        dirty_.insert(port);
    }
    for (const std::string& c : it->second.containers) {
        containerBindings_[c].erase(profileId);
        for (const std::string& port : containerPorts_[c])
            dirty_.insert(port);
    }
    profiles_.erase(it);
}

void UPMService::SwapBodyLocked(const std::string& profileId, const Profile& profile, bool fullSync,
                                std::vector<ProfileUpdate>* updates) {
    // The ports that have the profile hold one body between them (or a few, when some were
    // recomputed): its text is compared with the new one once per body, not per port.
    ProfileBody old;
    bool sameText = false;
    auto visit = [&](const std::string& port) {
        auto effective = effective_.find(port);
        if (effective == effective_.end())
            return;
        auto chosen = effective->second.find(profile.type);
        // Ports that have another profile of the type keep it; a port recomputed at this
        // barrier holds the new body already.
        if (chosen == effective->second.end() || chosen->second.first != profileId ||
            chosen->second.second == profile.body)
            return;
        if (chosen->second.second != old) {
            old = chosen->second.second;
            sameText = old && *old == *profile.body;
        }
        chosen->second.second = profile.body;
        if (!fullSync && !sameText)
            updates->push_back(ProfileUpdate{port, profile.type, profileId, profile.body});
    };
    for (const std::string& port : profile.ports)
        visit(port);
    for (const std::string& c : profile.containers) {
        auto ports = containerPorts_.find(c);
        if (ports == containerPorts_.end())
            continue;
        for (const std::string& port : ports->second)
            visit(port);
    }
}

void UPMService::BindLocked(const std::string& profileId, Profile profile) {
    for (const std::string& port : profile.ports) {
        portBindings_[port].insert(profileId);
        dirty_.insert(port);
    }
    for (const std::string& c : profile.containers) {
        containerBindings_[c].insert(profileId);
        for (const std::string& port : containerPorts_[c])
            dirty_.insert(port);
    }
    profiles_[profileId] = std::move(profile);
}

void UPMService::SetRelationLocked(
    const std::string& relationId,
    std::vector<std::pair<std::string, std::vector<std::string>>> members) {
    auto old = relations_.find(relationId);
    if (old != relations_.end()) {
        for (const auto& [container, ports] : old->second) {
            for (const std::string& port : ports) {
                containerPorts_[container].erase(port);
                portContainers_[port].erase(container);
                dirty_.insert(port);
            }
        }
        relations_.erase(old);
    }
    if (members.empty())
        return;
    for (const auto& [container, ports] : members) {
        for (const std::string& port : ports) {
            containerPorts_[container].insert(port);
            portContainers_[port].insert(container);
            dirty_.insert(port);
        }
    }
    relations_[relationId] = std::move(members);
}

void UPMService::TouchContainerLocked(const std::string& containerId) {
    auto it = containerPorts_.find(containerId);
    if (it == containerPorts_.end())
        return;
    for (const std::string& port : it->second)
        dirty_.insert(port);
}

void UPMService::RevertContainerMapping(const std::string& containerId, bool present) {
    bool deliverNow = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool was = containersPresent_.count(containerId) != 0;
        if (present == was)
            return;
        if (present) {
            containersPresent_.insert(containerId);
        } else {
            containersPresent_.erase(containerId);
        }
        UPM_LOG(CfgAgent::kLogInfo, "UPMService: container %1 mapping %2", containerId,
                present ? "applied" : "reverted");
        TouchContainerLocked(containerId);
        // The container's own transaction does not reach this service's monitor: its ports are
        // delivered now, unless the first contents are still to come (their full sync covers it).
        deliverNow = running_ && !fullSyncPending_ && !dirty_.empty();
    }
    if (deliverNow)
        OnBarrier();
}

void UPMService::OnUpdate(const pb::MonitorUpdateMsg& update) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_)
        return;
    if (resetPending_)
        ResetLocked();
    const bool del = IsDelete(update);
    const std::string& bytes = del ? update.old_object_body() : update.object_body();
    if (update.object_type() == pb::PROFILE) {
        pb::ProfileMsg msg;
        if (!msg.ParseFromString(bytes) || !msg.has_id()) {
            CFG_ERROR_CODE("LCP00028", "UPMService: Dropped a PROFILE that does not parse");
            return;
        }
        const std::string id = Text(msg.id());
        if (del || !msg.has_profile_type()) {
            UnbindLocked(id);
            if (!del)
                CFG_ERROR_CODE("LCP00028", "UPMService: Dropped PROFILE %1 without profile type",
                               id);
            return;
        }
        Profile p;
        p.type = msg.profile_type();
        p.portKeys.reserve(static_cast<size_t>(msg.logical_switch_port_ids_size()));
        for (const pb::UuidMsg& port : msg.logical_switch_port_ids())
            p.portKeys.emplace_back(port.left(), port.right());
        for (const pb::UuidMsg& c : msg.container_ids())
            p.containerKeys.emplace_back(c.left(), c.right());
        // A profile whose body changed and whose type, ports and containers did not (a new limit
        // for the same thousand ports) keeps its bindings, and every port keeps its choice: only
        // the ports that have it take the new body at the barrier.
        auto same = profiles_.find(id);
        if (same != profiles_.end() && same->second.type == p.type &&
            same->second.portKeys == p.portKeys && same->second.containerKeys == p.containerKeys) {
            if (*same->second.body != update.object_body()) {
                same->second.body = std::make_shared<const std::string>(update.object_body());
                newBodies_.insert(id);
            }
            return;
        }
        p.body = std::make_shared<const std::string>(update.object_body());
        p.ports.reserve(p.portKeys.size());
        for (const Key& port : p.portKeys)
            p.ports.push_back(ozy::cairndb::UuidText(port.first, port.second));
        for (const Key& c : p.containerKeys)
            p.containers.push_back(ozy::cairndb::UuidText(c.first, c.second));
        UnbindLocked(id);
        BindLocked(id, std::move(p));
    } else if (update.object_type() == pb::ENTITY_GROUP_RELATION) {
        pb::EntityGroupRelationMsg msg;
        if (!msg.ParseFromString(bytes) || !msg.has_id()) {
            CFG_ERROR_CODE("LCP00028",
                           "UPMService: Dropped an ENTITY_GROUP_RELATION that does not parse");
            return;
        }
        std::vector<std::pair<std::string, std::vector<std::string>>> members;
        if (!del) {
            for (const auto& m : msg.container_logical_switch_port()) {
                std::vector<std::string> ports;
                for (const pb::UuidMsg& port : m.logical_switch_port_ids())
                    ports.push_back(Text(port));
                members.emplace_back(Text(m.container_id()), std::move(ports));
            }
        }
        SetRelationLocked(Text(msg.id()), std::move(members));
    }
}

UPMService::PortProfiles UPMService::ComputeLocked(const std::string& port) const {
    PortProfiles out;
    // Least profile id per type among `ids`, into `out` where the type is not set yet.
    auto choose = [this, &out](const std::set<std::string>& ids) {
        PortProfiles found;
        for (const std::string& id : ids) {  // ordered: the first of a type is the least id
            auto p = profiles_.find(id);
            if (p != profiles_.end() && found.count(p->second.type) == 0)
                found[p->second.type] = {id, p->second.body};
        }
        for (auto& [type, chosen] : found)
            out.emplace(type, std::move(chosen));  // keeps a type already set
    };
    auto direct = portBindings_.find(port);
    if (direct != portBindings_.end())
        choose(direct->second);
    auto containers = portContainers_.find(port);
    if (containers != portContainers_.end()) {
        std::set<std::string> viaContainers;
        for (const std::string& c : containers->second) {
            if (containersPresent_.count(c) == 0)
                continue;
            auto bound = containerBindings_.find(c);
            if (bound != containerBindings_.end())
                viaContainers.insert(bound->second.begin(), bound->second.end());
        }
        choose(viaContainers);
    }
    return out;
}

void UPMService::OnBarrier() {
    std::vector<ProfileUpdate> updates;
    bool fullSync = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_)
            return;
        if (resetPending_)
            ResetLocked();  // an empty database after a reconnection
        fullSync = fullSyncPending_;
        fullSyncPending_ = false;
        // Whether two bodies hold the same text, compared once per pair however many ports
        // have them (the pairs keep both alive: no address is reused while compared).
        std::map<std::pair<ProfileBody, ProfileBody>, bool> sameText;
        auto same = [&sameText](const ProfileBody& a, const ProfileBody& b) {
            if (a == b)
                return true;
            auto it = sameText.find({a, b});
            if (it == sameText.end())
                it = sameText.emplace(std::make_pair(a, b), a && b && *a == *b).first;
            return it->second;
        };
        for (const std::string& port : dirty_) {
            PortProfiles now = ComputeLocked(port);
            PortProfiles& before = effective_[port];
            if (!fullSync) {
                for (const auto& [type, chosen] : before) {
                    if (now.count(type) == 0)
                        updates.push_back(ProfileUpdate{port, type, std::string(), nullptr});
                }
                for (const auto& [type, chosen] : now) {
                    auto b = before.find(type);
                    if (b == before.end() || b->second.first != chosen.first ||
                        !same(b->second.second, chosen.second))
                        updates.push_back(ProfileUpdate{port, type, chosen.first, chosen.second});
                }
            }
            if (now.empty()) {
                effective_.erase(port);
            } else {
                before = std::move(now);
            }
        }
        dirty_.clear();
        for (const std::string& id : newBodies_) {
            auto p = profiles_.find(id);
            if (p != profiles_.end())
                SwapBodyLocked(id, p->second, fullSync, &updates);
        }
        newBodies_.clear();
        if (fullSync) {
            for (const auto& [port, profiles] : effective_) {
                for (const auto& [type, chosen] : profiles)
                    updates.push_back(ProfileUpdate{port, type, chosen.first, chosen.second});
            }
        }
    }
    UPM_LOG(CfgAgent::kLogDebug, "UPMService: barrier (full sync %1) with %2 profile update(s)",
            fullSync, updates.size());
    if (fullSync || !updates.empty())
        Deliver(updates, fullSync);
}

void UPMService::Deliver(const std::vector<ProfileUpdate>& updates, bool fullSync) {
    // The types the updates carry, found once (a profile bound to many ports is a run of one
    // type): a callback registered for all of them is passed the updates as they are, one for
    // none of them is passed nothing (but a full sync), without a look at every update.
    std::set<uint32_t> present;
    for (size_t i = 0; i < updates.size(); ++i) {
        if (i == 0 || updates[i].profileType != updates[i - 1].profileType)
            present.insert(updates[i].profileType);
    }
    std::lock_guard<std::mutex> lock(callbackMutex_);
    for (const auto& [id, cb] : callbacks_) {
        if (std::includes(cb.types.begin(), cb.types.end(), present.begin(), present.end())) {
            if (fullSync || !updates.empty())
                cb.fn(updates, fullSync);
            continue;
        }
        if (std::none_of(present.begin(), present.end(),
                         [&cb = cb](uint32_t type) { return cb.types.count(type) != 0; })) {
            if (fullSync)
                cb.fn({}, fullSync);
            continue;
        }
        // Some of them: picked out in their order.
        std::vector<ProfileUpdate> mine;
        for (const ProfileUpdate& u : updates) {
            if (cb.types.count(u.profileType) != 0)
                mine.push_back(u);
        }
        if (fullSync || !mine.empty())
            cb.fn(mine, fullSync);
    }
}

std::string UPMService::EffectiveProfile(const std::string& portId, uint32_t profileType) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto port = effective_.find(portId);
    if (port == effective_.end())
        return std::string();
    auto chosen = port->second.find(profileType);
    return chosen == port->second.end() || !chosen->second.second ? std::string()
                                                                  : *chosen->second.second;
}

std::string UPMService::ToJson() const {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json ports = nlohmann::json::object();
    for (const auto& [port, profiles] : effective_) {
        nlohmann::json byType = nlohmann::json::object();
        for (const auto& [type, chosen] : profiles)
            byType[std::to_string(type)] = chosen.first;
        ports[port] = std::move(byType);
    }
    nlohmann::json out;
    out["ports"] = std::move(ports);
    out["containers"] = containersPresent_;
    out["profiles"] = profiles_.size();
    return out.dump();
}

}  // namespace ozy::upm

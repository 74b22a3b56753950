#include "dfw/DfwFilterFeature.h"

#include <optional>
#include <utility>

#include "dfw/DfwLog.h"
#include "platform/tarp/TarpFw.h"
#include "platform/upm/UPMService.h"
#include "proto/UuidText.h"
#include "proto/cairndb_switching.pb.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;

DfwFilterFeature::DfwFilterFeature(Options options, Words words)
    : options_(std::move(options)), words_(std::move(words)) {
    DFW_INFO("dfw: Created %1 instance", words_.cls);
}

DfwFilterFeature::~DfwFilterFeature() {
    DFW_INFO("dfw: Destroyed %1 instance", words_.cls);
}

bool DfwFilterFeature::start(ozy::upm::UPMService* upm) {
    std::string why;
    if (!Resolve(nullptr, &defaults_.values, &why)) {
        DFW_ERROR_CODE("LCP00002", "dfw: failed to start %1: %2", words_.cls, why);
        return false;
    }
    upm_ = upm;
    if (upm_ != nullptr) {
        ozy::RefPtr<DfwFilterFeature> self(this);
        callbackId_ = upm_->RegisterMonitorCallback(
            {words_.type}, [self](const std::vector<ozy::upm::ProfileUpdate>& updates,
                                  bool fullSync) { self->SetConfig(updates, fullSync); });
    }
    return true;
}

void DfwFilterFeature::stop() {
    if (upm_ != nullptr && callbackId_ != 0)
        upm_->UnregisterMonitorCallback(callbackId_);
    callbackId_ = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        requests_.clear();
    }
    DFW_INFO(words_.stopped);
}

void DfwFilterFeature::SetConfig(const std::vector<ozy::upm::ProfileUpdate>& updates,
                                 bool fullSync) {
    DFW_INFO(words_.callback, fullSync, updates.size());
    size_t pending = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_)
            return;
        // A full sync replaces everything: what was pending is superseded by it.
        if (fullSync) {
            requests_.clear();
            fullSync_ = true;
        }
        for (const ozy::upm::ProfileUpdate& u : updates) {
            if (u.profileType == 0) {
                DFW_ERROR_CODE("LCP01153", "dfw: no profile type specified %1", u.portId);
                continue;
            }
            if (u.profileType != words_.type) {
                DFW_WARN("dfw: SetConfig: unhandled profile type %1", u.profileType);
                continue;
            }
            if (!u.HasProfile()) {
                DFW_DEBUG("dfw: reveiced empty new profile for LSP %1", u.portId);
            } else {
                DFW_DEBUG("dfw: SetConfig: received new %1 profile for LSP %2: %3", words_.what,
                          u.portId, u.profileId);
            }
            Request& req = requests_[u.portId];
            req = Request{};
            if (u.HasProfile()) {
                req.profileId = u.profileId;
                req.body = u.profile;  // the profile service's body, shared by its ports
            }
        }
        pending = requests_.size();
    }
    DFW_INFO(words_.updated, pending);
    if (options_.wake)
        options_.wake();
}

void DfwFilterFeature::TakeRequests(std::map<std::string, Request> requests, bool fullSync) {
    // Ports the full sync does not list have no profile any more.
    if (fullSync) {
        for (const auto& [port, want] : ports_)
            requests.emplace(ozy::cairndb::UuidText(port.first, port.second), Request{});
    }
    std::map<const std::string*, std::optional<Wanted>> resolved;
    for (auto& [port, req] : requests) {
        PortKey key;
        if (!ozy::cairndb::ParseUuidText(port, &key.first, &key.second)) {
            DFW_ERROR_CODE("LCP01153", words_.bad, "port " + port + " is not a port id");
            continue;
        }
        if (!req.body || req.body->empty()) {
            ports_.erase(key);
            continue;
        }
        // Each distinct body is parsed and checked once, whatever the number of its ports.
        auto done = resolved.find(req.body.get());
        if (done == resolved.end())
            done = resolved.emplace(req.body.get(), Resolved(req)).first;
        if (done->second)
            ports_[key] = *done->second;  // else refused whole: the port keeps what it had
    }
}

std::optional<DfwFilterFeature::Wanted> DfwFilterFeature::Resolved(const Request& req) const {
    pb::ProfileMsg profile;
    if (!profile.ParseFromString(*req.body)) {
        DFW_ERROR_CODE("LCP01153", words_.bad, req.profileId + ": unparsable");
        return std::nullopt;
    }
    if (profile.profile_type() != words_.type) {
        DFW_ERROR("dfw: ProcessConfig: invalid profile type %1", profile.profile_type());
        return std::nullopt;
    }
    Wanted want;
    std::string why;
    if (!Resolve(&profile, &want.values, &why)) {
        DFW_ERROR_CODE("LCP01153", words_.bad, req.profileId + ": " + why);
        return std::nullopt;
    }
    want.profileId = req.profileId;
    return want;
}

bool DfwFilterFeature::Configure(const std::vector<ToSet>& sets) {
    if (sets.empty())
        return true;
    std::vector<const char*> filters;
    std::vector<const std::vector<uint32_t>*> values;
    filters.reserve(sets.size());
    values.reserve(sets.size());
    for (const ToSet& s : sets) {
        DFW_DEBUG(words_.realizing, s.entry->filter, *s.vif);
        filters.push_back(s.entry->filter.c_str());
        values.push_back(&s.want->values);
    }
    std::vector<int> statuses(sets.size(), 0);
    Set(options_.handle, filters, values, statuses.data());
    bool ok = true;
    for (size_t i = 0; i < sets.size(); ++i) {
        const ToSet& s = sets[i];
        if (statuses[i] != 0) {
            DFW_ERROR_CODE("LCP01106", words_.failed, s.entry->filter, *s.vif,
                           FW_StatusToString(statuses[i]));
            s.entry->ok = false;
            ok = false;
            continue;
        }
        s.entry->profile = s.want->profileId;
        s.entry->values = s.want->values;
        s.entry->ok = true;
        if (s.isNew)
            DFW_DEBUG("dfw: configured %1 for newly added vif %2", words_.what, *s.vif);
    }
    return ok;
}

bool DfwFilterFeature::processConfig(const DfwFilterRepo::FilterMap& filters,
                                     const std::map<std::string, std::string>& added, bool all) {
    std::map<std::string, Request> requests;
    bool fullSync = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests.swap(requests_);
        fullSync = std::exchange(fullSync_, false);
    }
    const std::string invoked = std::string("dfw: ") + words_.cls +
                                "::processConfig invoked to process config: %1, %2, %3, %4";
    DFW_DEBUG(invoked, requests.size(), fullSync, filters.size(), held_.size());
    const bool changedProfiles = !requests.empty() || fullSync;
    TakeRequests(std::move(requests), fullSync);

    bool ok = true;
    bool changed = changedProfiles;
    // 1. Filters that are gone (their vif deleted, or the filter re-created under another name).
    // Both maps are in vif order: one walk.
    auto filter = filters.begin();
    for (auto it = held_.begin(); it != held_.end();) {
        while (filter != filters.end() && filter->first < it->first)
            ++filter;
        if (filter != filters.end() && filter->first == it->first &&
            filter->second.name == it->second.applied.filter) {
            ++it;
            continue;
        }
        DFW_DEBUG("dfw: cleaned up %1 config for deleted vif %2", words_.what, it->first);
        it = held_.erase(it);
        changed = true;
    }
    // 2. Every filter: its port's values, or the defaults, unless it holds them already. Every
    // record left names a filter of `filters`, in the same order. The sets of the pass go to the
    // device together once the walk is done (the records' nodes stay where they are meanwhile).
    std::vector<ToSet> sets;
    auto next = held_.begin();
    for (const auto& [vif, f] : filters) {
        Held* held = nullptr;
        if (next != held_.end() && next->first == vif)
            held = &(next++)->second;
        // The port as the filter names it now; parsed only when its text changed.
        PortKey port{};
        bool hasPort = false;
        if (held != nullptr && held->portText == f.lsp) {
            port = held->port;
            hasPort = held->hasPort;
        } else {
            hasPort = ozy::cairndb::ParseUuidText(f.lsp, &port.first, &port.second);
        }
        auto found = added.find(vif);
        const bool isNew = all || held == nullptr || held->hasPort != hasPort ||
                           held->port != port || (found != added.end() && found->second == f.name);
        // The record of this filter (made when it has none), its port brought up to date.
        auto record = [&, &vif = vif, &f = f]() -> Held& {
            if (held == nullptr)
                held = &held_.emplace_hint(next, vif, Held{})->second;
            if (held->portText != f.lsp || held->applied.filter.empty()) {
                held->portText = f.lsp;
                held->port = port;
                held->hasPort = hasPort;
                held->applied.filter = f.name;
                held->applied.lsp =
                    hasPort ? ozy::cairndb::UuidText(port.first, port.second) : std::string();
            }
            return *held;
        };
        if (!hasPort) {
            if (isNew) {
                DFW_DEBUG("dfw: no lsp id for new vif %1", vif);
                // Known from now on, never configured while it has no port.
                Held& h = record();
                h.applied.profile.clear();
                h.applied.values.clear();
                h.applied.ok = true;
                changed = true;
            } else {
                DFW_DEBUG("dfw: no lsp id for vif %1", vif);
            }
            continue;
        }
        auto wanted = ports_.find(port);
        const Wanted& want = wanted != ports_.end() ? wanted->second : defaults_;
        Applied& entry = record().applied;
        // `values` are what the filter holds: a failed set left them as they were.
        if (!isNew && entry.values == want.values) {
            if (entry.profile != want.profileId) {
                entry.profile = want.profileId;  // another profile with the same values
                changed = true;
            }
            DFW_DEBUG("dfw: skip vif %1 (lsp id %2) for no new %3 config", vif, entry.lsp,
                      words_.what);
            continue;
        }
        changed = true;
        if (!isNew) {
            DFW_DEBUG(wanted != ports_.end()
                          ? "dfw: apply %1 config (new) for vif %2 (lsp id %3)"
                          : "dfw: apply %1 config (default) for vif %2 (lsp id %3)",
                      words_.what, vif, entry.lsp);
        }
        sets.push_back(ToSet{&vif, &want, &entry, isNew});
    }
    ok = Configure(sets) && ok;
    if (!ok)
        DFW_ERROR("dfw: some %1 config didn't get applied", words_.what);
    // The lines per filter are debug ones: a profile bound to a thousand ports is one line here.
    if (changed)
        DFW_INFO("dfw: process %1 config done", words_.what);
    else
        DFW_DEBUG("dfw: process %1 config done", words_.what);
    if (changed)
        Publish();
    return ok;
}

void DfwFilterFeature::Publish() {
    std::lock_guard<std::mutex> lock(mutex_);
    // Both maps are by vif: entries of vifs no longer held go, the others are assigned in place
    // (their texts and values keep their storage), new ones are added.
    auto p = published_.begin();
    for (const auto& [vif, held] : held_) {
        while (p != published_.end() && p->first < vif)
            p = published_.erase(p);
        if (p != published_.end() && p->first == vif) {
            p->second = held.applied;
            ++p;
        } else {
            published_.emplace_hint(p, vif, held.applied);
        }
    }
    published_.erase(p, published_.end());
}

std::map<std::string, DfwFilterFeature::Applied> DfwFilterFeature::AppliedByVif() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return published_;
}

bool DfwFilterFeature::Profiled(const std::string& vif, const std::string& filter) const {
    auto it = held_.find(vif);
    return it != held_.end() && it->second.applied.filter == filter && it->second.applied.ok &&
           !it->second.applied.profile.empty();
}

size_t DfwFilterFeature::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

}  // namespace CfgAgent

#include "dfw/DfwFilterRepo.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <set>
#include <utility>

#include "dataplane/DataplaneLink.h"
#include "dataplane/KcpProtocol.h"
#include "dfw/DfwLog.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpWire.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/WorkGroup.h"
#include "runtime/WorkItem.h"

namespace CfgAgent {

namespace w = ozy::tarp;

namespace {

uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint64_t Be64(const uint8_t* p) {
    return uint64_t(Be32(p)) << 32 | Be32(p + 4);
}

void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

std::string Field(const uint8_t* p, size_t width) {
    return std::string(reinterpret_cast<const char*>(p),
                       strnlen(reinterpret_cast<const char*>(p), width));
}

}  // namespace

DfwFilterRepo::DfwFilterRepo(Options options) : options_(std::move(options)) {
    DFW_INFO("dfw: Created DfwFilterRepo instance");
}

DfwFilterRepo::~DfwFilterRepo() {
    DFW_INFO("dfw: Destroyed DfwFilterRepo instance");
}

bool DfwFilterRepo::Start() {
    {
        std::lock_guard<std::mutex> lock(runMutex_);
        running_ = true;
        stopping_ = false;
    }
    if (options_.links) {
        ozy::RefPtr<DfwFilterRepo> self(this);
        link_ = options_.links(
            w::kFilterLinkEndpoint,
            [self](const uint8_t* msg, size_t length) { self->OnLinkMessage(msg, length); },
            [self](DataplaneLink*, int status) { self->OnLinkStatus(status); }, 4096);
        if (!link_ || !link_->Start()) {
            DFW_ERROR_CODE("LCP00002", "dfw: failed to start the filter link %1",
                           w::kFilterLinkEndpoint);
        }
    }
    if (!WorkGroups::Post(MakeWorkItem(&DfwFilterRepo::Run, this, "DfwFilterRepo"))) {
        std::lock_guard<std::mutex> lock(runMutex_);
        running_ = false;
        return false;
    }
    DFW_INFO("dfw: DfwFilterRepo started");
    return true;
}

void DfwFilterRepo::Stop() {
    if (link_) {
        link_->Stop();
        link_.reset();
    }
    std::unique_lock<std::mutex> lock(runMutex_);
    stopping_ = true;
    wake_.notify_all();
    wake_.wait_for(lock, std::chrono::seconds(10), [this] { return !running_; });
}

void DfwFilterRepo::Wake() {
    std::lock_guard<std::mutex> lock(runMutex_);
    queryRequested_ = true;
    wake_.notify_all();
}

void DfwFilterRepo::Run() {
    std::unique_lock<std::mutex> lock(runMutex_);
    // The next query on the interval: counted from the last query, whatever woke the loop since;
    // a failed query (the device restarting, say) is tried again soon.
    Clock::time_point next = Clock::now();
    Clock::time_point imports = Clock::time_point::max();
    while (!stopping_) {
        wake_.wait_until(lock, std::min(next, imports),
                         [this] { return stopping_ || queryRequested_ || vifWork_; });
        if (stopping_)
            break;
        if (Clock::now() >= imports) {
            lock.unlock();
            imports = Clock::now() + TriggerDueImports();
            lock.lock();
            continue;
        }
        const bool vifs = std::exchange(vifWork_, false);
        const bool query = std::exchange(queryRequested_, false) || Clock::now() >= next;
        lock.unlock();
        if (vifs)
            ProcessVifUpdates();  // may ask for a query: seen on the next turn
        const bool ok = !query || QueryNow();
        lock.lock();
        if (query)
            next = Clock::now() +
                   (ok ? options_.queryInterval
                       : std::min<std::chrono::milliseconds>(options_.queryInterval, kQueryRetry));
        if (query) {
            lock.unlock();
            imports = Clock::now() + TriggerDueImports();
            lock.lock();
        }
    }
    running_ = false;
    wake_.notify_all();
}

std::vector<DfwFilterRepo::Record> DfwFilterRepo::ParseRecords(const uint8_t* buf, size_t size) {
    std::vector<Record> out;
    if (size < w::kReadHeaderSize)
        return out;
    uint32_t returned = Be32(buf + w::kReadReturnedOffset);
    size_t fit = (size - w::kReadHeaderSize) / w::kFilterRecordSize;
    if (returned > fit) {
        DFW_WARN("dfw: kernel returned %1 filters in room for %2; reading %2", returned, fit);
        returned = static_cast<uint32_t>(fit);
    }
    out.reserve(returned);
    for (uint32_t i = 0; i < returned; ++i) {
        const uint8_t* r = buf + w::kReadHeaderSize + size_t(i) * w::kFilterRecordSize;
        Record rec;
        rec.name = Field(r + w::kRecNameOffset, w::kRecNameField);
        rec.vif = Field(r + w::kRecVifOffset, w::kRecVifField);
        rec.lsp = Field(r + w::kRecLspOffset, w::kRecLspField);
        rec.flags = Be32(r + w::kRecFlagsOffset);
        rec.importTime = Be64(r + w::kRecImportTimeOffset);
        rec.agent = Field(r + w::kRecAgentOffset, w::kRecAgentField);
        rec.product = Field(r + w::kRecProductOffset, w::kRecProductField);
        out.push_back(std::move(rec));
    }
    return out;
}

std::vector<DfwFilterRepo::Filter> DfwFilterRepo::UpdateFilterMap(
    const std::string& agent, const std::vector<Record>& records,
    const std::vector<std::string>& excluded, FilterMap& map,
    std::map<std::string, std::string>& fakeNames, uint64_t& fakeCounter,
    const std::map<std::string, uint64_t>& imports) {
    DFW_DEBUG("dfw: updateFilterMap %1", agent);
    std::vector<Filter> changed;
    for (auto& [vif, f] : map) {
        DFW_DEBUG("dfw: Marking %1 filter %2 to stale", agent, f.name);
        f.stale = true;
    }
    size_t renamed = 0, added = 0;
    std::set<std::string> realVifs;
    for (const Record& r : records) {
        if (!r.vif.empty())
            realVifs.insert(r.vif);
    }
    for (const Record& r : records) {
        if (r.agent != agent) {
            DFW_DEBUG("dfw:   skip non %1 filter %2", agent, r.name);
            continue;
        }
        if (r.product.empty()) {
            DFW_DEBUG("dfw:   skip non ozy filter %1", r.name);
            continue;
        }
        DFW_DEBUG("dfw: Processing kernel %1 filter %2 with vif %3 lspId %4", agent, r.name, r.vif,
                  r.lsp);
        std::string vif = r.vif;
        if (vif.empty()) {
            // The same made-up name for the same filter on every query.
            auto it = fakeNames.find(r.name);
            if (it == fakeNames.end()) {
                // Never the name of a real vif.
                std::string made;
                do {
                    made = "vif-" + std::to_string(++fakeCounter);
                } while (map.count(made) != 0 || realVifs.count(made) != 0);
                it = fakeNames.emplace(r.name, made).first;
                DFW_INFO("dfw: Added kernel filter %1 with fake vif %2", r.name, it->second);
            }
            DFW_INFO("dfw: Kernel filter %1 has lost its vif id %2", r.name, it->second);
            vif = it->second;
        }
        // The import time is the agent's own, from the notification (firewall filters only).
        auto imported = imports.find(vif);
        const uint64_t importTime = imported == imports.end() ? 0 : imported->second;
        auto it = map.find(vif);
        if (it == map.end()) {
            Filter f{r.name, vif, r.lsp, agent, importTime, false};
            DFW_INFO("dfw:   found new filter %1 of vif %2 - %3:%4, (agentName %5)", r.name, vif,
                     r.lsp, r.flags, agent);
            map.emplace(vif, f);
            changed.push_back(std::move(f));
            ++added;
            continue;
        }
        Filter& f = it->second;
        DFW_DEBUG("dfw:   found known vif %1 with %2 filter %3 - %4:%5:%6", vif, agent, r.name,
                  r.lsp, r.flags, r.importTime);
        bool differs = false;
        if (f.name != r.name) {
            DFW_INFO("dfw: Vif %1 changed filter name from %2 to %3", vif, f.name, r.name);
            f.name = r.name;
            differs = true;
            ++renamed;
        }
        if (f.lsp != r.lsp) {
            DFW_INFO("dfw: Vif %1 changed filter lsp from %2 to %3", vif, f.lsp, r.lsp);
            f.lsp = r.lsp;
            differs = true;
        }
        if (f.importTime != importTime) {
            f.importTime = importTime;
            differs = true;
        }
        if (f.importTime != 0)
            DFW_DEBUG("dfw:  %1: filter %2 was imported at %3", agent, f.name, f.importTime);
        f.stale = false;
        if (differs)
            changed.push_back(f);
    }
    const std::set<std::string> skip(excluded.begin(), excluded.end());
    for (auto it = map.begin(); it != map.end();) {
        if (it->second.stale) {
            DFW_INFO("dfw:   erase stale filter %1 of vif %2", it->second.name, it->first);
            fakeNames.erase(it->second.name);
            it = map.erase(it);
        } else if (skip.count(it->first) != 0) {
            DFW_INFO("dfw:   erase excluded filter %1 of vif %2", it->second.name, it->first);
            it = map.erase(it);
        } else {
            ++it;
        }
    }
    changed.erase(std::remove_if(changed.begin(), changed.end(),
                                 [&](const Filter& f) { return skip.count(f.vif) != 0; }),
                  changed.end());
    DFW_INFO("dfw: Total %1 %2 filters changed name", renamed, agent);
    DFW_INFO("dfw: Added %1 new %2 filters, FilterRepo has %3 %4 filters", added, agent, map.size(),
             agent);
    return changed;
}

bool DfwFilterRepo::QueryNow() {
    DFW_DEBUG("dfw: Querying kernel filters");
    uint8_t countBuf[4] = {0, 0, 0, 0};
    FW_IoctlReq req;
    req.buf = countBuf;
    req.size = sizeof countBuf;
    req.used = sizeof countBuf;
    int rc = FW_Ioctl(w::kFwIoctlFilterCount, &req);
    if (rc != 0) {
        DFW_ERROR_CODE("LCP01128", "dfw: Failed to get filter count: %1", FW_StatusToString(rc));
        DFW_ERROR("dfw: Failed to query kernel fitlers: %1", FW_StatusToString(rc));
        return false;
    }
    uint32_t count = Be32(countBuf);
    std::vector<Record> records;
    if (count == 0) {
        DFW_INFO("dfw: There is no filter in kernel");
    } else if (count > kMaxFilters) {
        DFW_ERROR_CODE("LCP01129", "dfw: Out of memory for %1 filters", count);
        return false;
    } else {
        std::vector<uint8_t> buf(w::kReadHeaderSize + size_t(count) * w::kFilterRecordSize, 0);
        PutBe32(buf.data(), 1);
        PutBe32(buf.data() + w::kReadCapacityOffset, count);
        FW_IoctlReq read;
        read.buf = buf.data();
        read.size = static_cast<uint32_t>(buf.size());
        read.used = static_cast<uint32_t>(buf.size());
        rc = FW_Ioctl(w::kFwIoctlReadFilters, &read);
        if (rc != 0) {
            DFW_ERROR_CODE("LCP01130", "dfw: Failed to read %1 kernel filters: %2", count,
                           FW_StatusToString(rc));
            return false;
        }
        records = ParseRecords(buf.data(), std::min<size_t>(read.used, buf.size()));
    }
    std::vector<std::string> excluded =
        options_.excluded ? options_.excluded() : std::vector<std::string>();
    std::vector<Filter> changed;
    std::set<std::string> fresh;  // vifs with a new (or re-created) filter
    bool removed = false;
    {
        std::unique_lock<std::shared_mutex> lock(mapMutex_);
        for (const char* agent : {w::kAgentFirewall, w::kAgentServiceInsertion}) {
            FilterMap& map = maps_[agent];
            std::map<std::string, std::string> before;  // vif to its filter's name
            for (const auto& [vif, f] : map)
                before.emplace(vif, f.name);
            const bool fw = agent == std::string(w::kAgentFirewall);
            auto c = UpdateFilterMap(agent, records, fw ? excluded : std::vector<std::string>(),
                                     map, fakeNames_, fakeCounter_,
                                     fw ? imports_ : std::map<std::string, uint64_t>());
            for (const Filter& f : c) {
                auto was = before.find(f.vif);
                if (was == before.end() || was->second != f.name)
                    fresh.insert(f.vif);
            }
            changed.insert(changed.end(), c.begin(), c.end());
            for (const auto& [vif, name] : before)
                removed = removed || map.count(vif) == 0;
        }
        // Imports of filters that are gone go with them.
        const FilterMap& fw = maps_[w::kAgentFirewall];
        for (auto it = imports_.begin(); it != imports_.end();) {
            if (fw.count(it->first) == 0) {
                importsDue_.erase(it->first);
                it = imports_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const Filter& f : changed) {
        if (f.importTime != 0)
            DFW_INFO("dfw: Triggering rule fresh for imported filter vif %1.", f.vif);
    }
    // A filter found after its vif's VIF_STATE gets the MAC it would have had, had the filter
    // come first: the MAC is pushed only on a change otherwise.
    std::map<std::string, uint64_t> owed;
    {
        std::lock_guard<std::mutex> lock(vifMutex_);
        for (const std::string& vif : fresh) {
            auto v = vifs_.find(vif);
            if (v != vifs_.end() && v->second.mac != 0)
                owed.emplace(vif, 0);
        }
    }
    if (!owed.empty())
        PushMacs(owed);
    if (removed && options_.onRemoved)
        options_.onRemoved();
    // Outside the lock: the process loop reads the maps while it handles these.
    if (options_.onFilter) {
        for (const Filter& f : changed)
            options_.onFilter(f);
    }
    return true;
}

DfwFilterRepo::FilterMap DfwFilterRepo::Filters(const std::string& agent) const {
    return *SharedFilters(agent);
}

std::shared_ptr<const DfwFilterRepo::FilterMap> DfwFilterRepo::SharedFilters(
    const std::string& agent) const {
    static const FilterMap kNone;
    std::shared_lock<std::shared_mutex> lock(mapMutex_);
    auto it = maps_.find(agent);
    const FilterMap& now = it == maps_.end() ? kNone : it->second;
    std::lock_guard<std::mutex> snapshot(snapshotMutex_);
    std::shared_ptr<const FilterMap>& last = snapshots_[agent];
    if (!last || *last != now)
        last = std::make_shared<const FilterMap>(now);
    return last;
}

void DfwFilterRepo::OnLinkStatus(int status) {
    // The link's values: 0 up, 1 down.
    const bool up = status == DataplaneLink::kLinkUp;
    DFW_INFO(up ? "dfw: %1: Received %2 up notification" : "dfw: %1: Received %2 down notification",
             "DfwFilterRepo", w::kFilterLinkEndpoint);
    {
        std::lock_guard<std::mutex> lock(runMutex_);
        linkUp_ = up;
    }
    if (!up)
        return;
    // Filters may have come and gone while the link was down, and the device may be a new one:
    // every filter the next query finds is new to the process loop.
    {
        std::unique_lock<std::shared_mutex> lock(mapMutex_);
        maps_.clear();
    }
    Wake();
    if (options_.onLinkUp)
        options_.onLinkUp();
}

bool DfwFilterRepo::LinkUp() const {
    std::lock_guard<std::mutex> lock(runMutex_);
    return linkUp_;
}

void DfwFilterRepo::OnLinkMessage(const uint8_t* msg, size_t length) {
    if (length < 4) {
        DFW_ERROR_CODE("LCP00901", "dfw: %1: short tarp msg of %2 bytes", "DfwFilterRepo", length);
        return;
    }
    uint16_t type = uint16_t(msg[0] << 8 | msg[1]);
    DFW_DEBUG("dfw: %1: received a message from kernel type %2, len %3", "DfwFilterRepo", type,
              length);
    switch (type) {
        case w::kMsgFilterNotify: {
            if (length < w::kNotifySize) {
                DFW_ERROR_CODE("LCP00901", "dfw: %1: short filter notification of %2 bytes",
                               "DfwFilterRepo", length);
                return;
            }
            std::string name = Field(msg + w::kNotifyFilterOffset, w::kNotifyNameField - 1);
            std::string agent = Field(msg + w::kNotifyAgentOffset, w::kNotifyNameField - 1);
            std::string vif = Field(msg + w::kNotifyVifOffset, w::kRecVifField);
            const uint32_t flags = Be32(msg + w::kNotifyFlagsOffset);
            DFW_INFO("dfw: %1: received notification for filter %2", "DfwFilterRepo", name);
            if (options_.handle != nullptr)
                FW_FilterChanged(options_.handle, name.c_str());
            if (vif.empty()) {
                if (options_.onCleanup)
                    options_.onCleanup(agent, name);
            } else {
                const bool imported =
                    (flags & w::kFilterImported) != 0 && agent == w::kAgentFirewall;
                const uint64_t now = imported ? WallSeconds() : 0;
                std::unique_lock<std::shared_mutex> lock(mapMutex_);
                auto m = maps_.find(agent);
                if (m != maps_.end()) {
                    auto it = m->second.find(vif);
                    if (it != m->second.end()) {
                        DFW_INFO("dfw: Removing dfw filter %1", it->second.name);
                        m->second.erase(it);
                    }
                }
                // Once per import: a later notification of the same filter keeps the first time.
                if (imported && imports_.emplace(vif, now).second) {
                    importsDue_.erase(vif);
                    DFW_INFO("dfw: %1: filter %2 imported at %3", "DfwFilterRepo", name, now);
                }
            }
            // The query finds the filter as it is now, at once.
            Wake();
            return;
        }
        case w::kMsgHopoverFailure:
        case w::kMsgFloodLimit:
            if (options_.onAlarmMessage)
                options_.onAlarmMessage(type, msg, length);
            else
                DFW_WARN("dfw: %1: alarm message type %2 without alarm reporter", "DfwFilterRepo",
                         type);
            return;
        default:
            DFW_ERROR_CODE("LCP00901", "dfw: %1: unknown tarp msg %2", "DfwFilterRepo", type);
    }
}

uint64_t DfwFilterRepo::WallSeconds() const {
    return options_.wallSeconds ? options_.wallSeconds()
                                : static_cast<uint64_t>(std::time(nullptr));
}

DfwFilterRepo::Import DfwFilterRepo::ImportOf(const std::string& vif) const {
    const uint64_t now = WallSeconds();
    std::shared_lock<std::shared_mutex> lock(mapMutex_);
    auto it = imports_.find(vif);
    if (it == imports_.end())
        return {};
    return {it->second, now >= it->second + options_.importClearTimeout};
}

void DfwFilterRepo::ClearImport(const std::string& vif) {
    std::unique_lock<std::shared_mutex> lock(mapMutex_);
    if (imports_.erase(vif) == 0)
        return;
    importsDue_.erase(vif);
    auto& fw = maps_[w::kAgentFirewall];
    auto it = fw.find(vif);
    if (it != fw.end())
        it->second.importTime = 0;
    DFW_INFO("dfw: Cleared filter vif %1 from import list.", vif);
}

std::chrono::milliseconds DfwFilterRepo::TriggerDueImports() {
    if (options_.importClearTimeout == 0)
        return std::chrono::hours(24);  // nothing waits: the loop applies imports at once
    const uint64_t now = WallSeconds();
    uint64_t nextIn = std::numeric_limits<uint64_t>::max();
    std::vector<Filter> due;
    {
        std::unique_lock<std::shared_mutex> lock(mapMutex_);
        const FilterMap& fw = maps_[w::kAgentFirewall];
        for (const auto& [vif, time] : imports_) {
            const uint64_t deadline = time + options_.importClearTimeout;
            if (now < deadline) {
                nextIn = std::min(nextIn, deadline - now);
                continue;
            }
            auto f = fw.find(vif);
            if (f != fw.end() && importsDue_.insert(vif).second)
                due.push_back(f->second);
        }
    }
    for (const Filter& f : due) {
        DFW_INFO("dfw: Import clear timeout of filter %1 of vif %2 reached", f.name, f.vif);
        if (options_.onFilter)
            options_.onFilter(f);
    }
    // Whole seconds: a little late rather than early.
    return nextIn == std::numeric_limits<uint64_t>::max()
               ? std::chrono::hours(24)
               : std::chrono::milliseconds(std::min<uint64_t>(nextIn, 86400) * 1000 + 10);
}

void DfwFilterRepo::ProcessConfigRuntimeStateUpdate(const CairnDBUpdateList& updates,
                                                    bool fullSync) {
    CairnDBUpdateList mine;
    for (const CairnDBUpdateMsg& r : updates) {
        if (r.objType == ObjectType::VIF_STATE)
            mine.push_back(r);
    }
    DFW_DEBUG("dfw: Received %1 vif updates, isFullSync: %2", mine.size(), fullSync);
    if (mine.empty() && !fullSync)
        return;
    {
        std::lock_guard<std::mutex> lock(vifMutex_);
        vifQueue_.emplace_back(std::move(mine), fullSync);
    }
    std::lock_guard<std::mutex> lock(runMutex_);
    vifWork_ = true;
    wake_.notify_all();
}

void DfwFilterRepo::ProcessVifUpdates() {
    std::vector<std::pair<CairnDBUpdateList, bool>> batches;
    std::map<std::string, uint64_t> changed;  // vif to its old MAC
    {
        std::lock_guard<std::mutex> lock(vifMutex_);
        batches.swap(vifQueue_);
        for (const auto& [records, fullSync] : batches) {
            DFW_INFO("dfw: Received %1 vif updates, isFullSync: %2", records.size(), fullSync);
            ++vifCounters_.updates;
            std::map<std::string, Vif> seen;
            for (const CairnDBUpdateMsg& r : records) {
                if (r.op == Operation::OPERATION_DELETE) {
                    auto id = vifIds_.find(r.id);
                    if (id == vifIds_.end())
                        continue;
                    DFW_INFO("dfw: Delete vif, %1", id->second);
                    vifs_.erase(id->second);
                    seen.erase(id->second);
                    changed.erase(id->second);
                    vifIds_.erase(id);
                    continue;
                }
                if (r.op != Operation::OPERATION_UPDATE ||
                    r.property != PropertyType::INVALID_PROPERTY)
                    continue;  // whole bodies only
                orvane::ozy::cairndb::VifStateMsg m;
                if (r.data.size() > kMaxVifStateBytes || !m.ParseFromString(r.data) ||
                    !m.has_vif_id() || m.vif_id().empty() ||
                    m.vif_id().size() >= ozy::tarp::kRecVifField) {
                    DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse vif state (%1 bytes)",
                                   r.data.size());
                    ++vifCounters_.badRecords;
                    continue;
                }
                Vif v;
                v.mac = m.mac() & 0xFFFFFFFFFFFFull;
                v.lsp = m.port_id();
                v.type = m.vif_type();
                v.status = m.status();
                vifIds_[r.id] = m.vif_id();
                auto it = vifs_.find(m.vif_id());
                if (it == vifs_.end()) {
                    DFW_INFO("dfw: Add a new vif, %1", m.vif_id());
                    if (v.mac != 0)
                        changed.emplace(m.vif_id(), 0);
                } else if (it->second.mac != v.mac) {
                    DFW_INFO("dfw: MAC update for vif %1, old mac: %2, new mac: %3", m.vif_id(),
                             it->second.mac, v.mac);
                    changed.emplace(m.vif_id(), it->second.mac);
                }
                vifs_[m.vif_id()] = v;
                seen[m.vif_id()] = v;
            }
            if (fullSync) {
                size_t removed = 0;
                for (auto it = vifs_.begin(); it != vifs_.end();) {
                    if (seen.count(it->first) == 0) {
                        changed.erase(it->first);
                        it = vifs_.erase(it);
                        ++removed;
                    } else {
                        ++it;
                    }
                }
                for (auto it = vifIds_.begin(); it != vifIds_.end();)
                    it = vifs_.count(it->second) ? std::next(it) : vifIds_.erase(it);
                DFW_INFO("dfw: Full sync case, remove %1 vifs from from _vifTable", removed);
            }
        }
    }
    if (batches.empty())
        return;
    if (!changed.empty())
        PushMacs(changed);
    CheckAssociations();
    DFW_DEBUG("dfw: End of ProcessConfigRuntimeStateUpdate");
}

void DfwFilterRepo::PushMacs(const std::map<std::string, uint64_t>& changed) {
    struct Push {
        std::string filter, vif;
        uint64_t mac, old;
    };
    std::vector<Push> pushes;
    {
        std::lock_guard<std::mutex> vifs(vifMutex_);
        std::shared_lock<std::shared_mutex> lock(mapMutex_);
        for (const auto& [vif, old] : changed) {
            auto v = vifs_.find(vif);
            if (v == vifs_.end())
                continue;
            for (const auto& [agent, map] : maps_) {
                auto f = map.find(vif);
                if (f != map.end())
                    pushes.push_back({f->second.name, vif, v->second.mac, old});
            }
        }
    }
    if (pushes.empty())
        return;
    std::vector<uint8_t> buf(4 + pushes.size() * w::kUpdateConfigEntrySize, 0);
    PutBe32(buf.data(), static_cast<uint32_t>(pushes.size()));
    for (size_t i = 0; i < pushes.size(); ++i) {
        uint8_t* e = buf.data() + 4 + i * w::kUpdateConfigEntrySize;
        std::memcpy(e, pushes[i].filter.data(),
                    std::min(pushes[i].filter.size(), w::kMaxFilterName));
        for (int b = 0; b < 6; ++b)
            e[w::kFilterNameField + b] = uint8_t(pushes[i].mac >> (8 * (5 - b)));
    }
    FW_IoctlReq req;
    req.buf = buf.data();
    req.size = static_cast<uint32_t>(buf.size());
    req.used = req.size;
    int rc = FW_Ioctl(w::kFwIoctlUpdateConfig, &req);
    if (rc != 0) {
        CFG_LOG_AT(g_dfwLogLevel, kLogError, {"errorCode:DFWERR_FILTER_UPDATE_CONFIG"},
                   "dfw: Failed to update filter config: %1", FW_StatusToString(rc));
        return;
    }
    DFW_INFO("dfw: Sent TARP_IOCMD_FILTER_UPDATE_CONFIG command to TARP");
    DFW_INFO("dfw: Updated MAC for %1 filters", pushes.size());
    {
        std::lock_guard<std::mutex> lock(vifMutex_);
        vifCounters_.macPushes += pushes.size();
    }
    // The old MAC's spoof-guard entry goes with it.
    for (const Push& p : pushes) {
        DFW_INFO("dfw: Set vif %1 mac address to %2", p.vif, p.mac);
        if (p.old == 0 || options_.handle == nullptr)
            continue;
        uint8_t mac[6];
        for (int b = 0; b < 6; ++b)
            mac[b] = uint8_t(p.old >> (8 * (5 - b)));
        int sg = FW_DeleteSpoofGuard(options_.handle, p.filter.c_str(), 0, &mac);
        if (sg != 0)
            DFW_WARN("dfw: Failed to remove spoof guard of %1 on filter %2: %3", p.vif, p.filter,
                     FW_StatusToString(sg));
    }
}

void DfwFilterRepo::CheckAssociations() {
    size_t expected = 0, associated = 0;
    {
        std::lock_guard<std::mutex> vifs(vifMutex_);
        std::shared_lock<std::shared_mutex> lock(mapMutex_);
        for (const auto& [vif, v] : vifs_) {
            // Kernel NICs, container and uplink vifs have no filter of their own.
            if (v.status == kcp::kVifDisconnect || (v.type != 0 && v.type != kcp::kVifVnic))
                continue;
            ++expected;
            bool has = false;
            for (const auto& [agent, map] : maps_)
                has |= map.count(vif) != 0;
            DFW_DEBUG(has ? "dfw: Vif %1 is still associated to a filter"
                          : "dfw: Vif %1 is not associated to any filter",
                      vif);
            associated += has;
        }
    }
    if (associated == expected)
        return;
    const Clock::time_point now = options_.now ? options_.now() : Clock::now();
    {
        std::lock_guard<std::mutex> vifs(vifMutex_);
        if (outOfSyncQueried_ && now - lastOutOfSyncQuery_ < options_.outOfSyncGap)
            return;
        outOfSyncQueried_ = true;
        lastOutOfSyncQuery_ = now;
        ++vifCounters_.outOfSyncQueries;
    }
    DFW_INFO("dfw: Filter config out of sync (%1/%2). Refresh kernel filters", associated,
             expected);
    Wake();
}

std::map<std::string, DfwFilterRepo::Vif> DfwFilterRepo::Vifs() const {
    std::lock_guard<std::mutex> lock(vifMutex_);
    return vifs_;
}

DfwFilterRepo::VifCounters DfwFilterRepo::vifCounters() const {
    std::lock_guard<std::mutex> lock(vifMutex_);
    return vifCounters_;
}

}  // namespace CfgAgent

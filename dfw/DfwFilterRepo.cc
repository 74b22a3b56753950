#include "dfw/DfwFilterRepo.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

#include "dataplane/DataplaneLink.h"
#include "dfw/DfwLog.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpWire.h"
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
            [self](DataplaneLink*, int status) {
                DFW_INFO(status ? "dfw: %1: Received %2 up notification"
                                : "dfw: %1: Received %2 down notification",
                         "DfwFilterRepo", w::kFilterLinkEndpoint);
                // Filters may have come and gone while the link was down, and the device may be
                // a new one: every filter the next query finds is new to the process loop.
                if (status) {
                    {
                        std::unique_lock<std::shared_mutex> lock(self->mapMutex_);
                        self->maps_.clear();
                    }
                    self->Wake();
                    if (self->options_.onLinkUp)
                        self->options_.onLinkUp();
                }
            },
            4096);
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
    while (!stopping_) {
        wake_.wait_for(lock, options_.queryInterval,
                       [this] { return stopping_ || queryRequested_; });
        if (stopping_)
            break;
        queryRequested_ = false;
        lock.unlock();
        QueryNow();
        lock.lock();
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
    std::map<std::string, std::string>& fakeNames, uint64_t& fakeCounter) {
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
        auto it = map.find(vif);
        if (it == map.end()) {
            Filter f{
                r.name, vif, r.lsp, agent, (r.flags & w::kFilterImported) != 0 ? r.importTime : 0,
                false};
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
    {
        std::unique_lock<std::shared_mutex> lock(mapMutex_);
        for (const char* agent : {w::kAgentFirewall, w::kAgentServiceInsertion}) {
            auto c = UpdateFilterMap(
                agent, records,
                agent == std::string(w::kAgentFirewall) ? excluded : std::vector<std::string>(),
                maps_[agent], fakeNames_, fakeCounter_);
            changed.insert(changed.end(), c.begin(), c.end());
        }
    }
    // Outside the lock: the process loop reads the maps while it handles these.
    if (options_.onFilter) {
        for (const Filter& f : changed)
            options_.onFilter(f);
    }
    return true;
}

DfwFilterRepo::FilterMap DfwFilterRepo::Filters(const std::string& agent) const {
    std::shared_lock<std::shared_mutex> lock(mapMutex_);
    auto it = maps_.find(agent);
    return it == maps_.end() ? FilterMap() : it->second;
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
            DFW_INFO("dfw: %1: received notification for filter %2", "DfwFilterRepo", name);
            if (options_.handle != nullptr)
                FW_FilterChanged(options_.handle, name.c_str());
            if (vif.empty()) {
                if (options_.onCleanup)
                    options_.onCleanup(agent, name);
            } else {
                std::unique_lock<std::shared_mutex> lock(mapMutex_);
                auto m = maps_.find(agent);
                if (m != maps_.end()) {
                    auto it = m->second.find(vif);
                    if (it != m->second.end()) {
                        DFW_INFO("dfw: Removing dfw filter %1", it->second.name);
                        m->second.erase(it);
                    }
                }
            }
            // The query finds the filter as it is now, at once.
            Wake();
            return;
        }
        case w::kMsgHopoverFailure:
            DFW_WARN("dfw: %1: migration failure event of %2 bytes (alarm reporting to come)",
                     "DfwFilterRepo", length);
            return;
        case w::kMsgFloodLimit:
            DFW_WARN("dfw: %1: flood limit event of %2 bytes (alarm reporting to come)",
                     "DfwFilterRepo", length);
            return;
        default:
            DFW_ERROR_CODE("LCP00901", "dfw: %1: unknown tarp msg %2", "DfwFilterRepo", type);
    }
}

}  // namespace CfgAgent

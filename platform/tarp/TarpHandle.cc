#include "platform/tarp/TarpHandle.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/device/DeviceFrame.h"
#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/TarpConfigRender.h"
#include "platform/tarp/TarpEncoding.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpLog.h"
#include "platform/tarp/TarpRecords.h"
#include "platform/tarp/TarpWire.h"

namespace w = ozy::tarp;
using TarpFirewall::CTarpFWCmdList;
using TarpFirewall::CTarpFWSegment;
using TarpFirewall::detail::kCompConfig;
using TarpFirewall::detail::kCompQuery;
using TarpFirewall::detail::kCompSegment;
using TarpFirewall::detail::Log;
using TarpFirewall::detail::TarpDevicePool;
using TarpFirewall::detail::Verbose;
using TarpFirewall::detail::WireWriter;

namespace {

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

int Unreachable(int rc) {
    (void)rc;
    return static_cast<int>(w::kStatusIoError);
}

// A chunk's content hash as the device computes it (TarpWire.h: kIpRepSeed).
uint64_t ChunkHash(const TarpFirewall::CTarpFWIpRepChunk& c) {
    std::vector<uint8_t> bytes;
    bytes.reserve(c.entries.size() * w::kIpRepEntrySize);
    WireWriter wr(bytes);
    for (const auto& e : c.entries)
        wr.U32(e.address).U32(e.mask).U16(e.threat).U16(e.reputation).U32(e.bucket);
    return w::Hash64(bytes.data(), bytes.size(), w::kIpRepSeed);
}

std::string Hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

FW_Handle::FW_Handle(std::string path, ozy::device::IDeviceOpener& opener)
    : pool_(std::move(path), opener, FW_MAX_CONNECTIONS,
            [this](uint64_t instance) { OnInstance(instance); }) {}

void FW_Handle::OnInstance(uint64_t instance) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (haveInstance_ && instance == instance_)
        return;
    bool first = !haveInstance_;
    haveInstance_ = true;
    instance_ = instance;
    ++epoch_;
    acked_.clear();
    records_.clear();
    if (!first)
        Log(4, "device " + pool_.Path() + " restarted (instance " + Hex(instance) + "): epoch " +
                   std::to_string(epoch_) + ", segments and records forgotten");
}

uint64_t FW_Handle::Epoch() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return epoch_;
}

size_t FW_Handle::AckedSegments() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acked_.size();
}

void FW_Handle::SetAckedLimit(size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    ackedLimit_ = limit;
}

size_t FW_Handle::Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
}

FW_Handle::Record& FW_Handle::RecordOf(const std::string& filter) {
    auto [it, made] = records_.try_emplace(filter);
    if (made)
        it->second.generation = ++generations_;
    return it->second;
}

void FW_Handle::Forget(const std::string& filter) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.erase(filter);
}

int FW_Handle::Connect() {
    TarpDevicePool::Lease lease(pool_);
    int rc = lease.Reconnect();
    return rc == 0 ? 0 : Unreachable(rc);
}

int FW_Handle::Upload(TarpDevicePool::Lease& lease, const CTarpFWSegment& segment) {
    std::vector<uint8_t> bytes;
    bytes.reserve(segment.EncodedSize());
    segment.AppendEncoded(bytes);
    if (bytes.size() > w::kMaxSegmentSize) {
        Log(2, "segment " + Hex(segment.hash()) + " of " + std::to_string(bytes.size()) +
                   " bytes is larger than the device takes");
        return static_cast<int>(w::kStatusInvalidConfig);
    }
    std::vector<uint8_t> piece;
    for (size_t off = 0; off < bytes.size();) {
        size_t n = std::min<size_t>(bytes.size() - off, w::kMaxSegmentPiece);
        piece.clear();
        WireWriter wr(piece);
        wr.U64(segment.hash()).U32(static_cast<uint32_t>(bytes.size()));
        wr.U32(static_cast<uint32_t>(off)).Bytes(bytes.data() + off, n);
        uint32_t status = 0;
        int rc = lease.Call(w::kCmdSegmentPut, piece.data(), piece.size(), &status, nullptr);
        if (rc != 0)
            return -rc;  // transport: the caller reconnects
        if (status != 0) {
            Log(2, "device refused segment " + Hex(segment.hash()) + ": status " +
                       std::to_string(status));
            return static_cast<int>(status);
        }
        off += n;
    }
    Verbose(kCompSegment, 1,
            "uploaded segment " + Hex(segment.hash()) + " (" +
                std::to_string(segment.rules().size()) + " rules, " + std::to_string(bytes.size()) +
                " bytes)");
    return 0;
}

int FW_Handle::Evaluate(CTarpFWCmdList& list, const std::string& filter) {
    std::vector<uint8_t>& config = list.mutableConfigFile();
    TarpFirewall::detail::RenderConfig(list, filter, config);
    if (config.size() > ozy::device::kMaxPayload) {
        Log(2, "configuration of filter " + filter + " has " + std::to_string(config.size()) +
                   " bytes, over the device's limit");
        return static_cast<int>(w::kStatusInvalidConfig);
    }
    // The segments the list names, each once.
    std::unordered_map<uint64_t, const CTarpFWSegment*> segments;
    for (const auto& c : list.commands()) {
        for (const auto& s : c.segments)
            segments.emplace(s->hash(), s.get());
    }
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        generation = RecordOf(filter).generation = ++generations_;
    }

    TarpDevicePool::Lease lease(pool_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0 && lease.Reconnect() != 0)
            break;
        uint64_t epoch;
        std::vector<const CTarpFWSegment*> upload;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            epoch = epoch_;
            for (const auto& [h, s] : segments) {
                if (!acked_.count(h))
                    upload.push_back(s);
            }
        }
        bool transport = false;
        int status = 0;
        for (const CTarpFWSegment* s : upload) {
            status = Upload(lease, *s);
            if (status != 0)
                break;
        }
        if (status < 0) {
            continue;  // connection lost: reconnect, a new epoch may need every segment again
        }
        if (status > 0)
            return status;
        uint32_t st = 0;
        std::vector<uint8_t> reply;
        for (int retry = 0; retry < 2; ++retry) {
            int rc = lease.Call(w::kCmdApply, config.data(), config.size(), &st, &reply);
            if (rc != 0) {
                transport = true;
                break;
            }
            if (st != w::kStatusUnknownSegment)
                break;
            // The device lacks segments it had (or never had): upload those and retry once.
            uint32_t n = reply.size() >= 4 ? Be32(reply.data()) : 0;
            if (reply.size() != 4 + size_t(n) * 8 || n == 0) {
                Log(2, "device answered unknown segment without a proper list");
                return static_cast<int>(w::kStatusIoError);
            }
            Verbose(kCompSegment, 1,
                    "device lacks " + std::to_string(n) + " segment(s) for " + filter);
            for (uint32_t i = 0; i < n && status == 0; ++i) {
                uint64_t h = (uint64_t(Be32(&reply[4 + 8 * i])) << 32) | Be32(&reply[8 + 8 * i]);
                auto it = segments.find(h);
                if (it == segments.end()) {
                    Log(2, "device asks for segment " + Hex(h) + ", which the list does not name");
                    return static_cast<int>(w::kStatusIoError);
                }
                status = Upload(lease, *it->second);
            }
            if (status != 0)
                break;
        }
        if (transport || status < 0)
            continue;
        if (status > 0)
            return status;
        if (st == w::kStatusUnknownSegment) {
            Log(2, "device still lacks segments for filter " + filter + " after an upload");
            return static_cast<int>(w::kStatusIoError);
        }
        if (st == w::kStatusOk || st == w::kStatusNoChange) {
            Remember(list, filter, epoch, generation);
            Acknowledge(list, epoch);
        } else {
            if (st == w::kStatusNoFilter)
                Forget(filter);
            Log(3, "apply to filter " + filter + " refused: " + FW_StatusToString(int(st)));
        }
        Verbose(kCompConfig, 1,
                "applied " + std::to_string(list.commands().size()) + " command(s) to " + filter +
                    ": status " + std::to_string(st));
        return static_cast<int>(st);
    }
    Log(2, "device " + pool_.Path() + " unreachable while applying to filter " + filter);
    return static_cast<int>(w::kStatusIoError);
}

void FW_Handle::Acknowledge(const CTarpFWCmdList& list, uint64_t epoch) {
    size_t n = 0;
    for (const auto& c : list.commands())
        n += c.segments.size();
    std::lock_guard<std::mutex> lock(mutex_);
    if (epoch_ != epoch)
        return;
    if (acked_.size() + n > ackedLimit_) {
        Verbose(kCompSegment, 1,
                "forgetting " + std::to_string(acked_.size()) + " acknowledged segments");
        acked_.clear();
    }
    for (const auto& c : list.commands()) {
        for (const auto& s : c.segments)
            acked_.insert(s->hash());
    }
}

void FW_Handle::EvaluateBatch(CTarpFWCmdList* const* lists, const char* const* filters,
                              uint32_t count, int* statuses) {
    // Rendered, each filter's record made current (as Evaluate does), and the segments named.
    std::vector<uint32_t> sent;
    std::vector<uint64_t> generations;
    std::unordered_map<uint64_t, const CTarpFWSegment*> segments;
    sent.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        std::vector<uint8_t>& config = lists[i]->mutableConfigFile();
        TarpFirewall::detail::RenderConfig(*lists[i], filters[i], config);
        if (config.size() > ozy::device::kMaxPayload) {
            Log(2, "configuration of filter " + std::string(filters[i]) + " has " +
                       std::to_string(config.size()) + " bytes, over the device's limit");
            statuses[i] = static_cast<int>(w::kStatusInvalidConfig);
            continue;
        }
        for (const auto& c : lists[i]->commands()) {
            for (const auto& s : c.segments)
                segments.emplace(s->hash(), s.get());
        }
        sent.push_back(i);
    }
    uint64_t epoch;
    std::vector<const CTarpFWSegment*> upload;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (uint32_t i : sent)
            generations.push_back(RecordOf(filters[i]).generation = ++generations_);
        epoch = epoch_;
        for (const auto& [h, s] : segments) {
            if (!acked_.count(h))
                upload.push_back(s);
        }
    }
    // Applies evaluated again alone: unanswered, or refused for a segment the device lacks.
    std::vector<uint32_t> alone;
    {
        TarpDevicePool::Lease lease(pool_);
        int status = 0;
        for (const CTarpFWSegment* s : upload) {
            if ((status = Upload(lease, *s)) != 0)
                break;
        }
        std::vector<ozy::device::IDevice::Request> requests;
        std::vector<ozy::device::IDevice::Reply> replies(sent.size());
        size_t answered = 0;
        if (status == 0) {
            requests.reserve(sent.size());
            for (uint32_t i : sent) {
                const std::vector<uint8_t>& config = lists[i]->configFile();
                requests.push_back({w::kCmdApply, config.data(), config.size()});
            }
            lease.CallBatch(requests.data(), requests.size(), replies.data(), &answered);
        }
        for (size_t k = 0; k < sent.size(); ++k) {
            const uint32_t i = sent[k];
            const uint32_t st = replies[k].status;
            if (k >= answered || st == w::kStatusUnknownSegment) {
                alone.push_back(i);
                continue;
            }
            const std::string filter = filters[i];
            if (st == w::kStatusOk || st == w::kStatusNoChange) {
                Remember(*lists[i], filter, epoch, generations[k]);
                Acknowledge(*lists[i], epoch);
            } else {
                if (st == w::kStatusNoFilter)
                    Forget(filter);
                Log(3, "apply to filter " + filter + " refused: " + FW_StatusToString(int(st)));
            }
            Verbose(kCompConfig, 1,
                    "applied " + std::to_string(lists[i]->commands().size()) + " command(s) to " +
                        filter + ": status " + std::to_string(st));
            statuses[i] = static_cast<int>(st);
        }
    }
    for (uint32_t i : alone)
        statuses[i] = Evaluate(*lists[i], filters[i]);
}

void FW_Handle::Remember(const CTarpFWCmdList& list, const std::string& filter, uint64_t epoch,
                         uint64_t generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(filter);
    if (it == records_.end() || epoch != epoch_)
        return;
    Record& r = it->second;
    if (r.epoch != epoch || r.generation != generation) {
        // Not learnt in this epoch, or something happened to the filter since: ask the device.
        r.ruleSetsValid = r.addrSetsValid = r.chunksValid = false;
        return;
    }
    using Op = CTarpFWCmdList::Op;
    for (const auto& c : list.commands()) {
        switch (c.op) {
            case Op::kCreateRuleSet:
                r.ruleSets.insert(c.name);
                break;
            case Op::kDestroyRuleSet:
                r.ruleSets.erase(c.name);
                break;
            case Op::kCreateAddrSet:
            case Op::kCreateContainer:
                r.addrSets.insert(c.name);
                break;
            case Op::kDestroyAddrSet:
                r.addrSets.erase(c.name);
                break;
            case Op::kCreateIpRepChunk: {
                FW_IpRepChunkStat& s = r.chunks[c.chunk->id];
                s.id = c.chunk->id;
                s.capacity = c.chunk->capacity;
                s.count = static_cast<uint32_t>(c.chunk->entries.size());
                s.bucket = c.chunk->bucket;
                s.hash = r.chunksValid ? ChunkHash(*c.chunk) : 0;
                break;
            }
            case Op::kDestroyIpRepChunk:
                r.chunks.erase(c.chunkId);
                break;
            default:
                break;
        }
    }
    r.namesToken = ++generations_;
}

void FW_Handle::FilterChanged(const std::string& filter) {
    // The next query learns the filter afresh (or learns that it is gone).
    Forget(filter);
}

namespace {

int SettingStatus(const char* filter, uint32_t id, uint32_t status) {
    if (status != 0)
        Log(3, "setting " + std::to_string(id) + " of filter " + std::string(filter) +
                   " refused: " + FW_StatusToString(int(status)));
    return static_cast<int>(status);
}

}  // namespace

int FW_Handle::Setting(const char* filter, uint32_t id, const uint8_t* request, size_t size) {
    uint32_t status = 0;
    int rc = pool_.CallRetry(w::kCmdFilterSetting, request, size, &status, nullptr);
    if (rc != 0)
        return Unreachable(rc);
    return SettingStatus(filter, id, status);
}

void FW_Handle::SettingBatch(uint32_t id, const char* const* filters,
                             const ozy::device::IDevice::Request* requests, uint32_t count,
                             int* statuses) {
    std::vector<ozy::device::IDevice::Reply> replies(count);
    size_t answered = 0;
    {
        TarpDevicePool::Lease lease(pool_);
        lease.CallBatch(requests, count, replies.data(), &answered);
    }
    for (size_t i = 0; i < count; ++i) {
        statuses[i] = i < answered
                          ? SettingStatus(filters[i], id, replies[i].status)
                          : Setting(filters[i], id, static_cast<const uint8_t*>(requests[i].in),
                                    requests[i].size);
    }
}

int FW_Handle::Simple(uint32_t command, const std::vector<uint8_t>& request, size_t replySize,
                      std::vector<uint8_t>* reply) {
    uint32_t status = 0;
    int rc = pool_.CallRetry(command, request.data(), request.size(), &status, reply);
    if (rc != 0)
        return Unreachable(rc);
    if (status == 0 && replySize != 0 && reply != nullptr && reply->size() != replySize) {
        Log(2, "device reply of " + std::to_string(reply->size()) + " bytes, expected " +
                   std::to_string(replySize));
        return static_cast<int>(w::kStatusIoError);
    }
    return static_cast<int>(status);
}

int FW_Handle::ListFromDevice(const std::string& filter, uint32_t command, uint32_t capacity,
                              size_t recordSize, std::vector<uint8_t>* records, uint32_t* total) {
    std::vector<uint8_t> req;
    WireWriter(req).Fixed(filter, w::kFilterNameField).U32(capacity);
    std::vector<uint8_t> reply;
    int st = Simple(command, req, 0, &reply);
    if (st != 0)
        return st;
    if (reply.size() < 8)
        return static_cast<int>(w::kStatusIoError);
    *total = Be32(reply.data());
    uint32_t returned = Be32(reply.data() + 4);
    if (returned > capacity || returned > *total ||
        reply.size() != 8 + size_t(returned) * recordSize) {
        Log(2, "device list reply out of contract");
        return static_cast<int>(w::kStatusIoError);
    }
    records->assign(reply.begin() + 8, reply.end());
    return 0;
}

int FW_Handle::Names(const std::string& filter, bool ruleSets, uint32_t capacity,
                     const std::function<void(uint32_t, const std::string&)>& put,
                     uint32_t* total) {
    uint64_t epoch, generation;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Record& r = RecordOf(filter);
        epoch = epoch_;
        generation = r.generation;
        if (r.epoch == epoch_ && (ruleSets ? r.ruleSetsValid : r.addrSetsValid)) {
            const std::set<std::string>& s = ruleSets ? r.ruleSets : r.addrSets;
            *total = static_cast<uint32_t>(s.size());
            uint32_t i = 0;
            for (auto n = s.begin(); n != s.end() && i < capacity; ++n, ++i)
                put(i, *n);
            Verbose(kCompQuery, 2, "names of " + filter + " from the record");
            return 0;
        }
    }
    size_t width = ruleSets ? w::kRuleSetNameField : w::kAddrSetNameField;
    std::vector<uint8_t> records;
    int st = ListFromDevice(filter, ruleSets ? w::kCmdListRuleSets : w::kCmdListAddrSets, capacity,
                            width, &records, total);
    if (st == static_cast<int>(w::kStatusNoFilter))
        Forget(filter);
    if (st != 0)
        return st;
    std::vector<std::string> list;
    size_t longest = ruleSets ? w::kMaxRuleSetName : w::kMaxContainerName;
    for (size_t off = 0; off < records.size(); off += width) {
        const char* c = reinterpret_cast<const char*>(records.data() + off);
        list.emplace_back(c, strnlen(c, width));
        if (list.back().size() > longest) {
            // Cut to the caller's field, it could name another set: refused, never cut.
            Log(2, "device listed a name of " + std::to_string(list.back().size()) +
                       " characters for filter " + filter + ", at most " + std::to_string(longest));
            return static_cast<int>(w::kStatusIoError);
        }
    }
    for (uint32_t i = 0; i < list.size(); ++i)
        put(i, list[i]);
    if (list.size() == *total) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = records_.find(filter);
        if (it != records_.end() && epoch == epoch_ && generation == it->second.generation) {
            Record& r = it->second;
            if (r.epoch != epoch) {
                r.epoch = epoch;
                r.ruleSetsValid = r.addrSetsValid = r.chunksValid = false;
            }
            (ruleSets ? r.ruleSets : r.addrSets) = std::set<std::string>(
                std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()));
            (ruleSets ? r.ruleSetsValid : r.addrSetsValid) = true;
            r.namesToken = ++generations_;
        }
    }
    return 0;
}

uint64_t FW_Handle::NamesToken(const std::string& filter) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(filter);
    if (it == records_.end())
        return 0;
    const Record& r = it->second;
    return r.epoch == epoch_ && r.ruleSetsValid && r.addrSetsValid ? r.namesToken : 0;
}

int FW_Handle::Stats(const std::string& filter, uint32_t capacity, std::vector<uint8_t>* records,
                     uint32_t* total) {
    return ListFromDevice(filter, w::kCmdAddrSetStats, capacity, w::kAddrSetStatSize, records,
                          total);
}

int FW_Handle::Chunks(uint32_t capacity, std::vector<FW_IpRepChunkStat>* chunks, uint32_t* total) {
    const std::string filter = w::kSharedAddrSetFilter;
    uint64_t epoch, generation;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Record& r = RecordOf(filter);
        epoch = epoch_;
        generation = r.generation;
        if (r.epoch == epoch_ && r.chunksValid) {
            *total = static_cast<uint32_t>(r.chunks.size());
            chunks->clear();
            for (const auto& [id, s] : r.chunks) {
                if (chunks->size() >= capacity)
                    break;
                chunks->push_back(s);
            }
            Verbose(kCompQuery, 2, "chunks from the record");
            return 0;
        }
    }
    std::vector<uint8_t> records;
    int st = ListFromDevice(filter, w::kCmdListIpRepChunks, capacity, w::kIpRepChunkStatSize,
                            &records, total);
    if (st == static_cast<int>(w::kStatusNoFilter))
        Forget(filter);
    if (st != 0)
        return st;
    chunks->clear();
    for (size_t off = 0; off < records.size(); off += w::kIpRepChunkStatSize) {
        FW_IpRepChunkStat s;
        if (!TarpFirewall::DecodeIpRepChunkStat(records.data() + off, records.size() - off, &s) ||
            (!chunks->empty() && chunks->back().id >= s.id)) {
            Log(2, "device listed a chunk out of contract (order, capacity or count)");
            chunks->clear();
            return static_cast<int>(w::kStatusIoError);
        }
        chunks->push_back(s);
    }
    if (chunks->size() == *total) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = records_.find(filter);
        if (it != records_.end() && epoch == epoch_ && generation == it->second.generation) {
            Record& r = it->second;
            if (r.epoch != epoch) {
                r.epoch = epoch;
                r.ruleSetsValid = r.addrSetsValid = false;
            }
            r.chunks.clear();
            for (const FW_IpRepChunkStat& s : *chunks)
                r.chunks[s.id] = s;
            r.chunksValid = true;
        }
    }
    return 0;
}

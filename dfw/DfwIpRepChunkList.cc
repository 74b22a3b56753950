#include "dfw/DfwIpRepChunkList.h"

#include <arpa/inet.h>

#include <algorithm>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "dfw/DfwApplyStatus.h"
#include "dfw/DfwIpRepChunk.h"
#include "dfw/DfwLog.h"
#include "platform/device/DeviceFrame.h"
#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpWire.h"
#include "proto/lcp_firewall.pb.h"

namespace CfgAgent {

namespace w = ozy::tarp;

namespace {

constexpr size_t kCreateHeader = w::kCommandHeaderSize + 16;
constexpr size_t kDestroySize = w::kCommandHeaderSize + 4;

size_t CreateSize(uint32_t count) {
    return kCreateHeader + size_t(count) * w::kIpRepEntrySize;
}

}  // namespace

DfwIpRepChunkList::DfwIpRepChunkList(Options options) : options_(std::move(options)) {
    if (options_.applyBudget == 0)
        options_.applyBudget = ozy::device::kMaxPayload;
}

DfwIpRepChunkList::~DfwIpRepChunkList() = default;

int DfwIpRepChunkList::Held(std::map<uint32_t, FW_IpRepChunkStat>* out) const {
    uint32_t n = 0;
    int rc = FW_GetIpRepChunkCount(options_.handle, &n);
    if (rc != 0)
        return rc;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<FW_IpRepChunkStat> list(std::max<uint32_t>(n, 1));
        uint32_t total = 0;
        rc = FW_GetIpRepChunkList(options_.handle, list.data(), static_cast<uint32_t>(list.size()),
                                  &total);
        if (rc != 0)
            return rc;
        if (total <= list.size()) {
            out->clear();
            for (uint32_t i = 0; i < total; ++i)
                out->emplace(list[i].id, list[i]);
            return 0;
        }
        n = total;  // a chunk came between the two calls
    }
    return static_cast<int>(w::kStatusIoError);
}

void DfwIpRepChunkList::Refresh(const DfwMsgSnapshot& snap) {
    static const DfwObjects<orvane::ozy::firewall::LcpIpReputationConfigMsg> kNone;
    const auto& msgs = snap.chunks ? *snap.chunks : kNone;
    for (auto it = chunks_.begin(); it != chunks_.end();) {
        if (msgs.count(it->first) == 0)
            it = chunks_.erase(it);
        else
            ++it;
    }
    for (const auto& [uuid, msg] : msgs) {
        Chunk& c = chunks_[uuid];
        if (c.msg == msg)
            continue;  // cached messages are immutable: the same object is the same chunk
        const std::string& entries = msg->entries();
        c.msg = msg;
        c.id = msg->chunk_id();
        c.bucket = msg->bucket();
        c.count = static_cast<uint32_t>(entries.size() / w::kIpRepEntrySize);
        c.hash = w::Hash64(reinterpret_cast<const uint8_t*>(entries.data()),
                           size_t(c.count) * w::kIpRepEntrySize, w::kIpRepSeed);
        if (msg->has_entry_count() && msg->entry_count() != c.count)
            DFW_DEBUG("dfw: chunk %1 declares %2 entries and holds %3; %3 taken", uuid.Text(),
                      msg->entry_count(), c.count);
        c.cache = DfwIpRepCache::Build(c.id, entries, c.cache).cache;
    }
}

void DfwIpRepChunkList::Refuse(const DfwUuid& uuid, uint32_t code, const std::string& text) {
    DFW_ERROR_CODE("LCP01153", "dfw: ip reputation chunk %1 refused: %2", uuid.Text(), text);
    errors_.push_back({uuid, code, text});
    ++stats_.refused;
}

bool DfwIpRepChunkList::Sync(const DfwMsgSnapshot& snap, bool force) {
    if (synced_ && !force && errors_.empty() && !snap.changes.fullSync &&
        snap.changes.chunks.empty())
        return true;
    errors_.clear();
    stats_ = Stats{};
    // A device that may be new is asked, not the library's record of the one before.
    if (force)
        FW_FilterChanged(options_.handle, w::kSharedAddrSetFilter);
    std::map<uint32_t, FW_IpRepChunkStat> held;
    int rc = Held(&held);
    if (rc != 0) {
        DFW_ERROR_CODE("LCP01108", "dfw: Failed to get kernel ip reputation chunk list: %1",
                       FW_StatusToString(rc));
        errors_.push_back({DfwUuid{}, DfwRealizationCode(rc),
                           std::string("ip reputation chunk list: ") + FW_StatusToString(rc)});
        return false;
    }
    Refresh(snap);

    // Each device id goes to one uuid: the one that holds it, else the lowest.
    std::map<uint32_t, DfwUuid> owner;
    for (const auto& [uuid, c] : chunks_) {
        auto [it, first] = owner.emplace(c.id, uuid);
        if (first)
            continue;
        DfwUuid loser = uuid;
        if (c.installed == c.id && chunks_.at(it->second).installed != c.id)
            std::swap(loser, it->second);
        Refuse(
            loser, 1102,
            "chunk id " + std::to_string(c.id) + " is already chunk " + it->second.Text() + "'s");
    }

    // What is to be created: chunks the device does not hold as wanted.
    struct Want {
        const DfwUuid* uuid;
        Chunk* chunk;
        const FW_IpRepChunkStat* held;  // the device's chunk of that id, if any
        std::optional<uint32_t> moveFrom;
    };
    std::vector<Want> shrinking, growing;
    uint64_t total = 0;  // entries the device will hold
    for (const auto& [id, uuid] : owner) {
        Chunk& c = chunks_.at(uuid);
        auto h = held.find(id);
        const FW_IpRepChunkStat* hs = h == held.end() ? nullptr : &h->second;
        const uint32_t capacity =
            DfwIpRepChunk::Tier(hs ? hs->capacity : DfwIpRepChunk::kSmallTier, c.count);
        if (hs && hs->count == c.count && hs->bucket == c.bucket && hs->hash == c.hash &&
            hs->capacity == capacity) {
            c.installed = id;
            total += c.count;
            continue;
        }
        Want want{&uuid, &c, hs, std::nullopt};
        // A chunk that moved to another id: its old one goes with the create.
        if (c.installed && *c.installed != id && held.count(*c.installed) != 0 &&
            owner.count(*c.installed) == 0)
            want.moveFrom = c.installed;
        total += hs ? hs->count : 0;
        (hs && c.count <= hs->count ? shrinking : growing).push_back(want);
    }
    std::vector<Want> creates;
    // Ids that a refused chunk moved from: what the device holds of it stays.
    std::set<uint32_t> kept;
    auto keep = [&](const Want& want) {
        if (want.moveFrom && kept.insert(*want.moveFrom).second)
            total += held.at(*want.moveFrom).count;
    };
    for (const Want& want : shrinking) {
        total = total - want.held->count + want.chunk->count;
        creates.push_back(want);
    }
    for (const Want& want : growing) {
        const uint64_t before = want.held ? want.held->count : 0;
        const uint32_t count = want.chunk->count;
        if (total - before + count > options_.maxEntries) {
            Refuse(*want.uuid, 1,
                   "chunk " + std::to_string(want.chunk->id) + " of " + std::to_string(count) +
                       " entries: the chunks would hold " + std::to_string(total - before + count) +
                       " entries, over the limit of " + std::to_string(options_.maxEntries));
            keep(want);
            continue;
        }
        total = total - before + count;
        creates.push_back(want);
    }
    // Chunks alone over one apply's size stay as the device holds them too.
    const size_t header = w::kConfigHeaderSize;
    creates.erase(std::remove_if(creates.begin(), creates.end(),
                                 [&](const Want& want) {
                                     const size_t size = header + CreateSize(want.chunk->count) +
                                                         (want.moveFrom ? kDestroySize : 0);
                                     if (size <= options_.applyBudget)
                                         return false;
                                     Refuse(*want.uuid, 1,
                                            "chunk " + std::to_string(want.chunk->id) + " of " +
                                                std::to_string(want.chunk->count) +
                                                " entries is over the device's apply size");
                                     keep(want);
                                     return true;
                                 }),
                  creates.end());

    // Applies: creates (each with the destroy of the id it moved from), then the destroys of the
    // ids nobody claims, each apply within the budget.
    struct Batch {
        std::vector<const Want*> creates;
        std::vector<uint32_t> destroys;
        size_t bytes = w::kConfigHeaderSize;
    };
    std::vector<Batch> batches(1);
    auto room = [&](size_t need) {
        if (batches.back().bytes + need > options_.applyBudget &&
            batches.back().bytes > w::kConfigHeaderSize)
            batches.emplace_back();
        batches.back().bytes += need;
        return &batches.back();
    };
    for (const Want& want : creates) {
        Batch* b = room(CreateSize(want.chunk->count) + (want.moveFrom ? kDestroySize : 0));
        b->creates.push_back(&want);
        if (want.moveFrom)
            b->destroys.push_back(*want.moveFrom);
    }
    for (const Want& want : creates) {
        if (want.moveFrom)
            kept.insert(*want.moveFrom);  // destroyed with its create above
    }
    for (const auto& [id, stat] : held) {
        if (owner.count(id) == 0 && kept.count(id) == 0)
            room(kDestroySize)->destroys.push_back(id);
    }

    for (const Batch& b : batches) {
        if (b.creates.empty() && b.destroys.empty())
            continue;
        TarpFirewall::CTarpFWCmdList list;
        TarpFirewall::ScopedConfigFile guard(&list);
        try {
            for (const Want* want : b.creates) {
                const Chunk& c = *want->chunk;
                auto chunk = std::make_shared<TarpFirewall::CTarpFWIpRepChunk>(DfwIpRepChunk::Build(
                    *c.msg, want->held ? want->held->capacity : DfwIpRepChunk::kSmallTier));
                DFW_INFO("dfw: ip reputation chunk %1 has %2 IPs and bucket %3", chunk->id,
                         chunk->entries.size(), chunk->bucket);
                list.addCreateIpRepChunk(std::move(chunk));
            }
            for (uint32_t id : b.destroys) {
                DFW_INFO("dfw: destroying ip reputation chunk %1", id);
                list.addDestroyIpRepChunk(id);
            }
            rc = FW_EvaluateConfigFile(options_.handle, &list, w::kSharedAddrSetFilter, 0);
        } catch (const TarpFirewall::CTarpFWException& e) {
            DFW_ERROR("dfw: ip reputation chunks refused by the library: %1", e.what());
            rc = static_cast<int>(e.retcode());
        }
        ++stats_.applies;
        if (!DfwApplied(rc)) {
            DFW_ERROR_CODE("LCP01106", "dfw: Failed to apply ip reputation chunks: %1",
                           FW_StatusToString(rc));
            const std::string text =
                std::string("ip reputation chunks not applied: ") + FW_StatusToString(rc);
            for (const Want* want : b.creates)
                errors_.push_back({*want->uuid, DfwRealizationCode(rc), text});
            if (b.creates.empty())
                errors_.push_back({DfwUuid{}, DfwRealizationCode(rc), text});
            continue;
        }
        for (const Want* want : b.creates)
            want->chunk->installed = want->chunk->id;
        stats_.created += b.creates.size();
        stats_.destroyed += b.destroys.size();
    }
    if (stats_.applies != 0 || stats_.refused != 0)
        DFW_INFO("dfw: ip reputation chunks: %1 created, %2 destroyed, %3 refused, %4 entries",
                 stats_.created, stats_.destroyed, stats_.refused, total);
    synced_ = true;
    if (stats_.applies != 0 && Held(&held) != 0)
        held.clear();
    Publish(held);
    return errors_.empty();
}

void DfwIpRepChunkList::Publish(const std::map<uint32_t, FW_IpRepChunkStat>& held) {
    std::vector<Row> rows;
    uint64_t entries = 0;
    for (const auto& [uuid, c] : chunks_) {
        Row r;
        r.uuid = uuid;
        r.id = c.id;
        r.bucket = c.bucket;
        r.count = c.count;
        r.cache = c.cache;
        for (const Error& e : errors_) {
            if (e.uuid == uuid)
                r.error = e.text;
        }
        auto h = held.find(c.id);
        r.realized = r.error.empty() && c.installed == c.id && h != held.end() &&
                     h->second.hash == c.hash && h->second.count == c.count;
        r.capacity = r.realized ? h->second.capacity : 0;
        entries += c.count;
        rows.push_back(std::move(r));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    published_ = std::move(rows);
    publishedEntries_ = entries;
}

bool DfwIpRepChunkList::Text(const std::string& address, std::string* text) const {
    uint32_t v4 = 0;
    if (!address.empty()) {
        in_addr a{};
        if (::inet_pton(AF_INET, address.c_str(), &a) != 1) {
            *text = "not an IPv4 address: " + address;
            return false;
        }
        v4 = ntohl(a.s_addr);
    }
    nlohmann::json chunks = nlohmann::json::array();
    nlohmann::json listedBy = nlohmann::json::array();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Row& r : published_) {
        nlohmann::json j = {{"uuid", r.uuid.Text()},
                            {"id", r.id},
                            {"bucket", r.bucket},
                            {"count", r.count},
                            {"capacity", r.capacity},
                            {"realized", r.realized},
                            {"prefixes", r.cache ? r.cache->size() : 0}};
        if (!r.error.empty())
            j["error"] = r.error;
        chunks.push_back(std::move(j));
        if (!address.empty() && r.cache && r.cache->Lists(v4))
            listedBy.push_back(r.id);
    }
    nlohmann::json out = {{"max_entries", options_.maxEntries},
                          {"entries", publishedEntries_},
                          {"chunks", std::move(chunks)}};
    if (!address.empty())
        out["listed_by"] = std::move(listedBy);
    *text = out.dump();
    return true;
}

}  // namespace CfgAgent

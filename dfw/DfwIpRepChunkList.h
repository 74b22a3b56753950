#pragma once
// The IP-reputation chunk list realized on the device: the chunks of the message cache become
// create and destroy chunk commands on the shared filter ("shared-addrset-filter-orvane-sfw"),
// where the device keeps its chunks for every filter's malicious groups.
//
// One Sync per pass, doing work only when the chunks changed, after a full sync, on the first
// pass, when the device may be new (`force`) or while a chunk is refused or failed:
//
// 1. What the device holds (FW_GetIpRepChunkList: id, capacity, count, bucket and content hash),
//    which the library answers from its per-epoch record of the shared filter. Nothing else is
//    remembered here about the device, so a restarted agent, or a restarted device, is reconciled
//    the same way: a chunk the device holds as wanted is left alone.
// 2. Each chunk's device id is claimed by one uuid: the one that held it last, else the lowest;
//    other claimants are refused (1102).
// 3. A chunk is wanted as: its entries (the count is that of the entries received), its bucket,
//    and the capacity tier that follows the capacity the device holds for its id (a new id starts
//    at the small tier; DfwIpRepChunk::NextCapacity). Equal to what the device holds: nothing to
//    do.
// 4. Memory: the entries of all chunks together stay within `maxEntries`. Chunks that keep their
//    size or shrink go first; then the new and grown ones in id order, each refused (realization
//    code 1, LCP01153) when it would pass the limit; a refused chunk keeps what the device holds
//    for its id. A chunk whose create command alone is over the device's payload limit is refused
//    the same way.
// 5. Commands: creates, then destroys of the ids no chunk claims any more (deleted chunks, a chunk
//    whose id changed, whatever a full sync or the agent's restart no longer lists). A create of an
//    id the device holds replaces it in place. Applies are split to stay within the payload
//    limit; a chunk that moved to another id has its create and the destroy of its old id in the
//    same apply, create first, so the dataplane never goes without it.
//
// Each chunk keeps a lookup cache (DfwIpRepCache) for the CLI's "which chunks list this address".
//
// Threads: Sync runs on the process loop; Text may be called from any thread (it reads what the
// last Sync published, under the list's own mutex).
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dfw/DfwIpRepCache.h"
#include "dfw/DfwMsgSnapshot.h"

struct FW_Handle;
struct FW_IpRepChunkStat;

namespace CfgAgent {

class DfwIpRepChunkList {
  public:
    static constexpr uint64_t kDefaultMaxEntries = 2000000;

    struct Options {
        FW_Handle* handle = nullptr;
        // Entries of all chunks together.
        uint64_t maxEntries = kDefaultMaxEntries;
        // Bytes of one apply's configuration (the device's payload limit by default).
        size_t applyBudget = 0;
    };
    // A chunk that is not realized as wanted: its uuid, realization code and text.
    struct Error {
        DfwUuid uuid;
        uint32_t code = 0;
        std::string text;
    };
    // What the last Sync that did work did.
    struct Stats {
        size_t created = 0;
        size_t destroyed = 0;
        size_t refused = 0;
        size_t applies = 0;
    };

    explicit DfwIpRepChunkList(Options options);
    ~DfwIpRepChunkList();

    // Brings the device's chunks in line with the snapshot's (see above); false when a chunk is
    // refused or an apply or the device's list failed (errors()).
    bool Sync(const DfwMsgSnapshot& snap, bool force);

    const std::vector<Error>& errors() const { return errors_; }
    const Stats& stats() const { return stats_; }
    // "dfw/ipreputation [ADDR]": the chunks as last synced, as JSON text; with an IPv4 address, the
    // ids of the chunks that list it. False with `text` saying why for a bad address.
    bool Text(const std::string& address, std::string* text) const;

  private:
    struct Chunk {
        std::shared_ptr<const orvane::ozy::firewall::LcpIpReputationConfigMsg> msg;
        uint32_t id = 0;
        uint32_t bucket = 0;
        uint32_t count = 0;
        uint64_t hash = 0;  // of the entries as on the wire
        std::shared_ptr<const DfwIpRepCache> cache;
        // The device id this uuid held after the last sync, if any.
        std::optional<uint32_t> installed;
    };
    struct Row {
        DfwUuid uuid;
        uint32_t id = 0;
        uint32_t bucket = 0;
        uint32_t count = 0;
        uint32_t capacity = 0;  // on the device; 0 when not realized
        bool realized = false;
        std::string error;
        std::shared_ptr<const DfwIpRepCache> cache;
    };

    // The chunks the device holds, by id; a device status.
    int Held(std::map<uint32_t, ::FW_IpRepChunkStat>* out) const;
    // Brings `chunks_` in line with the snapshot's messages (new, changed and gone uuids).
    void Refresh(const DfwMsgSnapshot& snap);
    void Refuse(const DfwUuid& uuid, uint32_t code, const std::string& text);
    void Publish(const std::map<uint32_t, ::FW_IpRepChunkStat>& held);

    Options options_;
    std::map<DfwUuid, Chunk> chunks_;
    bool synced_ = false;
    std::vector<Error> errors_;
    Stats stats_;

    mutable std::mutex mutex_;  // published_
    std::vector<Row> published_;
    uint64_t publishedEntries_ = 0;
};

}  // namespace CfgAgent

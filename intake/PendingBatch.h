#pragma once
// The records decoded since the last barrier, per component, until the barrier takes them as the
// batch's lists.
//
// A full sync decodes every record of the database into one batch (a logical port is 18
// records): kept in one growing list per component, the last growth of such a list holds the
// list and its larger copy at once, 2.25 times its records, and leaves up to a quarter of it as
// unused room for the batch's life. Here a component's records are filed into chunks of
// kChunkRecords; Take() moves them into one list of exactly their number, freeing each chunk as
// soon as it is moved (a chunk is a block of its own, which the allocator unmaps when freed), so
// that the list's records are held once plus one chunk at most.
//
// Filing follows Decoder::File: components in a group's routing order, NONE ignored, a
// component's entry made even for a group without records, copies for every component of a
// group but the last, which takes the records themselves. Not thread-safe: the database client's
// callbacks own it.
#include <cstddef>
#include <map>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"

namespace CfgAgent {

struct DecodeResult;

class PendingBatch {
  public:
    // 4096 records of 96 bytes: a block above the allocator's mapping threshold (128 KiB).
    static constexpr size_t kChunkRecords = 4096;

    // Files every group of `result` (its record lists are left empty).
    void File(DecodeResult& result);
    // Files copies of `records` under `component` (NONE ignored; the entry is made even when
    // `records` is empty).
    void Add(ComponentType component, const CairnDBUpdateList& records);
    // Makes the entry of `component` (a full sync reaches every component, with or without
    // records).
    void Touch(ComponentType component);

    // The lists, records in filing order, each with room for exactly its records; the batch is
    // empty afterwards.
    ComponentUpdateMap Take();

    // The records of `component` filed so far, in one list of exactly their number (empty when
    // it has none); its entry stays, empty. A full sync sends its largest list in parts so.
    CairnDBUpdateList TakeLane(ComponentType component);
    // Records filed under `component` (0 when it has no entry).
    size_t LaneRecords(ComponentType component) const;

    bool Empty() const { return lanes_.empty(); }
    size_t RecordCount() const;
    // Chunks held for `component` (0 when it has no entry).
    size_t ChunkCount(ComponentType component) const;

  private:
    struct Lane {
        std::vector<CairnDBUpdateList> chunks;
        size_t records = 0;
    };

    // The chunk of `lane` that takes `n` more records: the last one while it has room, else a
    // new one of kChunkRecords (a group larger than that gets a chunk of its own size). The first
    // chunk grows as records come, so that a delta of a few records takes no more.
    static CairnDBUpdateList& ChunkFor(Lane& lane, size_t n);
    // The records of `lane` moved into one list of exactly their number, each chunk freed as soon
    // as it is moved; the lane is left empty.
    static CairnDBUpdateList Drain(Lane& lane);

    std::map<ComponentType, Lane> lanes_;
};

}  // namespace CfgAgent

#pragma once
// The VIF states ConfigApp keeps, by VifKey, packed: a VIF is one record of 96 bytes in a dense
// array (its key, port and switch ids as dvs::PackedIds, its first MAC, type, status and flags)
// and one slot of 4 bytes in an open-addressing index over that array (linear probing, at most
// three quarters full). What few VIFs have (more MACs, discovered bindings, a parent VIF, an ID
// text other than its key) sits in one heap block behind the record, absent for most VIFs. A
// VifStateRecord with four strings and three vectors in a tree node took about 390 bytes.
//
// The states are handed out as VifStateRecords (unpacked on each read): ConfigApp reads a VIF's
// state once per report of it. Erasing moves the last record into the erased one's place, so the
// array's order is not the order of insertion; nothing iterates the table in an order that
// matters. Erasing most VIFs gives the array's and the index's room back.
//
// Not thread-safe: ConfigApp calls it under the global agent lock.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "apps/switching/PackedId.h"
#include "apps/switching/VifState.h"
#include "dataplane/KcpWalk.h"

namespace CfgAgent {

class VifStateTable {
  public:
    VifStateTable();
    ~VifStateTable();
    VifStateTable(VifStateTable&& o) noexcept;
    VifStateTable& operator=(VifStateTable&& o) noexcept;
    VifStateTable(const VifStateTable&) = delete;
    VifStateTable& operator=(const VifStateTable&) = delete;

    size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    bool Contains(std::string_view key) const { return Find(dvs::PackedId(key)) != kNone; }
    // The state of the VIF keyed `key` (its VifKey); false when there is none.
    bool Get(std::string_view key, VifStateRecord* out) const;
    // Adds the VIF's state or replaces it.
    void Put(std::string_view key, const VifStateRecord& st);
    // False when there was no such VIF.
    bool Erase(std::string_view key);
    // Empties the table and frees its blocks.
    void Clear();
    // Heap bytes held (the array, the index and the blocks, in allocator chunks).
    size_t Bytes() const;
    // The index's slots (a power of two, or 0 while empty); for tests.
    size_t IndexCapacity() const { return capacity_; }

  private:
    static constexpr uint32_t kNone = UINT32_MAX;
    enum Flags : uint8_t { kHasMac = 1, kSmartNic = 2, kHopover = 4 };
    struct Record {
        dvs::PackedId key;
        dvs::PackedId portId;
        dvs::PackedId switchId;
        std::unique_ptr<uint8_t[]> more;  // see Pack(); null when the VIF has nothing of it
        kcp::MacAddr mac{};               // the first MAC (kHasMac)
        uint8_t vifType = 0;
        uint8_t status = 0;
        uint8_t flags = 0;
    };

    // The block of what few VIFs have, or null when `st` has none of it.
    static std::unique_ptr<uint8_t[]> Pack(const dvs::PackedId& key, const VifStateRecord& st);
    static void Unpack(const uint8_t* more, VifStateRecord* out);
    static size_t PackedBytes(const uint8_t* more);

    size_t Home(const dvs::PackedId& key) const;
    // The index slot of `key`, or the free slot where it would go (capacity_ > 0).
    size_t Probe(const dvs::PackedId& key) const;
    // The record of `key`, or kNone.
    uint32_t Find(const dvs::PackedId& key) const;
    void RemoveSlot(size_t i);
    void Resize(size_t capacity);

    std::vector<Record> records_;
    std::unique_ptr<uint32_t[]> index_;  // record number + 1; 0: free
    size_t capacity_ = 0;                // 0 or a power of two
};

}  // namespace CfgAgent

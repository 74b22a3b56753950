#pragma once
// Where a client's objects live in the database: for each (object type, vdb) that the client writes
// repeatedly and whose rows it has therefore read whole once, the row UUID of every object in it,
// kept current by the client's own inserts and deletes. A write can then read the rows it changes
// by UUID, which ovsdb-server finds directly, and knows without reading that an object it has never
// seen is new; a condition on the object's id would make ovsdb-server walk the whole table for
// every row read.
//
// A directory may go stale when another client writes the same table: a row it names that is gone
// reads as absent, and an insert of an object another client inserted fails the transaction on
// the table's unique index. The writer then clears the directory and plans again from whole reads.
//
// Internal to the client library; runs on the client's strand only.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

namespace ozy::cairndb {

class RowDirectory {
  public:
    using Rows = std::unordered_map<std::string, std::string>;  // object id -> row UUID

    // The rows of (type, vdb) when all of them are known; null otherwise.
    const Rows* Find(int type, uint32_t vdb) const;
    // Notes a write touching (type, vdb) and says whether one did before: a table is worth
    // reading whole only for a client that writes it again (a one-shot tool writes it once).
    bool TouchedBefore(int type, uint32_t vdb) { return !touched_.insert({type, vdb}).second; }
    // Starts (or restarts) the complete list of (type, vdb) from a whole read.
    Rows& Reset(int type, uint32_t vdb);
    // Notes an inserted row, or forgets a deleted one, in a table whose rows are all known.
    void Inserted(int type, uint32_t vdb, const std::string& oid, const std::string& uuid);
    void Deleted(int type, uint32_t vdb, const std::string& oid);
    // Forgets the rows (not which tables were written).
    void Clear() { tables_.clear(); }
    size_t Tables() const { return tables_.size(); }

  private:
    std::map<std::pair<int, uint32_t>, Rows> tables_;
    std::set<std::pair<int, uint32_t>> touched_;
};

}  // namespace ozy::cairndb

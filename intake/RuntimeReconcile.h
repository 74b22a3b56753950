#pragma once
// A full-sync write of runtime state (a flush of each of its tables, then a put of every object)
// turned into its differences from the rows the database holds: the puts whose row is stored
// exactly as they would write it are left out, and every stored row that no put names is deleted.
// Written after the stored rows were read (with nothing else written meanwhile), the differences
// leave the tables as the flush would, and they can be written in lists of bounded length: after a
// restart most rows are unchanged, and the flush would have every row read, planned and asserted
// in one transaction.
//
// Use: Index() the list; Note() every stored row of each of tables(); Lists(). Any step that
// returns false means that the list must be written as it is. Not thread-safe; Note() may run on
// another thread than the other calls when the caller orders them.
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "proto/cairndb_modify.pb.h"

namespace ozy::cairndb {
struct StoredObject;
}

namespace CfgAgent {

class RuntimeReconcile {
  public:
    using Requests = std::vector<orvane::ozy::cairndb::ModifyRequestMsg>;
    // (object type, vdb)
    using Table = std::pair<int, uint32_t>;

    // Indexes `list`: flushes first, then puts of flushed tables only, each body of its type with
    // an id. False for any other list (a patch, a delete, a put before the flushes or of a table
    // not flushed, a body that does not parse, a vdb outside 1..65535).
    bool Index(const Requests& list);
    // The tables flushed, in list order.
    const std::vector<Table>& tables() const { return tables_; }
    size_t PutCount() const { return puts_; }

    // A stored row of `table` (an entry of tables()). False when the row cannot be reconciled: an
    // identifier that is not a UUID in its lower-case text, or a second row of one identifier.
    bool Note(const Table& table, const ozy::cairndb::StoredObject& row);

    // Moves out of `list` (the indexed one) the puts still to be written, in list order, followed
    // by the deletes of stored rows no put names, in lists of at most `chunk` requests (none when
    // nothing differs).
    std::vector<Requests> Lists(Requests& list, size_t chunk);

    size_t Unchanged() const { return unchanged_; }
    size_t Stale() const { return deletes_.size(); }

  private:
    // The last put of an identifier (its two halves): its index in the list, and whether a stored
    // row of that identifier was noted. 24 bytes a put; a table's puts are sorted by identifier.
    struct Slot {
        uint64_t left = 0;
        uint64_t right = 0;
        uint32_t index = 0;
        bool seen = false;
    };
    const Requests* list_ = nullptr;
    std::vector<Table> tables_;
    std::map<Table, std::vector<Slot>> putsByTable_;
    // Per request of the list: written (flushes and puts left out are false).
    std::vector<bool> write_;
    Requests deletes_;
    size_t puts_ = 0;
    size_t unchanged_ = 0;
};

}  // namespace CfgAgent

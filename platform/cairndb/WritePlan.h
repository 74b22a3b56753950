#pragma once
// Turns one list of modify requests into database work with two round trips whatever the list's
// length: one transaction that reads every row the list touches, then, after the requests were
// applied in order in memory, one transaction that updates the rows that exist, inserts the new
// ones and deletes the removed ones. Updating in place (rather than delete and insert) lets
// monitors see modifies. The write transaction first asserts (OVSDB "wait") that the rows it
// changes still hold what was read, so a concurrent writer makes it fail as a whole and the caller
// can run the plan again. Rows the client kept as it last wrote them (see RowCache.h) are not
// read: the write starts from the kept row and asserts its columns instead.
//
// Internal to the client library.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/cairndb/CanonicalWire.h"
#include "platform/cairndb/JsonText.h"

namespace orvane::ozy::cairndb {
class ModifyRequestMsg;
class UuidMsg;
}  // namespace orvane::ozy::cairndb

namespace google::protobuf {
class Arena;
class Descriptor;
class FieldDescriptor;
class Message;
}  // namespace google::protobuf

namespace ozy::cairndb {

struct ObjectTypeInfo;
class RowCache;
class RowDirectory;

// What the last write transaction of a plan leaves in the rows it changes, to tell afterwards
// whether it landed when its reply was lost with the connection.
class WriteIntent {
  public:
    // Operations of a read transaction (without the database name) of those rows.
    nlohmann::json ReadOps() const;
    // True when that transaction's result shows every row as the write leaves it.
    bool Landed(const nlohmann::json& readResult) const;
    bool empty() const { return rows_.empty(); }

  private:
    friend class WritePlan;
    struct Row {
        std::string table;
        std::string oid;
        uint32_t vdb = 0;
        bool present = false;
        // Columns as stored (base64); the body's and the op's texts shared with what the plan
        // keeps of the write (a learned row's are megabytes).
        std::shared_ptr<std::string> body;
        std::shared_ptr<std::string> op;
        std::string trace;
    };
    std::vector<Row> rows_;
};

class WritePlan {
  public:
    WritePlan();
    ~WritePlan();

    // Checks and indexes the requests. False (and the reason) when any request is malformed: an
    // unknown object type, a vdb outside 1..65535, a body that does not parse or has no id, an op
    // message that does not parse. Nothing of such a list is written.
    bool Prepare(const std::vector<orvane::ozy::cairndb::ModifyRequestMsg>& requests,
                 std::string* error);
    bool empty() const { return actions_.empty(); }

    // Operations of the read transaction (without the database name). Without a directory each
    // row is read by its object id (a table with many rows touched is read whole). With one, rows
    // of a table the directory knows whole are read by row UUID, or not at all when the object is
    // new there, and a table the client wrote before is read whole so that the directory learns
    // it; other rows are read by object id. Rows that `cache` keeps are not read (nor their table
    // whole when it keeps every row the list touches there). Call again before each attempt: the
    // plan of reads follows the directory's and the cache's state.
    nlohmann::json ReadOps(RowDirectory* directory = nullptr, const RowCache* cache = nullptr);
    // Applies the requests to the rows read (the read transaction's result array) and returns the
    // operations of the write transaction; empty when nothing changes. Tables read whole are noted
    // in `directory`. False (and the reason) when the read result is malformed or a patch cannot
    // be applied.
    // `cache` must be the one given to ReadOps; a kept row it no longer holds fails the build. The
    // kept rows the write changes are taken out of it (Committed puts them back as written).
    // With `texts`, the operations refer to the body and op columns of at least kSharedTextBytes
    // (SplicedString, their texts appended to `texts`) instead of holding copies of them.
    bool BuildWriteOps(const nlohmann::json& readResult, nlohmann::json* ops, std::string* error,
                       RowDirectory* directory = nullptr, RowCache* cache = nullptr,
                       SplicedTexts* texts = nullptr);
    // After the write transaction committed: its inserted rows' UUIDs and its deletes into the
    // directory; the rows it patched into `cache` as written, and every other row it wrote or
    // deleted out of it.
    void Committed(const nlohmann::json& writeResult, RowDirectory* directory,
                   RowCache* cache = nullptr);
    // The current attempt starts from rows kept in the cache (its failure may only mean that
    // another writer changed one of them).
    bool UsesCache() const { return usesCache_; }
    // The rows as the last built write transaction leaves them (empty once it committed).
    const WriteIntent& intent() const { return intent_; }

  private:
    void PlanReads(RowDirectory* directory, const RowCache* cache);

    using Key = std::tuple<int, uint32_t, std::string>;  // type, vdb, oid
    struct Action;
    struct State;
    std::vector<Action> actions_;
    // Holds the patches' parsed messages (see Action).
    std::unique_ptr<google::protobuf::Arena> parsed_;
    // One message per class, into which Prepare parses the entries of patches that only append to
    // one list, each in turn (see AppendsOfOneList).
    using Scratch =
        std::map<const google::protobuf::Descriptor*, std::unique_ptr<google::protobuf::Message>>;
    Scratch scratch_;
    // Tells the entries that are already as the body's serialization writes them, which are
    // taken as they are instead of parsed and serialized again.
    CanonicalWire canonical_;
    static bool TakeShape(const ObjectTypeInfo& info, const orvane::ozy::cairndb::UuidMsg& id,
                          State* s);
    static google::protobuf::Message* ScratchOf(Scratch* scratch,
                                                const google::protobuf::Descriptor* d);
    // A patch of `info`'s class that only appends entries to one list of messages, as a list
    // patch's writer sends it: `list`, and its entries checked and serialized as the body's
    // serialization writes them, tag and length first, to be appended to the body; `count` of
    // them. An entry (or entry op) that `canonical` finds in that form already is taken as it is;
    // any other is parsed in turn (nothing kept) and serialized again. False (and nothing parsed
    // for good) for any other patch, which Prepare parses whole.
    static bool AppendsOfOneList(const ObjectTypeInfo& info, const std::string& op,
                                 const std::string& partial, Scratch* scratch,
                                 CanonicalWire* canonical,
                                 const google::protobuf::FieldDescriptor** list,
                                 std::string* entries, int* count);
    std::vector<Key> rowReads_;                         // rows read one by one
    std::vector<std::pair<int, uint32_t>> tableReads_;  // (type, vdb) flushed: read whole
    std::set<std::pair<int, uint32_t>> flushed_;        // (type, vdb) flushed by the list
    std::set<std::pair<int, uint32_t>> manyRows_;       // (type, vdb) with many rows touched

    // The reads of the current attempt.
    enum class RowRead { kByOid, kByUuid, kNone, kCovered, kCached };
    std::vector<std::pair<RowRead, std::string>> rowPlan_;  // per rowReads_ entry; UUID if by UUID
    std::vector<std::pair<int, uint32_t>> readTables_;      // tableReads_ and tables to learn
    // Rows the write transaction inserts (operation index) and deletes.
    std::vector<std::pair<size_t, Key>> inserts_;
    std::vector<Key> deletes_;
    // What the built write transaction leaves in the rows it writes, for the cache: the patched
    // rows' columns (UUID empty for an insert: its operation index gives it), and every other row
    // written (`keep` false).
    struct Written {
        explicit Written(Key k) : key(std::move(k)) {}
        Key key;
        bool keep = false;
        size_t insertIndex = 0;
        std::string uuid;
        std::string body;
        std::shared_ptr<std::string> bodyText;  // shared with the intent's row
        std::shared_ptr<std::string> opText;
        // The body's shape (see RowCache.h).
        std::vector<int> sizes;
        int lastField = 0;
    };
    std::vector<Written> written_;
    // Takes the written columns and the body's shape for the cache.
    static void Keep(Written* w, const std::string& uuid, std::string* body,
                     std::shared_ptr<std::string> bodyText, std::shared_ptr<std::string> opText,
                     State* s);
    bool usesCache_ = false;
    WriteIntent intent_;
};

}  // namespace ozy::cairndb

#pragma once
// One monitor's view of its tables: the statements it was configured with and a replica of the
// rows it has delivered. OVSDB's monitor_cond notifications carry only the changed columns of a
// modified row and nothing of a deleted one, so the replica is what gives removals their old body
// and lets op messages be derived from old and new bodies.
//
// Rules (what the readers hold always follows from what was delivered):
// - A row is refused, logged with "LCP03005" and the row's table and UUID, when its columns
//   cannot be decoded, its body is not the type's protobuf, its body carries no id or an id other
//   than its oid column (readers key everything on the body's id, so a stray row must never stand
//   in for another object), or its explicit op does not describe a written object (object
//   operation other than SET; logged at warning). A refused change is not delivered: the readers
//   keep what they had of the row (nothing, or its last delivered content), and the next accepted
//   change, or its deletion, is derived from that. The same refused columns delivered again by a
//   resynchronisation are logged at debug level only.
// - Within one notification every removal is delivered before every insertion or modification, so
//   that an object deleted and written again in one transaction (under a new row) ends present.
//   A row whose identity changes is delivered as the removal of the old object and the insertion
//   of the new one.
//
// Internal to the client library; runs on the client's strand only. Rows of unknown tables are
// logged and skipped; a notification whose structure is wrong is refused as a whole (the caller
// resynchronises), so that a half transaction is never delivered.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace google::protobuf {
class Message;
}
namespace orvane::ozy::cairndb {
class MonitorUpdateMsg;
}

namespace ozy::cairndb {

class MonitorReplyStream;

struct MonitorStatement {
    int type = 0;
    // Op message of the type whose SELECT fields restrict modifies; null: every change.
    std::shared_ptr<const google::protobuf::Message> selectTemplate;
    bool option = false;
};

class MonitorReplica {
  public:
    using Update = orvane::ozy::cairndb::MonitorUpdateMsg;

    // Largest body, op or trace column taken (decoded bytes): a larger one refuses its row with
    // LCP03005. Fields of a body that the schema does not know are dropped before it is kept.
    static constexpr size_t kMaxColumnBytes = 8u * 1024u * 1024u;

    explicit MonitorReplica(uint16_t vdb);
    ~MonitorReplica();

    // Replaces the statements; rows of tables no longer monitored are forgotten.
    void SetStatements(std::map<int, MonitorStatement> statements);
    const std::map<int, MonitorStatement>& statements() const { return statements_; }
    // The monitor-cond-requests object of a monitor_cond call for these statements.
    nlohmann::json MonitorRequests() const;

    // Takes a run of updates (and may leave it emptied or moved from).
    using RunSink = std::function<void(std::vector<Update>* run)>;
    // Updates handed to an early sink at a time.
    static constexpr size_t kEarlyRun = 4096;

    // The initial contents (monitor_cond result). `fullResync`: every row is delivered as a SET and
    // the replica is replaced (start, reconnection). Otherwise (the statements changed) only the
    // differences to the replica are delivered, removals included. With `early` on a full resync,
    // the SETs go to it in runs of kEarlyRun as they are made (a full resync has no removals, and
    // the structure of the whole reply is checked before the first row), so that the readers start
    // on the first rows while the others are decoded; `out` gets the last run.
    bool ApplyInitial(const nlohmann::json& tableUpdates, bool fullResync, std::vector<Update>* out,
                      std::string* error, const RunSink& early = nullptr);
    // The same from the reply's table updates as its stream collected them; each row is used up
    // as it is applied (its columns freed, its uuid moved into the replica).
    bool ApplyInitial(MonitorReplyStream* reply, bool fullResync, std::vector<Update>* out,
                      std::string* error, const RunSink& early = nullptr);
    // An update2 notification.
    bool ApplyUpdate(const nlohmann::json& tableUpdates, std::vector<Update>* out,
                     std::string* error);
    void Clear();
    size_t RowCount() const;
    // Heap bytes the rows take, bodies included (an estimate in glibc chunks; visits every row).
    size_t Bytes() const;

    // A row's columns as the database holds them.
    struct Columns {
        std::string oid;
        uint32_t vdb = 0;
        std::string body;   // serialized body
        std::string op;     // serialized explicit op message, "" when none
        std::string trace;  // serialized span context, "" when none
    };

    // The columns as a row keeps them: oid, body, op and trace back to back in one heap block
    // (a replica holds one per object; four strings would take four headers and up to four
    // blocks).
    class PackedColumns {
      public:
        PackedColumns() = default;
        explicit PackedColumns(const Columns& c);
        // A moved-from value is empty.
        PackedColumns(PackedColumns&& o) noexcept { *this = std::move(o); }
        PackedColumns& operator=(PackedColumns&& o) noexcept;
        std::string_view oid() const { return {bytes_.get(), oidLen_}; }
        std::string_view body() const { return {bytes_.get() + oidLen_, bodyLen_}; }
        std::string_view op() const { return {bytes_.get() + oidLen_ + bodyLen_, opLen_}; }
        std::string_view trace() const {
            return {bytes_.get() + oidLen_ + bodyLen_ + opLen_, traceLen_};
        }
        uint32_t vdb() const { return vdb_; }
        Columns Unpack() const;
        // The block's size on the heap (glibc chunks).
        size_t HeapBytes() const;

      private:
        std::unique_ptr<char[]> bytes_;
        uint32_t oidLen_ = 0;
        uint32_t bodyLen_ = 0;
        uint32_t opLen_ = 0;
        uint32_t traceLen_ = 0;
        uint32_t vdb_ = 0;
    };

    // Decodes a row's columns (those present are set in `c`); false with the reason when they
    // do not decode.
    static bool DecodeRowColumns(const nlohmann::json& columns, Columns* c, std::string* why);

    struct Row {
        PackedColumns db;
        // What the readers hold of this row: nothing, the current columns, or (after a refused
        // change) earlier ones.
        enum class Held : uint8_t { kNothing, kCurrent, kEarlier } held = Held::kNothing;
        bool refused = false;  // the current columns were refused (and logged)
        std::unique_ptr<PackedColumns> earlier;

        const PackedColumns* HeldColumns() const {
            return held == Held::kCurrent ? &db
                                          : (held == Held::kEarlier ? earlier.get() : nullptr);
        }
    };

  private:
    struct Table;
    // Removals and the rest of one notification, delivered in that order.
    struct Output {
        std::vector<Update> clears;
        std::vector<Update> sets;
    };

    Table* TableFor(const std::string& name, int* type);
    // Parses and checks the columns of a row (leaving the body in the table's scratch message);
    // false with the reason and the level to log it at.
    bool CheckRow(Table& t, const std::string& uuid, Columns* c, bool explicitOp, std::string* why,
                  int* level);
    // The row gets the columns `c` (already merged with what it had): checked, then delivered as
    // the difference to what the readers hold, or refused. `explicitOp`: the op column was written
    // with this change and describes it; `logRefusal`: a refusal is logged at its level (else at
    // debug: the same refused columns again).
    void ChangeRow(int type, Table& t, const std::string& uuid, Row* row, Columns c,
                   bool explicitOp, bool logRefusal, Output* out);
    void EmitSet(int type, Table& t, const PackedColumns* held, const Columns& c, bool explicitOp,
                 Output* out);
    void EmitClear(int type, Table& t, const PackedColumns& held, Output* out);

    uint16_t vdb_;
    std::map<int, MonitorStatement> statements_;
    std::map<int, std::unique_ptr<Table>> tables_;
};

}  // namespace ozy::cairndb

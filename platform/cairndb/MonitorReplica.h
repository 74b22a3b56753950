#pragma once
// One monitor's view of its tables: the statements it was configured with and a replica of the
// rows it has delivered. OVSDB's monitor_cond notifications carry only the changed columns of a
// modified row and nothing of a deleted one, so the replica is what gives removals their old body
// and lets op messages be derived from old and new bodies.
//
// Internal to the client library; runs on the client's strand only. Rows that cannot be decoded
// (unknown table, body that is not base64 or not the type's protobuf) are logged and skipped; a
// notification whose structure is wrong is refused as a whole (the caller resynchronises), so
// that a half transaction is never delivered.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace google::protobuf {
class Message;
}
namespace orvane::ozy::cairndb {
class MonitorUpdateMsg;
}

namespace ozy::cairndb {

struct MonitorStatement {
    int type = 0;
    // Op message of the type whose SELECT fields restrict modifies; null: every change.
    std::shared_ptr<const google::protobuf::Message> selectTemplate;
    bool option = false;
};

class MonitorReplica {
  public:
    using Update = orvane::ozy::cairndb::MonitorUpdateMsg;

    explicit MonitorReplica(uint16_t vdb);
    ~MonitorReplica();

    // Replaces the statements; rows of tables no longer monitored are forgotten.
    void SetStatements(std::map<int, MonitorStatement> statements);
    const std::map<int, MonitorStatement>& statements() const { return statements_; }
    // The monitor-cond-requests object of a monitor_cond call for these statements.
    nlohmann::json MonitorRequests() const;

    // The initial contents (monitor_cond result). `fullResync`: every row is delivered as a SET and
    // the replica is replaced (start, reconnection). Otherwise (the statements changed) only the
    // differences to the replica are delivered, removals included.
    bool ApplyInitial(const nlohmann::json& tableUpdates, bool fullResync, std::vector<Update>* out,
                      std::string* error);
    // An update2 notification.
    bool ApplyUpdate(const nlohmann::json& tableUpdates, std::vector<Update>* out,
                     std::string* error);
    void Clear();
    size_t RowCount() const;

    struct Row {
        std::string oid;
        uint32_t vdb = 0;
        std::string body;   // serialized body
        std::string op;     // serialized explicit op message, "" when none
        std::string trace;  // serialized span context, "" when none
    };

  private:
    struct Table;
    Table* TableFor(const std::string& name, int* type);
    bool DecodeRowColumns(const nlohmann::json& columns, int type, const std::string& uuid,
                          Row* row, bool partial, std::string* why);
    // `explicitOp`: the row's op column was written with this change and describes it.
    void EmitSet(int type, Table& t, const Row* oldRow, const Row& row, bool explicitOp,
                 std::vector<Update>* out);
    void EmitClear(int type, Table& t, const Row& oldRow, std::vector<Update>* out);

    uint16_t vdb_;
    std::map<int, MonitorStatement> statements_;
    std::map<int, std::unique_ptr<Table>> tables_;
};

}  // namespace ozy::cairndb

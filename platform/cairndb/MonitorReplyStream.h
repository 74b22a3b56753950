#pragma once
// The table updates of one monitor_cond reply, collected as the reply is parsed: each row update
// is decoded as soon as it is complete and kept as its columns (or why they did not decode), so
// that a large reply never exists whole as parsed JSON. The replica checks the structure of the
// whole collection before it applies any row. Internal to the client library.
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/cairndb/MonitorReplica.h"

namespace ozy::cairndb {

class MonitorReplyStream {
  public:
    // One row update, {kind: columns} in the reply.
    struct Row {
        std::string uuid;
        std::string kind;        // the name of its member
        bool malformed = false;  // not an object of exactly one member
        bool decoded = false;    // `columns` holds its columns; else `why` says why they did not
        MonitorReplica::PackedColumns columns;
        std::string why;
    };
    struct Table {
        bool isObject = true;
        std::vector<Row> rows;  // by uuid, the last of a repeated one, once the table is complete
    };
    // The stream of the request with JSON-RPC id `id`; nullptr when that request is not one.
    using Find = std::function<MonitorReplyStream*(const nlohmann::json& id)>;

    // Whether a reply's table updates were collected (since the last Clear).
    bool Taken() const { return taken_; }
    // Whether the table updates were an object (the rest is empty when not).
    bool IsObject() const { return isObject_; }
    // Rows collected, of every table.
    size_t RowCount() const;
    // By table name, as parsed JSON orders an object's members.
    std::map<std::string, Table>& tables() { return tables_; }
    const std::map<std::string, Table>& tables() const { return tables_; }

    // Forgets what was collected.
    void Clear();
    // Collects table updates already parsed (a reply that was not streamed).
    void Collect(const nlohmann::json& tableUpdates);

    // Collecting, for the parser: the table updates begin (an object), then each table begins
    // (replacing one of the same name, as a repeated member replaces its value), its rows are
    // added as they complete, and it ends.
    void Start();
    Table& BeginTable(const std::string& name, bool isObject);
    static void EndTable(Table* t);
    // Decodes a row update's value into `row`.
    static void SetColumns(const nlohmann::json& columns, Row* row);

    // Parses the JSON-RPC message `text` as json::parse does (and throws what it throws). When the
    // message is the reply to a monitor request (`find`), its id comes before its result (the
    // server's order) and the result is an object, the result goes to that request's stream as it
    // is parsed (`*taker` names it) and comes back null in the message. Any other message comes
    // back whole (and `*taker` is null).
    static nlohmann::json ParseMessage(const std::string& text, const Find& find,
                                       MonitorReplyStream** taker);

  private:
    bool taken_ = false;
    bool isObject_ = true;
    std::map<std::string, Table> tables_;
};

}  // namespace ozy::cairndb

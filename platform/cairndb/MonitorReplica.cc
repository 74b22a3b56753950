#include "platform/cairndb/MonitorReplica.h"

#include <google/protobuf/message.h>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/LibraryLog.h"
#include "platform/cairndb/OpMessages.h"
#include "proto/CairndbSchema.h"
#include "proto/cairndb_monitor.pb.h"

namespace ozy::cairndb {

namespace pb = orvane::ozy::cairndb;
using nlohmann::json;

struct MonitorReplica::Table {
    const ObjectTypeInfo* info = nullptr;
    std::unordered_map<std::string, Row> rows;  // by row _uuid
    // Scratch messages, reused row after row.
    std::unique_ptr<google::protobuf::Message> oldMsg;
    std::unique_ptr<google::protobuf::Message> newMsg;
    std::unique_ptr<google::protobuf::Message> opMsg;

    explicit Table(const ObjectTypeInfo* i)
        : info(i), oldMsg(i->body->New()), newMsg(i->body->New()), opMsg(i->op->New()) {}
};

MonitorReplica::MonitorReplica(uint16_t vdb) : vdb_(vdb) {}
MonitorReplica::~MonitorReplica() = default;

void MonitorReplica::SetStatements(std::map<int, MonitorStatement> statements) {
    statements_ = std::move(statements);
    for (auto it = tables_.begin(); it != tables_.end();) {
        if (statements_.count(it->first) == 0) {
            it = tables_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [type, st] : statements_) {
        if (tables_.count(type) == 0) {
            if (const ObjectTypeInfo* info = FindObjectType(type)) {
                tables_[type] = std::make_unique<Table>(info);
            }
        }
    }
}

json MonitorReplica::MonitorRequests() const {
    json req = json::object();
    for (const auto& [type, table] : tables_) {
        req[table->info->name] = json::array({json{
            {"columns", json::array({"oid", "vdb", "body", "op", "trace"})},
            {"where", json::array({json::array({"vdb", "==", vdb_})})},
        }});
    }
    return req;
}

void MonitorReplica::Clear() {
    for (auto& [type, table] : tables_) {
        table->rows.clear();
    }
}

size_t MonitorReplica::RowCount() const {
    size_t n = 0;
    for (const auto& [type, table] : tables_) {
        n += table->rows.size();
    }
    return n;
}

MonitorReplica::Table* MonitorReplica::TableFor(const std::string& name, int* type) {
    const ObjectTypeInfo* info = FindObjectType(name);
    if (info == nullptr) {
        return nullptr;
    }
    auto it = tables_.find(info->type);
    if (it == tables_.end()) {
        return nullptr;
    }
    *type = info->type;
    return it->second.get();
}

bool MonitorReplica::DecodeRowColumns(const json& columns, int type, const std::string& uuid,
                                      Row* row, bool partial, std::string* why) {
    (void)partial;
    if (!columns.is_object()) {
        *why = "row is not an object";
        return false;
    }
    Table& t = *tables_.at(type);
    for (auto it = columns.begin(); it != columns.end(); ++it) {
        const std::string& col = it.key();
        const json& v = it.value();
        if (col == "oid") {
            if (!v.is_string()) {
                *why = "column oid is not a string";
                return false;
            }
            row->oid = v.get<std::string>();
        } else if (col == "vdb") {
            if (!v.is_number_integer()) {
                *why = "column vdb is not an integer";
                return false;
            }
            row->vdb = v.get<uint32_t>();
        } else if (col == "body" || col == "op" || col == "trace") {
            if (!v.is_string()) {
                *why = "column " + col + " is not a string";
                return false;
            }
            std::string* dst = col == "body" ? &row->body : (col == "op" ? &row->op : &row->trace);
            if (!Base64Decode(v.get_ref<const std::string&>(), dst)) {
                *why = "column " + col + " is not base64";
                return false;
            }
        }
    }
    if (!t.newMsg->ParseFromString(row->body)) {
        *why = "body is not a " + t.info->body->GetDescriptor()->name();
        return false;
    }
    if (!row->op.empty() && !t.opMsg->ParseFromString(row->op)) {
        *why = "op is not a " + t.info->op->GetDescriptor()->name();
        return false;
    }
    if (!row->trace.empty()) {
        pb::SpanContextMsg span;
        if (!span.ParseFromString(row->trace)) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogWarn, "LCP03006",
                             "CairnDbClient: dropping trace of %1 row %2: not a SpanContextMsg",
                             t.info->name, uuid);
            row->trace.clear();
        }
    }
    return true;
}

// Expects t.newMsg to hold the parsed new body (DecodeRowColumns leaves it there).
void MonitorReplica::EmitSet(int type, Table& t, const Row* oldRow, const Row& row, bool explicitOp,
                             std::vector<Update>* out) {
    if (oldRow != nullptr && oldRow->body == row.body) {
        return;  // the object did not change (only its trace or op column did)
    }
    const MonitorStatement& st = statements_.at(type);
    std::string opBytes;
    if (explicitOp && !row.op.empty()) {
        opBytes = row.op;
        if (oldRow != nullptr && st.selectTemplate) {
            t.opMsg->ParseFromString(opBytes);
        }
    } else {
        if (oldRow != nullptr) {
            t.oldMsg->ParseFromString(oldRow->body);
        }
        DeriveOpMessage(oldRow != nullptr ? t.oldMsg.get() : nullptr, t.newMsg.get(),
                        t.opMsg.get());
        t.opMsg->SerializeToString(&opBytes);
    }
    if (oldRow != nullptr && st.selectTemplate &&
        !TouchesSelectedField(*t.opMsg, *st.selectTemplate)) {
        return;
    }
    Update& u = out->emplace_back();
    u.set_object_type(static_cast<pb::ObjectType>(type));
    u.set_op_msg(std::move(opBytes));
    u.set_object_body(row.body);
    if (oldRow != nullptr) {
        u.set_old_object_body(oldRow->body);
    }
    if (!row.trace.empty()) {
        u.mutable_span_context()->ParseFromString(row.trace);
    }
    u.set_vdb(row.vdb);
}

void MonitorReplica::EmitClear(int type, Table& t, const Row& oldRow, std::vector<Update>* out) {
    t.oldMsg->ParseFromString(oldRow.body);
    DeriveOpMessage(t.oldMsg.get(), nullptr, t.opMsg.get());
    Update& u = out->emplace_back();
    u.set_object_type(static_cast<pb::ObjectType>(type));
    t.opMsg->SerializeToString(u.mutable_op_msg());
    u.set_old_object_body(oldRow.body);
    u.set_vdb(oldRow.vdb);
}

namespace {

// Structure of table-updates2: {table: {uuid: {kind: row-or-null}}} with exactly one kind.
bool CheckStructure(const json& updates, bool initial, std::string* error) {
    if (!updates.is_object()) {
        *error = "table updates are not an object";
        return false;
    }
    for (auto t = updates.begin(); t != updates.end(); ++t) {
        if (!t.value().is_object()) {
            *error = "updates of table " + t.key() + " are not an object";
            return false;
        }
        for (auto r = t.value().begin(); r != t.value().end(); ++r) {
            const json& ru = r.value();
            if (!ru.is_object() || ru.size() != 1) {
                *error = "row update " + r.key() + " is malformed";
                return false;
            }
            const std::string& kind = ru.begin().key();
            bool ok = initial ? kind == "initial"
                              : (kind == "insert" || kind == "modify" || kind == "delete" ||
                                 kind == "initial");
            if (!ok) {
                *error = "row update " + r.key() + " has unknown kind " + kind;
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool MonitorReplica::ApplyInitial(const json& tableUpdates, bool fullResync,
                                  std::vector<Update>* out, std::string* error) {
    if (!CheckStructure(tableUpdates, true, error)) {
        return false;
    }
    for (auto& [type, table] : tables_) {
        Table& t = *table;
        std::unordered_map<std::string, Row> fresh;
        auto tu = tableUpdates.find(t.info->name);
        if (tu != tableUpdates.end()) {
            fresh.reserve(tu->size());
            for (auto r = tu->begin(); r != tu->end(); ++r) {
                Row row;
                std::string why;
                if (!DecodeRowColumns(r.value().begin().value(), type, r.key(), &row, false,
                                      &why)) {
                    CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03005",
                                     "CairnDbClient: skipping %1 row %2: %3", t.info->name, r.key(),
                                     why);
                    continue;
                }
                const Row* oldRow = nullptr;
                if (!fullResync) {
                    auto old = t.rows.find(r.key());
                    if (old != t.rows.end()) {
                        oldRow = &old->second;
                    }
                }
                // Initial contents are whole objects: an op column left by an earlier list
                // write describes that write, not this delivery.
                EmitSet(type, t, oldRow, row, false, out);
                fresh.emplace(r.key(), std::move(row));
            }
        }
        if (!fullResync) {
            for (const auto& [uuid, oldRow] : t.rows) {
                if (fresh.count(uuid) == 0) {
                    EmitClear(type, t, oldRow, out);
                }
            }
        }
        t.rows = std::move(fresh);
    }
    for (auto t = tableUpdates.begin(); t != tableUpdates.end(); ++t) {
        int type = 0;
        if (TableFor(t.key(), &type) == nullptr) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03004",
                             "CairnDbClient: skipping rows of unknown table %1", t.key());
        }
    }
    return true;
}

bool MonitorReplica::ApplyUpdate(const json& tableUpdates, std::vector<Update>* out,
                                 std::string* error) {
    if (!CheckStructure(tableUpdates, false, error)) {
        return false;
    }
    for (auto tu = tableUpdates.begin(); tu != tableUpdates.end(); ++tu) {
        int type = 0;
        Table* tp = TableFor(tu.key(), &type);
        if (tp == nullptr) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03004",
                             "CairnDbClient: skipping rows of unknown table %1", tu.key());
            continue;
        }
        Table& t = *tp;
        for (auto r = tu.value().begin(); r != tu.value().end(); ++r) {
            const std::string& uuid = r.key();
            const std::string& kind = r.value().begin().key();
            const json& cols = r.value().begin().value();
            auto existing = t.rows.find(uuid);
            if (kind == "delete") {
                if (existing == t.rows.end()) {
                    CAIRNDB_LOG(CfgAgent::kLogDebug,
                                "CairnDbClient: delete of unknown %1 row %2 ignored", t.info->name,
                                uuid);
                    continue;
                }
                EmitClear(type, t, existing->second, out);
                t.rows.erase(existing);
                continue;
            }
            Row row;
            bool partial = kind == "modify";
            if (partial && existing != t.rows.end()) {
                row = existing->second;
            }
            std::string why;
            if (!DecodeRowColumns(cols, type, uuid, &row, partial, &why)) {
                CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03005",
                                 "CairnDbClient: skipping %1 row %2: %3", t.info->name, uuid, why);
                continue;
            }
            if (partial && existing == t.rows.end() && !cols.contains("body")) {
                CAIRNDB_LOG_CODE(
                    CfgAgent::kLogError, "LCP03005",
                    "CairnDbClient: skipping %1 row %2: modify of a row never received",
                    t.info->name, uuid);
                continue;
            }
            const Row* oldRow = existing != t.rows.end() ? &existing->second : nullptr;
            // The op column describes this change only when the change wrote it (a modify that
            // leaves it untouched keeps the op of an earlier write).
            bool explicitOp = kind == "insert" || (partial && cols.contains("op"));
            EmitSet(type, t, oldRow, row, explicitOp, out);
            t.rows[uuid] = std::move(row);
        }
    }
    return true;
}

}  // namespace ozy::cairndb

#include "platform/cairndb/MonitorReplica.h"

#include <cstring>
#include <iterator>
#include <utility>

#include <google/protobuf/message.h>

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/LibraryLog.h"
#include "platform/cairndb/MonitorReplyStream.h"
#include "platform/cairndb/OpMessages.h"
#include "proto/CairndbSchema.h"
#include "proto/UuidText.h"
#include "proto/cairndb_monitor.pb.h"

namespace ozy::cairndb {

namespace pb = orvane::ozy::cairndb;
using nlohmann::json;

struct MonitorReplica::Table {
    const ObjectTypeInfo* info = nullptr;
    // The body's id (a UuidMsg) that its oid column must name; null when the class has none.
    const google::protobuf::FieldDescriptor* idField = nullptr;
    std::unordered_map<std::string, Row> rows;  // by row _uuid
    // Scratch messages, reused row after row.
    std::unique_ptr<google::protobuf::Message> oldMsg;
    std::unique_ptr<google::protobuf::Message> newMsg;
    std::unique_ptr<google::protobuf::Message> opMsg;

    explicit Table(const ObjectTypeInfo* i)
        : info(i), oldMsg(i->body->New()), newMsg(i->body->New()), opMsg(i->op->New()) {
        const google::protobuf::FieldDescriptor* f =
            i->body->GetDescriptor()->FindFieldByName("id");
        if (f != nullptr && !f->is_repeated() && f->message_type() == pb::UuidMsg::descriptor()) {
            idField = f;
        }
    }
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

namespace {

// Bytes a string takes on the heap (glibc chunks; libstdc++ keeps 15 characters inline).
size_t StringHeap(const std::string& s) {
    if (s.size() <= 15)
        return 0;
    size_t n = (s.size() + 1 + 8 + 15) & ~size_t{15};
    return n < 32 ? 32 : n;
}

}  // namespace

MonitorReplica::PackedColumns::PackedColumns(const Columns& c)
    : oidLen_(static_cast<uint32_t>(c.oid.size())),
      bodyLen_(static_cast<uint32_t>(c.body.size())),
      opLen_(static_cast<uint32_t>(c.op.size())),
      traceLen_(static_cast<uint32_t>(c.trace.size())),
      vdb_(c.vdb) {
    const size_t n = c.oid.size() + c.body.size() + c.op.size() + c.trace.size();
    if (n == 0)
        return;
    bytes_.reset(new char[n]);
    char* p = bytes_.get();
    for (const std::string* part : {&c.oid, &c.body, &c.op, &c.trace}) {
        if (!part->empty())
            std::memcpy(p, part->data(), part->size());
        p += part->size();
    }
}

MonitorReplica::PackedColumns& MonitorReplica::PackedColumns::operator=(
    PackedColumns&& o) noexcept {
    if (this != &o) {
        bytes_ = std::move(o.bytes_);
        oidLen_ = std::exchange(o.oidLen_, 0);
        bodyLen_ = std::exchange(o.bodyLen_, 0);
        opLen_ = std::exchange(o.opLen_, 0);
        traceLen_ = std::exchange(o.traceLen_, 0);
        vdb_ = std::exchange(o.vdb_, 0);
    }
    return *this;
}

MonitorReplica::Columns MonitorReplica::PackedColumns::Unpack() const {
    Columns c;
    c.oid = oid();
    c.vdb = vdb_;
    c.body = body();
    c.op = op();
    c.trace = trace();
    return c;
}

size_t MonitorReplica::PackedColumns::HeapBytes() const {
    const size_t n = size_t{oidLen_} + bodyLen_ + opLen_ + traceLen_;
    if (n == 0)
        return 0;
    size_t chunk = (n + 8 + 15) & ~size_t{15};
    return chunk < 32 ? 32 : chunk;
}

size_t MonitorReplica::Bytes() const {
    // A row's hash node: next pointer, key and row, cached hash.
    constexpr size_t kNode =
        (sizeof(void*) + sizeof(std::pair<const std::string, Row>) + sizeof(size_t) + 8 + 15) &
        ~size_t{15};
    size_t n = 0;
    for (const auto& [type, table] : tables_) {
        n += table->rows.bucket_count() * sizeof(void*);
        for (const auto& [uuid, row] : table->rows) {
            n += kNode + StringHeap(uuid) + row.db.HeapBytes();
            if (row.earlier)
                n += ((sizeof(PackedColumns) + 8 + 15) & ~size_t{15}) + row.earlier->HeapBytes();
        }
    }
    return n;
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

bool MonitorReplica::DecodeRowColumns(const json& columns, Columns* c, std::string* why) {
    if (!columns.is_object()) {
        *why = "row is not an object";
        return false;
    }
    for (auto it = columns.begin(); it != columns.end(); ++it) {
        const std::string& col = it.key();
        const json& v = it.value();
        if (col == "oid") {
            if (!v.is_string()) {
                *why = "column oid is not a string";
                return false;
            }
            c->oid = v.get<std::string>();
        } else if (col == "vdb") {
            if (!v.is_number_integer()) {
                *why = "column vdb is not an integer";
                return false;
            }
            c->vdb = v.get<uint32_t>();
        } else if (col == "body" || col == "op" || col == "trace") {
            if (!v.is_string()) {
                *why = "column " + col + " is not a string";
                return false;
            }
            std::string* dst = col == "body" ? &c->body : (col == "op" ? &c->op : &c->trace);
            const std::string& text = v.get_ref<const std::string&>();
            // Bounded before it is decoded: a row is one object, never megabytes of it.
            if (text.size() / 4 * 3 > kMaxColumnBytes) {
                *why = "column " + col + " of " + std::to_string(text.size() / 4 * 3) +
                       " bytes is over the limit of " + std::to_string(kMaxColumnBytes);
                return false;
            }
            if (!Base64Decode(text, dst)) {
                *why = "column " + col + " is not base64";
                return false;
            }
        }
    }
    return true;
}

bool MonitorReplica::CheckRow(Table& t, const std::string& uuid, Columns* c, bool explicitOp,
                              std::string* why, int* level) {
    *level = CfgAgent::kLogError;
    if (!t.newMsg->ParseFromString(c->body)) {
        *why = "body is not a " + t.info->body->GetDescriptor()->name();
        return false;
    }
    // Fields this schema does not know are not kept (a writer could pad a valid object with
    // megabytes of them): the body held and passed on is the one without them.
    t.newMsg->DiscardUnknownFields();
    if (t.newMsg->ByteSizeLong() != c->body.size()) {
        CAIRNDB_LOG(CfgAgent::kLogDebug,
                    "CairnDbClient: %1 row %2: body of %3 bytes kept as %4 bytes without the "
                    "fields unknown to the schema",
                    t.info->name, uuid, c->body.size(), t.newMsg->ByteSizeLong());
        c->body = t.newMsg->SerializeAsString();
    }
    if (t.idField != nullptr) {
        const google::protobuf::Reflection* r = t.newMsg->GetReflection();
        if (!r->HasField(*t.newMsg, t.idField)) {
            *why = "body has no id (oid " + c->oid + ")";
            return false;
        }
        const auto& id = static_cast<const pb::UuidMsg&>(r->GetMessage(*t.newMsg, t.idField));
        std::string idText = UuidText(id.left(), id.right());
        if (idText != c->oid) {
            *why = "oid " + c->oid + " but its body has id " + idText;
            return false;
        }
    }
    if (!c->op.empty() && !t.opMsg->ParseFromString(c->op)) {
        *why = "op is not a " + t.info->op->GetDescriptor()->name();
        return false;
    }
    if (explicitOp && !c->op.empty()) {
        // Every op class carries the object's operation in its field "op"; a written row is SET.
        const google::protobuf::FieldDescriptor* of =
            t.opMsg->GetDescriptor()->FindFieldByName("op");
        int code = 0;
        if (of != nullptr && of->message_type() == pb::OpMsg::descriptor()) {
            code = static_cast<const pb::OpMsg&>(t.opMsg->GetReflection()->GetMessage(*t.opMsg, of))
                       .op();
        }
        if (code != pb::SET) {
            const std::string& name = pb::PBOpType_Name(code);
            *why = "explicit op code " + std::to_string(code) + " (" +
                   (name.empty() ? std::string("UNKNOWN") : name) + ") is not SET";
            *level = CfgAgent::kLogWarn;
            return false;
        }
    }
    if (!c->trace.empty()) {
        pb::SpanContextMsg span;
        if (!span.ParseFromString(c->trace)) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogWarn, "LCP03006",
                             "CairnDbClient: dropping trace of %1 row %2: not a SpanContextMsg",
                             t.info->name, uuid);
            c->trace.clear();
        }
    }
    return true;
}

void MonitorReplica::ChangeRow(int type, Table& t, const std::string& uuid, Row* row, Columns c,
                               bool explicitOp, bool logRefusal, Output* out) {
    std::string why;
    int level = CfgAgent::kLogError;
    if (!CheckRow(t, uuid, &c, explicitOp, &why, &level)) {
        if (logRefusal) {
            CAIRNDB_LOG_CODE(level, "LCP03005", "CairnDbClient: skipping %1 row %2: %3",
                             t.info->name, uuid, why);
        } else {
            CAIRNDB_LOG(CfgAgent::kLogDebug, "CairnDbClient: still skipping %1 row %2: %3",
                        t.info->name, uuid, why);
        }
        if (row->held == Row::Held::kCurrent) {
            row->earlier = std::make_unique<PackedColumns>(std::move(row->db));
            row->held = Row::Held::kEarlier;
        }
        row->db = PackedColumns(c);
        row->refused = true;
        return;
    }
    const PackedColumns* held = row->HeldColumns();
    // An explicit op describes the change from the row's previous columns: usable only when the
    // readers hold those (or nothing, for a new row).
    const bool inStep = held == nullptr ? !row->refused : row->held == Row::Held::kCurrent;
    if (held != nullptr && held->oid() != c.oid) {
        EmitClear(type, t, *held, out);
        held = nullptr;
    }
    EmitSet(type, t, held, c, explicitOp && inStep, out);
    row->db = PackedColumns(c);
    row->held = Row::Held::kCurrent;
    row->earlier.reset();
    row->refused = false;
}

// Expects t.newMsg to hold the parsed new body (CheckRow leaves it there).
void MonitorReplica::EmitSet(int type, Table& t, const PackedColumns* held, const Columns& c,
                             bool explicitOp, Output* out) {
    if (held != nullptr && held->body() == c.body) {
        return;  // the object did not change (only its trace or op column did)
    }
    const MonitorStatement& st = statements_.at(type);
    std::string opBytes;
    if (explicitOp && !c.op.empty()) {
        opBytes = c.op;
        if (held != nullptr && st.selectTemplate) {
            t.opMsg->ParseFromString(opBytes);
        }
    } else {
        if (held != nullptr) {
            t.oldMsg->ParseFromArray(held->body().data(), static_cast<int>(held->body().size()));
        }
        DeriveOpMessage(held != nullptr ? t.oldMsg.get() : nullptr, t.newMsg.get(), t.opMsg.get());
        t.opMsg->SerializeToString(&opBytes);
    }
    if (held != nullptr && st.selectTemplate &&
        !TouchesSelectedField(*t.opMsg, *st.selectTemplate)) {
        return;
    }
    Update& u = out->sets.emplace_back();
    u.set_object_type(static_cast<pb::ObjectType>(type));
    u.set_op_msg(std::move(opBytes));
    u.set_object_body(c.body);
    if (held != nullptr) {
        u.mutable_old_object_body()->assign(held->body().data(), held->body().size());
    }
    if (!c.trace.empty()) {
        u.mutable_span_context()->ParseFromString(c.trace);
    }
    u.set_vdb(c.vdb);
}

void MonitorReplica::EmitClear(int type, Table& t, const PackedColumns& held, Output* out) {
    t.oldMsg->ParseFromArray(held.body().data(), static_cast<int>(held.body().size()));
    DeriveOpMessage(t.oldMsg.get(), nullptr, t.opMsg.get());
    Update& u = out->clears.emplace_back();
    u.set_object_type(static_cast<pb::ObjectType>(type));
    t.opMsg->SerializeToString(u.mutable_op_msg());
    u.mutable_old_object_body()->assign(held.body().data(), held.body().size());
    u.set_vdb(held.vdb());
}

namespace {

std::string TableNotObject(const std::string& table) {
    return "updates of table " + table + " are not an object";
}
std::string RowMalformed(const std::string& uuid) {
    return "row update " + uuid + " is malformed";
}
std::string UnknownKind(const std::string& uuid, const std::string& kind) {
    return "row update " + uuid + " has unknown kind " + kind;
}
const char* const kUpdatesNotObject = "table updates are not an object";

// Structure of table-updates2: {table: {uuid: {kind: row-or-null}}} with exactly one kind.
bool CheckStructure(const json& updates, std::string* error) {
    if (!updates.is_object()) {
        *error = kUpdatesNotObject;
        return false;
    }
    for (auto t = updates.begin(); t != updates.end(); ++t) {
        if (!t.value().is_object()) {
            *error = TableNotObject(t.key());
            return false;
        }
        for (auto r = t.value().begin(); r != t.value().end(); ++r) {
            const json& ru = r.value();
            if (!ru.is_object() || ru.size() != 1) {
                *error = RowMalformed(r.key());
                return false;
            }
            const std::string& kind = ru.begin().key();
            const bool ok =
                kind == "insert" || kind == "modify" || kind == "delete" || kind == "initial";
            if (!ok) {
                *error = UnknownKind(r.key(), kind);
                return false;
            }
        }
    }
    return true;
}

// The same for initial contents as a stream collected them (tables and rows in the same order).
bool CheckInitialStructure(const MonitorReplyStream& reply, std::string* error) {
    if (!reply.IsObject()) {
        *error = kUpdatesNotObject;
        return false;
    }
    for (const auto& [name, table] : reply.tables()) {
        if (!table.isObject) {
            *error = TableNotObject(name);
            return false;
        }
        for (const MonitorReplyStream::Row& r : table.rows) {
            if (r.malformed) {
                *error = RowMalformed(r.uuid);
                return false;
            }
            if (r.kind != "initial") {
                *error = UnknownKind(r.uuid, r.kind);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

namespace {

bool SameColumns(const MonitorReplica::PackedColumns& a, const MonitorReplica::Columns& b) {
    return a.oid() == b.oid && a.vdb() == b.vdb && a.body() == b.body && a.op() == b.op;
}

void Append(std::vector<MonitorReplica::Update>* from, std::vector<MonitorReplica::Update>* to) {
    to->insert(to->end(), std::make_move_iterator(from->begin()),
               std::make_move_iterator(from->end()));
}

}  // namespace

bool MonitorReplica::ApplyInitial(const json& tableUpdates, bool fullResync,
                                  std::vector<Update>* out, std::string* error,
                                  const RunSink& early) {
    MonitorReplyStream reply;
    reply.Collect(tableUpdates);
    return ApplyInitial(&reply, fullResync, out, error, early);
}

bool MonitorReplica::ApplyInitial(MonitorReplyStream* reply, bool fullResync,
                                  std::vector<Update>* out, std::string* error,
                                  const RunSink& early) {
    if (!CheckInitialStructure(*reply, error)) {
        return false;
    }
    Output o;
    for (auto& [type, table] : tables_) {
        Table& t = *table;
        std::unordered_map<std::string, Row> fresh;
        auto tu = reply->tables().find(t.info->name);
        if (tu != reply->tables().end()) {
            std::vector<MonitorReplyStream::Row>& rows = tu->second.rows;
            fresh.reserve(rows.size());
            for (MonitorReplyStream::Row& r : rows) {
                if (!r.decoded) {
                    CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03005",
                                     "CairnDbClient: skipping %1 row %2: %3", t.info->name, r.uuid,
                                     r.why);
                    continue;
                }
                Columns c = r.columns.Unpack();
                r.columns = PackedColumns();
                auto old = t.rows.find(r.uuid);
                // A row refused before with the same columns is not reported again.
                const bool logRefusal =
                    old == t.rows.end() || !old->second.refused || !SameColumns(old->second.db, c);
                auto slot = fresh.try_emplace(std::move(r.uuid)).first;
                const std::string& uuid = slot->first;
                Row& row = slot->second;
                if (!fullResync && old != t.rows.end()) {
                    row = std::move(old->second);
                }
                // Initial contents are whole objects: an op column left by an earlier list
                // write describes that write, not this delivery.
                ChangeRow(type, t, uuid, &row, std::move(c), false, logRefusal, &o);
                if (early && fullResync && o.clears.empty() && o.sets.size() >= kEarlyRun) {
                    early(&o.sets);
                    o.sets.clear();
                }
            }
            std::vector<MonitorReplyStream::Row>().swap(rows);
        }
        if (!fullResync) {
            for (const auto& [uuid, oldRow] : t.rows) {
                const PackedColumns* held = oldRow.HeldColumns();
                if (fresh.count(uuid) == 0 && held != nullptr) {
                    EmitClear(type, t, *held, &o);
                }
            }
        }
        t.rows = std::move(fresh);
    }
    for (const auto& [name, table] : reply->tables()) {
        int type = 0;
        if (TableFor(name, &type) == nullptr) {
            CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03004",
                             "CairnDbClient: skipping rows of unknown table %1", name);
        }
    }
    Append(&o.clears, out);
    Append(&o.sets, out);
    return true;
}

bool MonitorReplica::ApplyUpdate(const json& tableUpdates, std::vector<Update>* out,
                                 std::string* error) {
    if (!CheckStructure(tableUpdates, error)) {
        return false;
    }
    Output o;
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
                if (const PackedColumns* held = existing->second.HeldColumns()) {
                    EmitClear(type, t, *held, &o);
                }
                t.rows.erase(existing);
                continue;
            }
            Columns c;
            const bool partial = kind == "modify";
            if (partial && existing != t.rows.end()) {
                c = existing->second.db.Unpack();
            }
            std::string why;
            if (!DecodeRowColumns(cols, &c, &why)) {
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
            Row& row = existing != t.rows.end() ? existing->second : t.rows[uuid];
            // The op column describes this change only when the change wrote it (a modify that
            // leaves it untouched keeps the op of an earlier write).
            const bool explicitOp = kind == "insert" || (partial && cols.contains("op"));
            ChangeRow(type, t, uuid, &row, std::move(c), explicitOp, true, &o);
        }
    }
    Append(&o.clears, out);
    Append(&o.sets, out);
    return true;
}

}  // namespace ozy::cairndb

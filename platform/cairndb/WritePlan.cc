#include "platform/cairndb/WritePlan.h"

#include <google/protobuf/arena.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/message.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/OpMessages.h"
#include "platform/cairndb/RowCache.h"
#include "platform/cairndb/RowDirectory.h"
#include "proto/BodyOid.h"
#include "proto/CairndbSchema.h"
#include "proto/UuidText.h"
#include "proto/cairndb_modify.pb.h"

namespace ozy::cairndb {

// Above this many rows of one table and vdb, the list reads the whole table once instead of
// row by row (the server answers every select with a scan of the table).
constexpr size_t kRowReadsPerTable = 32;

namespace pb = orvane::ozy::cairndb;
using nlohmann::json;

struct WritePlan::Action {
    enum Kind { kPut, kDelete, kPatch, kFlush } kind;
    int type = 0;
    uint32_t vdb = 0;
    std::string oid;
    std::string body;   // put: serialized body; patch: partial body
    std::string op;     // patch: op message
    std::string trace;  // put: serialized span context
    pb::UuidMsg id;     // patch: the object's id
    // Patch: `op` and `body` as parsed by Prepare (on the plan's arena), read by every attempt;
    // both null for a patch that only appends entries to one list (see AppendsOfOneList).
    const google::protobuf::Message* parsedOp = nullptr;
    const google::protobuf::Message* parsedPartial = nullptr;
    // Such a patch: the list, and its new entries as the body's serialization writes them.
    const google::protobuf::FieldDescriptor* appendList = nullptr;
    std::string appended;
    int appendedCount = 0;
};

struct WritePlan::State {
    bool exists = false;  // a row was read
    std::string uuid;
    std::string origBody;
    std::string origBodyText;  // the body column as read (base64)
    std::string origOpText;    // the op column as read (base64)
    std::string origVersion;   // the row's _version as read; empty when the server gave none
    bool kept = false;         // taken from the cache rather than read
    bool present = false;      // after the requests
    // The body after the requests: `body` serialized, or `parsed` once a patch touched the row.
    // Patches go to the parsed message, which is serialized once at the end, so that many
    // patches of one large row cost their own size and not the row's each; null when no patch
    // touched the row since it was read or last put or deleted.
    std::string body;
    google::protobuf::Message* parsed = nullptr;
    // A kept row whose shape is known (`sizes`, its lists' lengths by field index, and
    // `lastField`, see RowCache.h) takes the entries that patches append to a list at or after
    // its last field as bytes, appended to `body` (`grown` once any were), until anything else
    // needs the row parsed.
    bool shaped = false;
    bool grown = false;
    std::vector<int> sizes;
    int lastField = 0;
    // REMOVE-only patches not yet applied to `parsed` (applied together before anything else).
    Removals removals;
    std::string trace;
    bool listOps = false;
    // Nothing but appends changed the row as read: its op message names the entries past
    // `readSizes` (the lists' lengths as read, by field index) without comparing the bodies.
    bool appendsOnly = false;
    std::vector<int> readSizes;

    // A put, a delete or a flush replaces the body: no parsed form of it is left.
    void DropParsed() {
        parsed = nullptr;
        shaped = false;
        grown = false;
    }

    // The shape of the body after the requests, for the cache (`sizes` left empty when unknown).
    void Shape(std::vector<int>* outSizes, int* outLast) const {
        outSizes->clear();
        *outLast = 0;
        if (parsed != nullptr) {
            *outLast = LastField(*parsed);
            if (*outLast >= 0)
                ListSizes(*parsed, outSizes);
        } else if (shaped) {
            *outSizes = sizes;
            *outLast = lastField;
        }
    }
};

WritePlan::WritePlan() = default;
WritePlan::~WritePlan() = default;

namespace {

json Where(const std::string& oid, uint32_t vdb) {
    return json::array({json::array({"oid", "==", oid}), json::array({"vdb", "==", vdb})});
}

json WhereUuid(const std::string& uuid) {
    return json::array({json::array({"_uuid", "==", json::array({"uuid", uuid})})});
}

}  // namespace

namespace {

bool ReadVarint(const char** p, const char* end, uint64_t* v) {
    uint64_t r = 0;
    for (int shift = 0; shift < 64 && *p < end; shift += 7) {
        const auto b = static_cast<uint8_t>(*(*p)++);
        r |= uint64_t{b & 0x7fu} << shift;
        if ((b & 0x80) == 0) {
            *v = r;
            return true;
        }
    }
    return false;
}

void PutVarint(uint64_t v, std::string* out) {
    while (v >= 0x80) {
        out->push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out->push_back(static_cast<char>(v));
}

// The next field at `*p`: its number, wire type and, for a length-delimited one, its bytes (else
// its value in `value`). False for bytes that are not a whole field.
bool ReadField(const char** p, const char* end, int* number, int* wireType, std::string_view* bytes,
               uint64_t* value) {
    uint64_t tag = 0;
    if (!ReadVarint(p, end, &tag) || (tag >> 3) == 0 || (tag >> 3) > 536870911)
        return false;
    *number = static_cast<int>(tag >> 3);
    *wireType = static_cast<int>(tag & 7);
    if (*wireType == 0)
        return ReadVarint(p, end, value);
    uint64_t size = 0;
    if (*wireType != 2 || !ReadVarint(p, end, &size) || size > static_cast<uint64_t>(end - *p))
        return false;
    *bytes = std::string_view(*p, static_cast<size_t>(size));
    *p += size;
    return true;
}

// Parses `bytes` into `m` as a message nested `depth` deep would be parsed (the same recursion
// budget), so that what passes here passes in its place.
bool ParseNested(std::string_view bytes, int depth, google::protobuf::Message* m) {
    google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(bytes.data()),
                                              static_cast<int>(bytes.size()));
    in.SetRecursionLimit(google::protobuf::io::CodedInputStream::GetDefaultRecursionLimit() -
                         depth);
    return m->ParseFromCodedStream(&in) && in.ConsumedEntireMessage();
}

}  // namespace

// A row's shape is taken from its body parsed once; a body that its serialization would not write
// as it is (another writer's) is not appended to. An absent row is made: the body of its id alone.
bool WritePlan::TakeShape(const ObjectTypeInfo& info, const pb::UuidMsg& id, State* s) {
    std::unique_ptr<google::protobuf::Message> body(info.body->New());
    if (!s->present) {
        const google::protobuf::FieldDescriptor* idField =
            body->GetDescriptor()->FindFieldByName("id");
        if (idField == nullptr || idField->message_type() != id.GetDescriptor())
            return false;
        body->GetReflection()->MutableMessage(body.get(), idField)->CopyFrom(id);
        s->body = body->SerializeAsString();
        s->present = true;
    } else if (!body->ParseFromString(s->body) || body->SerializeAsString() != s->body) {
        return false;
    }
    s->lastField = LastField(*body);
    ListSizes(*body, &s->sizes);
    return s->lastField >= 0;
}

google::protobuf::Message* WritePlan::ScratchOf(Scratch* scratch,
                                                const google::protobuf::Descriptor* d) {
    std::unique_ptr<google::protobuf::Message>& m = (*scratch)[d];
    if (!m)
        m.reset(google::protobuf::MessageFactory::generated_factory()->GetPrototype(d)->New());
    return m.get();
}

// The op message must hold one list's APPEND (its entry ops only checked) and nothing else but the
// object's operation; the partial body the object's id and that list's entries, nothing else.
bool WritePlan::AppendsOfOneList(const ObjectTypeInfo& info, const std::string& op,
                                 const std::string& partial, Scratch* scratch,
                                 CanonicalWire* canonical,
                                 const google::protobuf::FieldDescriptor** list,
                                 std::string* entries, int* count) {
    *list = nullptr;
    entries->clear();
    *count = 0;
    const char* p = op.data();
    const char* end = p + op.size();
    std::set<int> seen;
    while (p < end) {
        int number = 0;
        int wireType = 0;
        std::string_view bytes;
        uint64_t value = 0;
        if (!ReadField(&p, end, &number, &wireType, &bytes, &value) || wireType != 2 ||
            !seen.insert(number).second)
            return false;
        const google::protobuf::FieldDescriptor* of =
            info.op->GetDescriptor()->FindFieldByNumber(number);
        if (of == nullptr || of->is_repeated() || of->message_type() != pb::OpMsg::descriptor())
            return false;
        // The field's OpMsg: its op (1), entry ops (2, each an OpMsg) and indexes (3, 4).
        int64_t fieldOp = 0;
        const char* q = bytes.data();
        const char* qEnd = q + bytes.size();
        while (q < qEnd) {
            int n = 0;
            int w = 0;
            std::string_view entry;
            uint64_t v = 0;
            if (!ReadField(&q, qEnd, &n, &w, &entry, &v))
                return false;
            if (n == 1 && w == 0) {
                fieldOp = static_cast<int32_t>(v);
            } else if (n == 2 && w == 2) {
                if (!canonical->Check(pb::OpMsg::descriptor(), entry) &&
                    !ParseNested(entry, 2, ScratchOf(scratch, pb::OpMsg::descriptor())))
                    return false;
            } else if ((n != 3 && n != 4) || w != 0) {
                return false;
            }
        }
        if (of->name() == "op")
            continue;  // the object's operation: no field of the body
        const google::protobuf::FieldDescriptor* f =
            info.body->GetDescriptor()->FindFieldByName(of->name());
        if (fieldOp != pb::APPEND || *list != nullptr || f == nullptr || !f->is_repeated() ||
            f->cpp_type() != google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE)
            return false;
        *list = f;
    }
    if (*list == nullptr)
        return false;
    const google::protobuf::FieldDescriptor* idField =
        info.body->GetDescriptor()->FindFieldByName("id");
    const google::protobuf::Descriptor* entryType = (*list)->message_type();
    google::protobuf::Message* entry = ScratchOf(scratch, entryType);
    const uint64_t tag = (static_cast<uint64_t>((*list)->number()) << 3) | 2;
    // The entries take about the partial body's bytes (all but the id's).
    entries->reserve(partial.size());
    p = partial.data();
    end = p + partial.size();
    while (p < end) {
        int number = 0;
        int wireType = 0;
        std::string_view bytes;
        uint64_t value = 0;
        if (!ReadField(&p, end, &number, &wireType, &bytes, &value) || wireType != 2)
            return false;
        if (number == (*list)->number()) {
            if (canonical->Check(entryType, bytes)) {
                // Already as the body's serialization writes it.
                PutVarint(tag, entries);
                PutVarint(bytes.size(), entries);
                entries->append(bytes);
                ++*count;
                continue;
            }
            if (!ParseNested(bytes, 1, entry))
                return false;
            // As the body's serialization writes the entry.
            const size_t size = entry->ByteSizeLong();
            PutVarint(tag, entries);
            PutVarint(size, entries);
            const size_t at = entries->size();
            entries->resize(at + size);
            entry->SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(&(*entries)[at]));
            ++*count;
        } else if (idField != nullptr && number == idField->number() && !idField->is_repeated() &&
                   idField->message_type() != nullptr) {
            if (!ParseNested(bytes, 1, ScratchOf(scratch, idField->message_type())))
                return false;
        } else {
            return false;
        }
    }
    if (*count == 0) {
        *list = nullptr;
        return false;
    }
    return true;
}

// The columns a write leaves in a patched row, taken for the cache (the body is not used again).
void WritePlan::Keep(Written* w, const std::string& uuid, std::string* body,
                     std::shared_ptr<std::string> bodyText, std::shared_ptr<std::string> opText,
                     State* s) {
    w->keep = true;
    w->uuid = uuid;
    w->body = std::move(*body);
    w->bodyText = std::move(bodyText);
    w->opText = std::move(opText);
    s->Shape(&w->sizes, &w->lastField);
}

namespace {

// The text `shared` holds: moved out when nothing else holds it, else copied.
std::string Taken(std::shared_ptr<std::string>* shared) {
    if (*shared == nullptr)
        return std::string();
    std::string text = shared->use_count() == 1 ? std::move(**shared) : **shared;
    shared->reset();
    return text;
}

// The UUID an insert at `index` of a write transaction's result gave its row.
bool InsertedUuid(const json& writeResult, size_t index, std::string* uuid) {
    if (!writeResult.is_array() || index >= writeResult.size())
        return false;
    const json& r = writeResult[index];
    if (!r.is_object() || !r.contains("uuid") || !r["uuid"].is_array() || r["uuid"].size() != 2 ||
        !r["uuid"][1].is_string())
        return false;
    *uuid = r["uuid"][1].get<std::string>();
    return true;
}

}  // namespace

bool WritePlan::Prepare(const std::vector<pb::ModifyRequestMsg>& requests, std::string* error) {
    actions_.clear();
    rowReads_.clear();
    tableReads_.clear();
    flushed_.clear();
    actions_.reserve(requests.size());
    // The patches' messages are parsed once, here, and kept for the attempts: a list of learned
    // entries is one patch of many thousand entries.
    google::protobuf::ArenaOptions parsedOptions;
    parsedOptions.start_block_size = 4 * 1024;
    parsedOptions.max_block_size = 4 * 1024 * 1024;
    parsed_ = std::make_unique<google::protobuf::Arena>(parsedOptions);
    std::set<Key> rowSeen;
    for (size_t i = 0; i < requests.size(); ++i) {
        const auto& req = requests[i];
        std::string where = "request " + std::to_string(i) + ": ";
        if (req.vdb() < 1 || req.vdb() > 65535) {
            *error = where + "vdb " + std::to_string(req.vdb()) + " out of range";
            return false;
        }
        Action a;
        a.vdb = req.vdb();
        int type = 0;
        switch (req.request_case()) {
            case pb::ModifyRequestMsg::kPut:
                a.kind = Action::kPut;
                type = req.put().object().object_type();
                a.body = req.put().object().body();
                if (req.put().has_span()) {
                    req.put().span().SerializeToString(&a.trace);
                }
                break;
            case pb::ModifyRequestMsg::kDelete:
                a.kind = Action::kDelete;
                type = req.delete_().object_type();
                a.oid = UuidText(req.delete_().id().left(), req.delete_().id().right());
                break;
            case pb::ModifyRequestMsg::kPatch:
                a.kind = Action::kPatch;
                type = req.patch().object_type();
                a.id = req.patch().id();
                a.oid = UuidText(a.id.left(), a.id.right());
                break;
            case pb::ModifyRequestMsg::kFlush:
                a.kind = Action::kFlush;
                type = req.flush().object_type();
                break;
            default:
                *error = where + "no request";
                return false;
        }
        const ObjectTypeInfo* info = FindObjectType(type);
        if (info == nullptr) {
            *error = where + "unknown object type " + std::to_string(type);
            return false;
        }
        a.type = type;
        if (a.kind == Action::kPut && !BodyOid(*info, a.body, &a.oid, error)) {
            *error = where + *error;
            return false;
        }
        if (a.kind == Action::kPatch &&
            !AppendsOfOneList(*info, req.patch().op(), req.patch().body(), &scratch_, &canonical_,
                              &a.appendList, &a.appended, &a.appendedCount)) {
            a.body = req.patch().body();
            a.op = req.patch().op();
            google::protobuf::Message* op = info->op->New(parsed_.get());
            google::protobuf::Message* partial = info->body->New(parsed_.get());
            if (!op->ParseFromString(a.op) || !partial->ParseFromString(a.body)) {
                *error = where + "patch of " + info->name + " does not parse";
                return false;
            }
            a.parsedOp = op;
            a.parsedPartial = partial;
        }
        if (a.kind == Action::kFlush) {
            flushed_.insert({type, a.vdb});
        } else {
            Key k{type, a.vdb, a.oid};
            if (rowSeen.insert(k).second) {
                rowReads_.push_back(k);
            }
        }
        actions_.push_back(std::move(a));
    }
    std::map<std::pair<int, uint32_t>, size_t> perTable;
    for (const auto& [type, vdb, oid] : rowReads_) {
        ++perTable[{type, vdb}];
    }
    // Rows of flushed tables come with the flush's whole read; a table with many rows touched is
    // read whole too unless the directory knows where its rows are (decided per attempt).
    manyRows_.clear();
    for (const auto& [tv, n] : perTable) {
        if (n > kRowReadsPerTable && flushed_.count(tv) == 0)
            manyRows_.insert(tv);
    }
    tableReads_.assign(flushed_.begin(), flushed_.end());
    rowReads_.erase(std::remove_if(rowReads_.begin(), rowReads_.end(),
                                   [&](const Key& k) {
                                       return flushed_.count({std::get<0>(k), std::get<1>(k)}) != 0;
                                   }),
                    rowReads_.end());
    PlanReads(nullptr, nullptr);
    return true;
}

json WritePlan::ReadOps(RowDirectory* directory, const RowCache* cache) {
    PlanReads(directory, cache);
    json ops = json::array();
    const json columns = json::array({"_uuid", "_version", "oid", "vdb", "body", "op"});
    for (const auto& [type, vdb] : readTables_) {
        ops.push_back({{"op", "select"},
                       {"table", FindObjectType(type)->name},
                       {"where", json::array({json::array({"vdb", "==", vdb})})},
                       {"columns", columns}});
    }
    for (size_t i = 0; i < rowReads_.size(); ++i) {
        const auto& [type, vdb, oid] = rowReads_[i];
        const auto& [how, uuid] = rowPlan_[i];
        if (how != RowRead::kByOid && how != RowRead::kByUuid)
            continue;
        ops.push_back({{"op", "select"},
                       {"table", FindObjectType(type)->name},
                       {"where", how == RowRead::kByUuid ? WhereUuid(uuid) : Where(oid, vdb)},
                       {"columns", columns}});
    }
    return ops;
}

void WritePlan::PlanReads(RowDirectory* directory, const RowCache* cache) {
    readTables_ = tableReads_;
    rowPlan_.clear();
    usesCache_ = false;
    auto kept = [cache](int type, uint32_t vdb, const std::string& oid) {
        return cache != nullptr && cache->Find(type, vdb, oid) != nullptr;
    };
    // Tables with a touched row that the cache does not keep.
    std::set<std::pair<int, uint32_t>> unkept;
    for (const auto& [type, vdb, oid] : rowReads_) {
        if (!kept(type, vdb, oid))
            unkept.insert({type, vdb});
    }
    // Tables read whole in this attempt: many rows touched and not known, or written before and
    // now to be learnt; never one whose touched rows are all kept.
    std::set<std::pair<int, uint32_t>> whole;
    std::set<std::pair<int, uint32_t>> seen;
    for (const auto& [type, vdb, oid] : rowReads_) {
        std::pair<int, uint32_t> table{type, vdb};
        if (!seen.insert(table).second)
            continue;
        bool known = directory != nullptr && directory->Find(type, vdb) != nullptr;
        if (known)
            continue;
        bool again = directory != nullptr && directory->TouchedBefore(type, vdb);
        if (unkept.count(table) == 0)
            continue;
        if (manyRows_.count(table) != 0 || again) {
            whole.insert(table);
            readTables_.push_back(table);
        }
    }
    for (const auto& [type, vdb, oid] : rowReads_) {
        if (whole.count({type, vdb}) != 0) {
            rowPlan_.emplace_back(RowRead::kCovered, std::string());
            continue;
        }
        if (kept(type, vdb, oid)) {
            rowPlan_.emplace_back(RowRead::kCached, std::string());
            usesCache_ = true;
            continue;
        }
        const RowDirectory::Rows* rows =
            directory != nullptr ? directory->Find(type, vdb) : nullptr;
        if (rows == nullptr) {
            rowPlan_.emplace_back(RowRead::kByOid, std::string());
            continue;
        }
        auto it = rows->find(oid);
        if (it == rows->end())
            rowPlan_.emplace_back(RowRead::kNone, std::string());
        else
            rowPlan_.emplace_back(RowRead::kByUuid, it->second);
    }
}

void WritePlan::Committed(const json& writeResult, RowDirectory* directory, RowCache* cache) {
    // The write landed: its intent is of no more use, and the texts it shares go to the cache
    // without a copy.
    intent_.rows_.clear();
    if (cache != nullptr) {
        for (Written& w : written_) {
            const auto& [type, vdb, oid] = w.key;
            if (w.keep && w.uuid.empty() && !InsertedUuid(writeResult, w.insertIndex, &w.uuid))
                w.keep = false;
            if (!w.keep) {
                cache->Erase(type, vdb, oid);
                continue;
            }
            cache->Put(type, vdb, oid,
                       RowCache::Row(std::move(w.uuid), std::move(w.body), Taken(&w.bodyText),
                                     Taken(&w.opText), std::move(w.sizes), w.lastField));
        }
        written_.clear();
    }
    if (directory == nullptr || !writeResult.is_array())
        return;
    for (const auto& [index, key] : inserts_) {
        const auto& [type, vdb, oid] = key;
        if (index >= writeResult.size())
            continue;
        std::string uuid;
        if (InsertedUuid(writeResult, index, &uuid)) {
            directory->Inserted(type, vdb, oid, uuid);
        } else {
            // No UUID where the insert's result should be: learn the tables again.
            directory->Clear();
            return;
        }
    }
    for (const auto& [type, vdb, oid] : deletes_)
        directory->Deleted(type, vdb, oid);
}

json WriteIntent::ReadOps() const {
    json ops = json::array();
    for (const Row& r : rows_) {
        ops.push_back({{"op", "select"},
                       {"table", r.table},
                       {"where", Where(r.oid, r.vdb)},
                       {"columns", json::array({"body", "op", "trace"})}});
    }
    return ops;
}

bool WriteIntent::Landed(const json& readResult) const {
    if (!readResult.is_array() || readResult.size() != rows_.size())
        return false;
    for (size_t i = 0; i < rows_.size(); ++i) {
        const json& r = readResult[i];
        if (!r.is_object() || !r.contains("rows") || !r["rows"].is_array())
            return false;
        const json& rows = r["rows"];
        if (!rows_[i].present) {
            if (!rows.empty())
                return false;
            continue;
        }
        if (rows.size() != 1 || !rows[0].is_object() || rows_[i].body == nullptr ||
            rows_[i].op == nullptr || rows[0].value("body", json()) != *rows_[i].body ||
            rows[0].value("op", json("")) != *rows_[i].op ||
            rows[0].value("trace", json("")) != rows_[i].trace)
            return false;
    }
    return true;
}

bool WritePlan::BuildWriteOps(const json& readResult, json* ops, std::string* error,
                              RowDirectory* directory, RowCache* cache, SplicedTexts* texts) {
    *ops = json::array();
    // A column's text in the operations: referred to when it is long and `texts` is given, else
    // copied.
    auto column = [texts](std::shared_ptr<const std::string> text) -> json {
        if (texts == nullptr || text->size() < kSharedTextBytes)
            return *text;
        texts->push_back(std::move(text));
        return SplicedString(texts->size() - 1);
    };
    auto ownedColumn = [&column, texts](std::string text) -> json {
        if (texts == nullptr || text.size() < kSharedTextBytes)
            return json(std::move(text));
        return column(std::make_shared<const std::string>(std::move(text)));
    };
    inserts_.clear();
    deletes_.clear();
    written_.clear();
    intent_.rows_.clear();
    size_t rowSelects = 0;
    for (const auto& [how, uuid] : rowPlan_)
        rowSelects += how == RowRead::kByOid || how == RowRead::kByUuid;
    if (!readResult.is_array() || readResult.size() != readTables_.size() + rowSelects) {
        *error = "read result has the wrong shape";
        return false;
    }
    // Holds the rows' parsed bodies and the patches' messages until the operations are built; it
    // grows in large blocks, as a learned row holds many thousand entries.
    google::protobuf::ArenaOptions arenaOptions;
    arenaOptions.start_block_size = 64 * 1024;
    arenaOptions.max_block_size = 4 * 1024 * 1024;
    google::protobuf::Arena arena(arenaOptions);
    std::map<Key, State> states;
    std::vector<Key> order;
    std::map<std::pair<int, uint32_t>, std::vector<std::string>> flushOids;
    auto load = [&](const json& row, int type, uint32_t vdb) -> bool {
        if (!row.is_object() || !row.contains("_uuid") || !row["_uuid"].is_array() ||
            row["_uuid"].size() != 2 || !row["_uuid"][1].is_string() ||
            !row.value("oid", json()).is_string() || !row.value("body", json()).is_string() ||
            !row.value("op", json("")).is_string()) {
            *error = "read row is malformed";
            return false;
        }
        Key k{type, vdb, row["oid"].get<std::string>()};
        if (states.count(k) != 0) {
            return true;
        }
        State s;
        s.exists = true;
        s.uuid = row["_uuid"][1].get<std::string>();
        s.origOpText = row.value("op", "");
        const json& version = row.value("_version", json());
        if (version.is_array() && version.size() == 2 && version[1].is_string())
            s.origVersion = version[1].get<std::string>();
        s.origBodyText = row["body"].get<std::string>();
        if (!Base64Decode(row["body"].get_ref<const std::string&>(), &s.origBody)) {
            // An unreadable stored body is replaced by whatever the requests write.
            s.origBody.clear();
        }
        s.present = true;
        s.body = s.origBody;
        states.emplace(k, std::move(s));
        order.push_back(k);
        return true;
    };
    size_t idx = 0;
    for (const auto& [type, vdb] : readTables_) {
        const json& r = readResult[idx++];
        if (!r.is_object() || !r.contains("rows") || !r["rows"].is_array()) {
            *error = r.is_object() && r.contains("error") ? r["error"].dump()
                                                          : "select result is malformed";
            return false;
        }
        RowDirectory::Rows* known = directory != nullptr ? &directory->Reset(type, vdb) : nullptr;
        // A flush asserts the rows it saw (an empty table too), so that an object inserted
        // meanwhile fails the transaction instead of surviving the flush.
        bool flushed = flushed_.count({type, vdb}) != 0;
        if (flushed) {
            flushOids[{type, vdb}];
        }
        for (const auto& row : r["rows"]) {
            if (!load(row, type, vdb))
                return false;
            if (flushed) {
                flushOids[{type, vdb}].push_back(row["oid"].get<std::string>());
            }
            if (known != nullptr)
                (*known)[row["oid"].get<std::string>()] = row["_uuid"][1].get<std::string>();
        }
    }
    for (size_t i = 0; i < rowReads_.size(); ++i) {
        const auto& [type, vdb, oid] = rowReads_[i];
        RowRead how = rowPlan_[i].first;
        if (how == RowRead::kByOid || how == RowRead::kByUuid) {
            const json& r = readResult[idx++];
            if (!r.is_object() || !r.contains("rows") || !r["rows"].is_array()) {
                *error = r.is_object() && r.contains("error") ? r["error"].dump()
                                                              : "select result is malformed";
                return false;
            }
            for (const auto& row : r["rows"]) {
                if (!load(row, type, vdb))
                    return false;
            }
        }
        Key k{type, vdb, oid};
        if (how == RowRead::kCached && states.count(k) == 0) {
            RowCache::Row row;
            if (cache == nullptr || !cache->Take(type, vdb, oid, &row)) {
                *error = "a kept row of " + FindObjectType(type)->name + " is no longer kept";
                return false;
            }
            // The row as this client wrote it: the write asserts its columns (it has no version).
            State s;
            s.exists = true;
            s.kept = true;
            s.uuid = std::move(row.uuid);
            s.origBody = std::move(row.body);
            s.origBodyText = std::move(row.bodyText);
            s.origOpText = std::move(row.opText);
            s.present = true;
            s.body = s.origBody;
            if (row.lastField >= 0 &&
                row.sizes.size() ==
                    static_cast<size_t>(
                        FindObjectType(type)->body->GetDescriptor()->field_count())) {
                s.shaped = true;
                s.sizes = std::move(row.sizes);
                s.lastField = row.lastField;
            }
            states.emplace(k, std::move(s));
            order.push_back(k);
        }
        if (states.count(k) == 0) {
            states.emplace(k, State{});
            order.push_back(k);
        }
    }

    for (const Action& a : actions_) {
        const ObjectTypeInfo* info = FindObjectType(a.type);
        if (a.kind == Action::kFlush) {
            for (auto& [k, s] : states) {
                if (std::get<0>(k) == a.type && std::get<1>(k) == a.vdb) {
                    s.present = false;
                    s.DropParsed();
                    s.removals.clear();
                    s.listOps = false;
                    s.appendsOnly = false;
                }
            }
            continue;
        }
        Key key{a.type, a.vdb, a.oid};
        auto found = states.find(key);
        if (found == states.end()) {
            found = states.emplace(key, State{}).first;
            order.push_back(key);
        }
        State& s = found->second;
        switch (a.kind) {
            case Action::kPut:
                s.present = true;
                s.body = a.body;
                s.DropParsed();
                s.removals.clear();
                s.trace = a.trace;
                s.listOps = false;
                s.appendsOnly = false;
                break;
            case Action::kDelete:
                s.present = false;
                s.DropParsed();
                s.removals.clear();
                s.listOps = false;
                s.appendsOnly = false;
                break;
            case Action::kPatch: {
                if (a.appendList != nullptr && !s.parsed && !s.shaped)
                    s.shaped = TakeShape(*info, a.id, &s);
                if (a.appendList != nullptr && !s.parsed && s.shaped && s.present &&
                    a.appendList->number() >= s.lastField) {
                    // The body's last list, or one after it, takes the entries at the end of its
                    // bytes.
                    if (!s.grown) {
                        s.grown = true;
                        // The row as read, untouched so far: counted from its lengths.
                        s.appendsOnly = s.exists && !s.listOps && s.body == s.origBody;
                        s.readSizes = s.sizes;
                    }
                    s.body.append(a.appended);
                    s.sizes[static_cast<size_t>(a.appendList->index())] += a.appendedCount;
                    s.lastField = a.appendList->number();
                    s.listOps = true;
                    break;
                }
                if (!s.parsed) {
                    s.parsed = info->body->New(&arena);
                    s.shaped = false;
                    if (s.present) {
                        s.parsed->ParseFromString(s.body);
                        // The row as read, untouched so far (a put or a delete resets `parsed`
                        // and never sets this again), unless entries were appended to its bytes
                        // (counted from the lengths as read).
                        if (!s.grown) {
                            s.appendsOnly = s.exists && !s.listOps && s.body == s.origBody;
                            if (s.appendsOnly)
                                ListSizes(*s.parsed, &s.readSizes);
                        }
                    } else {
                        // Patching an absent object creates it.
                        const auto* idField = s.parsed->GetDescriptor()->FindFieldByName("id");
                        s.parsed->GetReflection()
                            ->MutableMessage(s.parsed, idField)
                            ->CopyFrom(a.id);
                    }
                }
                if (a.appendList != nullptr) {
                    ApplyRemovals(&s.removals, s.parsed);
                    if (!s.parsed->MergeFromString(a.appended)) {
                        *error = "patch of " + info->name + " " + a.oid + ": entries do not parse";
                        return false;
                    }
                    s.present = true;
                    s.listOps = true;
                    break;
                }
                const google::protobuf::Message& op = *a.parsedOp;
                const google::protobuf::Message& partial = *a.parsedPartial;
                bool listOps = false;
                s.appendsOnly = s.appendsOnly && OnlyAppends(op);
                if (OnlyRemoves(op, partial)) {
                    GatherRemovals(op, partial, &s.removals);
                    s.present = true;
                    s.listOps = true;
                    break;
                }
                ApplyRemovals(&s.removals, s.parsed);
                if (!ApplyPatch(op, partial, s.parsed, &listOps, error)) {
                    *error = "patch of " + info->name + " " + a.oid + ": " + *error;
                    return false;
                }
                s.present = true;
                s.listOps = s.listOps || listOps;
                break;
            }
            case Action::kFlush:
                break;
        }
    }

    for (const auto& [tv, oids] : flushOids) {
        json rows = json::array();
        for (const auto& o : oids)
            rows.push_back({{"oid", o}});
        ops->push_back({{"op", "wait"},
                        {"timeout", 0},
                        {"table", FindObjectType(tv.first)->name},
                        {"where", json::array({json::array({"vdb", "==", tv.second})})},
                        {"columns", json::array({"oid"})},
                        {"until", "=="},
                        {"rows", rows}});
    }
    for (const Key& k : order) {
        State& s = states.at(k);
        // Patched since it was read or last put: kept as written once the write commits.
        const bool patched = s.parsed != nullptr || s.grown;
        if (s.parsed) {
            ApplyRemovals(&s.removals, s.parsed);
            s.body = s.parsed->SerializeAsString();
        }
        const ObjectTypeInfo* info = FindObjectType(std::get<0>(k));
        const std::string& table = info->name;
        if (s.exists && !s.present) {
            ops->push_back({{"op", "delete"}, {"table", table}, {"where", WhereUuid(s.uuid)}});
            deletes_.push_back(k);
            written_.emplace_back(k);
            intent_.rows_.push_back(
                {table, std::get<2>(k), std::get<1>(k), false, nullptr, nullptr, ""});
            continue;
        }
        if (!s.present) {
            continue;
        }
        std::string opText;
        if (s.listOps && s.exists && s.appendsOnly) {
            // Written from the lists' lengths: an op message names every appended entry.
            std::vector<int> sizes;
            if (s.parsed)
                ListSizes(*s.parsed, &sizes);
            opText = Base64Encode(AppendOpMessageBytes(info->body->GetDescriptor(),
                                                       info->op->GetDescriptor(), s.readSizes,
                                                       s.parsed ? sizes : s.sizes));
        } else if (s.listOps && s.exists) {
            // On the arena: an op message names every changed entry.
            google::protobuf::Message* op = info->op->New(&arena);
            if (!s.parsed) {
                s.parsed = info->body->New(&arena);
                s.parsed->ParseFromString(s.body);
            }
            std::unique_ptr<google::protobuf::Message> oldBody(info->body->New());
            oldBody->ParseFromString(s.origBody);
            DeriveListOpMessage(*oldBody, *s.parsed, op);
            opText = Base64Encode(op->SerializeAsString());
        }
        // Only entries appended to the bytes of the row as read: its text, and the appended
        // bytes'. The texts are shared by the intent and what is kept of the write.
        auto bodyText = std::make_shared<std::string>(
            !s.parsed && s.grown && s.appendsOnly
                ? Base64EncodeGrown(s.origBodyText, s.origBody.size(), s.body)
                : Base64Encode(s.body));
        auto opShared = std::make_shared<std::string>(std::move(opText));
        if (s.exists) {
            if (s.body == s.origBody && *opShared == s.origOpText && s.trace.empty()) {
                if (s.kept && cache != nullptr) {
                    std::vector<int> sizes;
                    int last = 0;
                    s.Shape(&sizes, &last);
                    cache->Put(std::get<0>(k), std::get<1>(k), std::get<2>(k),
                               RowCache::Row(std::move(s.uuid), std::move(s.origBody),
                                             std::move(s.origBodyText), std::move(s.origOpText),
                                             std::move(sizes), last));
                }
                continue;
            }
            intent_.rows_.push_back({table, std::get<2>(k), std::get<1>(k), true, bodyText,
                                     opShared, Base64Encode(s.trace)});
            // The row is as read: its version unchanged (a large row is not sent back), or, from
            // a server that gave no version, its columns.
            if (!s.origVersion.empty()) {
                ops->push_back({{"op", "wait"},
                                {"timeout", 0},
                                {"table", table},
                                {"where", WhereUuid(s.uuid)},
                                {"columns", json::array({"_version"})},
                                {"until", "=="},
                                {"rows", json::array({{{"_version", {"uuid", s.origVersion}}}})}});
            } else {
                ops->push_back(
                    {{"op", "wait"},
                     {"timeout", 0},
                     {"table", table},
                     {"where", WhereUuid(s.uuid)},
                     {"columns", json::array({"body", "op"})},
                     {"until", "=="},
                     {"rows", json::array({{{"body", ownedColumn(std::move(s.origBodyText))},
                                            {"op", s.origOpText}}})}});
            }
            ops->push_back({{"op", "update"},
                            {"table", table},
                            {"where", WhereUuid(s.uuid)},
                            {"row",
                             {{"body", column(bodyText)},
                              {"op", column(opShared)},
                              {"trace", Base64Encode(s.trace)}}}});
            written_.emplace_back(k);
            if (patched)
                Keep(&written_.back(), s.uuid, &s.body, bodyText, opShared, &s);
        } else {
            intent_.rows_.push_back({table, std::get<2>(k), std::get<1>(k), true, bodyText,
                                     opShared, Base64Encode(s.trace)});
            inserts_.emplace_back(ops->size(), k);
            ops->push_back({{"op", "insert"},
                            {"table", table},
                            {"row",
                             {{"oid", std::get<2>(k)},
                              {"vdb", std::get<1>(k)},
                              {"body", column(bodyText)},
                              {"op", column(opShared)},
                              {"trace", Base64Encode(s.trace)}}}});
            written_.emplace_back(k);
            if (patched) {
                written_.back().insertIndex = inserts_.back().first;
                Keep(&written_.back(), std::string(), &s.body, bodyText, opShared, &s);
            }
        }
    }
    return true;
}

}  // namespace ozy::cairndb

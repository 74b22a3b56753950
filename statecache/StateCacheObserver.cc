#include "statecache/StateCacheObserver.h"

#include <memory>
#include <utility>

#include <google/protobuf/arena.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "intake/ICairndbClient.h"
#include "platform/WorkflowUtil.h"
#include "platform/cairndb/CanonicalWire.h"
#include "proto/CairndbSchema.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_types.pb.h"
#include "runtime/Logger.h"
#include "statecache/IdText.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheJson.h"
#include "statecache/StateCacheL2Table.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using Requests = std::vector<pb::ModifyRequestMsg>;

namespace {

// The body field that carries a runtime property.
const char* FieldOf(ObjectType type, PropertyType p) {
    switch (type) {
        case ObjectType::VIF_STATE:
            if (p == PropertyType::VIF_IP_DISCOVEREDBINDING)
                return "ip_discovered_bindings";
            if (p == PropertyType::VIF_MAC)
                return "mac";
            return nullptr;
        case ObjectType::LOG_SWITCH_STATE:
            if (p == PropertyType::L2_VTEP)
                return "vtep_entries";
            if (p == PropertyType::L2_VM_MAC)
                return "mac_entries";
            if (p == PropertyType::L2_VM_IP)
                return "ip_entries";
            return nullptr;
        case ObjectType::ROUTING_DOMAIN_VTEP:
            return p == PropertyType::L2_VTEP ? "vtep_entries" : nullptr;
        default:
            return nullptr;
    }
}

bool ParseUuid(const std::string& id, pb::UuidMsg* uuid) {
    return !id.empty() && uuid->ParseFromString(id) &&
           uuid->GetReflection()->GetUnknownFields(*uuid).empty();
}

void AddFlush(Requests* out, ObjectType type, uint16_t vdb) {
    pb::ModifyRequestMsg& m = out->emplace_back();
    m.set_vdb(vdb);
    m.mutable_flush()->set_object_type(static_cast<pb::ObjectType>(type));
}

// A Put of the record's body; a record without body puts an object holding only its id.
bool AddPut(Requests* out, const CairnDBUpdateMsg& r, uint16_t vdb) {
    const ozy::cairndb::ObjectTypeInfo* info =
        ozy::cairndb::FindObjectType(static_cast<int>(r.objType));
    pb::UuidMsg uuid;
    if (info == nullptr || !ParseUuid(r.id, &uuid))
        return false;
    std::unique_ptr<Message> body(info->body->New());
    if (!body->ParseFromString(r.data))
        return false;
    const FieldDescriptor* idField = body->GetDescriptor()->FindFieldByName("id");
    if (idField == nullptr)
        return false;
    // The record's id names the object, whatever the body says.
    body->GetReflection()->MutableMessage(body.get(), idField)->CopyFrom(uuid);
    pb::ModifyRequestMsg& m = out->emplace_back();
    m.set_vdb(vdb);
    pb::PutMsg* put = m.mutable_put();
    put->mutable_object()->set_object_type(static_cast<pb::ObjectType>(r.objType));
    put->mutable_object()->set_body(body->SerializeAsString());
    if (!r.traceContext().empty())
        put->mutable_span()->ParseFromString(r.traceContext());
    return true;
}

bool AddDelete(Requests* out, const CairnDBUpdateMsg& r, uint16_t vdb) {
    pb::UuidMsg uuid;
    if (!ParseUuid(r.id, &uuid))
        return false;
    pb::ModifyRequestMsg& m = out->emplace_back();
    m.set_vdb(vdb);
    m.mutable_delete_()->set_object_type(static_cast<pb::ObjectType>(r.objType));
    *m.mutable_delete_()->mutable_id() = uuid;
    return true;
}

// The records of `count` lists taken in order as one list (a runtime batch's lists).
class Records {
  public:
    Records(const CairnDBUpdateList* lists, size_t count) : lists_(lists), count_(count) {}
    class Iterator {
      public:
        Iterator(const CairnDBUpdateList* list, const CairnDBUpdateList* end, size_t index)
            : list_(list), end_(end), index_(index) {
            SkipEmpty();
        }
        const CairnDBUpdateMsg& operator*() const { return (*list_)[index_]; }
        Iterator& operator++() {
            ++index_;
            SkipEmpty();
            return *this;
        }
        bool operator!=(const Iterator& o) const { return list_ != o.list_ || index_ != o.index_; }

      private:
        void SkipEmpty() {
            while (list_ != end_ && index_ == list_->size()) {
                ++list_;
                index_ = 0;
            }
        }
        const CairnDBUpdateList* list_;
        const CairnDBUpdateList* end_;
        size_t index_;
    };
    Iterator begin() const { return Iterator(lists_, lists_ + count_, 0); }
    Iterator end() const { return Iterator(lists_ + count_, lists_ + count_, 0); }

  private:
    const CairnDBUpdateList* lists_;
    size_t count_;
};

// An APPEND or REMOVE patch still taking entries: the records that follow it for the same object,
// list and operation (a received message brings its entries one after another) join it, so that
// the database client parses and applies one request per message rather than one per entry.
// Records of anything else close it; the order of changes is kept. A joining entry is checked
// without a parse when its bytes are as the entry's serialization writes them (CanonicalWire),
// else by parsing it into one message kept for the patch (no message per entry), and is then
// appended to the patch body as it stands, in wire form: a list field's entries written one after
// another are the list, so the body is the patch's first part followed by these bytes. The body
// is written in one buffer, sized on opening for the records that follow and would join (a
// learned burst's patch of one switch holds megabytes), which becomes the request's body on Close.
class OpenListPatch {
  public:
    // Whether `r` continues the open patch as far as its object, list and operation go.
    bool Continues(const CairnDBUpdateMsg& r, uint16_t vdb, pb::PBOpType op) const {
        return out_ != nullptr && r.objType == type_ && r.id == id_ && r.property == property_ &&
               op == op_ && vdb == vdb_ && !r.data.empty();
    }

    // Takes the entry of `r` when it continues the open patch.
    bool Join(const CairnDBUpdateMsg& r, uint16_t vdb, pb::PBOpType op) {
        if (!Continues(r, vdb, op))
            return false;
        if (!canonical_.Check(entryType_, r.data) && !entry_->ParseFromString(r.data))
            return false;
        AppendVarint(tag_, &entries_);
        AppendVarint(static_cast<uint32_t>(r.data.size()), &entries_);
        entries_.append(r.data);
        AppendEntryOp(op, static_cast<uint32_t>(count_++));
        return true;
    }

    // Opens a patch at `out`'s last request, whose messages (on `arena`) it keeps and writes out
    // on Close. `following` records that may join it follow, with `followingBytes` of data.
    void Open(Requests* out, const CairnDBUpdateMsg& r, uint16_t vdb, pb::PBOpType op,
              std::unique_ptr<google::protobuf::Arena> arena, Message* opMsg,
              const FieldDescriptor* opField, pb::OpMsg* fieldOp, Message* body,
              const FieldDescriptor* bodyField, size_t following, size_t followingBytes) {
        Close();
        arena_ = std::move(arena);
        out_ = out;
        index_ = out->size() - 1;
        type_ = r.objType;
        id_ = r.id;
        property_ = r.property;
        op_ = op;
        vdb_ = vdb;
        opMsg_ = opMsg;
        opTag_ = (static_cast<uint32_t>(opField->number()) << 3) | 2u;
        fieldOp_ = fieldOp;
        body_ = body;
        count_ = static_cast<size_t>(body->GetReflection()->FieldSize(*body, bodyField));
        // Field number and wire type 2 (length-delimited).
        tag_ = (static_cast<uint32_t>(bodyField->number()) << 3) | 2u;
        entryType_ = bodyField->message_type();
        entry_ = google::protobuf::MessageFactory::generated_factory()
                     ->GetPrototype(entryType_)
                     ->New(arena_.get());
        // The body's first part, then room for the joining entries (tag, length and bytes each)
        // and their entry ops (at most 8 bytes each).
        entries_.clear();
        entries_.reserve(body->ByteSizeLong() + followingBytes + following * 6);
        body->SerializeToString(&entries_);
        entryOps_.clear();
        entryOps_.reserve(following * 8);
    }

    void Close() {
        if (out_ == nullptr)
            return;
        pb::PatchMsg* patch = (*out_)[index_].mutable_patch();
        if (entryOps_.empty()) {
            patch->set_op(opMsg_->SerializeAsString());
        } else {
            // The op message holds the field's op alone: its bytes are that field, whose entry ops
            // (field 2, after its op, field 1) continue with the joined entries' ones.
            std::string fieldOp = fieldOp_->SerializeAsString();
            std::string* op = patch->mutable_op();
            op->clear();
            op->reserve(fieldOp.size() + entryOps_.size() + 10);
            AppendVarint(opTag_, op);
            AppendVarint(static_cast<uint32_t>(fieldOp.size() + entryOps_.size()), op);
            op->append(fieldOp);
            op->append(entryOps_);
        }
        *patch->mutable_body() = std::move(entries_);
        out_ = nullptr;
        opMsg_ = nullptr;
        fieldOp_ = nullptr;
        body_ = nullptr;
        entry_ = nullptr;
        entries_.clear();
        entryOps_.clear();
        arena_.reset();
    }

  private:
    // One entry op of the field's op message (OpMsg.entries, field 2), as its serialization
    // writes it: op (field 1) and index (field 3), each left out when 0.
    void AppendEntryOp(pb::PBOpType op, uint32_t index) {
        std::string inner;  // at most 12 bytes: held inline, no allocation
        if (op != 0) {
            inner.push_back(0x08);
            AppendVarint(static_cast<uint32_t>(op), &inner);
        }
        if (index != 0) {
            inner.push_back(0x18);
            AppendVarint(index, &inner);
        }
        entryOps_.push_back(0x12);
        AppendVarint(static_cast<uint32_t>(inner.size()), &entryOps_);
        entryOps_.append(inner);
    }

    static void AppendVarint(uint32_t v, std::string* out) {
        while (v >= 0x80) {
            out->push_back(static_cast<char>((v & 0x7f) | 0x80));
            v >>= 7;
        }
        out->push_back(static_cast<char>(v));
    }

    Requests* out_ = nullptr;
    size_t index_ = 0;
    ObjectType type_{};
    std::string id_;
    PropertyType property_{};
    pb::PBOpType op_ = pb::INVALID;
    uint16_t vdb_ = 0;
    std::unique_ptr<google::protobuf::Arena> arena_;
    Message* opMsg_ = nullptr;
    uint32_t opTag_ = 0;  // the field's tag in the op message
    pb::OpMsg* fieldOp_ = nullptr;
    Message* body_ = nullptr;
    // The list's entries in `body_` and joined so far; the body: `body_` serialized, then the
    // joined entries' tag and wire bytes.
    size_t count_ = 0;
    uint32_t tag_ = 0;
    std::string entries_;
    // The joined entries' ops, serialized.
    std::string entryOps_;
    // Where a joining entry that is not in canonical form is parsed (on the arena).
    Message* entry_ = nullptr;
    const google::protobuf::Descriptor* entryType_ = nullptr;
    ozy::cairndb::CanonicalWire canonical_;
};

// A Patch of one field: the op message of the type with that field's entry carrying `op`, and a
// partial body with the value. SET takes the record's partial body as it is; APPEND and REMOVE
// carry the single entry in the list field, and their entry op points at index 0 of that list.
// With `open`, an APPEND or REMOVE joins the patch open there when it continues it, or opens the
// next one, sized for the records from `next` to `end` that would join it.
template <typename It>
bool AddPatch(Requests* out, const CairnDBUpdateMsg& r, uint16_t vdb, pb::PBOpType op,
              OpenListPatch* open, It next, It end) {
    if (open != nullptr && open->Join(r, vdb, op))
        return true;
    const ozy::cairndb::ObjectTypeInfo* info =
        ozy::cairndb::FindObjectType(static_cast<int>(r.objType));
    const char* fieldName = FieldOf(r.objType, r.property);
    pb::UuidMsg uuid;
    if (info == nullptr || fieldName == nullptr || !ParseUuid(r.id, &uuid))
        return false;
    // A list patch stays open for the entries that continue it: its messages live on an arena of
    // their own (not allocated and freed entry by entry), released when the patch closes.
    std::unique_ptr<google::protobuf::Arena> arena;
    if (open != nullptr && (op == pb::APPEND || op == pb::REMOVE)) {
        google::protobuf::ArenaOptions options;
        options.start_block_size = 4096;
        options.max_block_size = 256 * 1024;
        arena = std::make_unique<google::protobuf::Arena>(options);
    }
    Message* opMsg = info->op->New(arena.get());
    std::unique_ptr<Message> ownedOp(arena ? nullptr : opMsg);
    Message* body = info->body->New(arena.get());
    std::unique_ptr<Message> ownedBody(arena ? nullptr : body);
    const FieldDescriptor* opField = opMsg->GetDescriptor()->FindFieldByName(fieldName);
    const FieldDescriptor* bodyField = body->GetDescriptor()->FindFieldByName(fieldName);
    if (opField == nullptr || bodyField == nullptr ||
        opField->message_type() != pb::OpMsg::descriptor()) {
        return false;
    }
    auto* fieldOp = static_cast<pb::OpMsg*>(opMsg->GetReflection()->MutableMessage(opMsg, opField));
    fieldOp->set_op(op);
    if (op == pb::APPEND || op == pb::REMOVE) {
        if (!bodyField->is_repeated() || bodyField->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE)
            return false;
        Message* entry = body->GetReflection()->AddMessage(body, bodyField);
        if (r.data.empty() || !entry->ParseFromString(r.data))
            return false;
        pb::OpMsg* e = fieldOp->add_entries();
        e->set_op(op);
        e->set_index(0);
    } else if (op == pb::SET) {
        if (r.data.empty() || !body->ParseFromString(r.data))
            return false;
    }
    const FieldDescriptor* idField = body->GetDescriptor()->FindFieldByName("id");
    if (idField != nullptr)
        body->GetReflection()->MutableMessage(body, idField)->CopyFrom(uuid);
    pb::ModifyRequestMsg& m = out->emplace_back();
    m.set_vdb(vdb);
    pb::PatchMsg* patch = m.mutable_patch();
    patch->set_object_type(static_cast<pb::ObjectType>(r.objType));
    *patch->mutable_id() = uuid;
    if (open != nullptr && (op == pb::APPEND || op == pb::REMOVE)) {
        // The records right after it for the same object, list and operation.
        size_t following = 0;
        size_t followingBytes = 0;
        const Operation recordOp = r.op;
        for (; next != end; ++next) {
            const CairnDBUpdateMsg& f = *next;
            if (f.op != recordOp || f.objType != r.objType || f.property != r.property ||
                f.data.empty() || f.id != r.id)
                break;
            ++following;
            followingBytes += f.data.size();
        }
        open->Open(out, r, vdb, op, std::move(arena), opMsg, opField, fieldOp, body, bodyField,
                   following, followingBytes);
        return true;
    }
    if (open != nullptr)
        open->Close();
    patch->set_op(opMsg->SerializeAsString());
    patch->set_body(body->SerializeAsString());
    return true;
}

// A patch of its own (no list patch open).
bool AddPatch(Requests* out, const CairnDBUpdateMsg& r, uint16_t vdb, pb::PBOpType op) {
    const CairnDBUpdateMsg* none = nullptr;
    return AddPatch(out, r, vdb, op, nullptr, none, none);
}

void LogTrace(const CairnDBUpdateMsg& r) {
    if (r.traceContext().empty() || !Logger::enabled(kLogDebug))
        return;
    pb::SpanContextMsg span;
    if (!span.ParseFromString(r.traceContext()))
        return;
    CFG_DEBUG(
        "StateCacheObserver: process VIF_STATE update with workflow tracing info: high trace id "
        "%1, "
        "low trace id %2, span id %3, parent id %4",
        span.trace_id_high(), span.trace_id_low(), span.span_id(), span.parent_span_id());
}

}  // namespace

StateCacheObserver::StateCacheObserver(ICairndbClient* client, StateCache* cache)
    : client_(client), cache_(cache) {}

StateCacheObserver::~StateCacheObserver() = default;

bool StateCacheObserver::RegisterRuntimeCache() {
    bool ok = cache_ != nullptr;
    if (ok) {
        StateCacheConfigTable* config = cache_->ConfigTable();
        ok = config->RegisterRuntimeStateObserver(ObjectType::VIF_STATE, this);
        ok = config->RegisterRuntimeStateObserver(ObjectType::HOPOVER_STATUS, this) && ok;
        ok = cache_->L2Table()->RegisterRuntimeStateObserver(this) && ok;
    }
    if (!ok) {
        CFG_ERROR("StateCacheObserver: failed in registering runtime cache");
        return false;
    }
    registered_ = true;
    CFG_INFO("StateCacheObserver: registered config and l2 runtime cache");
    return true;
}

bool StateCacheObserver::UnregisterRuntimeCache() {
    bool ok = cache_ != nullptr;
    if (ok) {
        StateCacheConfigTable* config = cache_->ConfigTable();
        ok = config->UnregisterRuntimeStateObserver(ObjectType::VIF_STATE, this);
        ok = config->UnregisterRuntimeStateObserver(ObjectType::HOPOVER_STATUS, this) && ok;
        ok = cache_->L2Table()->UnregisterRuntimeStateObserver(this) && ok;
    }
    registered_ = false;
    if (!ok) {
        CFG_ERROR("StateCacheObserver: failed in unregistering runtime cache");
        return false;
    }
    CFG_INFO("StateCacheObserver: unregistered config and l2 runtime cache");
    return true;
}

Requests StateCacheObserver::BuildConfigRequests(const CairnDBUpdateList& updates, bool fullSync,
                                                 uint16_t vdb) {
    Requests out;
    if (fullSync) {
        CFG_DEBUG("StateCacheObserver: prepare VIF_STATE Flush object");
        AddFlush(&out, ObjectType::VIF_STATE, vdb);
        CFG_DEBUG("StateCacheObserver: prepare HOPOVER_STATUS Flush object");
        AddFlush(&out, ObjectType::HOPOVER_STATUS, vdb);
    }
    for (const CairnDBUpdateMsg& r : updates) {
        const bool update = r.op == Operation::OPERATION_UPDATE;
        if (r.objType == ObjectType::VIF_STATE) {
            LogTrace(r);
            bool ok = false;
            if (r.property == PropertyType::INVALID_PROPERTY) {
                if (update) {
                    ok = AddPut(&out, r, vdb);
                    if (ok)
                        CFG_DEBUG("StateCacheObserver: prepare VIF_STATE Put object (id %1)",
                                  IdText(r.id));
                } else if (r.op == Operation::OPERATION_DELETE) {
                    ok = AddDelete(&out, r, vdb);
                    if (ok)
                        CFG_DEBUG("StateCacheObserver: prepare VIF_STATE Delete object (id %1)",
                                  IdText(r.id));
                }
            } else if (update) {
                ok = AddPatch(&out, r, vdb, pb::SET);
                if (ok)
                    CFG_DEBUG(
                        "StateCacheObserver: prepare VIF_STATE Patch object (id %1) property SET",
                        IdText(r.id));
            } else if (r.op == Operation::OPERATION_DELETE) {
                ok = AddPatch(&out, r, vdb, pb::CLEAR);
                if (ok) {
                    CFG_DEBUG(
                        "StateCacheObserver: prepare VIF_STATE Patch object (id %1) property CLEAR",
                        IdText(r.id));
                }
            }
            if (!ok)
                CFG_ERROR("StateCacheObserver: failed to process VIF_STATE update message");
        } else if (r.objType == ObjectType::HOPOVER_STATUS) {
            if (update && r.property == PropertyType::INVALID_PROPERTY && AddPut(&out, r, vdb)) {
                CFG_DEBUG("StateCacheObserver: prepare HOPOVER_STATUS Put object (id %1)",
                          IdText(r.id));
            } else if (r.op == Operation::OPERATION_DELETE &&
                       r.property == PropertyType::INVALID_PROPERTY && AddDelete(&out, r, vdb)) {
                CFG_DEBUG("StateCacheObserver: prepare HOPOVER_STATUS Delete object (id %1)",
                          IdText(r.id));
            } else if (r.op == Operation::OPERATION_DELETE) {
                CFG_ERROR("StateCacheObserver: failed to process HOPOVER_STATUS deletion message");
            } else {
                CFG_ERROR("StateCacheObserver: failed to process HOPOVER_STATUS update message");
            }
        }
    }
    return out;
}

Requests StateCacheObserver::BuildL2Requests(const CairnDBUpdateList& updates, bool fullSync,
                                             uint16_t vdb) {
    return BuildL2Requests(&updates, 1, fullSync, vdb);
}

Requests StateCacheObserver::BuildL2Requests(const CairnDBUpdateList* lists, size_t count,
                                             bool fullSync, uint16_t vdb) {
    Requests out;
    if (fullSync) {
        CFG_DEBUG("StateCacheObserver: prepare LOG_SWITCH_STATE Flush object");
        AddFlush(&out, ObjectType::LOG_SWITCH_STATE, vdb);
        CFG_DEBUG("StateCacheObserver: prepare ROUTING_DOMAIN_VTEP Flush object");
        AddFlush(&out, ObjectType::ROUTING_DOMAIN_VTEP, vdb);
    }
    OpenListPatch open;
    const Records records(lists, count);
    for (auto it = records.begin(); it != records.end();) {
        const CairnDBUpdateMsg& r = *it;
        ++it;
        if (r.objType != ObjectType::LOG_SWITCH_STATE &&
            r.objType != ObjectType::ROUTING_DOMAIN_VTEP)
            continue;
        const char* type =
            r.objType == ObjectType::LOG_SWITCH_STATE ? "LOG_SWITCH_STATE" : "ROUTING_DOMAIN_VTEP";
        const bool update = r.op == Operation::OPERATION_UPDATE;
        const bool remove = r.op == Operation::OPERATION_DELETE;
        bool ok = false;
        if (r.property == PropertyType::INVALID_PROPERTY) {
            open.Close();
            if (update && (ok = AddPut(&out, r, vdb))) {
                CFG_DEBUG("StateCacheObserver: prepare %1 Put object (id %2)", type, IdText(r.id));
            } else if (remove && (ok = AddDelete(&out, r, vdb))) {
                CFG_DEBUG("StateCacheObserver: prepare %1 Delete object (id %2)", type,
                          IdText(r.id));
            }
        } else if (update && (ok = AddPatch(&out, r, vdb, pb::APPEND, &open, it, records.end()))) {
            CFG_DEBUG("StateCacheObserver: prepare %1 Patch object (id %2) APPEND %3", type,
                      IdText(r.id), PropertyTypeToString(r.property));
        } else if (remove && (ok = AddPatch(&out, r, vdb, pb::REMOVE, &open, it, records.end()))) {
            CFG_DEBUG("StateCacheObserver: prepare %1 Patch object (id %2) REMOVE %3", type,
                      IdText(r.id), PropertyTypeToString(r.property));
        }
        if (!ok) {
            CFG_ERROR("StateCacheObserver: failed to process %1 %2 message", type,
                      remove ? "deletion" : "update");
        }
    }
    open.Close();
    return out;
}

void StateCacheObserver::ProcessConfigRuntimeStateUpdate(const CairnDBUpdateList& updates,
                                                         bool fullSync) {
    std::vector<std::string> contexts;
    for (const CairnDBUpdateMsg& r : updates) {
        if (!r.traceContext().empty())
            contexts.push_back(r.traceContext());
    }
    ozy::wft::Span span("StateCacheObserver.ProcessConfigRuntimeStateUpdate", contexts,
                        /*expectParent=*/false);
    if (client_ == nullptr)
        return;
    client_->setFullSyncDone(fullSync, ICairndbClient::kRuntimeConfig);
    uint16_t vdb = client_->mainVdbId();
    if (vdb == 0) {
        CFG_WARN("StateCacheObserver: Failed to get VDB ID when processing VIF_STATE message.");
        skippedNoVdb_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Requests requests = BuildConfigRequests(updates, fullSync, vdb);
    if (requests.empty())
        return;
    CFG_DEBUG("StateCacheObserver: write local config to CairnDB");
    requests_.fetch_add(requests.size(), std::memory_order_relaxed);
    configWrites_.fetch_add(1, std::memory_order_relaxed);
    client_->writeRuntime(std::move(requests), ICairndbClient::kRuntimeConfig, fullSync);
}

void StateCacheObserver::ProcessL2RuntimeStateUpdate(const CairnDBUpdateList& updates,
                                                     bool fullSync) {
    WriteL2(&updates, 1, fullSync);
}

void StateCacheObserver::ProcessL2RuntimeStateBatch(const std::vector<CairnDBUpdateList>& lists) {
    WriteL2(lists.data(), lists.size(), false);
}

void StateCacheObserver::WriteL2(const CairnDBUpdateList* lists, size_t count, bool fullSync) {
    if (client_ == nullptr)
        return;
    client_->setFullSyncDone(fullSync, ICairndbClient::kRuntimeL2);
    uint16_t vdb = client_->mainVdbId();
    if (vdb == 0) {
        CFG_WARN("StateCacheObserver: Failed to get VDB ID when processing L2 runtime message.");
        skippedNoVdb_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Requests requests = BuildL2Requests(lists, count, fullSync, vdb);
    if (requests.empty())
        return;
    CFG_DEBUG("StateCacheObserver: write local l2 to CairnDB");
    requests_.fetch_add(requests.size(), std::memory_order_relaxed);
    l2Writes_.fetch_add(1, std::memory_order_relaxed);
    client_->writeRuntime(std::move(requests), ICairndbClient::kRuntimeL2, fullSync);
}

std::string StateCacheObserver::Dump() const {
    nlohmann::json j = {{"registered", registered_.load()},
                        {"config_writes", configWrites_.load()},
                        {"l2_writes", l2Writes_.load()},
                        {"requests", requests_.load()},
                        {"skipped_without_vdb", skippedNoVdb_.load()}};
    std::string text = sc::DumpText(j);
    CFG_INFO("StateCacheObserver: dump %1", text);
    return text;
}

}  // namespace CfgAgent

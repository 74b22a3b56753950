#include "intake/Mux.h"

#include <google/protobuf/message.h>

#include <memory>
#include <unordered_set>

#include "intake/ICairndbClient.h"
#include "intake/ModifyRequests.h"
#include "platform/cairndb/OpMessages.h"
#include "proto/CairndbSchema.h"
#include "proto/UuidText.h"
#include "proto/cairndb_l2fib.pb.h"
#include "proto/cairndb_modify.pb.h"
#include "proto/cairndb_monitor.pb.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace pb = orvane::ozy::cairndb;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

bool IsConfigRuntime(ObjectType t) {
    return t == ObjectType::VIF_STATE || t == ObjectType::HOPOVER_STATUS;
}
bool IsL2Runtime(ObjectType t) {
    return t == ObjectType::LOG_SWITCH_STATE || t == ObjectType::ROUTING_DOMAIN_VTEP;
}
bool IsRuntime(ObjectType t) {
    return IsConfigRuntime(t) || IsL2Runtime(t);
}
const char* TypeName(ObjectType t) {
    return ObjectTypeName(static_cast<uint32_t>(t));
}

// A fresh message of the body (or op) class of `type` parsed from `bytes`; null when the type is
// unknown or the bytes do not parse.
std::unique_ptr<Message> Parsed(ObjectType type, const std::string& bytes, bool op) {
    const ozy::cairndb::ObjectTypeInfo* info = ozy::cairndb::FindObjectType(static_cast<int>(type));
    if (info == nullptr)
        return nullptr;
    std::unique_ptr<Message> m((op ? info->op : info->body)->New());
    if (!m->ParseFromString(bytes))
        return nullptr;
    return m;
}

// The serialized id (field "id") of a body; empty when it has none.
std::string IdOf(const Message& body) {
    const FieldDescriptor* f = body.GetDescriptor()->FindFieldByName("id");
    if (f == nullptr || f->type() != FieldDescriptor::TYPE_MESSAGE ||
        !body.GetReflection()->HasField(body, f))
        return std::string();
    return body.GetReflection()->GetMessage(body, f).SerializeAsString();
}

// The object operation (field "op") of an op message.
pb::PBOpType ObjectOp(const Message& op) {
    const FieldDescriptor* f = op.GetDescriptor()->FindFieldByName("op");
    if (f == nullptr || f->message_type() != pb::OpMsg::descriptor())
        return pb::INVALID;
    const auto& o = static_cast<const pb::OpMsg&>(op.GetReflection()->GetMessage(op, f));
    return o.op();
}

std::string IdText(const std::string& id) {
    pb::UuidMsg u;
    if (!u.ParseFromString(id))
        return "<bad id>";
    return ozy::cairndb::UuidText(u.left(), u.right());
}

// Entry indexes of a routing-domain VTEP op message that fall outside the lists they point into
// (APPEND and INSERT into the new list, REMOVE out of the old one); -1 when all fit.
int64_t BadVtepIndex(const pb::RoutingDomainVtepOpMsg& op, int newSize, int oldSize) {
    for (const pb::OpMsg& e : op.vtep_entries().entries()) {
        if ((e.op() == pb::APPEND || e.op() == pb::INSERT || e.op() == pb::UPDATE) &&
            e.index() >= static_cast<uint32_t>(newSize))
            return e.index();
        if (e.op() == pb::REMOVE && e.old_index() >= static_cast<uint32_t>(oldSize))
            return e.old_index();
    }
    return -1;
}

}  // namespace

Mux::Mux(ICairndbClient* writer) : writer_(writer) {}

Mux::~Mux() = default;

void Mux::SetReportHook(ReportHook hook) {
    Lock lock(mutex_);
    reportHook_ = std::move(hook);
}

void Mux::SetLocalProducers(bool config, bool l2) {
    Lock lock(mutex_);
    configProducer_ = config;
    l2Producer_ = l2;
    CFG_INFO("Mux: local producers: config %1, l2 %2", config, l2);
    Commit({});
}

// ---- vdb blocks ---------------------------------------------------------------------------------

bool Mux::InitVdb(uint16_t vdb) {
    Lock lock(mutex_);
    if (vdb == 0 || vdb == kHostVdb) {
        CFG_ERROR_CODE("LCP00028", "Mux: Failed to init vdb data with invalid id %1", vdb);
        return false;
    }
    if (vdbs_.count(vdb) != 0)
        return true;
    vdbs_[vdb];
    CFG_INFO("Mux: Init data with vdb %1", vdb);
    return true;
}

bool Mux::DestroyVdb(uint16_t vdb) {
    Lock lock(mutex_);
    auto it = vdbs_.find(vdb);
    if (it == vdbs_.end()) {
        CFG_ERROR_CODE("LCP00028", "Mux: Failed to destroy vdb data with invalid id %1", vdb);
        return false;
    }
    CFG_INFO("Mux: Destroy data with vdb %1", vdb);
    // Its contributions leave vdb 1 with it.
    for (const auto& [key, held] : it->second.objects)
        dirty_.insert(key);
    vdbs_.erase(it);
    Commit({});
    return true;
}

void Mux::ChannelStatus(bool up) {
    Lock lock(mutex_);
    if (up) {
        ++fullSyncVersion_;
        return;
    }
    for (auto& [vdb, block] : vdbs_) {
        block.fullSyncDone = false;
        block.pending.clear();
    }
}

void Mux::OnVdbUpdate(uint16_t vdb, const pb::MonitorUpdateMsg& update) {
    Lock lock(mutex_);
    auto it = vdbs_.find(vdb);
    if (it == vdbs_.end()) {
        CFG_ERROR_CODE("LCP00028", "Mux: Failed to get message list by vdbId %1", vdb);
        return;
    }
    it->second.pending.push_back(update);
}

void Mux::OnVdbBarrier(uint16_t vdb) {
    Lock lock(mutex_);
    auto it = vdbs_.find(vdb);
    if (it == vdbs_.end()) {
        CFG_ERROR_CODE("LCP00028", "Mux: Failed to get fullsync flag by vdbId %1", vdb);
        return;
    }
    VdbBlock& block = it->second;
    std::vector<pb::MonitorUpdateMsg> updates;
    updates.swap(block.pending);
    const bool fullSync = !block.fullSyncDone;
    size_t configCount = 0;
    size_t l2Count = 0;
    for (const pb::MonitorUpdateMsg& u : updates) {
        const ObjectType t = static_cast<ObjectType>(u.object_type());
        configCount += IsConfigRuntime(t) ? 1 : 0;
        l2Count += IsL2Runtime(t) ? 1 : 0;
    }
    // A full sync delivers the vdb's whole contents: what it held before is replaced.
    Store before;
    if (fullSync)
        before.swap(block.objects);
    Requests forwards;
    Reports reports;
    for (const pb::MonitorUpdateMsg& u : updates) {
        CFG_DEBUG("Mux: SmartNic barrier callback, vdbId %1, type %2", vdb,
                  TypeName(static_cast<ObjectType>(u.object_type())));
        ApplyVdbUpdate(vdb, u, &block.objects, &forwards, &reports);
    }
    if (fullSync) {
        size_t cleared = 0;
        for (const auto& [key, held] : before) {
            dirty_.insert(key);
            cleared += block.objects.count(key) == 0 ? 1 : 0;
        }
        CFG_INFO("Mux: Clear cache with vdb %1, cache size %2", vdb, cleared);
        block.fullSyncDone = true;
        bool all = true;
        for (const auto& [v, b] : vdbs_)
            all = all && b.fullSyncDone;
        CFG_INFO(
            "Mux: SmartNic barrier callback fullsync, fullsync version %1, config message size "
            "%2, l2 message size %3, local config status %4, local l2 status %5, all vdb "
            "fullsync %6",
            fullSyncVersion_, configCount, l2Count, localConfigDone_, localL2Done_, all);
    } else {
        CFG_DEBUG(
            "Mux: SmartNic barrier callback with config message size %1, l2 message size %2, "
            "local config status %3, local l2 status %4",
            configCount, l2Count, localConfigDone_, localL2Done_);
    }
    if (reportHook_ && (!reports.empty() || fullSync))
        reportHook_(vdb, fullSync, reports);
    Commit(std::move(forwards));
}

void Mux::ApplyVdbUpdate(uint16_t vdb, const pb::MonitorUpdateMsg& u, Store* store,
                         Requests* forwards, Reports* reports) {
    const ObjectType type = static_cast<ObjectType>(u.object_type());
    if (type == ObjectType::PROCESSED_BARRIER || type == ObjectType::RUNTIME_STATUS) {
        reports->push_back(&u);
        return;
    }
    if (!IsRuntime(type) && type != ObjectType::SI_SERVICE_VM_STATUS) {
        CFG_ERROR_CODE("LCP00028", "Mux: Update of type %1 from vdb %2 was not asked for, dropped",
                       static_cast<uint32_t>(type), vdb);
        return;
    }
    std::unique_ptr<Message> op = Parsed(type, u.op_msg(), true);
    if (op == nullptr) {
        CFG_ERROR_CODE("LCP00028", "Mux: %1 update from vdb %2 with an unreadable op, dropped",
                       TypeName(type), vdb);
        return;
    }
    const pb::PBOpType opCode = ObjectOp(*op);
    const bool clear =
        opCode == pb::CLEAR || (u.object_body().empty() && !u.old_object_body().empty());
    const std::string& bytes =
        clear && !u.old_object_body().empty() ? u.old_object_body() : u.object_body();
    std::unique_ptr<Message> body = Parsed(type, bytes, false);
    const std::string id = body ? IdOf(*body) : std::string();
    if (id.empty()) {
        CFG_ERROR_CODE("LCP00028",
                       "Mux: %1 update from vdb %2 does not parse or carries no id (op %3), "
                       "dropped",
                       TypeName(type), vdb, PBOpTypeToString(opCode));
        return;
    }
    if (type == ObjectType::SI_SERVICE_VM_STATUS) {
        forwards->push_back(clear ? DeleteRequest(kHostVdb, type, id)
                                  : PutRequest(kHostVdb, type, u.object_body()));
        return;
    }
    const Key key(type, id);
    if (type == ObjectType::ROUTING_DOMAIN_VTEP && !clear) {
        const auto& vteps = static_cast<const pb::RoutingDomainVtepOpMsg&>(*op);
        pb::RoutingDomainVtepMsg old;
        if (!old.ParseFromString(u.old_object_body()))
            old.Clear();
        const int64_t bad = BadVtepIndex(
            vteps, static_cast<const pb::RoutingDomainVtepMsg&>(*body).vtep_entries_size(),
            old.vtep_entries_size());
        if (bad >= 0) {
            CFG_ERROR_CODE("LCP00028",
                           "Mux: Update global routing domain VTEP with error vtep index %1, op "
                           "msg: %2, config msg: %3",
                           bad, op->ShortDebugString(), body->ShortDebugString());
            return;
        }
    }
    if (clear) {
        CFG_DEBUG("Mux: Update %1 (Operation %2): %3 with vdb %4 version %5", TypeName(type),
                  PBOpTypeToString(opCode), IdText(id), vdb, version_);
        Erase(store, key);
        return;
    }
    Put(store, key, u.object_body(), vdb, opCode);
}

void Mux::Put(Store* store, const Key& key, std::string body, uint16_t vdb, uint32_t op) {
    auto [it, inserted] = store->try_emplace(key);
    it->second.body = std::move(body);
    it->second.version = ++version_;
    CFG_DEBUG("Mux: Update %1 (Operation %2): %3 with vdb %4 version %5", TypeName(key.first),
              PBOpTypeToString(op), IdText(key.second), vdb, version_);
    if (inserted)
        CFG_DEBUG("Mux: Insert object with type %1", TypeName(key.first));
    else
        CFG_DEBUG("Mux: Update object with type %1", TypeName(key.first));
    dirty_.insert(key);
}

void Mux::Erase(Store* store, const Key& key) {
    if (store->erase(key) != 0)
        dirty_.insert(key);
}

// ---- the host's own runtime ---------------------------------------------------------------------

void Mux::OnMainFullSync() {
    Lock lock(mutex_);
    if (mainFullSync_) {
        CFG_INFO("Mux: Fullsync event of main VDB has already been processed.");
        return;
    }
    mainFullSync_ = true;
    bool all = true;
    for (const auto& [v, b] : vdbs_)
        all = all && b.fullSyncDone;
    CFG_INFO(
        "Mux: Fullsync event of main VDB is received, local config status %1, local l2 status "
        "%2, all vdb fullsync %3",
        localConfigDone_, localL2Done_, all);
    Commit({});
}

void Mux::WriteLocalRuntime(const std::vector<pb::ModifyRequestMsg>& requests, int kind,
                            bool fullSync) {
    Lock lock(mutex_);
    bool all = true;
    for (const auto& [v, b] : vdbs_)
        all = all && b.fullSyncDone;
    if (kind == ICairndbClient::kRuntimeConfig) {
        CFG_DEBUG(
            "Mux: Write local config with fullSync %1, msgList size %2, local fullsync status %3, "
            "vdb fullsync done %4",
            fullSync, requests.size(), localConfigDone_, all);
    } else {
        CFG_DEBUG(
            "Mux: Write local l2 with fullSync %1, msgList size %2, fullsync status %3, vdb "
            "fullsync done %4",
            fullSync, requests.size(), localL2Done_, all);
    }
    Requests passThrough;
    for (const pb::ModifyRequestMsg& r : requests)
        ApplyLocalRequest(r, &passThrough);
    if (fullSync && kind == ICairndbClient::kRuntimeConfig)
        localConfigDone_ = true;
    if (fullSync && kind == ICairndbClient::kRuntimeL2)
        localL2Done_ = true;
    Commit(std::move(passThrough));
}

void Mux::ApplyLocalRequest(const pb::ModifyRequestMsg& r, Requests* passThrough) {
    ObjectType type = ObjectType::OBJECT_TYPE_INVALID;
    if (r.has_flush())
        type = static_cast<ObjectType>(r.flush().object_type());
    else if (r.has_put())
        type = static_cast<ObjectType>(r.put().object().object_type());
    else if (r.has_delete_())
        type = static_cast<ObjectType>(r.delete_().object_type());
    else if (r.has_patch())
        type = static_cast<ObjectType>(r.patch().object_type());
    if (!IsRuntime(type)) {
        passThrough->push_back(r);
        return;
    }
    if (r.has_flush()) {
        for (auto it = local_.lower_bound(Key(type, std::string()));
             it != local_.end() && it->first.first == type;) {
            dirty_.insert(it->first);
            it = local_.erase(it);
        }
    } else if (r.has_put()) {
        std::unique_ptr<Message> body = Parsed(type, r.put().object().body(), false);
        const std::string id = body ? IdOf(*body) : std::string();
        if (id.empty()) {
            CFG_ERROR_CODE("LCP00028",
                           "Mux: Failed to generate cairndb message with type %1, op %2",
                           TypeName(type), "PUT");
            return;
        }
        Put(&local_, Key(type, id), r.put().object().body(), kHostVdb, pb::SET);
    } else if (r.has_delete_()) {
        Erase(&local_, Key(type, r.delete_().id().SerializeAsString()));
    } else if (!ApplyLocalPatch(r.patch())) {
        CFG_ERROR_CODE("LCP00028", "Mux: Failed to generate cairndb message with type %1, op %2",
                       TypeName(type), "PATCH");
    }
}

bool Mux::ApplyLocalPatch(const pb::PatchMsg& patch) {
    const ObjectType type = static_cast<ObjectType>(patch.object_type());
    std::unique_ptr<Message> op = Parsed(type, patch.op(), true);
    std::unique_ptr<Message> partial = Parsed(type, patch.body(), false);
    std::unique_ptr<Message> target = Parsed(type, std::string(), false);
    if (op == nullptr || partial == nullptr || target == nullptr)
        return false;
    const Key key(type, patch.id().SerializeAsString());
    auto it = local_.find(key);
    if (it != local_.end()) {
        if (!target->ParseFromString(it->second.body))
            return false;
    } else {
        // A patch of an object the host never put: the object is the patch on an empty body.
        const FieldDescriptor* f = target->GetDescriptor()->FindFieldByName("id");
        if (f == nullptr || f->type() != FieldDescriptor::TYPE_MESSAGE)
            return false;
        target->GetReflection()->MutableMessage(target.get(), f)->CopyFrom(patch.id());
    }
    bool listOps = false;
    std::string error;
    if (!ozy::cairndb::ApplyPatch(*op, *partial, target.get(), &listOps, &error)) {
        CFG_ERROR_CODE("LCP00028", "Mux: Local %1 patch of %2 does not apply: %3", TypeName(type),
                       IdText(key.second), error);
        return false;
    }
    Put(&local_, key, target->SerializeAsString(), kHostVdb, ObjectOp(*op));
    return true;
}

// ---- merging and writing ------------------------------------------------------------------------

bool Mux::Merged(const Key& key, std::string* out) const {
    // The host first, then the vdbs in ascending order: a stable order for merged lists.
    std::vector<const Held*> held;
    if (auto it = local_.find(key); it != local_.end())
        held.push_back(&it->second);
    for (const auto& [vdb, block] : vdbs_) {
        if (auto it = block.objects.find(key); it != block.objects.end())
            held.push_back(&it->second);
    }
    if (held.empty())
        return false;
    const Held* newest = held.front();
    for (const Held* h : held) {
        if (h->version > newest->version)
            newest = h;
    }
    const ObjectType type = key.first;
    if (IsConfigRuntime(type) || (held.size() == 1 && type != ObjectType::ROUTING_DOMAIN_VTEP)) {
        *out = newest->body;
        return true;
    }
    std::unique_ptr<Message> merged = Parsed(type, newest->body, false);
    if (merged == nullptr)
        return false;
    const google::protobuf::Descriptor* d = merged->GetDescriptor();
    const google::protobuf::Reflection* r = merged->GetReflection();
    std::vector<std::unique_ptr<Message>> bodies;
    for (const Held* h : held) {
        if (std::unique_ptr<Message> b = Parsed(type, h->body, false))
            bodies.push_back(std::move(b));
    }
    for (int i = 0; i < d->field_count(); ++i) {
        const FieldDescriptor* f = d->field(i);
        if (!f->is_repeated() || f->type() != FieldDescriptor::TYPE_MESSAGE)
            continue;
        r->ClearField(merged.get(), f);
        std::unordered_set<std::string> seen;
        for (const auto& b : bodies) {
            const int n = b->GetReflection()->FieldSize(*b, f);
            for (int k = 0; k < n; ++k) {
                const Message& e = b->GetReflection()->GetRepeatedMessage(*b, f, k);
                if (seen.insert(e.SerializeAsString()).second)
                    r->AddMessage(merged.get(), f)->CopyFrom(e);
            }
        }
    }
    if (type == ObjectType::ROUTING_DOMAIN_VTEP &&
        static_cast<const pb::RoutingDomainVtepMsg&>(*merged).vtep_entries_size() == 0)
        return false;
    *out = merged->SerializeAsString();
    return true;
}

bool Mux::GateReady() const {
    if (!mainFullSync_ || (configProducer_ && !localConfigDone_) || (l2Producer_ && !localL2Done_))
        return false;
    for (const auto& [vdb, block] : vdbs_) {
        if (!block.fullSyncDone)
            return false;
    }
    return true;
}

void Mux::OpenGate(Requests* out) {
    gateOpen_ = true;
    dirty_.clear();
    written_.clear();
    std::set<Key> keys;
    for (const auto& [key, held] : local_)
        keys.insert(key);
    for (const auto& [vdb, block] : vdbs_) {
        for (const auto& [key, held] : block.objects)
            keys.insert(key);
    }
    for (ObjectType t : {ObjectType::VIF_STATE, ObjectType::HOPOVER_STATUS,
                         ObjectType::LOG_SWITCH_STATE, ObjectType::ROUTING_DOMAIN_VTEP})
        out->push_back(FlushRequest(kHostVdb, t));
    size_t config = 0;
    size_t l2 = 0;
    for (const Key& key : keys) {
        std::string body;
        if (!Merged(key, &body))
            continue;
        (IsConfigRuntime(key.first) ? config : l2) += 1;
        out->push_back(PutRequest(kHostVdb, key.first, body));
        written_.emplace(key, std::move(body));
    }
    CFG_INFO("Mux: Fullsync config runtime message with the fullsync map size %1.", config);
    CFG_INFO("Mux: Fullsync l2 runtime message with the fullsync map size %1.", l2);
}

void Mux::Differences(Requests* out) {
    for (const Key& key : dirty_) {
        std::string body;
        const bool present = Merged(key, &body);
        auto w = written_.find(key);
        const bool rd = key.first == ObjectType::ROUTING_DOMAIN_VTEP;
        if (!present) {
            if (w == written_.end())
                continue;
            if (rd)
                CFG_DEBUG("Mux: prepare global ROUTING_DOMAIN_VTEP Delete object id %1, message %2",
                          IdText(key.second), w->second.size());
            out->push_back(DeleteRequest(kHostVdb, key.first, key.second));
            written_.erase(w);
            continue;
        }
        if (w != written_.end() && w->second == body)
            continue;
        if (rd)
            CFG_DEBUG("Mux: prepare global ROUTING_DOMAIN_VTEP Put object id %1, message %2",
                      IdText(key.second), body.size());
        out->push_back(PutRequest(kHostVdb, key.first, body));
        written_[key] = std::move(body);
    }
    dirty_.clear();
}

void Mux::Commit(Requests out) {
    if (gateOpen_) {
        Differences(&out);
    } else if (GateReady()) {
        Requests all;
        OpenGate(&all);
        all.insert(all.end(), std::make_move_iterator(out.begin()),
                   std::make_move_iterator(out.end()));
        out.swap(all);
    } else {
        // Cached only: the gate's write carries everything.
        dirty_.clear();
    }
    if (!out.empty() && writer_ != nullptr)
        writer_->write(out);
}

// ---- dumps and state -------------------------------------------------------------------------

bool Mux::GateOpen() const {
    Lock lock(mutex_);
    return gateOpen_;
}

std::set<uint16_t> Mux::Vdbs() const {
    Lock lock(mutex_);
    std::set<uint16_t> out;
    for (const auto& [vdb, block] : vdbs_)
        out.insert(vdb);
    return out;
}

std::map<Mux::Key, std::string> Mux::Written() const {
    Lock lock(mutex_);
    return written_;
}

std::string Mux::SourceDump(bool config) const {
    std::string lines;
    size_t count = 0;
    auto list = [&](const Store& store, const std::string& source) {
        for (const auto& [key, held] : store) {
            if (IsConfigRuntime(key.first) != config)
                continue;
            ++count;
            const char* label =
                key.first == ObjectType::VIF_STATE ? "VIF-STATE" : TypeName(key.first);
            lines += std::string(label) + " " + IdText(key.second) + " vdb " + source +
                     " version " + std::to_string(held.version) + "\n";
        }
    };
    list(local_, "local");
    for (const auto& [vdb, block] : vdbs_)
        list(block.objects, std::to_string(vdb));
    std::string gate = std::string("fullsync gate ") + (gateOpen_ ? "open" : "waiting") +
                       ": main " + (mainFullSync_ ? "done" : "waiting") + ", local config " +
                       (!configProducer_   ? "not running"
                        : localConfigDone_ ? "done"
                                           : "waiting") +
                       ", local l2 " +
                       (!l2Producer_   ? "not running"
                        : localL2Done_ ? "done"
                                       : "waiting");
    for (const auto& [vdb, block] : vdbs_)
        gate += ", vdb " + std::to_string(vdb) + (block.fullSyncDone ? " done" : " waiting");
    return std::string("Mux: Got mux ") + (config ? "config" : "l2") + " info list size " +
           std::to_string(count) + "\n" + gate + "\n" + lines;
}

std::string Mux::DumpConfig() const {
    Lock lock(mutex_);
    return SourceDump(true);
}

std::string Mux::DumpL2() const {
    Lock lock(mutex_);
    return SourceDump(false);
}

std::string Mux::DumpGlobalVtep() const {
    Lock lock(mutex_);
    std::map<std::string, std::string> sources;  // routing domain id: where it comes from
    auto collect = [&](const Store& store, const std::string& source) {
        for (auto it = store.lower_bound(Key(ObjectType::ROUTING_DOMAIN_VTEP, std::string()));
             it != store.end() && it->first.first == ObjectType::ROUTING_DOMAIN_VTEP; ++it)
            sources[it->first.second] += " " + source;
    };
    collect(local_, "local");
    for (const auto& [vdb, block] : vdbs_)
        collect(block.objects, std::to_string(vdb));
    std::string lines;
    size_t count = 0;
    for (const auto& [id, from] : sources) {
        std::string body;
        pb::RoutingDomainVtepMsg m;
        if (!Merged(Key(ObjectType::ROUTING_DOMAIN_VTEP, id), &body) || !m.ParseFromString(body))
            continue;
        ++count;
        lines += IdText(id) + " vteps " + std::to_string(m.vtep_entries_size()) + " sources" +
                 from + "\n";
    }
    return "Mux: Got mux global vtep list size " + std::to_string(count) + "\n" + lines;
}

}  // namespace CfgAgent

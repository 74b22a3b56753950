#pragma once
// Builders of database updates for the decoder and client tests.
#include <google/protobuf/message.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "intake/Decoder.h"
#include "proto/CairndbSchema.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_types.pb.h"

namespace CfgAgent::test {

namespace pb = orvane::ozy::cairndb;

inline pb::UuidMsg Uuid(uint64_t right, uint64_t left = 0x1111) {
    pb::UuidMsg u;
    u.set_left(left);
    u.set_right(right);
    return u;
}

inline pb::IpAddressMsg Ip4(uint32_t a) {
    pb::IpAddressMsg ip;
    ip.set_ipv4(a);
    return ip;
}

// An op message of class OpClass whose object operation is `op`.
template <class OpClass>
OpClass ObjOp(pb::PBOpType op) {
    OpClass m;
    m.mutable_op()->set_op(op);
    return m;
}

// The op message of `type`'s op class whose object operation (field 1) is `op`, and each named
// field's operation as given.
inline std::unique_ptr<google::protobuf::Message> OpOf(
    ObjectType type, pb::PBOpType op,
    const std::vector<std::pair<const char*, pb::PBOpType>>& fields = {}) {
    const auto* info = ozy::cairndb::FindObjectType(static_cast<int>(type));
    std::unique_ptr<google::protobuf::Message> m(info->op->New());
    const auto* d = m->GetDescriptor();
    auto set = [&](const google::protobuf::FieldDescriptor* f, pb::PBOpType o) {
        static_cast<pb::OpMsg*>(m->GetReflection()->MutableMessage(m.get(), f))->set_op(o);
    };
    set(d->FindFieldByNumber(1), op);
    for (const auto& [name, o] : fields)
        set(d->FindFieldByName(name), o);
    return m;
}

// A body of `type` with id `id` (field 1) and each named field (a uuid or a list of uuids) naming
// its uuid.
inline std::unique_ptr<google::protobuf::Message> BodyOf(
    ObjectType type, const pb::UuidMsg& id,
    const std::vector<std::pair<const char*, pb::UuidMsg>>& refs = {}) {
    const auto* info = ozy::cairndb::FindObjectType(static_cast<int>(type));
    std::unique_ptr<google::protobuf::Message> m(info->body->New());
    const auto* d = m->GetDescriptor();
    const auto* r = m->GetReflection();
    r->MutableMessage(m.get(), d->FindFieldByNumber(1))->CopyFrom(id);
    for (const auto& [name, ref] : refs) {
        const auto* f = d->FindFieldByName(name);
        (f->is_repeated() ? r->AddMessage(m.get(), f) : r->MutableMessage(m.get(), f))
            ->CopyFrom(ref);
    }
    return m;
}

// Adds to the list operation `list` an entry operation on `index`: an index into the new body's
// list, or into the old body's for REMOVE and CLEAR.
inline void AddEntry(pb::OpMsg* list, pb::PBOpType op, uint32_t index) {
    pb::OpMsg* e = list->add_entries();
    e->set_op(op);
    (op == pb::REMOVE || op == pb::CLEAR) ? e->set_old_index(index) : e->set_index(index);
}

inline pb::SpanContextMsg TestSpan() {
    pb::SpanContextMsg s;
    s.set_trace_id_high(0xa1);
    s.set_trace_id_low(0xb2);
    s.set_span_id(0xc3);
    s.set_parent_span_id(0xd4);
    return s;
}

// One update; `body`/`old` may be null (absent).
inline pb::MonitorUpdateMsg MakeUpdate(ObjectType type, const google::protobuf::Message& op,
                                       const google::protobuf::Message* body,
                                       const google::protobuf::Message* old = nullptr,
                                       bool withSpan = false) {
    pb::MonitorUpdateMsg u;
    u.set_object_type(static_cast<pb::ObjectType>(type));
    u.set_op_msg(op.SerializeAsString());
    if (body != nullptr)
        u.set_object_body(body->SerializeAsString());
    if (old != nullptr)
        u.set_old_object_body(old->SerializeAsString());
    if (withSpan)
        *u.mutable_span_context() = TestSpan();
    u.set_vdb(1);
    return u;
}

// One update whose op message carries the object operation `op` alone.
inline pb::MonitorUpdateMsg MakeUpdate(ObjectType type, pb::PBOpType op,
                                       const google::protobuf::Message* body,
                                       const google::protobuf::Message* old = nullptr,
                                       bool withSpan = false) {
    return MakeUpdate(type, *OpOf(type, op), body, old, withSpan);
}

// The records of a decoded update, all groups concatenated.
inline CairnDBUpdateList AllRecords(const DecodeResult& r) {
    CairnDBUpdateList all;
    for (size_t i = 0; i < r.groupCount; ++i) {
        all.insert(all.end(), r.groups[i].records.begin(), r.groups[i].records.end());
    }
    return all;
}

inline DecodeResult DecodeOne(const pb::MonitorUpdateMsg& u) {
    DecodeResult r;
    Decoder::Decode(u, &r);
    return r;
}

inline std::vector<ComponentType> GroupComponents(const DecodeResult& r, size_t group) {
    const DecodedGroup& g = r.groups[group];
    return std::vector<ComponentType>(g.components, g.components + g.componentCount);
}

}  // namespace CfgAgent::test

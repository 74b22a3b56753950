#pragma once
// Builders of database updates for the decoder and client tests.
#include <google/protobuf/message.h>

#include <string>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "intake/Decoder.h"
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

// Decode functions of the L2 forwarding tables (pattern E): logical switch FIBs, routing domain
// FIBs and VTEP groups. Every affected entry becomes one record (op 1 add, op 2 remove) whose data
// is the serialized entry; a new object is announced before its entries and a removed one goes
// after them.
#include "intake/decode/DecodeCommon.h"
#include "intake/decode/DecodeFunctions.h"
#include "proto/cairndb_l2fib.pb.h"

namespace CfgAgent::decode {

namespace {

// Appends the record of one entry and logs "Decoder: generate <kind> UPDATE|DELETE msg: %1".
class EntryEmitter {
  public:
    EntryEmitter(const RecordBase& base, CairnDBUpdateList& out) : base_(base), out_(out) {}

    template <class Entry>
    void operator()(PropertyType property, const char* kind, const Entry& entry, bool add) const {
        if (add) {
            CFG_DEBUG("Decoder: generate %1 UPDATE msg: %2", kind, entry.ShortDebugString());
        } else {
            CFG_DEBUG("Decoder: generate %1 DELETE msg: %2", kind, entry.ShortDebugString());
        }
        AddRecord(out_, base_, property, entry.SerializeAsString(),
                  add ? Operation::OPERATION_UPDATE : Operation::OPERATION_DELETE);
    }

  private:
    const RecordBase& base_;
    CairnDBUpdateList& out_;
};

template <class P>
RecordBase L2Base(const Input& in, ObjectType type, const P& p) {
    RecordBase base;
    base.type = type;
    base.id = IdBytes(p.subject().id());
    base.trace = in.trace;
    return base;
}

// The object record: added when the object is new (a SET without old body: initial contents or
// an insert), removed after its entries on CLEAR. A modify carries none, so the merge meets one
// object record per object, and a delete plus re-insert in one transaction cancels out.
template <class P>
void AddWholeObject(CairnDBUpdateList& out, const RecordBase& base, const P& p, bool before) {
    if (before && p.isSet() && !p.hasOld) {
        AddRecord(out, base, PropertyType::INVALID_PROPERTY, std::string(),
                  Operation::OPERATION_UPDATE);
    } else if (!before && p.isClear()) {
        AddRecord(out, base, PropertyType::INVALID_PROPERTY, std::string(),
                  Operation::OPERATION_DELETE);
    }
}

// The operation of a group's key entry: the key's own when it is cleared, SET when the key, the
// type or the protocol changed.
pb::OpMsg GroupFieldsOp(const pb::VtepGroupOpMsg& op) {
    auto changed = [](const pb::OpMsg& o) { return o.op() != pb::INVALID; };
    const pb::PBOpType key = op.key().op();
    if (key == pb::CLEAR || key == pb::REMOVE)
        return op.key();
    pb::OpMsg out;
    if (changed(op.key()) || changed(op.group_type()) || changed(op.activeness_protocol()))
        out.set_op(pb::SET);
    return out;
}

}  // namespace

void DecodeLogSwitchFib(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeLogSwitchFib", in.parents, false);
    Parsed<pb::LogSwitchFibMsg, pb::LogSwitchFibOpMsg> p(in);
    CFG_DEBUG("Decoder: Received LOG_SWITCH_FIB msg (Operation %1): %2",
              PBOpTypeToString(p.objectOp()), p.subject().ShortDebugString());
    if (!p.isSet() && !p.isClear()) {
        return;
    }
    const bool clear = p.isClear();
    if (clear) {
        CFG_DEBUG("Decoder: Received CLEAR operation for logical switch ID %1",
                  IdText(p.subject().id()));
    }
    RecordBase base = L2Base(in, ObjectType::LOG_SWITCH_FIB, p);
    EntryEmitter emit(base, *out[0]);
    AddWholeObject(*out[0], base, p, true);
    ExpandList(in, p.op.vtep_entries(), clear, p.body.vtep_entries(), p.old.vtep_entries(),
               "LOG_SWITCH_FIB VTEP entry", [&](const pb::LogSwitchVtepEntryMsg& e, bool add) {
                   emit(PropertyType::L2_VTEP, "L2_VTEP", e, add);
               });
    ExpandList(in, p.op.mac_entries(), clear, p.body.mac_entries(), p.old.mac_entries(),
               "LOG_SWITCH_FIB MAC entry", [&](const pb::LogSwitchMacEntryMsg& e, bool add) {
                   emit(PropertyType::L2_VM_MAC, "L2_VM_MAC", e, add);
               });
    ExpandList(in, p.op.ip_entries(), clear, p.body.ip_entries(), p.old.ip_entries(),
               "LOG_SWITCH_FIB IP entry", [&](const pb::LogSwitchIpEntryMsg& e, bool add) {
                   emit(PropertyType::L2_VM_IP, "L2_VM_IP", e, add);
               });
    ExpandList(in, p.op.vtep_group_labels(), clear, p.body.vtep_group_labels(),
               p.old.vtep_group_labels(), "LOG_SWITCH_FIB VTEP group label",
               [&](const pb::VtepLabelMsg& e, bool add) {
                   emit(PropertyType::L2_VTEP_GROUP_LABEL, "L2_VTEP_GROUP_LABEL", e, add);
               });
    AddWholeObject(*out[0], base, p, false);
}

void DecodeRoutingDomainFib(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeRoutingDomainFib", in.parents, false);
    Parsed<pb::RoutingDomainFibMsg, pb::RoutingDomainFibOpMsg> p(in);
    CFG_DEBUG("Decoder: Received ROUTING_DOMAIN_FIB msg (Operation %1): %2",
              PBOpTypeToString(p.objectOp()), p.subject().ShortDebugString());
    if (!p.isSet() && !p.isClear()) {
        return;
    }
    const bool clear = p.isClear();
    if (clear) {
        CFG_DEBUG("Decoder: Received CLEAR operation for routing domain ID %1",
                  IdText(p.subject().id()));
    }
    RecordBase base = L2Base(in, ObjectType::ROUTING_DOMAIN_FIB, p);
    EntryEmitter emit(base, *out[0]);
    AddWholeObject(*out[0], base, p, true);
    ExpandList(in, p.op.vtep_entries(), clear, p.body.vtep_entries(), p.old.vtep_entries(),
               "ROUTING_DOMAIN_FIB VTEP entry", [&](const pb::LogSwitchVtepEntryMsg& e, bool add) {
                   emit(PropertyType::L2_VTEP, "L2_VTEP", e, add);
               });
    ExpandList(in, p.op.vtep_group_labels(), clear, p.body.vtep_group_labels(),
               p.old.vtep_group_labels(), "ROUTING_DOMAIN_FIB VTEP group label",
               [&](const pb::VtepLabelMsg& e, bool add) {
                   emit(PropertyType::L2_VTEP_GROUP_LABEL, "L2_VTEP_GROUP_LABEL", e, add);
               });
    AddWholeObject(*out[0], base, p, false);
}

void DecodeVtepGroup(const Input& in, CairnDBUpdateList* const* out) {
    ozy::wft::Span span("Decoder.DecodeVtepGroup", in.parents, false);
    Parsed<pb::VtepGroupMsg, pb::VtepGroupOpMsg> p(in);
    CFG_DEBUG("Decoder: Received L2_VTEP_GROUP msg (Operation %1): %2",
              PBOpTypeToString(p.objectOp()), p.subject().ShortDebugString());
    if (!p.isSet() && !p.isClear()) {
        return;
    }
    const bool clear = p.isClear();
    RecordBase base = L2Base(in, ObjectType::VTEP_GROUP, p);
    EntryEmitter emit(base, *out[0]);
    AddWholeObject(*out[0], base, p, true);
    // The group's key, type and activeness protocol travel together as one VtepGroupMsg entry,
    // keyed by the key: a change of any of them replaces the entry, a cleared key removes it.
    ExpandField(
        in, GroupFieldsOp(p.op), clear, p.body, p.old, "VTEP_GROUP key",
        [](const pb::VtepGroupMsg& b) { return b.has_key(); },
        [&](const pb::VtepGroupMsg& b, bool add) {
            pb::VtepGroupMsg group;
            group.set_key(b.key());
            if (b.has_group_type())
                group.set_group_type(b.group_type());
            if (b.has_activeness_protocol())
                group.set_activeness_protocol(b.activeness_protocol());
            emit(PropertyType::L2_VTEP_GROUP, "L2_VTEP_GROUP", group, add);
        });
    ExpandList(in, p.op.labels(), clear, p.body.labels(), p.old.labels(), "VTEP_GROUP label",
               [&](const pb::VtepLabelMsg& e, bool add) {
                   emit(PropertyType::L2_VTEP_GROUP_LABEL, "L2_VTEP_GROUP_LABEL", e, add);
               });
    AddWholeObject(*out[0], base, p, false);
}

}  // namespace CfgAgent::decode

#pragma once
// Building blocks shared by the decode functions: parsing with default fall-back, record
// construction, the whole-object patterns (W, O, P) and the list/field expansion of pattern E.
// Internal to the decoder; includes the generated schema headers.
#include <google/protobuf/message.h>
#include <google/protobuf/repeated_ptr_field.h>

#include <memory>
#include <string>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "intake/Decoder.h"
#include "platform/WorkflowUtil.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_types.pb.h"
#include "runtime/Logger.h"

namespace CfgAgent::decode {

namespace pb = orvane::ozy::cairndb;

// The update being decoded, with its span context serialized once.
struct Input {
    explicit Input(const pb::MonitorUpdateMsg& u);

    const pb::MonitorUpdateMsg& update;
    std::string trace;                 // serialized SpanContextMsg, "" when the update has none
    std::vector<std::string> parents;  // {trace} or empty: the parent contexts of a span
};

// Parses `bytes` into `msg`; on failure `msg` is left default-valued and false is returned.
bool ParseOrDefault(google::protobuf::MessageLite& msg, const std::string& bytes);

// Text form of a UuidMsg ("00000000-0000-0000-0000-000000000000" when unset).
std::string IdText(const pb::UuidMsg& id);
// Serialized id field of a body: the record id.
inline std::string IdBytes(const pb::UuidMsg& id) {
    return id.SerializeAsString();
}

// One parsed update of a type: op message, new body and old body (each default when absent or
// unparsable).
template <class Body, class OpClass>
struct Parsed {
    explicit Parsed(const Input& in) {
        ParseOrDefault(op, in.update.op_msg());
        bodyOk = ParseOrDefault(body, in.update.object_body());
        hasOld = !in.update.old_object_body().empty();
        oldOk = hasOld && ParseOrDefault(old, in.update.old_object_body());
    }
    PBOpType objectOp() const { return static_cast<PBOpType>(op.op().op()); }
    bool isSet() const { return objectOp() == PBOpType::SET; }
    bool isClear() const { return objectOp() == PBOpType::CLEAR; }
    // The body the change is about: the new one on SET, the old one (when delivered) on CLEAR.
    const Body& subject() const { return isClear() && hasOld ? old : body; }
    // The new body's bytes as delivered, or "" when they did not parse (the default message).
    const std::string& rawBody(const Input& in) const {
        return bodyOk ? in.update.object_body() : empty();
    }
    const std::string& rawOld(const Input& in) const {
        return oldOk ? in.update.old_object_body() : empty();
    }

    OpClass op;
    Body body;
    Body old;
    bool bodyOk = false;
    bool hasOld = false;
    bool oldOk = false;

  private:
    static const std::string& empty() {
        static const std::string e;
        return e;
    }
};

// Common fields of the records of one update.
struct RecordBase {
    ObjectType type = ObjectType::OBJECT_TYPE_INVALID;
    std::string id;
    std::string trace;
    std::string tenant;
    // The pair of `trace` and `tenant` that AddRecord shares among the update's records (made by
    // the first record that has a context).
    mutable std::shared_ptr<const RecordContexts> contexts;
};

void AddRecord(CairnDBUpdateList& out, const RecordBase& base, PropertyType property,
               std::string data, Operation op);

// "Decoder: Received <name> msg (Operation %1): <body>".
template <class P>
void LogReceived(const char* name, const P& p) {
    CFG_DEBUG("Decoder: Received %1 msg (Operation %2): %3", name, PBOpTypeToString(p.objectOp()),
              p.subject().ShortDebugString());
}

// "Decoder: Received <name> msg (Operation %1): <id> : <body>".
template <class P>
void LogReceivedWithId(const char* name, const P& p) {
    CFG_DEBUG("Decoder: Received %1 msg (Operation %2): %3 : %4", name,
              PBOpTypeToString(p.objectOp()), IdText(p.subject().id()),
              p.subject().ShortDebugString());
}

// Pattern W: SET gives (0, op 1, new body); CLEAR gives (0, op 2, old body), or, without an old
// body, the warning "Decoder: No old_object_body in CLEAR <className>" and nothing. No trace or
// tenant context.
template <class P>
void PatternW(const Input& in, ObjectType type, const P& p, const char* className,
              CairnDBUpdateList& out) {
    RecordBase base;
    base.type = type;
    if (p.isSet()) {
        base.id = IdBytes(p.body.id());
        AddRecord(out, base, PropertyType::INVALID_PROPERTY, p.rawBody(in),
                  Operation::OPERATION_UPDATE);
    } else if (p.isClear()) {
        if (!p.hasOld) {
            CFG_WARN("Decoder: No old_object_body in CLEAR %1", className);
            return;
        }
        base.id = IdBytes(p.old.id());
        AddRecord(out, base, PropertyType::INVALID_PROPERTY, p.rawOld(in),
                  Operation::OPERATION_DELETE);
    }
}

// Pattern O: SET gives (0, op 1, new body); CLEAR gives (0, op 2, empty). Carries the trace.
template <class P>
void PatternO(const Input& in, ObjectType type, const P& p, CairnDBUpdateList& out) {
    RecordBase base;
    base.type = type;
    base.trace = in.trace;
    if (p.isSet()) {
        base.id = IdBytes(p.body.id());
        AddRecord(out, base, PropertyType::INVALID_PROPERTY, p.rawBody(in),
                  Operation::OPERATION_UPDATE);
    } else if (p.isClear()) {
        base.id = IdBytes(p.subject().id());
        AddRecord(out, base, PropertyType::INVALID_PROPERTY, std::string(),
                  Operation::OPERATION_DELETE);
    }
}

// A type whose records are whole objects with nothing of their own to check: logged as received
// (with the object's id when `withId`) and filed with pattern O.
template <class Body, class OpClass>
void DecodeWholeObject(const Input& in, ObjectType type, const char* name, bool withId,
                       CairnDBUpdateList& out) {
    Parsed<Body, OpClass> p(in);
    if (withId)
        LogReceivedWithId(name, p);
    else
        LogReceived(name, p);
    PatternO(in, type, p, out);
}

// A property of pattern P and the body field that holds it.
struct PropertyField {
    PropertyType property;
    int fieldNumber;
};

// Pattern P: SET gives the whole-object record (the delivered body) and then one record per entry
// of `props`, in order: op 1 with a body holding only that field, or op 2 with empty data when the
// body lacks it; CLEAR gives the whole-object record with op 2.
void PatternP(const Input& in, const RecordBase& base, PBOpType objectOp,
              const std::string& rawBody, const PropertyField* props, size_t propCount,
              CairnDBUpdateList& out);

// ---- pattern E ----------------------------------------------------------------------------------

// Expands the operation `lop` of one list field into removals of old entries and additions of new
// ones, calling emit(entry, add). `objectClear`: the whole object was removed, so every old entry
// goes whatever `lop` says. Entry indexes outside the lists log the size-mismatch errors with the
// update's debug text and skip that entry only.
template <class Entry, class Emit>
void ExpandList(const Input& in, const pb::OpMsg& lop, bool objectClear,
                const google::protobuf::RepeatedPtrField<Entry>& cur,
                const google::protobuf::RepeatedPtrField<Entry>& old, const char* errorName,
                Emit&& emit) {
    if (objectClear) {
        for (const Entry& e : old)
            emit(e, false);
        return;
    }
    auto one = [&](const pb::OpMsg& e, int k) {
        switch (static_cast<PBOpType>(e.op())) {
            case PBOpType::SET:
            case PBOpType::APPEND:
            case PBOpType::INSERT:
            case PBOpType::UPDATE:
                if (e.index() >= static_cast<uint32_t>(cur.size())) {
                    CFG_ERROR_CODE(
                        "LCP00028",
                        "Decoder: %1, msg size not match, op msg index %2 monitor update msg: %3",
                        errorName, k, in.update.ShortDebugString());
                    return;
                }
                emit(cur.Get(static_cast<int>(e.index())), true);
                break;
            case PBOpType::REMOVE:
            case PBOpType::CLEAR:
                if (e.old_index() >= static_cast<uint32_t>(old.size())) {
                    CFG_ERROR_CODE("LCP00028",
                                   "Decoder: %1, old msg size not match, op msg index %2 old msg "
                                   "index %3, monitor "
                                   "update msg: %4",
                                   errorName, k, e.old_index(), in.update.ShortDebugString());
                    return;
                }
                emit(old.Get(static_cast<int>(e.old_index())), false);
                break;
            default:
                break;
        }
    };
    if (lop.entries_size() > 0) {
        for (int k = 0; k < lop.entries_size(); ++k)
            one(lop.entries(k), k);
        return;
    }
    switch (static_cast<PBOpType>(lop.op())) {
        case PBOpType::SET:
            for (const Entry& e : old)
                emit(e, false);
            for (const Entry& e : cur)
                emit(e, true);
            break;
        case PBOpType::CLEAR:
            for (const Entry& e : old)
                emit(e, false);
            break;
        case PBOpType::APPEND:
        case PBOpType::INSERT:
        case PBOpType::UPDATE:
        case PBOpType::REMOVE:
            // A single-entry change addressed by the list-level index.
            one(lop, 0);
            break;
        default:
            break;
    }
}

// The same for one singular field: `has(b)` tells whether body b holds a value. SET removes the
// old value (when the old body holds one) and adds the new one; CLEAR and REMOVE remove the old
// value. Missing values log "Decoder: <name>, set has no value, ..." or "... clear has no old
// value, ..." (LCP00028); on an object removal a missing old value is silent.
template <class Body, class Has, class Emit>
void ExpandField(const Input& in, const pb::OpMsg& fop, bool objectClear, const Body& cur,
                 const Body& old, const char* errorName, Has&& has, Emit&& emit) {
    if (objectClear) {
        if (has(old))
            emit(old, false);
        return;
    }
    switch (static_cast<PBOpType>(fop.op())) {
        case PBOpType::SET:
        case PBOpType::UPDATE:
            if (!has(cur)) {
                CFG_ERROR_CODE("LCP00028", "Decoder: %1, set has no value, monitor update msg: %2",
                               errorName, in.update.ShortDebugString());
                return;
            }
            if (has(old))
                emit(old, false);
            emit(cur, true);
            break;
        case PBOpType::CLEAR:
        case PBOpType::REMOVE:
            if (!has(old)) {
                CFG_ERROR_CODE("LCP00028",
                               "Decoder: %1, clear has no old value, monitor update msg: %2",
                               errorName, in.update.ShortDebugString());
                return;
            }
            emit(old, false);
            break;
        default:
            break;
    }
}

}  // namespace CfgAgent::decode

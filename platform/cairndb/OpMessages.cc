#include "platform/cairndb/OpMessages.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "proto/cairndb_types.pb.h"

namespace ozy::cairndb {

namespace pb = orvane::ozy::cairndb;
using google::protobuf::Descriptor;
using google::protobuf::Reflection;

namespace {

// A comparable key of one value (index < 0: the singular field).
std::string ValueKey(const Message& m, const FieldDescriptor* f, int index) {
    const Reflection* r = m.GetReflection();
    const bool rep = index >= 0;
    switch (f->cpp_type()) {
        case FieldDescriptor::CPPTYPE_INT32:
            return std::to_string(rep ? r->GetRepeatedInt32(m, f, index) : r->GetInt32(m, f));
        case FieldDescriptor::CPPTYPE_INT64:
            return std::to_string(rep ? r->GetRepeatedInt64(m, f, index) : r->GetInt64(m, f));
        case FieldDescriptor::CPPTYPE_UINT32:
            return std::to_string(rep ? r->GetRepeatedUInt32(m, f, index) : r->GetUInt32(m, f));
        case FieldDescriptor::CPPTYPE_UINT64:
            return std::to_string(rep ? r->GetRepeatedUInt64(m, f, index) : r->GetUInt64(m, f));
        case FieldDescriptor::CPPTYPE_DOUBLE: {
            double v = rep ? r->GetRepeatedDouble(m, f, index) : r->GetDouble(m, f);
            return std::string(reinterpret_cast<const char*>(&v), sizeof v);
        }
        case FieldDescriptor::CPPTYPE_FLOAT: {
            float v = rep ? r->GetRepeatedFloat(m, f, index) : r->GetFloat(m, f);
            return std::string(reinterpret_cast<const char*>(&v), sizeof v);
        }
        case FieldDescriptor::CPPTYPE_BOOL:
            return (rep ? r->GetRepeatedBool(m, f, index) : r->GetBool(m, f)) ? "1" : "0";
        case FieldDescriptor::CPPTYPE_ENUM:
            return std::to_string(rep ? r->GetRepeatedEnumValue(m, f, index)
                                      : r->GetEnumValue(m, f));
        case FieldDescriptor::CPPTYPE_STRING:
            return rep ? r->GetRepeatedString(m, f, index) : r->GetString(m, f);
        case FieldDescriptor::CPPTYPE_MESSAGE: {
            std::string out;
            (rep ? r->GetRepeatedMessage(m, f, index) : r->GetMessage(m, f))
                .SerializeToString(&out);
            return out;
        }
    }
    return std::string();
}

// Whether entry `ia` of list `f` in `a` equals entry `ib` of the same list in `b`; messages are
// compared serialized into buffers kept between calls, so that long lists cost no allocation per
// entry.
bool EntriesEqual(const Message& a, int ia, const Message& b, int ib, const FieldDescriptor* f) {
    if (f->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) {
        return ValueKey(a, f, ia) == ValueKey(b, f, ib);
    }
    thread_local std::string left;
    thread_local std::string right;
    const Message& ea = a.GetReflection()->GetRepeatedMessage(a, f, ia);
    const Message& eb = b.GetReflection()->GetRepeatedMessage(b, f, ib);
    if (ea.ByteSizeLong() != eb.ByteSizeLong()) {
        return false;
    }
    ea.SerializeToString(&left);
    eb.SerializeToString(&right);
    return left == right;
}

void AddValueFrom(const Message& from, const FieldDescriptor* f, int index, Message* to) {
    const Reflection* fr = from.GetReflection();
    const Reflection* tr = to->GetReflection();
    switch (f->cpp_type()) {
        case FieldDescriptor::CPPTYPE_INT32:
            tr->AddInt32(to, f, fr->GetRepeatedInt32(from, f, index));
            break;
        case FieldDescriptor::CPPTYPE_INT64:
            tr->AddInt64(to, f, fr->GetRepeatedInt64(from, f, index));
            break;
        case FieldDescriptor::CPPTYPE_UINT32:
            tr->AddUInt32(to, f, fr->GetRepeatedUInt32(from, f, index));
            break;
        case FieldDescriptor::CPPTYPE_UINT64:
            tr->AddUInt64(to, f, fr->GetRepeatedUInt64(from, f, index));
            break;
        case FieldDescriptor::CPPTYPE_DOUBLE:
            tr->AddDouble(to, f, fr->GetRepeatedDouble(from, f, index));
            break;
        case FieldDescriptor::CPPTYPE_FLOAT:
            tr->AddFloat(to, f, fr->GetRepeatedFloat(from, f, index));
            break;
        case FieldDescriptor::CPPTYPE_BOOL:
            tr->AddBool(to, f, fr->GetRepeatedBool(from, f, index));
            break;
        case FieldDescriptor::CPPTYPE_ENUM:
            tr->AddEnumValue(to, f, fr->GetRepeatedEnumValue(from, f, index));
            break;
        case FieldDescriptor::CPPTYPE_STRING:
            tr->AddString(to, f, fr->GetRepeatedString(from, f, index));
            break;
        case FieldDescriptor::CPPTYPE_MESSAGE:
            tr->AddMessage(to, f)->CopyFrom(fr->GetRepeatedMessage(from, f, index));
            break;
    }
}

void CopyField(const Message& from, const FieldDescriptor* f, Message* to) {
    const Reflection* r = to->GetReflection();
    r->ClearField(to, f);
    if (!FieldPresent(from, f)) {
        return;
    }
    if (f->is_repeated()) {
        int n = from.GetReflection()->FieldSize(from, f);
        for (int i = 0; i < n; ++i) {
            AddValueFrom(from, f, i, to);
        }
        return;
    }
    // Singular: copy through a scratch message so that every scalar type and presence kind is
    // handled by the library itself.
    std::unique_ptr<Message> scratch(from.New());
    scratch->CopyFrom(from);
    r->SwapFields(scratch.get(), to, {f});
}

pb::OpMsg* FieldOp(Message* op, const std::string& name) {
    const FieldDescriptor* of = op->GetDescriptor()->FindFieldByName(name);
    if (of == nullptr || of->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE ||
        of->message_type() != pb::OpMsg::descriptor() || of->is_repeated()) {
        return nullptr;
    }
    return static_cast<pb::OpMsg*>(op->GetReflection()->MutableMessage(op, of));
}

const pb::OpMsg* FieldOpConst(const Message& op, const FieldDescriptor* of) {
    if (of->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE ||
        of->message_type() != pb::OpMsg::descriptor() || of->is_repeated()) {
        return nullptr;
    }
    const Reflection* r = op.GetReflection();
    if (!r->HasField(op, of)) {
        return nullptr;
    }
    return static_cast<const pb::OpMsg*>(&r->GetMessage(op, of));
}

void SetObjectOp(Message* op, pb::PBOpType value) {
    if (pb::OpMsg* o = FieldOp(op, "op")) {
        o->set_op(value);
    }
}

}  // namespace

bool FieldPresent(const Message& m, const FieldDescriptor* f) {
    const Reflection* r = m.GetReflection();
    return f->is_repeated() ? r->FieldSize(m, f) > 0 : r->HasField(m, f);
}

bool FieldEquals(const Message& a, const Message& b, const FieldDescriptor* f) {
    const Reflection* ra = a.GetReflection();
    const Reflection* rb = b.GetReflection();
    if (f->is_repeated()) {
        int n = ra->FieldSize(a, f);
        if (n != rb->FieldSize(b, f)) {
            return false;
        }
        for (int i = 0; i < n; ++i) {
            if (!EntriesEqual(a, i, b, i, f)) {
                return false;
            }
        }
        return true;
    }
    bool ha = ra->HasField(a, f);
    if (ha != rb->HasField(b, f)) {
        return false;
    }
    return !ha || ValueKey(a, f, -1) == ValueKey(b, f, -1);
}

void DeriveOpMessage(const Message* oldBody, const Message* newBody, Message* op) {
    op->Clear();
    const Message* any = newBody != nullptr ? newBody : oldBody;
    if (any == nullptr) {
        return;
    }
    SetObjectOp(op, newBody != nullptr ? pb::SET : pb::CLEAR);
    const Descriptor* d = any->GetDescriptor();
    for (int i = 0; i < d->field_count(); ++i) {
        const FieldDescriptor* f = d->field(i);
        bool hadOld = oldBody != nullptr && FieldPresent(*oldBody, f);
        bool hasNew = newBody != nullptr && FieldPresent(*newBody, f);
        pb::PBOpType value = pb::INVALID;
        if (hasNew) {
            if (!hadOld || !FieldEquals(*oldBody, *newBody, f)) {
                value = pb::SET;
            }
        } else if (hadOld) {
            value = pb::CLEAR;
        }
        if (value != pb::INVALID) {
            if (pb::OpMsg* fo = FieldOp(op, f->name())) {
                fo->set_op(value);
            }
        }
    }
}

void DeriveListOpMessage(const Message& oldBody, const Message& newBody, Message* op) {
    op->Clear();
    SetObjectOp(op, pb::SET);
    const Descriptor* d = newBody.GetDescriptor();
    for (int i = 0; i < d->field_count(); ++i) {
        const FieldDescriptor* f = d->field(i);
        if (FieldEquals(oldBody, newBody, f)) {
            continue;
        }
        pb::OpMsg* fo = FieldOp(op, f->name());
        if (fo == nullptr) {
            continue;
        }
        if (!f->is_repeated()) {
            fo->set_op(FieldPresent(newBody, f) ? pb::SET : pb::CLEAR);
            continue;
        }
        // Multiset difference: each old entry is matched by at most one equal new entry. Entries
        // of a common prefix match each other (the same pairs the difference would make), so only
        // the rest is hashed: a list that grew at its end costs one comparison per old entry.
        int newSize = newBody.GetReflection()->FieldSize(newBody, f);
        int oldSize = oldBody.GetReflection()->FieldSize(oldBody, f);
        int prefix = 0;
        while (prefix < oldSize && prefix < newSize &&
               EntriesEqual(oldBody, prefix, newBody, prefix, f)) {
            ++prefix;
        }
        bool removed = false;
        bool appended = false;
        if (prefix == oldSize || prefix == newSize) {
            // One list is the other's start: the rest of the longer one is all appended (or all
            // removed), nothing to match.
            for (int k = prefix; k < oldSize; ++k) {
                pb::OpMsg* e = fo->add_entries();
                e->set_op(pb::REMOVE);
                e->set_old_index(static_cast<uint32_t>(k));
                removed = true;
            }
            for (int k = prefix; k < newSize; ++k) {
                pb::OpMsg* e = fo->add_entries();
                e->set_op(pb::APPEND);
                e->set_index(static_cast<uint32_t>(k));
            }
            fo->set_op(removed ? pb::REMOVE : pb::APPEND);
            continue;
        }
        std::unordered_map<std::string, int> unmatched;
        for (int k = prefix; k < newSize; ++k) {
            ++unmatched[ValueKey(newBody, f, k)];
        }
        for (int k = prefix; k < oldSize; ++k) {
            auto it = unmatched.find(ValueKey(oldBody, f, k));
            if (it != unmatched.end() && it->second > 0) {
                --it->second;
                continue;
            }
            pb::OpMsg* e = fo->add_entries();
            e->set_op(pb::REMOVE);
            e->set_old_index(static_cast<uint32_t>(k));
            removed = true;
        }
        // New entries beyond the matched ones are appended; walk from the back so that among equal
        // entries the later ones are the new ones.
        std::vector<int> appendedIdx;
        for (int k = newSize - 1; k >= prefix; --k) {
            auto it = unmatched.find(ValueKey(newBody, f, k));
            if (it->second > 0) {
                --it->second;
                appendedIdx.push_back(k);
            }
        }
        for (auto it = appendedIdx.rbegin(); it != appendedIdx.rend(); ++it) {
            pb::OpMsg* e = fo->add_entries();
            e->set_op(pb::APPEND);
            e->set_index(static_cast<uint32_t>(*it));
            appended = true;
        }
        fo->set_op(removed && appended ? pb::UPDATE : (removed ? pb::REMOVE : pb::APPEND));
    }
}

void ListSizes(const Message& body, std::vector<int>* sizes) {
    const Descriptor* d = body.GetDescriptor();
    sizes->assign(static_cast<size_t>(d->field_count()), 0);
    for (int i = 0; i < d->field_count(); ++i) {
        if (d->field(i)->is_repeated())
            (*sizes)[static_cast<size_t>(i)] = body.GetReflection()->FieldSize(body, d->field(i));
    }
}

void DeriveAppendOpMessage(const Message& newBody, const std::vector<int>& oldSizes, Message* op) {
    op->Clear();
    SetObjectOp(op, pb::SET);
    const Descriptor* d = newBody.GetDescriptor();
    for (int i = 0; i < d->field_count() && static_cast<size_t>(i) < oldSizes.size(); ++i) {
        const FieldDescriptor* f = d->field(i);
        if (!f->is_repeated())
            continue;
        const int oldSize = oldSizes[static_cast<size_t>(i)];
        const int newSize = newBody.GetReflection()->FieldSize(newBody, f);
        pb::OpMsg* fo = newSize > oldSize ? FieldOp(op, f->name()) : nullptr;
        if (fo == nullptr)
            continue;
        for (int k = oldSize; k < newSize; ++k) {
            pb::OpMsg* e = fo->add_entries();
            e->set_op(pb::APPEND);
            e->set_index(static_cast<uint32_t>(k));
        }
        fo->set_op(pb::APPEND);
    }
}

namespace {

void PutVarint(uint64_t v, std::string* out) {
    while (v >= 0x80) {
        out->push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out->push_back(static_cast<char>(v));
}

size_t VarintSize(uint64_t v) {
    size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

// An OpMsg field of an op class (the object's or a field's operation).
bool IsOpField(const FieldDescriptor* of) {
    return of != nullptr && of->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE &&
           of->message_type() == pb::OpMsg::descriptor() && !of->is_repeated();
}

}  // namespace

std::string AppendOpMessageBytes(const Descriptor* body, const Descriptor* op,
                                 const std::vector<int>& oldSizes,
                                 const std::vector<int>& newSizes) {
    // The op class's fields in the order its serialization writes them: by number.
    std::vector<const FieldDescriptor*> fields;
    for (int i = 0; i < op->field_count(); ++i)
        fields.push_back(op->field(i));
    std::sort(fields.begin(), fields.end(), [](const FieldDescriptor* a, const FieldDescriptor* b) {
        return a->number() < b->number();
    });
    std::string out;
    std::string content;
    for (const FieldDescriptor* of : fields) {
        if (!IsOpField(of))
            continue;
        content.clear();
        if (of->name() == "op") {
            content.push_back(0x08);  // OpMsg.op
            PutVarint(pb::SET, &content);
        } else {
            const FieldDescriptor* f = body->FindFieldByName(of->name());
            if (f == nullptr || !f->is_repeated())
                continue;
            const auto i = static_cast<size_t>(f->index());
            if (i >= oldSizes.size() || i >= newSizes.size() || newSizes[i] <= oldSizes[i])
                continue;
            content.push_back(0x08);  // OpMsg.op, then OpMsg.entries: {op, index (left out at 0)}
            PutVarint(pb::APPEND, &content);
            // At most 9 bytes an entry: its tag, length, op and index (a 32-bit index: 5 bytes).
            content.reserve(content.size() + static_cast<size_t>(newSizes[i] - oldSizes[i]) * 9);
            for (int k = oldSizes[i]; k < newSizes[i]; ++k) {
                const auto index = static_cast<uint32_t>(k);
                const size_t inner =
                    1 + VarintSize(pb::APPEND) + (index != 0 ? 1 + VarintSize(index) : 0);
                content.push_back(0x12);
                PutVarint(inner, &content);
                content.push_back(0x08);
                PutVarint(pb::APPEND, &content);
                if (index != 0) {
                    content.push_back(0x18);
                    PutVarint(index, &content);
                }
            }
        }
        out.reserve(out.size() + content.size() + 10);
        PutVarint((static_cast<uint64_t>(of->number()) << 3) | 2, &out);
        PutVarint(content.size(), &out);
        out.append(content);
    }
    return out;
}

int LastField(const Message& body) {
    const Reflection* r = body.GetReflection();
    if (!r->GetUnknownFields(body).empty())
        return -1;
    std::vector<const FieldDescriptor*> present;
    r->ListFields(body, &present);
    int last = 0;
    for (const FieldDescriptor* f : present)
        last = std::max(last, f->number());
    return last;
}

bool OnlyAppends(const Message& op) {
    const Descriptor* d = op.GetDescriptor();
    for (int i = 0; i < d->field_count(); ++i) {
        const FieldDescriptor* f = d->field(i);
        if (f->number() == 1)
            continue;  // the object operation
        const pb::OpMsg* fo = FieldOpConst(op, f);
        if (fo != nullptr && fo->op() != pb::INVALID && fo->op() != pb::APPEND)
            return false;
    }
    return true;
}

bool TouchesSelectedField(const Message& op, const Message& selectTemplate) {
    const Descriptor* d = op.GetDescriptor();
    if (selectTemplate.GetDescriptor() != d) {
        return true;
    }
    for (int i = 0; i < d->field_count(); ++i) {
        const FieldDescriptor* f = d->field(i);
        if (f->number() == 1) {
            continue;  // the object operation
        }
        const pb::OpMsg* sel = FieldOpConst(selectTemplate, f);
        if (sel == nullptr || sel->op() != pb::SELECT) {
            continue;
        }
        const pb::OpMsg* change = FieldOpConst(op, f);
        if (change != nullptr && (change->op() != pb::INVALID || change->entries_size() > 0)) {
            return true;
        }
    }
    return false;
}

namespace {

// Removes the entries of list `f` of `target` whose value is in `drop`, in one pass.
void RemoveEntries(const std::unordered_set<std::string>& drop, const FieldDescriptor* f,
                   Message* target) {
    const Reflection* r = target->GetReflection();
    int size = r->FieldSize(*target, f);
    int kept = 0;
    for (int k = 0; k < size; ++k) {
        if (drop.count(ValueKey(*target, f, k)) != 0) {
            continue;
        }
        if (kept != k) {
            r->SwapElements(target, f, kept, k);
        }
        ++kept;
    }
    for (int k = kept; k < size; ++k) {
        r->RemoveLast(target, f);
    }
}

// True when the patch only appends to lists of messages and everything else the partial body holds
// is already so in `target` (the object's id): applying it is merging the partial body into the
// target, which the generated code does without reflection per entry.
bool MergeAppends(const Message& op, const Message& partial, const Message& target) {
    const Reflection* pr = partial.GetReflection();
    if (!pr->GetUnknownFields(partial).empty())
        return false;
    const Descriptor* body = partial.GetDescriptor();
    const Descriptor* od = op.GetDescriptor();
    bool appends = false;
    for (int i = 0; i < body->field_count(); ++i) {
        const FieldDescriptor* f = body->field(i);
        const FieldDescriptor* of = od->FindFieldByName(f->name());
        const pb::OpMsg* fo = of != nullptr ? FieldOpConst(op, of) : nullptr;
        const pb::PBOpType value = fo != nullptr ? fo->op() : pb::INVALID;
        if (value == pb::APPEND) {
            if (!f->is_repeated() || f->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE)
                return false;
            appends = true;
        } else if (value != pb::INVALID) {
            return false;
        } else if (FieldPresent(partial, f) &&
                   (f->is_repeated() || !FieldEquals(partial, target, f))) {
            return false;
        }
    }
    return appends;
}

}  // namespace

bool ApplyPatch(const Message& op, const Message& partial, Message* target, bool* listOps,
                std::string* error) {
    const Descriptor* body = target->GetDescriptor();
    if (partial.GetDescriptor() != body) {
        *error = "partial body of another class";
        return false;
    }
    if (MergeAppends(op, partial, *target)) {
        target->MergeFrom(partial);
        *listOps = true;
        return true;
    }
    const Descriptor* od = op.GetDescriptor();
    for (int i = 0; i < body->field_count(); ++i) {
        const FieldDescriptor* f = body->field(i);
        const FieldDescriptor* of = od->FindFieldByName(f->name());
        if (of == nullptr) {
            continue;
        }
        const pb::OpMsg* fo = FieldOpConst(op, of);
        if (fo == nullptr || fo->op() == pb::INVALID) {
            continue;
        }
        const Reflection* r = target->GetReflection();
        switch (fo->op()) {
            case pb::SET:
                CopyField(partial, f, target);
                break;
            case pb::CLEAR:
                r->ClearField(target, f);
                break;
            case pb::APPEND: {
                if (!f->is_repeated()) {
                    *error = "APPEND on field " + f->name() + ", which is not a list";
                    return false;
                }
                int n = partial.GetReflection()->FieldSize(partial, f);
                for (int k = 0; k < n; ++k) {
                    AddValueFrom(partial, f, k, target);
                }
                *listOps = true;
                break;
            }
            case pb::REMOVE: {
                if (!f->is_repeated()) {
                    *error = "REMOVE on field " + f->name() + ", which is not a list";
                    return false;
                }
                std::unordered_set<std::string> drop;
                int n = partial.GetReflection()->FieldSize(partial, f);
                for (int k = 0; k < n; ++k) {
                    drop.insert(ValueKey(partial, f, k));
                }
                RemoveEntries(drop, f, target);
                *listOps = true;
                break;
            }
            default:
                *error = "unsupported patch operation " + pb::PBOpType_Name(fo->op()) +
                         " on field " + f->name();
                return false;
        }
    }
    return true;
}

bool OnlyRemoves(const Message& op, const Message& partial) {
    const Descriptor* body = partial.GetDescriptor();
    const Descriptor* od = op.GetDescriptor();
    bool any = false;
    for (int i = 0; i < od->field_count(); ++i) {
        const FieldDescriptor* of = od->field(i);
        const pb::OpMsg* fo = of->number() == 1 ? nullptr : FieldOpConst(op, of);  // 1: the object
        if (fo == nullptr || fo->op() == pb::INVALID) {
            continue;
        }
        const FieldDescriptor* f = body->FindFieldByName(of->name());
        if (fo->op() != pb::REMOVE || f == nullptr || !f->is_repeated()) {
            return false;
        }
        any = true;
    }
    return any;
}

void GatherRemovals(const Message& op, const Message& partial, Removals* removals) {
    const Descriptor* body = partial.GetDescriptor();
    const Descriptor* od = op.GetDescriptor();
    for (int i = 0; i < od->field_count(); ++i) {
        const FieldDescriptor* of = od->field(i);
        const pb::OpMsg* fo = of->number() == 1 ? nullptr : FieldOpConst(op, of);
        const FieldDescriptor* f = body->FindFieldByName(of->name());
        if (fo == nullptr || fo->op() != pb::REMOVE || f == nullptr || !f->is_repeated()) {
            continue;
        }
        std::unordered_set<std::string>& drop = (*removals)[f];
        int n = partial.GetReflection()->FieldSize(partial, f);
        for (int k = 0; k < n; ++k) {
            drop.insert(ValueKey(partial, f, k));
        }
    }
}

void ApplyRemovals(Removals* removals, Message* target) {
    for (const auto& [f, drop] : *removals) {
        if (f->containing_type() == target->GetDescriptor())
            RemoveEntries(drop, f, target);
    }
    removals->clear();
}

}  // namespace ozy::cairndb

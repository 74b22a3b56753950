#pragma once
// Op messages by reflection. Every op class mirrors its body class (`OpMsg op = 1` for the object,
// one OpMsg per body field); these functions derive op messages from old and new bodies, filter
// changes by select templates, and apply patches to bodies, for any object type.
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

namespace google::protobuf {
class Descriptor;
class Message;
class FieldDescriptor;
}  // namespace google::protobuf

namespace ozy::cairndb {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

// Fills `op` (an op class instance, cleared first) for a change from `oldBody` to `newBody`:
// insert (old null): object SET and SET for every present field; delete (new null): object CLEAR
// and CLEAR for every field the old body had; modify: object SET, SET for every field that
// changed and is present, CLEAR for every field that vanished. Lists are compared as wholes.
void DeriveOpMessage(const Message* oldBody, const Message* newBody, Message* op);

// Like DeriveOpMessage for a modify, but lists that changed carry per-entry operations: REMOVE
// entries with `old_index` for old entries that are gone, APPEND entries with `index` for new
// entries; the list's own op is APPEND, REMOVE, or UPDATE when both occur. Used for rows written
// by list-level patches, whose readers want the changed entries, not the whole list.
void DeriveListOpMessage(const Message& oldBody, const Message& newBody, Message* op);

// What DeriveListOpMessage gives for a body whose lists only grew at their ends since they were
// `oldSizes` long (by field index) and whose other fields did not change, without the old body:
// APPEND entries for the entries past the old lengths.
void DeriveAppendOpMessage(const Message& newBody, const std::vector<int>& oldSizes, Message* op);

// The serialization of the op message DeriveAppendOpMessage gives for a body of class `body`
// (op class `op`) whose lists grew from `oldSizes` to `newSizes` (by field index), written from the
// lengths alone, byte for byte what that message's serialization writes.
std::string AppendOpMessageBytes(const google::protobuf::Descriptor* body,
                                 const google::protobuf::Descriptor* op,
                                 const std::vector<int>& oldSizes,
                                 const std::vector<int>& newSizes);

// The lengths of `body`'s lists by field index (0 for the fields that are no list).
void ListSizes(const Message& body, std::vector<int>* sizes);

// The number of the last field `body` holds (0 for none), or -1 when it holds unknown fields
// (their bytes follow the known ones in its serialization).
int LastField(const Message& body);

// True when every field operation of the patch op message `op` is an APPEND (or none).
bool OnlyAppends(const Message& op);

// True when `op` carries an operation on at least one field that `selectTemplate` (an op message
// of the same class) marks SELECT.
bool TouchesSelectedField(const Message& op, const Message& selectTemplate);

// Applies a patch: for every field whose op in `op` is SET (copy the field from `partial`), CLEAR
// (clear it), APPEND (append `partial`'s entries) or REMOVE (remove the entries equal to one of
// `partial`'s). `listOps` is set when APPEND or REMOVE was used. False (and `error`) for any other
// operation or a list operation on a field that is not a list; `target` is then unspecified.
bool ApplyPatch(const Message& op, const Message& partial, Message* target, bool* listOps,
                std::string* error);

// Entries to remove gathered from consecutive REMOVE patches of one body, by list field: applied
// together they cost one pass over each list instead of one per patch (many small removals from a
// long list would otherwise be quadratic), with the same result as applying them one by one.
using Removals = std::map<const FieldDescriptor*, std::unordered_set<std::string>>;
// True when `op` has field operations and every one is a REMOVE on a list field of `partial`'s
// class (what GatherRemovals takes; anything else goes through ApplyPatch).
bool OnlyRemoves(const Message& op, const Message& partial);
// Adds the entries such a patch removes to `removals`.
void GatherRemovals(const Message& op, const Message& partial, Removals* removals);
// Removes from `target` the entries equal to one gathered, then forgets them.
void ApplyRemovals(Removals* removals, Message* target);

// Field presence (a list counts as present when it has entries) and equality.
bool FieldPresent(const Message& m, const FieldDescriptor* f);
bool FieldEquals(const Message& a, const Message& b, const FieldDescriptor* f);

}  // namespace ozy::cairndb

#pragma once
// The database's oid column of an object: the identifier text of its body's `id`.
#include <string>

#include "proto/CairndbSchema.h"

namespace ozy::cairndb {

// The 8-4-4-4-12 text of the `id` of `bytes`, a serialized body of `info`'s type; false (and the
// reason) when the body does not parse or has no id.
bool BodyOid(const ObjectTypeInfo& info, const std::string& bytes, std::string* oid,
             std::string* error);

}  // namespace ozy::cairndb

#pragma once
// Reading the results of OVSDB transact requests. Internal to the client library.
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/cairndb/CairnDbClientInterface.h"

namespace ozy::cairndb {

// The first failure of a transact result array ("error: details"), "" when every operation
// succeeded. `raced` is set when a failure means that rows changed between the list's read and its
// write ("timed out" of a wait, "constraint violation" of an insert), so the list may be run again.
std::string TransactFailure(const nlohmann::json& result, bool* raced);

// Whether `result` is a one-select transact result (its rows in result[0]["rows"]); when not, the
// reason.
bool IsSelectResult(const nlohmann::json& result, std::string* error);

// One row of a select result of `table` as a stored object; false (logged "LCP03009") when it
// does not decode.
bool DecodeStoredRow(const nlohmann::json& row, const std::string& table, StoredObject* out);

// The rows of a one-select transact result as stored objects; rows that do not decode are logged
// ("LCP03009") and skipped, and counted in `skipped`. False (and the reason) when the result is not
// a select result.
bool ParseStoredObjects(const nlohmann::json& result, const std::string& table,
                        std::vector<StoredObject>* out, std::string* error, size_t* skipped);

}  // namespace ozy::cairndb

#include "platform/cairndb/TransactReplies.h"

#include <nlohmann/json.hpp>

#include "platform/cairndb/Base64.h"
#include "platform/cairndb/LibraryLog.h"

namespace ozy::cairndb {

using nlohmann::json;

std::string TransactFailure(const json& result, bool* raced) {
    if (!result.is_array()) {
        return "malformed transact reply";
    }
    std::string failure;
    for (const auto& r : result) {
        if (!r.is_object() || !r.contains("error") || r["error"].is_null()) {
            continue;
        }
        std::string e = r["error"].is_string() ? r["error"].get<std::string>() : r["error"].dump();
        *raced = *raced || e == "timed out" || e == "constraint violation";
        if (failure.empty()) {
            failure = e;
            if (r.contains("details") && r["details"].is_string()) {
                failure += ": " + r["details"].get<std::string>();
            }
        }
    }
    return failure;
}

bool IsSelectResult(const json& result, std::string* error) {
    if (!result.is_array() || result.empty() || !result[0].is_object() ||
        !result[0].contains("rows") || !result[0]["rows"].is_array()) {
        *error = "select failed: " +
                 (result.is_array() && !result.empty() ? result[0].dump() : result.dump());
        return false;
    }
    return true;
}

bool DecodeStoredRow(const json& row, const std::string& table, StoredObject* out) {
    StoredObject o;
    bool ok = row.is_object() && row.value("oid", json()).is_string() &&
              row.value("vdb", json()).is_number_integer() &&
              row.value("body", json()).is_string() && row.value("op", json("")).is_string() &&
              row.value("trace", json("")).is_string();
    ok = ok && Base64Decode(row["body"].get_ref<const std::string&>(), &o.body) &&
         Base64Decode(row.value("op", ""), &o.op) && Base64Decode(row.value("trace", ""), &o.trace);
    if (!ok) {
        CAIRNDB_LOG_CODE(CfgAgent::kLogError, "LCP03009",
                         "CairnDbClient: skipping stored %1 row: %2", table, row.dump());
        return false;
    }
    o.oid = row["oid"].get<std::string>();
    o.vdb = row["vdb"].get<uint16_t>();
    *out = std::move(o);
    return true;
}

bool ParseStoredObjects(const json& result, const std::string& table,
                        std::vector<StoredObject>* out, std::string* error, size_t* skipped) {
    if (!IsSelectResult(result, error))
        return false;
    for (const auto& row : result[0]["rows"]) {
        StoredObject o;
        if (!DecodeStoredRow(row, table, &o)) {
            ++*skipped;
            continue;
        }
        out->push_back(std::move(o));
    }
    return true;
}

}  // namespace ozy::cairndb

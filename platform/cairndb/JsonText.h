#pragma once
// The compact text of a JSON value, character for character what nlohmann::json::dump() writes,
// made faster for long strings that need no escaping (the base64 columns of large rows): such a
// string is copied whole instead of being escaped character by character. Any other string, and
// every number, goes through dump() itself (so invalid UTF-8 throws as there).
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace ozy::cairndb {

std::string JsonText(const nlohmann::json& value);
// Appends the text of `value` to `out`.
void AppendJsonText(const nlohmann::json& value, std::string* out);

}  // namespace ozy::cairndb

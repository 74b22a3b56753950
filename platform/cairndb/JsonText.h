#pragma once
// The compact text of a JSON value, character for character what nlohmann::json::dump() writes,
// made faster for long strings that need no escaping (the base64 columns of large rows): such a
// string is copied whole instead of being escaped character by character. Any other string, and
// every number, goes through dump() itself (so invalid UTF-8 throws as there).
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace ozy::cairndb {

std::string JsonText(const nlohmann::json& value);
// Appends the text of `value` to `out`.
void AppendJsonText(const nlohmann::json& value, std::string* out);

// Strings a document refers to instead of holding them (a learned row's body and op columns are
// megabytes that the writer keeps anyway): SplicedString(k) in the document stands for texts[k].
using SplicedTexts = std::vector<std::shared_ptr<const std::string>>;
// The stand-in for texts[`index`]: a binary value (its subtype the index), which no document
// parsed from text or built of strings and numbers holds.
nlohmann::json SplicedString(size_t index);
// The text of `value` in pieces to be sent one after another, each stand-in written as the string
// it stands for: together they are JsonText of the document with the strings in place. A spliced
// string of at least kSharedTextBytes that needs no escaping is a piece of its own (the text
// shared, not copied); the rest is copied into the pieces between. Throws std::out_of_range for a
// stand-in whose index is not in `texts`.
constexpr size_t kSharedTextBytes = 4096;
std::vector<std::shared_ptr<const std::string>> JsonPieces(const nlohmann::json& value,
                                                           const SplicedTexts& texts);

}  // namespace ozy::cairndb

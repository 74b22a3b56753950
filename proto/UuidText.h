#pragma once
// The 8-4-4-4-12 text form of a UuidMsg's two halves: `left` is the first eight bytes read
// big-endian, `right` the last eight.
#include <cstdint>
#include <string>
#include <string_view>

namespace ozy::cairndb {

// Lower-case "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx".
std::string UuidText(uint64_t left, uint64_t right);
// Accepts upper or lower case hexadecimal in the 8-4-4-4-12 layout only; false otherwise.
bool ParseUuidText(std::string_view text, uint64_t* left, uint64_t* right);
// `text` in its one lower-case form; empty when it is not a uuid's text.
std::string CanonicalUuidText(std::string_view text);

}  // namespace ozy::cairndb

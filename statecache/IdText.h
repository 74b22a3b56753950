#pragma once
// Object identifiers in the state cache are the serialized UuidMsg of the object (or a natural key
// for the few types without one). Logs and dumps print them in the 8-4-4-4-12 form.
#include <string>
#include <string_view>

namespace CfgAgent {

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" when `serializedId` is a UuidMsg, otherwise "0x" followed
// by the bytes in hexadecimal ("" for an empty id).
std::string IdText(std::string_view serializedId);

// The serialized UuidMsg of a UUID text; false when the text is not in the 8-4-4-4-12 form.
bool IdFromText(std::string_view text, std::string* serializedId);

// The serialized UuidMsg of the two halves.
std::string SerializedUuid(uint64_t left, uint64_t right);

// Lower-case hexadecimal of arbitrary bytes.
std::string HexText(std::string_view bytes);

}  // namespace CfgAgent

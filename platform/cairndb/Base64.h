#pragma once
// Standard base64 (RFC 4648, with padding), as stored in the body, op and trace columns.
#include <string>
#include <string_view>

namespace ozy::cairndb {

std::string Base64Encode(std::string_view bytes);
// False for any character outside the alphabet, bad padding or a length that is not a multiple
// of four.
bool Base64Decode(std::string_view text, std::string* out);

}  // namespace ozy::cairndb

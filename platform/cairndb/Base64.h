#pragma once
// Standard base64 (RFC 4648, with padding), as stored in the body, op and trace columns.
#include <cstddef>
#include <string>
#include <string_view>

namespace ozy::cairndb {

std::string Base64Encode(std::string_view bytes);
// The encoding of `bytes`, given `text`, that of their first `from` bytes: only what follows its
// last whole group is encoded (a growing row's body is written again and again). `text` is taken
// as it is when it has the length of that encoding (and is encoded anew otherwise).
std::string Base64EncodeGrown(std::string_view text, size_t from, std::string_view bytes);
// False for any character outside the alphabet, bad padding or a length that is not a multiple
// of four.
bool Base64Decode(std::string_view text, std::string* out);

}  // namespace ozy::cairndb

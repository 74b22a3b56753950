#pragma once
// Objects as people write them: protobuf JSON of a body class, except that wherever a UuidMsg is
// expected the 8-4-4-4-12 text may stand (and is printed).
#include <string>

#include <nlohmann/json.hpp>

namespace google::protobuf {
class Message;
}

namespace ozy::cairnctl {

// Parses `value` into `msg` (cleared first). False with a reason for JSON that does not fit the
// class: unknown fields, wrong types, malformed UUID texts.
bool ObjectFromJson(const nlohmann::json& value, google::protobuf::Message* msg,
                    std::string* error);
// The object as JSON with field names as in the schema and UUIDs in text form.
nlohmann::json ObjectToJson(const google::protobuf::Message& msg);

}  // namespace ozy::cairnctl

#pragma once
// JSON rendering of stored values for the state-cache dumps. Internal to statecache/ (included by
// the tables' .cc files only, so nlohmann-json stays out of the public headers).
//
// Schema messages are rendered field by field through reflection: UuidMsg as 8-4-4-4-12 text,
// IpAddressMsg as an address text, fields named "mac" or "*_mac" as aa:bb:cc:dd:ee:ff, bytes as
// hexadecimal, enums by name. Values that do not parse are shown as {"hex": "..."}.
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "intake/CfgTypes.h"

namespace google::protobuf {
class Message;
}

namespace CfgAgent::sc {

nlohmann::json MessageJson(const google::protobuf::Message& msg);
// Parses `bytes` as a new message of the prototype's class.
nlohmann::json ParsedJson(const google::protobuf::Message& prototype, std::string_view bytes);
nlohmann::json HexJson(std::string_view bytes);
// Compact text of a dump; strings from outside that are not valid UTF-8 are repaired, not thrown
// on.
std::string DumpText(const nlohmann::json& j);

// A whole body or a partial body (property value) of an object type.
nlohmann::json BodyJson(ObjectType type, std::string_view bytes);
// An L2 entry of a property (L2_VM_IP .. L2_VTEP_GROUP).
nlohmann::json L2EntryJson(PropertyType property, std::string_view bytes);
// An L3 value: property 0 is the body; the L3 properties have their entry classes.
nlohmann::json L3ValueJson(ObjectType type, PropertyType property, std::string_view bytes);

// The schema name of a type, or its number.
std::string TypeName(ObjectType type);
std::string PropertyName(PropertyType property);

}  // namespace CfgAgent::sc

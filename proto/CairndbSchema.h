#pragma once
// The object-type table of the cairndb schema: for every ObjectType its name, body class and op
// class, and the database schema generated from it.
//
// Every table of the database is named after an ObjectType value and has the columns oid (the
// object's identifier in text form), vdb (1..65535), body (base64 of the serialized body), op
// (base64 of an explicit op message, "" when none) and trace (base64 of a SpanContextMsg, "" when
// none), with the index [oid, vdb].
#include <string>
#include <string_view>
#include <vector>

namespace google::protobuf {
class Message;
}

namespace ozy::cairndb {

constexpr const char* kDatabaseName = "cairndb";

struct ObjectTypeInfo {
    int type;                               // orvane::ozy::cairndb::ObjectType value
    std::string name;                       // "LOG_SWITCH_CONFIG"; also the table name
    const google::protobuf::Message* body;  // default instance of the body class
    const google::protobuf::Message* op;    // default instance of the op class
};

// Every object type except OBJECT_TYPE_INVALID, in ascending value order.
const std::vector<ObjectTypeInfo>& AllObjectTypes();
// nullptr for OBJECT_TYPE_INVALID and for values or names that are not object types.
const ObjectTypeInfo* FindObjectType(int type);
const ObjectTypeInfo* FindObjectType(std::string_view name);

// The OVSDB schema of the database (JSON text), one table per object type.
std::string CairndbSchemaJson();

}  // namespace ozy::cairndb

// The schema's conventions, checked by reflection so that a class added or extended later cannot
// drift: every object type has a body and an op class, every op class mirrors its body, the agent's
// enums carry the schema's values, and the database schema has one table per type.
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <nlohmann/json.hpp>

#include "intake/CfgTypes.h"
#include "proto/CairndbSchema.h"
#include "proto/UuidText.h"
#include "proto/cairndb_monitor.pb.h"
#include "proto/cairndb_types.pb.h"

namespace {

namespace pb = orvane::ozy::cairndb;
using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;

TEST(SchemaConventionTest, AgentObjectTypesEqualSchemaEnum) {
    const auto* desc = pb::ObjectType_descriptor();
    size_t count = 0;
    const CfgAgent::ObjectType* values = CfgAgent::AllObjectTypeValues(&count);
    EXPECT_EQ(count, static_cast<size_t>(desc->value_count()));
    for (size_t i = 0; i < count; ++i) {
        uint32_t v = static_cast<uint32_t>(values[i]);
        const auto* ev = desc->FindValueByNumber(static_cast<int>(v));
        ASSERT_NE(ev, nullptr) << "schema lacks value " << v;
        EXPECT_EQ(ev->name(), CfgAgent::ObjectTypeName(v));
    }
    for (int i = 0; i < desc->value_count(); ++i) {
        const auto* ev = desc->value(i);
        const char* name = CfgAgent::ObjectTypeName(static_cast<uint32_t>(ev->number()));
        ASSERT_NE(name, nullptr) << "agent lacks " << ev->name();
        EXPECT_EQ(ev->name(), name);
    }
}

TEST(SchemaConventionTest, AgentOpTypesEqualSchemaEnum) {
    const auto* desc = pb::PBOpType_descriptor();
    for (int i = 0; i < desc->value_count(); ++i) {
        EXPECT_EQ(CfgAgent::PBOpTypeToString(static_cast<uint32_t>(desc->value(i)->number())),
                  desc->value(i)->name());
    }
    EXPECT_EQ(desc->value_count(), 13);
}

TEST(SchemaConventionTest, EveryTypeHasBodyAndOpClassNamedByConvention) {
    const auto* desc = pb::ObjectType_descriptor();
    EXPECT_EQ(ozy::cairndb::AllObjectTypes().size(), static_cast<size_t>(desc->value_count() - 1));
    EXPECT_EQ(ozy::cairndb::FindObjectType(0), nullptr);
    for (const auto& info : ozy::cairndb::AllObjectTypes()) {
        ASSERT_NE(desc->FindValueByNumber(info.type), nullptr);
        const Descriptor* body = info.body->GetDescriptor();
        const Descriptor* op = info.op->GetDescriptor();
        ASSERT_GT(body->name().size(), 3u);
        EXPECT_EQ(body->name().substr(body->name().size() - 3), "Msg") << body->name();
        EXPECT_EQ(op->name(), body->name().substr(0, body->name().size() - 3) + "OpMsg");
        const FieldDescriptor* id = body->FindFieldByName("id");
        ASSERT_NE(id, nullptr) << body->name();
        EXPECT_EQ(id->number(), 1) << body->name();
        EXPECT_EQ(id->message_type(), pb::UuidMsg::descriptor()) << body->name();
        EXPECT_EQ(ozy::cairndb::FindObjectType(info.name), &info);
    }
}

// Op class: `OpMsg op = 1` and, per body field X numbered n, `OpMsg X = n + 1`; nothing else.
void ExpectOpMirrorsBody(const Descriptor* body, const Descriptor* op) {
    SCOPED_TRACE(op->full_name());
    const FieldDescriptor* objOp = op->FindFieldByNumber(1);
    ASSERT_NE(objOp, nullptr);
    EXPECT_EQ(objOp->name(), "op");
    EXPECT_EQ(objOp->message_type(), pb::OpMsg::descriptor());
    EXPECT_EQ(op->field_count(), body->field_count() + 1);
    for (int i = 0; i < body->field_count(); ++i) {
        const FieldDescriptor* bf = body->field(i);
        const FieldDescriptor* of = op->FindFieldByName(bf->name());
        ASSERT_NE(of, nullptr) << "missing op field " << bf->name();
        EXPECT_EQ(of->number(), bf->number() + 1) << bf->name();
        EXPECT_EQ(of->message_type(), pb::OpMsg::descriptor()) << bf->name();
        EXPECT_FALSE(of->is_repeated()) << bf->name();
    }
}

TEST(SchemaConventionTest, EveryOpClassMirrorsItsBody) {
    for (const auto& info : ozy::cairndb::AllObjectTypes()) {
        ExpectOpMirrorsBody(info.body->GetDescriptor(), info.op->GetDescriptor());
    }
    ExpectOpMirrorsBody(pb::UuidMsg::descriptor(), pb::UuidOpMsg::descriptor());
}

TEST(SchemaConventionTest, DatabaseSchemaHasOneTablePerType) {
    auto schema = nlohmann::json::parse(ozy::cairndb::CairndbSchemaJson());
    EXPECT_EQ(schema["name"], "cairndb");
    const auto& tables = schema["tables"];
    EXPECT_EQ(tables.size(), ozy::cairndb::AllObjectTypes().size());
    for (const auto& info : ozy::cairndb::AllObjectTypes()) {
        ASSERT_TRUE(tables.contains(info.name)) << info.name;
        const auto& t = tables[info.name];
        for (const char* col : {"oid", "vdb", "body", "op", "trace"}) {
            EXPECT_TRUE(t["columns"].contains(col)) << info.name << "." << col;
        }
        EXPECT_EQ(t["indexes"], nlohmann::json::parse(R"([["oid","vdb"]])"));
    }
    EXPECT_FALSE(tables.contains("OBJECT_TYPE_INVALID"));
}

TEST(UuidTextTest, RoundTripAndRejects) {
    uint64_t l = 0, r = 0;
    ASSERT_TRUE(ozy::cairndb::ParseUuidText("00000000-0000-0000-0000-0000000000a1", &l, &r));
    EXPECT_EQ(l, 0u);
    EXPECT_EQ(r, 0xa1u);
    ASSERT_TRUE(ozy::cairndb::ParseUuidText("0123ABCD-4567-89ab-cdef-0011223344FF", &l, &r));
    EXPECT_EQ(l, 0x0123abcd456789abull);
    EXPECT_EQ(r, 0xcdef0011223344ffull);
    EXPECT_EQ(ozy::cairndb::UuidText(l, r), "0123abcd-4567-89ab-cdef-0011223344ff");
    EXPECT_EQ(ozy::cairndb::CanonicalUuidText("0123ABCD-4567-89ab-cdef-0011223344FF"),
              "0123abcd-4567-89ab-cdef-0011223344ff");
    for (const char* bad :
         {"", "0123abcd456789abcdef0011223344ff", "0123abcd-4567-89ab-cdef-0011223344f",
          "0123abcd-4567-89ab-cdef-0011223344fg", "0123abcd+4567-89ab-cdef-0011223344ff",
          "0123abcd-4567-89ab-cdef-0011223344fff"}) {
        EXPECT_FALSE(ozy::cairndb::ParseUuidText(bad, &l, &r)) << bad;
        EXPECT_EQ(ozy::cairndb::CanonicalUuidText(bad), "") << bad;
    }
}

}  // namespace

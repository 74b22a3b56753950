#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "intake/CairnDBUpdateMsg.h"
#include "intake/CfgTypes.h"

namespace CfgAgent {
namespace {

const char* kUnknownObj = "UNKNOWN (Put more into ObjTypeToString)";
const char* kUnknownOp = "UNKNOWN (Put more into PBOpTypeToString)";
const char* kUnknownProp = "UNKNOWN (Put more into PropertyTypeToString)";
const char* kUnknownComp = "UNKNOWN (Put more into CompTypeToString)";

TEST(CfgTypesTest, ObjTypeToStringPrintsOnlyTheNamedTypes) {
    EXPECT_EQ(ObjTypeToString(0), "OBJECT_TYPE_INVALID");
    EXPECT_EQ(ObjTypeToString(ObjectType::LOG_SWITCH_CONFIG), "LOG_SWITCH_CONFIG");
    EXPECT_EQ(ObjTypeToString(56), "DA_VIF");
    EXPECT_EQ(ObjTypeToString(129), "CONTEXT_PROFILE");
    EXPECT_EQ(ObjTypeToString(141), "SI_SERVICE_PATH");
    // Handled types that the agent's own logs never name through this function.
    EXPECT_EQ(ObjTypeToString(12), kUnknownObj);
    EXPECT_EQ(ObjTypeToString(ObjectType::VTEP_GROUP), kUnknownObj);
    EXPECT_EQ(ObjTypeToString(ObjectType::GLOBAL_CONFIG), kUnknownObj);
    EXPECT_EQ(ObjTypeToString(ObjectType::LB_POOL), kUnknownObj);
    EXPECT_EQ(ObjTypeToString(7), kUnknownObj);
    EXPECT_EQ(ObjTypeToString(0xFFFFFFFFu), kUnknownObj);
    // The schema name is known for every type.
    EXPECT_STREQ(ObjectTypeName(12), "PREFIX_LIST");
    EXPECT_STREQ(ObjectTypeName(162), "VTEP_GROUP");
    EXPECT_EQ(ObjectTypeName(7), nullptr);
}

TEST(CfgTypesTest, PBOpTypeToStringCoversZeroToTwelve) {
    const char* names[] = {"INVALID",    "SELECT",     "EQUALS", "CONTAINS_ONE", "CONTAINS_ALL",
                           "IS_PRESENT", "NOT_EQUALS", "SET",    "CLEAR",        "INSERT",
                           "APPEND",     "REMOVE",     "UPDATE"};
    for (uint32_t i = 0; i < 13; ++i) {
        EXPECT_EQ(PBOpTypeToString(i), names[i]);
    }
    EXPECT_EQ(PBOpTypeToString(13), kUnknownOp);
    EXPECT_EQ(PBOpTypeToString(PBOpType::CLEAR), "CLEAR");
}

TEST(CfgTypesTest, PropertyTypeToStringBlocksAndGaps) {
    EXPECT_EQ(PropertyTypeToString(0), "INVALID_PROPERTY");
    EXPECT_EQ(PropertyTypeToString(500), "CONTINER_LOGICAL_SWITCH_PORT");
    EXPECT_EQ(PropertyTypeToString(25), "LS_ATTACHMENT");
    EXPECT_EQ(PropertyTypeToString(66), "LSP_REALTIME_PRP");
    EXPECT_EQ(PropertyTypeToString(550), "DA_VIF");
    EXPECT_EQ(PropertyTypeToString(601), "BFD_HA");
    EXPECT_EQ(PropertyTypeToString(406), "L3_DAD_REQ");
    for (uint32_t v : {1u,   9u,   29u,  49u,  67u,  99u,  105u, 155u, 202u, 252u,  305u,
                       407u, 453u, 499u, 501u, 502u, 549u, 551u, 599u, 602u, 1000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(PropertyTypeToString(v), kUnknownProp) << v;
    }
    // Every value of the blocks has its name: the LS block is dense from 10 to 28.
    for (uint32_t v = 10; v <= 28; ++v) {
        EXPECT_NE(PropertyTypeToString(v), kUnknownProp) << v;
    }
    for (uint32_t v = 50; v <= 66; ++v) {
        EXPECT_EQ(PropertyTypeToString(v).rfind("LSP_", 0), 0u) << v;
    }
}

TEST(CfgTypesTest, CompTypeToStringAndOperations) {
    EXPECT_EQ(CompTypeToString(0), kUnknownComp);
    EXPECT_EQ(CompTypeToString(12), kUnknownComp);
    EXPECT_EQ(CompTypeToString(1), "CONFIGCACHE");
    EXPECT_EQ(CompTypeToString(ComponentType::BFD), "BFD");
    EXPECT_EQ(CompTypeToString(10), "TF");
    EXPECT_EQ(OperationToString(Operation::OPERATION_UPDATE), "OPERATION_UPDATE");
    EXPECT_EQ(OperationToString(2), "OPERATION_DELETE");
    EXPECT_TRUE(IsOppositeOperation(Operation::OPERATION_DELETE, Operation::OPERATION_UPDATE));
    EXPECT_TRUE(
        IsOppositeOperation(Operation::OPERATION_ELEMENT_SET, Operation::OPERATION_ELEMENT_CLEAR));
    EXPECT_FALSE(
        IsOppositeOperation(Operation::OPERATION_UPDATE, Operation::OPERATION_ELEMENT_CLEAR));
    EXPECT_FALSE(IsOppositeOperation(Operation::OPERATION_UPDATE, Operation::OPERATION_UPDATE));
}

CairnDBUpdateMsg Record(const std::string& id, Operation op) {
    CairnDBUpdateMsg m;
    m.objType = ObjectType::LOG_SWITCH_FIB;
    m.id = id;
    m.property = PropertyType::L2_VTEP;
    m.data = "d" + id;
    m.op = op;
    return m;
}

TEST(BatchFilingTest, ComponentEntriesAndCopies) {
    ComponentUpdateMap batch;
    AddUpdatesToBatch(batch, {}, ComponentType::L2CACHE);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_TRUE(batch.at(ComponentType::L2CACHE).empty());

    AddUpdatesToBatch(batch, {Record("a", Operation::OPERATION_UPDATE)}, ComponentType::NONE);
    EXPECT_EQ(batch.size(), 1u);

    CairnDBUpdateList list = {Record("a", Operation::OPERATION_UPDATE),
                              Record("b", Operation::OPERATION_DELETE)};
    AddUpdatesToBatch(batch, list, ComponentType::DFW);
    AddUpdatesToBatch(batch, list, ComponentType::CONFIGCACHE);
    AddUpdatesToBatch(batch, {Record("c", Operation::OPERATION_UPDATE)}, ComponentType::DFW);
    list[0].id = "changed";  // the batch holds copies

    ASSERT_EQ(batch.size(), 3u);
    auto it = batch.begin();
    EXPECT_EQ(it->first, ComponentType::CONFIGCACHE);  // ascending component order
    EXPECT_EQ((++it)->first, ComponentType::L2CACHE);
    EXPECT_EQ((++it)->first, ComponentType::DFW);
    const auto& dfw = batch.at(ComponentType::DFW);
    ASSERT_EQ(dfw.size(), 3u);
    EXPECT_EQ(dfw[0].id, "a");
    EXPECT_EQ(dfw[1].id, "b");
    EXPECT_EQ(dfw[2].id, "c");
    EXPECT_EQ(batch.at(ComponentType::CONFIGCACHE)[0].id, "a");
}

// Each row sets the contexts of a record (a copy of one made with trace "t0" and tenant "n0")
// and checks what it and the original then hold.
TEST(RecordContextsTest, SettersKeepTheOtherContextAndLeaveCopiesAlone) {
    struct Case {
        const char* name;
        std::function<void(CairnDBUpdateMsg&)> set;
        std::string trace, tenant;
    };
    const std::vector<Case> cases = {
        {"trace", [](CairnDBUpdateMsg& r) { r.SetTraceContext("t1"); }, "t1", "n0"},
        {"tenant", [](CairnDBUpdateMsg& r) { r.SetTenantContext("n1"); }, "t0", "n1"},
        {"both cleared",
         [](CairnDBUpdateMsg& r) {
             r.SetTraceContext("");
             r.SetTenantContext("");
         },
         "", ""},
        {"shared none", [](CairnDBUpdateMsg& r) { r.ShareContexts(nullptr); }, "", ""},
        {"shared pair",
         [](CairnDBUpdateMsg& r) { r.ShareContexts(MakeRecordContexts("t2", "n2")); }, "t2", "n2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CairnDBUpdateMsg original = Record("a", Operation::OPERATION_UPDATE);
        original.SetTraceContext("t0");
        original.SetTenantContext("n0");
        CairnDBUpdateMsg copy = original;
        EXPECT_EQ(copy.sharedContexts(), original.sharedContexts());  // copies share the pair
        c.set(copy);
        EXPECT_EQ(copy.traceContext(), c.trace);
        EXPECT_EQ(copy.tenantContext(), c.tenant);
        EXPECT_EQ(copy.sharedContexts() == nullptr, c.trace.empty() && c.tenant.empty());
        EXPECT_EQ(original.traceContext(), "t0");
        EXPECT_EQ(original.tenantContext(), "n0");
    }
}

TEST(RecordContextsTest, EqualityComparesTheContextsNotWhereTheyAre) {
    CairnDBUpdateMsg a = Record("a", Operation::OPERATION_UPDATE);
    CairnDBUpdateMsg b = a;
    EXPECT_TRUE(a == b);
    a.ShareContexts(MakeRecordContexts("t", ""));
    EXPECT_FALSE(a == b);
    b.SetTraceContext("t");  // an equal pair of its own
    EXPECT_NE(a.sharedContexts(), b.sharedContexts());
    EXPECT_TRUE(a == b);
    b.SetTenantContext("n");
    EXPECT_FALSE(a == b);
    EXPECT_EQ(MakeRecordContexts("", ""), nullptr);
    CairnDBUpdateMsg none;
    EXPECT_TRUE(none.traceContext().empty());
    EXPECT_TRUE(none.tenantContext().empty());
}

}  // namespace
}  // namespace CfgAgent

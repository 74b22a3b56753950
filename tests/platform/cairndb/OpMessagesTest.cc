// Op messages by reflection: derivation from old and new bodies, select templates, patches.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/cairndb/OpMessages.h"
#include "tests/platform/cairndb/ClientTestSupport.h"

namespace CfgAgent::test {
namespace {

using namespace ozy::cairndb;

TEST(OpDerivationTest, InsertSetsTheObjectAndEveryPresentField) {
    auto sw = Switch(1, 5001);
    pb::LogSwitchConfigOpMsg op;
    DeriveOpMessage(nullptr, &sw, &op);
    EXPECT_EQ(op.op().op(), pb::SET);
    EXPECT_EQ(op.id().op(), pb::SET);
    EXPECT_EQ(op.vni().op(), pb::SET);
    EXPECT_EQ(op.switch_name().op(), pb::SET);
    EXPECT_EQ(op.vlan().op(), pb::INVALID);
    EXPECT_EQ(op.attachment().op(), pb::INVALID);
}

TEST(OpDerivationTest, ModifyMarksChangedFieldsSetAndVanishedOnesClear) {
    auto before = Switch(1, 5001);
    before.set_vlan(0);  // an explicit zero is present
    before.add_extra_configs()->set_key("k");
    auto after = Switch(1, 5002);
    after.add_extra_configs()->set_key("k");
    after.mutable_mac_management()->set_mac_learning(true);
    pb::LogSwitchConfigOpMsg op;
    DeriveOpMessage(&before, &after, &op);
    EXPECT_EQ(op.op().op(), pb::SET);
    EXPECT_EQ(op.id().op(), pb::INVALID);
    EXPECT_EQ(op.switch_name().op(), pb::INVALID);
    EXPECT_EQ(op.extra_configs().op(), pb::INVALID);
    EXPECT_EQ(op.vni().op(), pb::SET);
    EXPECT_EQ(op.vlan().op(), pb::CLEAR);
    EXPECT_EQ(op.mac_management().op(), pb::SET);
}

TEST(OpDerivationTest, DeleteClearsTheObjectAndEveryFieldItHad) {
    auto sw = Switch(1, 5001);
    pb::LogSwitchConfigOpMsg op;
    DeriveOpMessage(&sw, nullptr, &op);
    EXPECT_EQ(op.op().op(), pb::CLEAR);
    EXPECT_EQ(op.vni().op(), pb::CLEAR);
    EXPECT_EQ(op.vlan().op(), pb::INVALID);
}

TEST(OpDerivationTest, ListsCompareAsWholesOrEntryByEntry) {
    auto a = SwitchFib(1, {1, 2, 3});
    auto b = SwitchFib(1, {2, 3, 4, 4});
    pb::LogSwitchFibOpMsg op;
    DeriveOpMessage(&a, &b, &op);
    EXPECT_EQ(op.mac_entries().op(), pb::SET);
    EXPECT_EQ(op.mac_entries().entries_size(), 0);

    DeriveListOpMessage(a, b, &op);
    EXPECT_EQ(op.op().op(), pb::SET);
    EXPECT_EQ(op.mac_entries().op(), pb::UPDATE);
    ASSERT_EQ(op.mac_entries().entries_size(), 3);
    EXPECT_EQ(op.mac_entries().entries(0).op(), pb::REMOVE);
    EXPECT_EQ(op.mac_entries().entries(0).old_index(), 0u);
    EXPECT_EQ(op.mac_entries().entries(1).op(), pb::APPEND);
    EXPECT_EQ(op.mac_entries().entries(1).index(), 2u);
    EXPECT_EQ(op.mac_entries().entries(2).index(), 3u);
    EXPECT_EQ(op.vtep_entries().op(), pb::INVALID);

    // Duplicates: one more equal entry is one APPEND of the later copy.
    DeriveListOpMessage(SwitchFib(1, {7}), SwitchFib(1, {7, 7}), &op);
    EXPECT_EQ(op.mac_entries().op(), pb::APPEND);
    ASSERT_EQ(op.mac_entries().entries_size(), 1);
    EXPECT_EQ(op.mac_entries().entries(0).index(), 1u);
}

// Per-entry operations of a list change, whatever part of the lists the two bodies share at
// their start: "a<index>" APPEND of the new list's entry, "r<old_index>" REMOVE of the old one's.
struct ListChange {
    std::vector<uint64_t> before;
    std::vector<uint64_t> after;
    pb::PBOpType listOp;
    std::vector<std::string> entries;
};

TEST(OpDerivationTest, ListEntryOperationsPerChange) {
    const std::vector<ListChange> cases = {
        {{1, 2, 3}, {1, 2, 3, 4, 5}, pb::APPEND, {"a3", "a4"}},
        {{}, {4, 5}, pb::APPEND, {"a0", "a1"}},
        {{1, 2, 3}, {1, 2, 4}, pb::UPDATE, {"r2", "a2"}},
        {{1, 2, 3, 4}, {1, 3, 4}, pb::REMOVE, {"r1"}},
        {{1, 2, 2}, {1, 2, 2, 2}, pb::APPEND, {"a3"}},
        {{5, 1, 5}, {5, 1}, pb::REMOVE, {"r2"}},
        {{5, 1}, {1, 5, 5}, pb::APPEND, {"a2"}},
        {{1, 2}, {3, 1, 2}, pb::APPEND, {"a0"}},
        {{2, 1, 2}, {2, 2, 1}, pb::APPEND, {}},
    };
    for (const ListChange& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.before) + " -> " +
                     ::testing::PrintToString(c.after));
        pb::LogSwitchFibOpMsg op;
        DeriveListOpMessage(SwitchFib(1, c.before), SwitchFib(1, c.after), &op);
        EXPECT_EQ(op.mac_entries().op(), c.listOp);
        std::vector<std::string> entries;
        for (const auto& e : op.mac_entries().entries()) {
            entries.push_back(e.op() == pb::APPEND ? "a" + std::to_string(e.index())
                                                   : "r" + std::to_string(e.old_index()));
        }
        EXPECT_EQ(entries, c.entries);
    }
}

// The op message of lists that grew at their ends, written from their lengths: byte for byte what
// the derived message's serialization writes (entry indexes of one, two and three varint bytes,
// one or two lists grown, none).
TEST(OpDerivationTest, AppendOpBytesFromLengthsAreTheDerivedMessagesBytes) {
    const struct {
        const char* name;
        std::vector<int> from;  // MAC and IP entries as read
        std::vector<int> to;
    } cases[] = {
        {"one entry onto an empty list", {0, 0}, {1, 0}},
        {"indexes past one varint byte", {100, 0}, {300, 0}},
        {"indexes past two varint bytes", {16380, 0}, {16390, 0}},
        {"two lists", {3, 1}, {5, 4}},
        {"the second list only", {3, 1}, {3, 2}},
        {"nothing grown", {3, 1}, {3, 1}},
    };
    const auto* body = pb::LogSwitchStateMsg::descriptor();
    const auto* op = pb::LogSwitchStateOpMsg::descriptor();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pb::LogSwitchStateMsg grown = LearnedMacsRow(1, c.to[0]);
        for (int i = 0; i < c.to[1]; ++i)
            grown.add_ip_entries()->set_mac(uint64_t(i));
        const std::vector<int> from = {0, 0, c.from[0], c.from[1]};
        pb::LogSwitchStateOpMsg derived;
        DeriveAppendOpMessage(grown, from, &derived);
        std::vector<int> to;
        ListSizes(grown, &to);
        EXPECT_EQ(AppendOpMessageBytes(body, op, from, to), derived.SerializeAsString());
    }
    // Lengths of fewer fields than the class has count for those fields only, as derived.
    pb::LogSwitchStateMsg grown = LearnedMacsRow(1, 4);
    pb::LogSwitchStateOpMsg derived;
    DeriveAppendOpMessage(grown, {0, 0}, &derived);
    EXPECT_EQ(AppendOpMessageBytes(body, op, {0, 0}, {0, 0, 4, 0}), derived.SerializeAsString());
}

// The last field a body holds, by number, whatever the order of the fields set; unknown fields
// (written after every known one) leave it unknown.
TEST(OpDerivationTest, TheLastFieldOfABody) {
    pb::LogSwitchStateMsg row;
    EXPECT_EQ(LastField(row), 0);
    row.add_ip_entries()->set_mac(1);
    *row.mutable_id() = Uuid(1);
    EXPECT_EQ(LastField(row), 4);
    row.clear_ip_entries();
    row.add_vtep_entries();
    EXPECT_EQ(LastField(row), 2);
    pb::LogSwitchStateMsg unknown;
    ASSERT_TRUE(unknown.ParseFromString(row.SerializeAsString() + std::string("\xa8\x01\x01", 3)));
    EXPECT_EQ(LastField(unknown), -1);
}

TEST(SelectTemplateTest, OnlyChangesOfSelectedFieldsCount) {
    pb::FibOpMsg tmpl;
    tmpl.mutable_prefix()->set_op(pb::SELECT);
    tmpl.mutable_next_hops()->set_op(pb::SELECT);
    pb::FibOpMsg change;
    change.mutable_op()->set_op(pb::SET);
    change.mutable_router_id()->set_op(pb::SET);
    EXPECT_FALSE(TouchesSelectedField(change, tmpl));
    change.mutable_next_hops()->add_entries()->set_op(pb::APPEND);
    EXPECT_TRUE(TouchesSelectedField(change, tmpl));
    pb::FibOpMsg clearPrefix;
    clearPrefix.mutable_prefix()->set_op(pb::CLEAR);
    EXPECT_TRUE(TouchesSelectedField(clearPrefix, tmpl));
}

TEST(PatchTest, SetClearAppendRemove) {
    auto target = SwitchFib(1, {1, 2, 3, 2});
    target.add_vtep_entries()->set_label(9);
    pb::LogSwitchFibOpMsg op;
    op.mutable_mac_entries()->set_op(pb::REMOVE);
    op.mutable_vtep_entries()->set_op(pb::CLEAR);
    bool listOps = false;
    std::string error;
    ASSERT_TRUE(ApplyPatch(op, SwitchFib(1, {2}), &target, &listOps, &error)) << error;
    EXPECT_TRUE(listOps);
    ASSERT_EQ(target.mac_entries_size(), 2);
    EXPECT_EQ(target.mac_entries(0).mac(), 1u);
    EXPECT_EQ(target.mac_entries(1).mac(), 3u);
    EXPECT_EQ(target.vtep_entries_size(), 0);

    op.Clear();
    op.mutable_mac_entries()->set_op(pb::APPEND);
    ASSERT_TRUE(ApplyPatch(op, SwitchFib(1, {8, 9}), &target, &listOps, &error)) << error;
    ASSERT_EQ(target.mac_entries_size(), 4);
    EXPECT_EQ(target.mac_entries(3).mac(), 9u);

    auto sw = Switch(1, 5001);
    pb::LogSwitchConfigOpMsg swOp;
    swOp.mutable_vni()->set_op(pb::SET);
    swOp.mutable_switch_name()->set_op(pb::CLEAR);
    swOp.mutable_tenant_context()->set_op(pb::SET);
    pb::LogSwitchConfigMsg partial;
    partial.set_vni(6000);
    partial.mutable_tenant_context()->set_org_id("org");
    listOps = false;
    ASSERT_TRUE(ApplyPatch(swOp, partial, &sw, &listOps, &error)) << error;
    EXPECT_FALSE(listOps);
    EXPECT_EQ(sw.vni(), 6000u);
    EXPECT_FALSE(sw.has_switch_name());
    EXPECT_EQ(sw.tenant_context().org_id(), "org");
    EXPECT_EQ(sw.id().right(), 1u);

    // SET of a field the partial body lacks clears it.
    swOp.Clear();
    swOp.mutable_vni()->set_op(pb::SET);
    ASSERT_TRUE(ApplyPatch(swOp, pb::LogSwitchConfigMsg(), &sw, &listOps, &error));
    EXPECT_FALSE(sw.has_vni());
}

// A patch that only appends is applied by merging its partial body in, but only while that is
// what the per-field rules give: what the partial holds without an operation stays as the target
// has it, an operation other than APPEND applies as such, unknown fields are not taken.
TEST(PatchTest, AppendsAreMergedOnlyWhereTheRulesAgree) {
    struct Case {
        const char* name;
        // Changes the partial body (MAC entries 8 and 9 of switch 1) and the op (APPEND of the
        // MAC list).
        std::function<void(pb::LogSwitchFibMsg*, pb::LogSwitchFibOpMsg*)> change;
        uint64_t idRight;
        std::vector<uint32_t> vtepLabels;
        bool unknownFields;
    };
    const std::vector<Case> cases = {
        {"same id", [](pb::LogSwitchFibMsg*, pb::LogSwitchFibOpMsg*) {}, 1, {5}, false},
        {"another id without op",
         [](pb::LogSwitchFibMsg* p, pb::LogSwitchFibOpMsg*) { p->mutable_id()->set_right(2); },
         1,
         {5},
         false},
        {"a list without op",
         [](pb::LogSwitchFibMsg* p, pb::LogSwitchFibOpMsg*) {
             p->add_vtep_entries()->set_label(6);
         },
         1,
         {5},
         false},
        {"a list SET beside",
         [](pb::LogSwitchFibMsg* p, pb::LogSwitchFibOpMsg* op) {
             p->add_vtep_entries()->set_label(6);
             op->mutable_vtep_entries()->set_op(pb::SET);
         },
         1,
         {6},
         false},
        {"a SET of a field the partial lacks",
         [](pb::LogSwitchFibMsg* p, pb::LogSwitchFibOpMsg* op) {
             p->clear_id();
             op->mutable_id()->set_op(pb::SET);
         },
         0,
         {5},
         false},
        {"unknown fields",
         [](pb::LogSwitchFibMsg* p, pb::LogSwitchFibOpMsg*) {
             p->GetReflection()->MutableUnknownFields(p)->AddVarint(99, 1);
         },
         1,
         {5},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto target = SwitchFib(1, {1, 2});
        target.add_vtep_entries()->set_label(5);
        auto partial = SwitchFib(1, {8, 9});
        pb::LogSwitchFibOpMsg op;
        op.mutable_mac_entries()->set_op(pb::APPEND);
        c.change(&partial, &op);
        bool listOps = false;
        std::string error;
        ASSERT_TRUE(ApplyPatch(op, partial, &target, &listOps, &error)) << error;
        EXPECT_TRUE(listOps);
        std::vector<uint64_t> macs;
        for (const auto& m : target.mac_entries())
            macs.push_back(m.mac());
        EXPECT_EQ(macs, (std::vector<uint64_t>{1, 2, 8, 9}));
        EXPECT_EQ(target.id().right(), c.idRight);
        std::vector<uint32_t> labels;
        for (const auto& v : target.vtep_entries())
            labels.push_back(v.label());
        EXPECT_EQ(labels, c.vtepLabels);
        EXPECT_EQ(!target.GetReflection()->GetUnknownFields(target).empty(), c.unknownFields);
    }
}

TEST(PatchTest, RefusesOperationsThatMakeNoSense) {
    auto sw = Switch(1, 5001);
    pb::LogSwitchConfigOpMsg op;
    op.mutable_vni()->set_op(pb::APPEND);
    bool listOps = false;
    std::string error;
    EXPECT_FALSE(ApplyPatch(op, sw, &sw, &listOps, &error));
    EXPECT_NE(error.find("not a list"), std::string::npos);
    op.Clear();
    op.mutable_vni()->set_op(pb::EQUALS);
    EXPECT_FALSE(ApplyPatch(op, sw, &sw, &listOps, &error));
    EXPECT_NE(error.find("unsupported patch operation EQUALS"), std::string::npos);
    EXPECT_FALSE(ApplyPatch(op, SwitchFib(1, {}), &sw, &listOps, &error));
}

}  // namespace
}  // namespace CfgAgent::test

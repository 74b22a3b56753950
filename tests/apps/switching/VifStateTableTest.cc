// ConfigApp's packed VIF states: what goes in comes out, erasing keeps every other VIF findable,
// the index grows and shrinks, and the account follows the blocks.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "apps/switching/VifStateTable.h"

namespace CfgAgent {
namespace {

std::string Uuid(unsigned n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012x", 0xc0de0000u + (n >> 16), n);
    return buf;
}

IpBinding V4(uint8_t last, uint16_t vlan = 0) {
    IpBinding b;
    b.hasAddress = true;
    b.ipv4 = true;
    b.address = {10, 0, 0, last};
    b.hasMac = true;
    b.mac = {0x02, 0, 0, 0, 0, last};
    b.vlan = vlan;
    b.method = 2;
    b.timestamp = 1700000000u + last;
    return b;
}

VifStateRecord State(const std::string& vif, unsigned n) {
    VifStateRecord st;
    st.vifId = vif;
    st.portId = Uuid(0x10000 + n);
    st.switchId = "dvs-1";
    st.vifType = 1;
    st.status = 1;
    st.macs.push_back({0x00, 0x50, 0x56, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    return st;
}

void ExpectSame(const VifStateRecord& a, const VifStateRecord& b) {
    EXPECT_EQ(a.vifId, b.vifId);
    EXPECT_EQ(a.portId, b.portId);
    EXPECT_EQ(a.switchId, b.switchId);
    EXPECT_EQ(a.parentVifId, b.parentVifId);
    EXPECT_EQ(a.vifType, b.vifType);
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.smartNic, b.smartNic);
    EXPECT_EQ(a.hopover, b.hopover);
    EXPECT_EQ(a.macs, b.macs);
    ASSERT_EQ(a.dpBindings.size(), b.dpBindings.size());
    for (size_t i = 0; i < a.dpBindings.size(); ++i) {
        EXPECT_TRUE(a.dpBindings[i].SameBinding(b.dpBindings[i]));
        EXPECT_EQ(a.dpBindings[i].method, b.dpBindings[i].method);
        EXPECT_EQ(a.dpBindings[i].timestamp, b.dpBindings[i].timestamp);
    }
    ASSERT_EQ(a.bindings.size(), b.bindings.size());
    for (size_t i = 0; i < a.bindings.size(); ++i)
        EXPECT_TRUE(a.bindings[i].SameBinding(b.bindings[i])) << i;
}

// Every form a state can take reads back as it was written.
TEST(VifStateTableTest, StatesReadBackAsWritten) {
    struct Case {
        const char* name;
        std::string key;
        VifStateRecord st;
    };
    std::vector<Case> cases;
    cases.push_back({"one MAC, nothing else", Uuid(1), State(Uuid(1), 1)});
    VifStateRecord none = State(Uuid(2), 2);
    none.macs.clear();
    none.status = 2;
    cases.push_back({"no MAC", Uuid(2), none});
    VifStateRecord many = State(Uuid(3), 3);
    many.macs.push_back({1, 2, 3, 4, 5, 6});
    many.macs.push_back({6, 5, 4, 3, 2, 1});
    many.dpBindings = {V4(1), V4(2, 100)};
    IpBinding v6;
    v6.hasAddress = true;
    v6.address = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
    many.bindings = {V4(1), v6};
    many.parentVifId = Uuid(99);
    many.smartNic = true;
    many.hopover = true;
    many.vifType = 6;
    cases.push_back({"MACs, bindings, parent and flags", Uuid(3), many});
    VifStateRecord twoMacs = State(Uuid(6), 6);
    twoMacs.macs.push_back({0x02, 0, 0, 0, 0, 0x66});
    cases.push_back({"two MACs, nothing else", Uuid(6), twoMacs});
    // An upper-case UUID text is its own ID beside the lower-case key.
    std::string upper = Uuid(4);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    cases.push_back({"ID other than its key", Uuid(4), State(upper, 4)});
    VifStateRecord plain = State("vif-not-a-uuid-but-quite-long-text", 5);
    plain.portId = "port-5";
    plain.switchId = "";
    cases.push_back({"text ids", plain.vifId, plain});

    VifStateTable table;
    for (const Case& c : cases)
        table.Put(c.key, c.st);
    EXPECT_EQ(table.size(), cases.size());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VifStateRecord got;
        ASSERT_TRUE(table.Get(c.key, &got));
        ExpectSame(got, c.st);
        EXPECT_TRUE(table.Contains(c.key));
    }
    VifStateRecord got;
    EXPECT_FALSE(table.Get(Uuid(77), &got));
    EXPECT_FALSE(table.Erase(Uuid(77)));

    // Replacing a state drops what the new one lacks.
    VifStateRecord lean = State(Uuid(3), 3);
    table.Put(Uuid(3), lean);
    ASSERT_TRUE(table.Get(Uuid(3), &got));
    ExpectSame(got, lean);
    EXPECT_EQ(table.size(), cases.size());
}

// Many VIFs, erased in a shuffled order while others are added: each remaining one is found with
// its own state (collisions in the index and the record moved into an erased one's place).
TEST(VifStateTableTest, EraseAndGrowthKeepEveryOtherVifFindable) {
    VifStateTable table;
    std::map<std::string, unsigned> model;
    std::mt19937 rng(7);
    for (unsigned n = 0; n < 3000; ++n) {
        table.Put(Uuid(n), State(Uuid(n), n));
        model[Uuid(n)] = n;
        if (n % 3 == 2) {
            auto it = model.begin();
            std::advance(it, rng() % model.size());
            EXPECT_TRUE(table.Erase(it->first));
            model.erase(it);
        }
    }
    ASSERT_EQ(table.size(), model.size());
    EXPECT_LE(table.size() * 4, table.IndexCapacity() * 3);
    // Most VIFs going gives the room back.
    const size_t capacity = table.IndexCapacity();
    const size_t bytes = table.Bytes();
    while (model.size() > 100) {
        EXPECT_TRUE(table.Erase(model.begin()->first));
        model.erase(model.begin());
    }
    EXPECT_LE(table.IndexCapacity() * 8, capacity);
    EXPECT_LT(table.Bytes() * 10, bytes);
    for (const auto& [key, n] : model) {
        VifStateRecord got;
        ASSERT_TRUE(table.Get(key, &got)) << key;
        ExpectSame(got, State(key, n));
    }
    for (const auto& [key, n] : model)
        EXPECT_TRUE(table.Erase(key)) << n;
    EXPECT_TRUE(table.empty());
    // The last erase frees the blocks.
    EXPECT_EQ(table.IndexCapacity(), 0u);
    EXPECT_EQ(table.Bytes(), 0u);
}

// The account: a VIF of the common form is its record and its index slot, under 128 bytes; the
// block of a VIF with bindings is counted; a moved-from table is empty.
TEST(VifStateTableTest, AccountFollowsTheBlocks) {
    VifStateTable table;
    const unsigned n = 10000;
    for (unsigned i = 0; i < n; ++i)
        table.Put(Uuid(i), State(Uuid(i), i));
    const size_t common = table.Bytes();
    EXPECT_GT(common, n * 96);
    EXPECT_LT(common, n * 128 + 4096);

    VifStateRecord rich = State(Uuid(1), 1);
    rich.bindings = {V4(1), V4(2)};
    table.Put(Uuid(1), rich);
    EXPECT_GE(table.Bytes(), common + 2 * 30);

    VifStateTable moved(std::move(table));
    EXPECT_EQ(moved.size(), n);
    EXPECT_EQ(table.size(), 0u);  // NOLINT(bugprone-use-after-move): the moved-from state
    EXPECT_FALSE(table.Contains(Uuid(1)));
    VifStateRecord got;
    ASSERT_TRUE(moved.Get(Uuid(1), &got));
    ExpectSame(got, rich);
    moved.Clear();
    EXPECT_EQ(moved.Bytes(), 0u);
    EXPECT_FALSE(moved.Get(Uuid(1), &got));
}

}  // namespace
}  // namespace CfgAgent

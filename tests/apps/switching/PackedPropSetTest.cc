// A port's installed properties kept packed: every set comes back whole and in order, copies are
// independent, clear() frees the buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "apps/switching/PackedPropSet.h"

namespace CfgAgent::dvs {
namespace {

TEST(PackedPropSetTest, EverySetUnpacksToItself) {
    const std::string session = "5d000000-0000-4000-8000-000000000001";
    const std::vector<PropSet> sets = {
        {},
        {{{1, ""}, {}}},  // one property with an empty value
        {{{0x0102, ""}, {1}}, {{0x0304, ""}, {2, 3, 4}}},
        {{{7, session}, {9, 9}}, {{7, session + "2"}, {8}}, {{7, ""}, {1}}},     // instances
        {{{0xFFFF, std::string(300, 'i')}, std::vector<uint8_t>(70000, 0xAB)}},  // long ones
    };
    for (const PropSet& set : sets) {
        PackedPropSet packed(set);
        EXPECT_EQ(packed.Unpack(), set);
        EXPECT_EQ(packed.empty(), set.empty());
    }
    // The packed form is smaller than its header per property plus the bytes it carries.
    PackedPropSet two(sets[2]);
    EXPECT_EQ(two.ByteSize(), 2 * 8 + 1 + 3u);
}

TEST(PackedPropSetTest, CopiesAreIndependentAndClearFrees) {
    PropSet set = {{{1, ""}, {1}}, {{2, "x"}, {2, 2}}};
    PackedPropSet a(set);
    PackedPropSet b = a;
    a = PropSet{{{3, ""}, {3}}};
    EXPECT_EQ(b.Unpack(), set);
    EXPECT_EQ(a.Unpack(), (PropSet{{{3, ""}, {3}}}));
    PackedPropSet c = std::move(b);
    EXPECT_EQ(c.Unpack(), set);
    PackedPropSet& self = c;
    c = self;  // self-assignment keeps the contents
    EXPECT_EQ(c.Unpack(), set);
    c.clear();
    EXPECT_TRUE(c.empty());
    EXPECT_EQ(c.ByteSize(), 0u);
    EXPECT_TRUE(c.Unpack().empty());
}

}  // namespace
}  // namespace CfgAgent::dvs

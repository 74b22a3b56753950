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
        {{{2, ""}, std::vector<uint8_t>(254, 1)}, {{3, ""}, std::vector<uint8_t>(255, 2)}},
    };
    for (const PropSet& set : sets) {
        PackedPropSet packed(set);
        EXPECT_EQ(packed.Unpack(), set);
        EXPECT_EQ(packed.empty(), set.empty());
    }
    // The packed form is its length, a 3-byte header per property without an instance and the
    // bytes it carries.
    PackedPropSet two(sets[2]);
    EXPECT_EQ(two.ByteSize(), 4 + 2 * 3 + 1 + 3u);
    // A value of 254 bytes still has the short header, one of 255 the long one.
    EXPECT_EQ(PackedPropSet(PropSet{{{1, ""}, std::vector<uint8_t>(254, 1)}}).ByteSize(),
              4 + 3 + 254u);
    EXPECT_EQ(PackedPropSet(PropSet{{{1, ""}, std::vector<uint8_t>(255, 1)}}).ByteSize(),
              4 + 9 + 255u);
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

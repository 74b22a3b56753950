// The conversion engine's record of handled values: equality by digest, properties kept sorted per
// object, the object dropped with its last property, objects of one id kept apart by type.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "apps/switching/AppliedValues.h"

namespace CfgAgent::dvs {
namespace {

using namespace std::string_literals;

constexpr ObjectType kPort = ObjectType::LOG_SWITCH_PORT_CONFIG;
constexpr ObjectType kSwitch = ObjectType::LOG_SWITCH_CONFIG;
constexpr PropertyType kA = PropertyType::LSP_SWITCH_ID;
constexpr PropertyType kB = PropertyType::LSP_ATTACHMENT;
constexpr PropertyType kC = PropertyType::LSP_ADMIN_STATE_UP;

TEST(AppliedValuesTest, MatchesOnlyTheValueLastSetForThatObjectAndProperty) {
    AppliedValues a;
    const std::string id = "port-1";
    EXPECT_FALSE(a.Has(kPort, id, kA));
    EXPECT_FALSE(a.Matches(kPort, id, kA, ""));
    a.Set(kPort, id, kA, "switch-1");
    struct Case {
        ObjectType type;
        std::string id;
        PropertyType property;
        std::string value;
        bool matches;
    } cases[] = {
        {kPort, id, kA, "switch-1", true},
        {kPort, id, kA, "switch-2", false},        // same size, other bytes
        {kPort, id, kA, "switch-1\0"s, false},     // longer
        {kPort, id, kA, "switch-", false},         // a prefix
        {kPort, id, kB, "switch-1", false},        // another property
        {kPort, "port-2", kA, "switch-1", false},  // another object
        {kSwitch, id, kA, "switch-1", false},      // the same id of another type
    };
    for (const Case& c : cases)
        EXPECT_EQ(a.Matches(c.type, c.id, c.property, c.value), c.matches)
            << c.id << " " << static_cast<int>(c.property) << " " << c.value;
    a.Set(kPort, id, kA, "switch-2");
    EXPECT_TRUE(a.Matches(kPort, id, kA, "switch-2"));
    EXPECT_FALSE(a.Matches(kPort, id, kA, "switch-1"));
    EXPECT_EQ(a.ObjectCount(), 1u);
}

TEST(AppliedValuesTest, PropertiesStaySortedAndTheObjectGoesWithItsLast) {
    AppliedValues a;
    const std::string id(40, 'p');  // longer than the inline string
    a.Set(kPort, id, kC, "c");
    a.Set(kPort, id, kA, "a");
    a.Set(kPort, id, kB, "b");
    a.Set(kSwitch, id, kA, "s");
    EXPECT_EQ(a.PropertiesOf(kPort, id), (std::vector<PropertyType>{kA, kB, kC}));
    EXPECT_TRUE(a.Matches(kPort, id, kB, "b"));
    EXPECT_GT(a.Bytes(), 0u);

    a.Erase(kPort, id, kB);
    a.Erase(kPort, id, kB);  // twice: nothing more happens
    a.Erase(kPort, "absent", kA);
    EXPECT_EQ(a.PropertiesOf(kPort, id), (std::vector<PropertyType>{kA, kC}));
    EXPECT_TRUE(a.Matches(kPort, id, kC, "c"));
    // The property between them is gone, not found in its neighbour's place.
    EXPECT_FALSE(a.Has(kPort, id, kB));
    EXPECT_FALSE(a.Matches(kPort, id, kB, "c"));
    a.Erase(kPort, id, kA);
    a.Erase(kPort, id, kC);
    EXPECT_TRUE(a.PropertiesOf(kPort, id).empty());
    std::set<AppliedValues::Key> keys;
    a.ForEachObject([&](const AppliedValues::Key& k) { keys.insert(k); });
    EXPECT_EQ(keys, (std::set<AppliedValues::Key>{{kSwitch, id}}));

    a.Set(kPort, id, kA, "a");
    a.EraseObject(kPort, id);
    EXPECT_FALSE(a.Has(kPort, id, kA));
    EXPECT_TRUE(a.Matches(kSwitch, id, kA, "s"));
    EXPECT_EQ(a.ObjectCount(), 1u);
}

}  // namespace
}  // namespace CfgAgent::dvs

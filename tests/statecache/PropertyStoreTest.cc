// The configuration and L3 tables' store: objects in a dense array with an open-addressing index,
// each object's properties in one block. What is set reads back, erasures keep every other object
// findable (the last object moves into the erased one's place), list properties keep their further
// values, the sweep removes what a full sync did not confirm, and the account follows the blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "statecache/PropertyStore.h"

namespace CfgAgent::sc {
namespace {

constexpr ObjectType kPort = ObjectType::LOG_SWITCH_PORT_CONFIG;
constexpr ObjectType kSwitch = ObjectType::LOG_SWITCH_CONFIG;
constexpr PropertyType kBody = PropertyType::INVALID_PROPERTY;
constexpr PropertyType kSwitchId = PropertyType::LSP_SWITCH_ID;
constexpr PropertyType kAttachment = PropertyType::LSP_ATTACHMENT;

// An 18-byte id as the tables get them (a serialized UuidMsg), numbered.
std::string Id(uint32_t n) {
    std::string id(18, '\0');
    id[0] = 0x09;
    id[9] = 0x11;
    for (int i = 0; i < 4; ++i)
        id[14 + i] = static_cast<char>(n >> (8 * (3 - i)));
    return id;
}

std::string Value(uint32_t n, size_t length) {
    std::string v(length, 'a');
    for (size_t i = 0; i < length && i < 4; ++i)
        v[i] = static_cast<char>(n >> (8 * i));
    return v;
}

// Every (type, id, property, value) the store holds.
std::set<std::tuple<ObjectType, std::string, PropertyType, std::string>> Contents(
    const PropertyStore& s) {
    std::set<std::tuple<ObjectType, std::string, PropertyType, std::string>> out;
    s.ForEachObject([&](ObjectType t, std::string_view id, const ObjectEntry& e) {
        for (const PropSlot& p : e.props)
            p.ForEachValue([&](std::string_view v, uint32_t) {
                out.emplace(t, std::string(id), p.property, std::string(v));
            });
    });
    return out;
}

TEST(PropertyStoreTest, ScalarsReadBackThroughEveryChangeOfTheirBlock) {
    struct Step {
        const char* what;
        PropertyType p;
        std::string value;
        SetResult result;
    };
    const std::vector<Step> steps = {
        {"the body first", kBody, std::string(120, 'b'), SetResult::kAdded},
        {"a property after it", kAttachment, std::string(80, 't'), SetResult::kAdded},
        {"a property between", kSwitchId, Id(7), SetResult::kAdded},
        {"the same value", kSwitchId, Id(7), SetResult::kUnchanged},
        {"a value of the same length, in place", kSwitchId, Id(8), SetResult::kUpdated},
        {"a longer value", kAttachment, std::string(200, 'u'), SetResult::kUpdated},
        {"a shorter value", kBody, "short", SetResult::kUpdated},
        {"an empty value", kSwitchId, "", SetResult::kUpdated},
    };
    PropertyStore store;
    std::map<PropertyType, std::string> model;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(store.SetScalar(kPort, Id(1), s.p, s.value), s.result);
        model[s.p] = s.value;
        const ObjectEntry* e = store.Find(kPort, Id(1));
        ASSERT_NE(e, nullptr);
        // The slots are in property order and hold the model's values.
        ASSERT_EQ(e->props.size(), model.size());
        auto m = model.begin();
        for (const PropSlot& slot : e->props) {
            EXPECT_EQ(slot.property, m->first);
            EXPECT_EQ(slot.value.view(), m->second);
            EXPECT_EQ(slot.count(), 1u);
            ++m;
        }
        const PropSlot* found = store.FindProp(kPort, Id(1), s.p);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->value.str(), s.value);
    }
    EXPECT_EQ(store.ValueCount(), 3u);
    EXPECT_EQ(store.FindProp(kPort, Id(1), PropertyType::LSP_ADMIN_STATE_UP), nullptr);
    EXPECT_EQ(store.FindProp(kPort, Id(2), kBody), nullptr);
    EXPECT_EQ(store.FindProp(kSwitch, Id(1), kBody), nullptr);

    // Removing the properties one by one; the last one takes the object (and its type) with it.
    EXPECT_EQ(store.RemoveScalar(kPort, Id(1), kSwitchId), RemoveResult::kRemoved);
    EXPECT_EQ(store.RemoveScalar(kPort, Id(1), kSwitchId), RemoveResult::kAbsent);
    EXPECT_EQ(store.FindProp(kPort, Id(1), kAttachment)->value.view(), std::string(200, 'u'));
    EXPECT_TRUE(store.RemoveProperty(kPort, Id(1), kBody));
    EXPECT_FALSE(store.RemoveProperty(kPort, Id(1), kBody));
    EXPECT_EQ(store.ObjectCount(), 1u);
    EXPECT_TRUE(store.RemoveProperty(kPort, Id(1), kAttachment));
    EXPECT_EQ(store.ObjectCount(), 0u);
    EXPECT_EQ(store.IndexCapacity(kPort), 0u);
    EXPECT_EQ(store.ValueCount(), 0u);
}

// Many objects of two types, erased in a shuffled order while others come: every remaining one is
// found with its values and bits (the last object moved into an erased one's place keeps its
// property bits), and the index stays at most three quarters full.
TEST(PropertyStoreTest, ErasuresAndGrowthKeepEveryOtherObjectFindable) {
    PropertyStore store;
    std::map<std::pair<ObjectType, uint32_t>, bool> model;  // -> has the attachment
    std::mt19937 rng(11);
    for (uint32_t n = 0; n < 4000; ++n) {
        const ObjectType t = n % 5 == 0 ? kSwitch : kPort;
        store.SetScalar(t, Id(n), kBody, Value(n, 40 + n % 30));
        const bool attached = n % 3 == 0;
        if (attached)
            store.SetScalar(t, Id(n), kAttachment, Value(n, 10));
        model[{t, n}] = attached;
        if (n % 4 == 3) {
            auto it = model.begin();
            std::advance(it, rng() % model.size());
            EXPECT_TRUE(store.RemoveObject(it->first.first, Id(it->first.second)));
            EXPECT_FALSE(store.RemoveObject(it->first.first, Id(it->first.second)));
            model.erase(it);
        }
    }
    ASSERT_EQ(store.ObjectCount(), model.size());
    for (ObjectType t : {kPort, kSwitch}) {
        size_t objects = 0;
        store.ForEachObjectOfType(t, [&](std::string_view, const ObjectEntry&) { ++objects; });
        EXPECT_LE(objects * 4, store.IndexCapacity(t) * 3);
    }
    std::set<std::pair<ObjectType, std::string>> withAttachment;
    for (ObjectType t : {kPort, kSwitch}) {
        store.ForEachWithProperty(t, kAttachment,
                                  [&](std::string_view id, const ObjectEntry&, const PropSlot& s) {
                                      EXPECT_EQ(s.property, kAttachment);
                                      withAttachment.emplace(t, std::string(id));
                                  });
    }
    std::set<std::pair<ObjectType, std::string>> expected;
    for (const auto& [key, attached] : model) {
        const auto& [t, n] = key;
        const PropSlot* body = store.FindProp(t, Id(n), kBody);
        ASSERT_NE(body, nullptr) << n;
        EXPECT_EQ(body->value.view(), Value(n, 40 + n % 30));
        EXPECT_EQ(store.FindProp(t, Id(n), kAttachment) != nullptr, attached) << n;
        EXPECT_EQ(store.FindProp(t == kPort ? kSwitch : kPort, Id(n), kBody), nullptr);
        if (attached)
            expected.emplace(t, Id(n));
    }
    EXPECT_EQ(withAttachment, expected);
    // Every type of one id.
    uint32_t n = model.begin()->first.second;
    size_t types = 0;
    store.ForEachTypeOf(Id(n), [&](ObjectType, const ObjectEntry&) { ++types; });
    EXPECT_EQ(types, 1u);
}

// Ids the index mixes into neighbouring homes (ids differing in one byte, text ids, a long one on
// the heap) all stay apart.
TEST(PropertyStoreTest, IdsOfEveryFormStayApart) {
    PropertyStore store;
    std::vector<std::string> ids = {"",
                                    "a",
                                    "b",
                                    "ab",
                                    std::string(23, 'x'),
                                    std::string(24, 'x'),
                                    std::string(200, 'y'),
                                    Id(1),
                                    Id(256),
                                    Id(65536)};
    for (size_t i = 0; i < ids.size(); ++i)
        store.SetScalar(kPort, ids[i], kBody, Value(static_cast<uint32_t>(i), 5));
    ASSERT_EQ(store.ObjectCount(), ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        const PropSlot* s = store.FindProp(kPort, ids[i], kBody);
        ASSERT_NE(s, nullptr) << i;
        EXPECT_EQ(s->value.view(), Value(static_cast<uint32_t>(i), 5)) << i;
    }
    for (size_t i = 0; i < ids.size(); i += 2)
        EXPECT_TRUE(store.RemoveObject(kPort, ids[i]));
    for (size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(store.HasObject(kPort, ids[i]), i % 2 == 1) << i;
}

TEST(PropertyStoreTest, ListValuesKeepTheirFurtherValuesThroughBlockChanges) {
    PropertyStore store;
    const PropertyType routes = PropertyType::L3_FIB_ROUTER_ID;
    EXPECT_EQ(store.AppendValue(kPort, Id(1), routes, "r1"), SetResult::kAdded);
    EXPECT_EQ(store.AppendValue(kPort, Id(1), routes, "r2"), SetResult::kAdded);
    EXPECT_EQ(store.AppendValue(kPort, Id(1), routes, "r3"), SetResult::kAdded);
    EXPECT_EQ(store.AppendValue(kPort, Id(1), routes, "r2"), SetResult::kUnchanged);
    EXPECT_EQ(store.AppendValue(kPort, Id(1), routes, "r1"), SetResult::kUnchanged);
    // Other properties coming and going rebuild the block; the further values stay.
    store.SetScalar(kPort, Id(1), kBody, "body");
    store.SetScalar(kPort, Id(1), kAttachment, "att");
    EXPECT_TRUE(store.RemoveProperty(kPort, Id(1), kBody));
    EXPECT_EQ(store.SetScalar(kPort, Id(1), routes, "x"), SetResult::kMultiple);
    EXPECT_EQ(store.RemoveScalar(kPort, Id(1), routes), RemoveResult::kMultiple);
    EXPECT_EQ(store.ValueCount(), 4u);
    EXPECT_TRUE(store.HasValue(kPort, Id(1), routes, "r3"));
    EXPECT_FALSE(store.HasValue(kPort, Id(1), routes, "r4"));
    // The first value goes: a further one takes its place.
    EXPECT_TRUE(store.RemoveValue(kPort, Id(1), routes, "r1"));
    EXPECT_FALSE(store.RemoveValue(kPort, Id(1), routes, "r1"));
    EXPECT_TRUE(store.RemoveValue(kPort, Id(1), routes, "r3"));
    const PropSlot* s = store.FindProp(kPort, Id(1), routes);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->count(), 1u);
    EXPECT_EQ(s->value.view(), "r2");
    EXPECT_TRUE(store.RemoveValue(kPort, Id(1), routes, "r2"));
    EXPECT_EQ(store.FindProp(kPort, Id(1), routes), nullptr);
    EXPECT_EQ(store.ValueCount(), 1u);
    EXPECT_TRUE(store.RemoveValue(kPort, Id(1), kAttachment, "att"));
    EXPECT_EQ(store.ObjectCount(), 0u);
}

struct Seen : PropertyStore::SweepObserver {
    void ValueRemoved(ObjectType, std::string_view id, PropertyType p,
                      std::string_view v) override {
        values.emplace(std::string(id), p, std::string(v));
    }
    void ObjectRemoved(ObjectType, std::string_view id) override { objects.emplace(id); }
    std::set<std::tuple<std::string, PropertyType, std::string>> values;
    std::multiset<std::string> objects;  // a port and a switch may share an id
};

TEST(PropertyStoreTest, SweepRemovesWhatTheFullSyncDidNotConfirm) {
    PropertyStore store;
    const PropertyType routes = PropertyType::L3_FIB_ROUTER_ID;
    for (uint32_t n = 0; n < 100; ++n) {
        store.SetScalar(kPort, Id(n), kBody, Value(n, 30));
        store.SetScalar(kPort, Id(n), kAttachment, Value(n, 8));
    }
    store.AppendValue(kSwitch, Id(1), routes, "old-first");
    store.AppendValue(kSwitch, Id(1), routes, "kept");
    store.AppendValue(kSwitch, Id(1), routes, "old-more");
    store.BumpVersion();
    // Confirmed: the even ports' bodies, the odd ports' attachments, one route.
    for (uint32_t n = 0; n < 100; ++n)
        store.SetScalar(kPort, Id(n), n % 2 == 0 ? kBody : kAttachment,
                        Value(n, n % 2 == 0 ? 30 : 8));
    store.AppendValue(kSwitch, Id(1), routes, "kept");
    store.SetScalar(kSwitch, Id(2), kBody, "new");
    store.AppendValue(kSwitch, Id(3), routes, "x");  // unconfirmed below: a new object is current
    Seen seen;
    EXPECT_EQ(store.Sweep(&seen), 100u + 2u);
    EXPECT_TRUE(seen.objects.empty());
    EXPECT_EQ(seen.values.count({Id(1), routes, "old-first"}), 1u);
    EXPECT_EQ(seen.values.count({Id(1), routes, "old-more"}), 1u);
    for (uint32_t n = 0; n < 100; ++n) {
        EXPECT_EQ(store.FindProp(kPort, Id(n), kBody) != nullptr, n % 2 == 0) << n;
        EXPECT_EQ(store.FindProp(kPort, Id(n), kAttachment) != nullptr, n % 2 == 1) << n;
    }
    const PropSlot* r = store.FindProp(kSwitch, Id(1), routes);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->count(), 1u);
    EXPECT_EQ(r->value.view(), "kept");
    EXPECT_EQ(store.ValueCount(), 100u + 3u);

    // A full sync that confirms only the odd ports: the even ones go whole, and the bits of the
    // ports moved into their places follow them.
    store.BumpVersion();
    for (uint32_t n = 1; n < 100; n += 2)
        store.SetScalar(kPort, Id(n), kAttachment, Value(n, 8));
    Seen second;
    store.Sweep(&second);
    EXPECT_EQ(second.objects.size(), 50u + 3u);
    EXPECT_EQ(store.ObjectCount(), 50u);
    size_t attached = 0;
    store.ForEachWithProperty(
        kPort, kAttachment,
        [&](std::string_view, const ObjectEntry&, const PropSlot&) { ++attached; });
    EXPECT_EQ(attached, 50u);
    store.ForEachWithProperty(kPort, kBody,
                              [&](std::string_view, const ObjectEntry&, const PropSlot&) {
                                  ADD_FAILURE() << "no body is left";
                              });
    EXPECT_EQ(Contents(store).size(), 50u);
}

// A bucket that loses most of its objects, by erasures or by a sweep, gives its room back; what
// stays is still found.
TEST(PropertyStoreTest, ABucketThatLosesMostObjectsShrinks) {
    for (bool sweep : {false, true}) {
        SCOPED_TRACE(sweep ? "sweep" : "erasures");
        PropertyStore store;
        for (uint32_t n = 0; n < 4000; ++n)
            store.SetScalar(kPort, Id(n), kBody, Value(n, 20));
        const size_t capacity = store.IndexCapacity(kPort);
        const size_t bytes = store.ComputeBytes();
        if (sweep) {
            store.BumpVersion();
            for (uint32_t n = 0; n < 100; ++n)
                store.SetScalar(kPort, Id(n), kBody, Value(n, 20));
            store.Sweep(nullptr);
        } else {
            for (uint32_t n = 100; n < 4000; ++n)
                store.RemoveObject(kPort, Id(n));
        }
        EXPECT_EQ(store.ObjectCount(), 100u);
        EXPECT_LE(store.IndexCapacity(kPort) * 8, capacity);
        EXPECT_LT(store.ComputeBytes() * 10, bytes);
        for (uint32_t n = 0; n < 100; ++n)
            EXPECT_TRUE(store.HasObject(kPort, Id(n))) << n;
    }
}

// The account: an object of four properties is its array entry, its index slot and one block; it
// falls back when the objects go.
TEST(PropertyStoreTest, AccountIsTheArraysAndTheBlocks) {
    PropertyStore store;
    const size_t n = 5000;
    for (uint32_t i = 0; i < n; ++i) {
        store.SetScalar(kPort, Id(i), kBody, Value(i, 120));
        store.SetScalar(kPort, Id(i), kSwitchId, Id(1));
        store.SetScalar(kPort, Id(i), PropertyType::LSP_ADMIN_STATE_UP, "\x08\x01");
        store.SetScalar(kPort, Id(i), kAttachment, Value(i, 80));
    }
    const size_t bytes = store.ComputeBytes();
    // The block: 8 + 4 * 24 + 120 + 18 + 2 + 80 = 324 bytes, 336 in its chunk.
    EXPECT_GT(bytes, n * 336);
    EXPECT_LT(bytes, n * (336 + 48 + 16) + 4096);
    for (uint32_t i = 0; i < n; ++i)
        store.RemoveObject(kPort, Id(i));
    EXPECT_EQ(store.ComputeBytes(), 0u);
}

}  // namespace
}  // namespace CfgAgent::sc

// The conversion engine's index of ids held by records to the records' keys.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "apps/switching/TextIndex.h"
#include "statecache/MemoryEstimate.h"

namespace CfgAgent::dvs {
namespace {

// Records in a node-based table, as the engine holds its ports: key -> the text indexed.
class TextIndexTest : public ::testing::Test {
  protected:
    const PackedId& Add(const std::string& key, const std::string& text) {
        auto it = records.insert_or_assign(PackedId(key), PackedId(text)).first;
        index.Claim(it->second, it->first);
        return it->first;
    }
    std::string Owner(const std::string& text) const {
        const PackedId* o = index.Find(PackedId(text));
        return o == nullptr ? "-" : o->str();
    }
    bool Release(const std::string& text, const std::string& owner) {
        return index.Release(PackedId(text), PackedId(owner));
    }
    std::map<PackedId, PackedId> records;
    TextIndex index;
};

TEST_F(TextIndexTest, ClaimsReleasesAndErasures) {
    Add("lsp-1", "vif-a");
    Add("lsp-2", "vif-b");
    EXPECT_EQ(Owner("vif-a"), "lsp-1");
    EXPECT_EQ(Owner("vif-b"), "lsp-2");
    EXPECT_EQ(Owner("vif-c"), "-");
    // The entry leads to the table's own key, not a copy of it.
    EXPECT_EQ(index.Find(PackedId("vif-a")), &records.find(PackedId("lsp-1"))->first);
    // An empty text is not indexed.
    Add("lsp-3", "");
    EXPECT_EQ(index.size(), 2u);
    EXPECT_EQ(Owner(""), "-");

    // A later claim of the same text replaces the owner; the earlier owner can no longer release
    // it, the new one can.
    Add("lsp-3", "vif-a");
    EXPECT_EQ(Owner("vif-a"), "lsp-3");
    EXPECT_FALSE(Release("vif-a", "lsp-1"));
    EXPECT_EQ(Owner("vif-a"), "lsp-3");
    EXPECT_TRUE(Release("vif-a", "lsp-3"));
    EXPECT_EQ(Owner("vif-a"), "-");
    EXPECT_FALSE(Release("vif-a", "lsp-3"));

    // Erase removes whoever holds the text.
    EXPECT_TRUE(index.Erase(PackedId("vif-b")));
    EXPECT_FALSE(index.Erase(PackedId("vif-b")));
    EXPECT_EQ(index.size(), 0u);
    EXPECT_EQ(index.Bytes(), 0u);
}

// After a second owner took a text, the first one's string may change or go: the entry views the
// second owner's string only.
TEST_F(TextIndexTest, AReplacedOwnerMayChangeOrDropItsText) {
    Add("lsp-1", "vif-shared-by-two-ports-of-one-vm");
    Add("lsp-2", "vif-shared-by-two-ports-of-one-vm");
    // The first owner's id changes (released first by the engine), then goes.
    records[PackedId("lsp-1")] = PackedId("x");
    records.erase(PackedId("lsp-1"));
    EXPECT_EQ(Owner("vif-shared-by-two-ports-of-one-vm"), "lsp-2");
    for (int i = 0; i < 50; ++i)
        Add("lsp-" + std::to_string(100 + i), "vif-" + std::to_string(i) + std::string(40, 'z'));
    EXPECT_EQ(Owner("vif-shared-by-two-ports-of-one-vm"), "lsp-2");
    EXPECT_EQ(Owner("vif-7" + std::string(40, 'z')), "lsp-107");
    EXPECT_EQ(index.size(), 51u);
    // One array of two pointers a slot, at most four fifths full; nothing for the ids and keys.
    EXPECT_EQ(index.Bytes(), sc::HeapChunk(64 * 2 * sizeof(void*)));
}

// Claims, releases and erasures in a random order against a plain map of what should be held:
// every entry stays findable whatever was removed around it (entries that collided move up into
// the holes), and the array is given back when the last entry goes.
TEST_F(TextIndexTest, FindsEveryEntryThroughGrowthAndRemovals) {
    std::mt19937 rng(7);
    std::map<std::string, std::string> expected;  // text -> owner
    auto vifText = [](unsigned i) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012x", 0xc0u, i);
        return std::string(buf);
    };
    for (int round = 0; round < 4000; ++round) {
        unsigned v = rng() % 300;
        std::string text = vifText(v);
        std::string owner = "lsp-" + std::to_string(rng() % 500);
        switch (rng() % 3) {
            case 0: {
                // The owner's record changes its id: its entry is released first.
                auto record = records.find(PackedId(owner));
                if (record != records.end()) {
                    auto held = expected.find(record->second.str());
                    if (held != expected.end() && held->second == owner) {
                        EXPECT_TRUE(Release(held->first, owner));
                        expected.erase(held);
                    }
                }
                Add(owner, text);
                expected[text] = owner;
                break;
            }
            case 1: {
                auto it = expected.find(text);
                bool held = it != expected.end() && it->second == owner;
                EXPECT_EQ(Release(text, owner), held) << text << " " << owner;
                if (held)
                    expected.erase(it);
                break;
            }
            default:
                EXPECT_EQ(index.Erase(PackedId(text)), expected.erase(text) != 0) << text;
                break;
        }
        ASSERT_EQ(index.size(), expected.size()) << round;
    }
    for (unsigned v = 0; v < 300; ++v) {
        auto it = expected.find(vifText(v));
        EXPECT_EQ(Owner(vifText(v)), it == expected.end() ? "-" : it->second) << v;
    }
    for (const auto& [text, owner] : expected)
        EXPECT_TRUE(index.Erase(PackedId(text)));
    EXPECT_EQ(index.size(), 0u);
    EXPECT_EQ(index.Bytes(), 0u);
    EXPECT_EQ(Owner(vifText(1)), "-");
}

}  // namespace
}  // namespace CfgAgent::dvs

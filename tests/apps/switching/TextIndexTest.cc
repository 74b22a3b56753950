// The conversion engine's index of texts held by records to the records' keys.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "apps/switching/TextIndex.h"

namespace CfgAgent::dvs {
namespace {

// Records in a node-based table, as the engine holds its ports: key -> the text indexed.
class TextIndexTest : public ::testing::Test {
  protected:
    const std::string& Add(const std::string& key, const std::string& text) {
        auto it = records.insert_or_assign(key, text).first;
        index.Claim(it->second, it->first);
        return it->first;
    }
    std::string Owner(const std::string& text) const {
        const std::string* o = index.Find(text);
        return o == nullptr ? "-" : *o;
    }
    std::map<std::string, std::string> records;
    TextIndex index;
};

TEST_F(TextIndexTest, ClaimsReleasesAndErasures) {
    Add("lsp-1", "vif-a");
    Add("lsp-2", "vif-b");
    EXPECT_EQ(Owner("vif-a"), "lsp-1");
    EXPECT_EQ(Owner("vif-b"), "lsp-2");
    EXPECT_EQ(Owner("vif-c"), "-");
    // The entry leads to the table's own key, not a copy of it.
    EXPECT_EQ(index.Find("vif-a"), &records.find("lsp-1")->first);
    // An empty text is not indexed.
    Add("lsp-3", "");
    EXPECT_EQ(index.size(), 2u);
    EXPECT_EQ(Owner(""), "-");

    // A later claim of the same text replaces the owner; the earlier owner can no longer release
    // it, the new one can.
    Add("lsp-3", "vif-a");
    EXPECT_EQ(Owner("vif-a"), "lsp-3");
    EXPECT_FALSE(index.Release("vif-a", "lsp-1"));
    EXPECT_EQ(Owner("vif-a"), "lsp-3");
    EXPECT_TRUE(index.Release("vif-a", "lsp-3"));
    EXPECT_EQ(Owner("vif-a"), "-");
    EXPECT_FALSE(index.Release("vif-a", "lsp-3"));

    // Erase removes whoever holds the text.
    EXPECT_TRUE(index.Erase("vif-b"));
    EXPECT_FALSE(index.Erase("vif-b"));
    EXPECT_EQ(index.size(), 0u);
    EXPECT_EQ(index.Bytes(), 0u);
}

// After a second owner took a text, the first one's string may change or go: the entry views the
// second owner's string only.
TEST_F(TextIndexTest, AReplacedOwnerMayChangeOrDropItsText) {
    Add("lsp-1", "vif-shared-by-two-ports-of-one-vm");
    Add("lsp-2", "vif-shared-by-two-ports-of-one-vm");
    records["lsp-1"] = "x";  // the first owner's string changes (released first by the engine)
    records.erase("lsp-1");
    EXPECT_EQ(Owner("vif-shared-by-two-ports-of-one-vm"), "lsp-2");
    for (int i = 0; i < 50; ++i)
        Add("lsp-" + std::to_string(100 + i), "vif-" + std::to_string(i) + std::string(40, 'z'));
    EXPECT_EQ(Owner("vif-shared-by-two-ports-of-one-vm"), "lsp-2");
    EXPECT_EQ(Owner("vif-7" + std::string(40, 'z')), "lsp-107");
    EXPECT_EQ(index.size(), 51u);
    // One tree node an entry, nothing for the texts and keys.
    EXPECT_EQ(index.Bytes(), 51u * 64u);
}

}  // namespace
}  // namespace CfgAgent::dvs

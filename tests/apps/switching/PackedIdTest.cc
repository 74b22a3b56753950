// Ids as the conversion engine keeps them per record: every text comes back as it was, equality,
// hashing and order are those of the texts, the two UUID forms and short texts take no heap block.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "apps/switching/PackedId.h"
#include "statecache/IdText.h"

namespace CfgAgent::dvs {
namespace {

using namespace std::string_literals;

struct IdCase {
    const char* name;
    std::string text;
    bool heap;  // held in a heap block of its own
};

const std::vector<IdCase>& Cases() {
    static const std::vector<IdCase> cases = {
        {"empty", "", false},
        {"short", "vif-0", false},
        {"inline capacity", std::string(22, 'x'), false},
        {"one past inline", std::string(23, 'x'), true},
        {"uuid text", "0b1c2d3e-4f50-6a7b-8c9d-aebfc0d1e2f3", false},
        {"uuid text all f", "ffffffff-ffff-ffff-ffff-ffffffffffff", false},
        {"uuid text upper case", "0B1C2D3E-4F50-6A7B-8C9D-AEBFC0D1E2F3", true},
        {"uuid text dash moved", "0b1c2d3e4-f50-6a7b-8c9d-aebfc0d1e2f3", true},
        {"uuid text not hex", "0b1c2d3e-4f50-6a7b-8c9d-aebfc0d1e2fg", true},
        {"uuid text one short", "0b1c2d3e-4f50-6a7b-8c9d-aebfc0d1e2f", true},
        {"uuid message", SerializedUuid(0xaa, 0x1234), false},
        {"uuid message zero bytes", SerializedUuid(0x0100000000000000, 0x00ff), false},
        {"uuid message left zero", SerializedUuid(0, 7), false},  // 9 bytes: inline
        {"uuid message bad tag", "\x0a"s + std::string(8, 'a') + "\x11"s + std::string(8, 'b'),
         false},
        {"uuid message 18 bytes, second tag wrong",
         "\x09"s + std::string(8, '\0') + "\x12"s + std::string(8, '\0'), false},
        {"long text", std::string(300, 'q') + "\0tail"s, true},
    };
    return cases;
}

TEST(PackedIdTest, EveryTextComesBackAsItWas) {
    for (const IdCase& c : Cases()) {
        PackedId id(c.text);
        EXPECT_EQ(id.str(), c.text) << c.name;
        EXPECT_EQ(id.text().view(), c.text) << c.name;
        EXPECT_EQ(id.size(), c.text.size()) << c.name;
        EXPECT_EQ(id.empty(), c.text.empty()) << c.name;
        EXPECT_TRUE(id == c.text) << c.name;
        EXPECT_EQ(id.HeapBytes() != 0, c.heap) << c.name;
        EXPECT_GE(id.HeapBytes(), c.heap ? c.text.size() : 0u) << c.name;
        // Copies and moves are independent of the original.
        PackedId copy = id;
        PackedId assigned("something else entirely, long enough for the heap");
        assigned = id;
        PackedId moved = std::move(copy);
        id = "changed";
        EXPECT_EQ(moved.str(), c.text) << c.name;
        EXPECT_EQ(assigned.str(), c.text) << c.name;
        EXPECT_TRUE(copy.empty()) << c.name;
        // An id assigned its own text keeps it.
        assigned = assigned.text().view();
        EXPECT_EQ(assigned.str(), c.text) << c.name;
        assigned.clear();
        EXPECT_TRUE(assigned.empty()) << c.name;
        EXPECT_EQ(assigned.HeapBytes(), 0u) << c.name;
    }
    EXPECT_EQ(sizeof(PackedId), 24u);
}

// Equality and hashing follow the texts; a std::map keyed by ids iterates in the texts' order.
TEST(PackedIdTest, EqualityHashAndOrderAreTheTexts) {
    std::vector<std::string> texts;
    for (const IdCase& c : Cases())
        texts.push_back(c.text);
    texts.push_back("0b1c2d3e-4f50-6a7b-8c9d-aebfc0d1e2f4");
    texts.push_back("0b1c2d3f-4f50-6a7b-8c9d-aebfc0d1e2f3");
    texts.push_back("1b1c2d3e-4f50-6a7b-8c9d-aebfc0d1e2f3");
    texts.push_back("a0000000-0000-0000-0000-000000000000");
    texts.push_back(SerializedUuid(0xab, 0x1234));
    texts.push_back(SerializedUuid(0xaa, 0x1334));
    texts.push_back(SerializedUuid(0xaa, 0x1235));
    texts.push_back(SerializedUuid(0xaa00, 0));
    for (const std::string& a : texts) {
        for (const std::string& b : texts) {
            PackedId x(a);
            PackedId y(b);
            EXPECT_EQ(x == y, a == b) << IdText(a) << " " << IdText(b);
            EXPECT_EQ(x != y, a != b) << IdText(a) << " " << IdText(b);
            EXPECT_EQ(x < y, a < b) << IdText(a) << " " << IdText(b);
            if (a == b) {
                EXPECT_EQ(x.Hash(), y.Hash()) << IdText(a);
            }
        }
    }
    std::map<PackedId, int> byId;
    std::map<std::string, int> byText;
    for (size_t i = 0; i < texts.size(); ++i) {
        byId.emplace(PackedId(texts[i]), static_cast<int>(i));
        byText.emplace(texts[i], static_cast<int>(i));
    }
    ASSERT_EQ(byId.size(), byText.size());
    auto t = byText.begin();
    for (const auto& [id, i] : byId) {
        EXPECT_EQ(id.str(), t->first);
        EXPECT_EQ(i, t->second);
        ++t;
    }
}

}  // namespace
}  // namespace CfgAgent::dvs

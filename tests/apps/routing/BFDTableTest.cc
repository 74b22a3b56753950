// BFDTable on its own: the order of session keys (addresses as their bytes read, family first),
// and adds and removals in every order checked against a plain model of the table, so that the
// places the table remembers between adds (the entry after the last add, the last switch added
// to) never send an entry or a reference astray.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "apps/routing/BFDTable.h"

namespace CfgAgent::test {
namespace {

BfdAddress V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    BfdAddress x;
    x.bytes[0] = a;
    x.bytes[1] = b;
    x.bytes[2] = c;
    x.bytes[3] = d;
    return x;
}

// fd00::, with `at` set to `value`.
BfdAddress V6(size_t at, uint8_t value) {
    BfdAddress x;
    x.ipv6 = true;
    x.bytes[0] = 0xfd;
    x.bytes[at] = value;
    return x;
}

BfdSessionKey Key(const BfdAddress& local, const BfdAddress& remote, uint32_t localLabel = 1,
                  uint32_t remoteLabel = 2) {
    BfdSessionKey k;
    k.local = local;
    k.remote = remote;
    k.localLabel = localLabel;
    k.remoteLabel = remoteLabel;
    return k;
}

struct OrderCase {
    const char* name;
    BfdSessionKey a;
    BfdSessionKey b;  // a < b
};

TEST(BFDTableTest, KeysOrderByFamilyThenAddressBytesThenLabels) {
    const std::vector<OrderCase> cases = {
        {"last IPv4 byte", Key(V4(10, 0, 0, 1), V4(10, 2, 0, 1)),
         Key(V4(10, 0, 0, 2), V4(10, 2, 0, 1))},
        {"a high byte outweighs the bytes after it", Key(V4(10, 0, 0, 255), V4(10, 2, 0, 1)),
         Key(V4(10, 0, 1, 0), V4(10, 2, 0, 1))},
        {"first byte", Key(V4(9, 255, 255, 255), V4(1, 1, 1, 1)),
         Key(V4(10, 0, 0, 0), V4(1, 1, 1, 1))},
        {"remote after an equal local", Key(V4(10, 0, 0, 1), V4(10, 2, 0, 1)),
         Key(V4(10, 0, 0, 1), V4(10, 2, 0, 2))},
        {"the local address outweighs the remote", Key(V4(10, 0, 0, 1), V4(10, 9, 9, 9)),
         Key(V4(10, 0, 0, 2), V4(10, 0, 0, 0))},
        {"IPv4 before IPv6", Key(V4(255, 255, 255, 255), V4(1, 1, 1, 1)),
         Key(V6(15, 0), V4(1, 1, 1, 1))},
        {"IPv6 byte 7", Key(V6(7, 1), V6(15, 1)), Key(V6(7, 2), V6(15, 1))},
        {"IPv6 byte 8", Key(V6(8, 1), V6(15, 1)), Key(V6(8, 2), V6(15, 1))},
        {"IPv6 last byte", Key(V6(15, 1), V6(15, 1)), Key(V6(15, 2), V6(15, 1))},
        {"IPv6 byte 7 outweighs byte 8", Key(V6(8, 255), V6(15, 1)), Key(V6(7, 1), V6(15, 1))},
        {"remote IPv6 last byte", Key(V6(15, 1), V6(15, 1)), Key(V6(15, 1), V6(15, 2))},
        {"local label", Key(V4(10, 0, 0, 1), V4(10, 2, 0, 1), 1, 9),
         Key(V4(10, 0, 0, 1), V4(10, 2, 0, 1), 2, 0)},
        {"remote label", Key(V4(10, 0, 0, 1), V4(10, 2, 0, 1), 1, 2),
         Key(V4(10, 0, 0, 1), V4(10, 2, 0, 1), 1, 3)},
    };
    for (const OrderCase& c : cases) {
        EXPECT_TRUE(c.a < c.b) << c.name;
        EXPECT_FALSE(c.b < c.a) << c.name;
        EXPECT_FALSE(c.a == c.b) << c.name;
        EXPECT_TRUE(c.a == c.a) << c.name;
    }
}

// The table as a plain map: (key, reference) -> VNI.
using Model = std::map<BFDTable::Item, uint32_t>;

// "local>remote label ref/type/local vni" lines of the table's entries, in the table's order.
std::string Line(const BfdSessionKey& key, const BfdReference& ref, uint32_t vni) {
    return key.local.Text() + ">" + key.remote.Text() + " " + std::to_string(key.localLabel) + "/" +
           std::to_string(key.remoteLabel) + " " + ref.remoteId + "/" +
           std::to_string(int(ref.remoteType)) + "/" + ref.localId + " " + std::to_string(vni);
}

std::vector<std::string> Listing(const BFDTable& table) {
    std::vector<std::string> out;
    for (const auto& [key, refs] : table.Entries()) {
        for (const auto& [ref, vni] : refs)
            out.push_back(Line(key, ref, vni));
    }
    return out;
}

// The model orders its items as the table does: by key, then by reference.
std::vector<std::string> Listing(const Model& model) {
    std::vector<std::string> out;
    for (const auto& [item, vni] : model)
        out.push_back(Line(item.first, item.second, vni));
    return out;
}

// The references a switch's index holds, with their VNIs, against the model's.
void ExpectLocalIndex(const BFDTable& table, const Model& model, const std::string& local) {
    Model want;
    for (const auto& [item, vni] : model) {
        if (item.second.localId == local)
            want.emplace(item, vni);
    }
    Model have;
    for (const BFDTable::Ref& r : table.OfLocal(local)) {
        ASSERT_NE(r.vni, nullptr);
        EXPECT_TRUE(have.emplace(BFDTable::Item{*r.key, *r.ref}, *r.vni).second);
    }
    EXPECT_EQ(have, want) << "index of " << local;
}

class BFDTableModelTest : public ::testing::Test {
  protected:
    void Add(const BfdSessionKey& k, const BfdReference& ref, uint32_t vni) {
        BFDTable::Item item{k, ref};
        auto it = model.find(item);
        const bool entryExists = std::any_of(model.begin(), model.end(),
                                             [&](const auto& e) { return e.first.first == k; });
        BFDTable::Result want = it != model.end() ? BFDTable::Result::kPresent
                                : entryExists     ? BFDTable::Result::kInserted
                                                  : BFDTable::Result::kCreated;
        uint32_t oldVni = 12345;
        ASSERT_EQ(table.Add(k, ref, vni, &oldVni), want);
        if (it != model.end()) {
            EXPECT_EQ(oldVni, it->second);
        }
        model[item] = vni;
    }
    void Remove(const BfdSessionKey& k, const BfdReference& ref) {
        auto it = model.find(BFDTable::Item{k, ref});
        uint32_t vni = 0;
        if (it == model.end()) {
            ASSERT_EQ(table.Remove(k, ref, &vni), BFDTable::Result::kAbsent);
            return;
        }
        const uint32_t had = it->second;
        model.erase(it);
        const bool entryLeft = std::any_of(model.begin(), model.end(),
                                           [&](const auto& e) { return e.first.first == k; });
        ASSERT_EQ(table.Remove(k, ref, &vni),
                  entryLeft ? BFDTable::Result::kRemoved : BFDTable::Result::kEntryRemoved);
        EXPECT_EQ(vni, had);
    }
    void ExpectSame() {
        EXPECT_EQ(Listing(table), Listing(model));
        EXPECT_EQ(table.ReferenceCount(), model.size());
        for (const char* local : {"ls-a", "ls-b", "ls-c"})
            ExpectLocalIndex(table, model, local);
    }
    static BfdSessionKey KeyOf(int n) { return Key(V4(10, 0, 0, 1 + n % 2), V4(10, 2, 0, n)); }
    static BfdReference RefOf(int n) {
        static const char* locals[] = {"ls-a", "ls-b", "ls-c"};
        return BfdReference{"remote-" + std::to_string(n % 2), BfdIdType::kLogicalSwitch,
                            locals[n % 3]};
    }

    BFDTable table;
    Model model;
};

TEST_F(BFDTableModelTest, AddsInOrderOutOfOrderAndBetweenRemovalsKeepTheTableRight) {
    // Ascending (each add right after the last), descending, then into the gaps.
    for (int n = 0; n < 20; n += 2)
        Add(KeyOf(n), RefOf(0), 5001);
    ExpectSame();
    for (int n = 39; n >= 21; n -= 2)
        Add(KeyOf(n), RefOf(1), 5002);
    ExpectSame();
    for (int n = 1; n < 20; n += 2)
        Add(KeyOf(n), RefOf(2), 5003);
    ExpectSame();
    // The entry after the last add goes, then an add where it was, and after it.
    Add(KeyOf(10), RefOf(3), 5001);
    Remove(KeyOf(11), RefOf(2));
    Add(KeyOf(11), RefOf(4), 5004);
    Add(KeyOf(12), RefOf(5), 5004);
    ExpectSame();
    // The last add's own entry goes with its only reference, then an add before and after it.
    Add(KeyOf(50), RefOf(0), 5001);
    Remove(KeyOf(50), RefOf(0));
    Add(KeyOf(49), RefOf(0), 5001);
    Add(KeyOf(51), RefOf(0), 5001);
    ExpectSame();
    // A switch's whole index goes, then the switch is added to again.
    for (const auto& [item, vni] : Model(model)) {
        if (item.second.localId == "ls-c")
            Remove(item.first, item.second);
    }
    EXPECT_TRUE(table.OfLocal("ls-c").empty());
    Add(KeyOf(5), RefOf(2), 5003);
    Add(KeyOf(60), RefOf(2), 5003);
    ExpectSame();
    // A present reference takes a new VNI.
    Add(KeyOf(5), RefOf(2), 6000);
    ExpectSame();
}

TEST_F(BFDTableModelTest, ARandomRunMatchesTheModel) {
    std::mt19937 random(20261208);
    for (int step = 0; step < 3000; ++step) {
        const int key = int(random() % 48);
        const int ref = int(random() % 6);
        if (random() % 3 == 0)
            Remove(KeyOf(key), RefOf(ref));
        else
            Add(KeyOf(key), RefOf(ref), 5000 + random() % 3);
        if (step % 500 == 0)
            ExpectSame();
    }
    ExpectSame();
    for (const auto& [item, vni] : Model(model))
        Remove(item.first, item.second);
    EXPECT_EQ(table.EntryCount(), 0u);
    ExpectSame();
}

}  // namespace
}  // namespace CfgAgent::test

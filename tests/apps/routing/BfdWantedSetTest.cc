// BfdWantedSet: the sessions of one family per pair of VTEP lists, and Seal's order and repeats
// checked against the plain map of (key, reference) -> VNI that the table's walk expects (the VNI
// of the last add kept), on random lists of both families with shared references.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "apps/routing/BFDTable.h"
#include "apps/routing/BfdWantedSet.h"

namespace CfgAgent::test {
namespace {

using Vtep = BfdWantedSet::Vtep;

Vtep V4(uint8_t last, uint32_t label) {
    Vtep v;
    v.ip.bytes = {10, 0, 0, last};
    v.label = label;
    return v;
}

Vtep V6(uint8_t last, uint32_t label) {
    Vtep v;
    v.ip.ipv6 = true;
    v.ip.bytes[0] = 0xfd;
    v.ip.bytes[15] = last;
    v.label = label;
    return v;
}

const BfdReference kSwitchRef{"ls-1", BfdIdType::kLogicalSwitch, "ls-1"};
const BfdReference kDomainRef{"rd-1", BfdIdType::kRoutingDomain, "ls-1"};
const BfdReference kGroupRef{"7", BfdIdType::kVtepGroup, "ls-1"};

struct Seen {
    std::string local;
    std::string remote;
    uint32_t localLabel;
    uint32_t remoteLabel;
    uint32_t tnVgLabel;
    std::string remoteId;
    uint32_t vni;
};

std::vector<Seen> ItemsOf(const BfdWantedSet& set) {
    std::vector<Seen> out;
    for (const BFDTable::Ref& r : set.Items()) {
        EXPECT_EQ(r.key->type, BfdSessionType::kTunnel);
        out.push_back(Seen{r.key->local.Text(), r.key->remote.Text(), r.key->localLabel,
                           r.key->remoteLabel, r.key->tnVgLabel, r.ref->remoteId, *r.vni});
    }
    return out;
}

struct PairCase {
    const char* name;
    std::vector<Vtep> local;
    std::vector<Vtep> remote;
    uint32_t tnVgLabel;
    std::vector<Seen> want;
};

TEST(BfdWantedSetTest, PairsEndpointsOfOneFamilyWithTheirLabels) {
    const std::vector<PairCase> cases = {
        {"one to one",
         {V4(1, 11)},
         {V4(9, 21)},
         0,
         {{"10.0.0.1", "10.0.0.9", 11, 21, 0, "ls-1", 5}}},
        {"two local by two remote, in key order",
         {V4(2, 12), V4(1, 11)},
         {V4(9, 29), V4(8, 28)},
         0,
         {{"10.0.0.1", "10.0.0.8", 11, 28, 0, "ls-1", 5},
          {"10.0.0.1", "10.0.0.9", 11, 29, 0, "ls-1", 5},
          {"10.0.0.2", "10.0.0.8", 12, 28, 0, "ls-1", 5},
          {"10.0.0.2", "10.0.0.9", 12, 29, 0, "ls-1", 5}}},
        {"an IPv6 remote is no peer of an IPv4 local",
         {V4(1, 11), V6(1, 31)},
         {V6(9, 41), V4(9, 21)},
         0,
         {{"10.0.0.1", "10.0.0.9", 11, 21, 0, "ls-1", 5},
          {"fd00::1", "fd00::9", 31, 41, 0, "ls-1", 5}}},
        {"the group label goes into the key",
         {V4(1, 11)},
         {V4(9, 21)},
         7,
         {{"10.0.0.1", "10.0.0.9", 11, 21, 7, "ls-1", 5}}},
        {"no local VTEP", {}, {V4(9, 21)}, 0, {}},
        {"no remote VTEP", {V4(1, 11)}, {}, 0, {}},
        {"families that never meet", {V4(1, 11)}, {V6(9, 41)}, 0, {}},
    };
    for (const PairCase& c : cases) {
        BfdWantedSet set;
        set.Pair(c.local, c.remote, c.tnVgLabel, kSwitchRef, 5);
        set.Seal();
        const std::vector<Seen> got = ItemsOf(set);
        ASSERT_EQ(got.size(), c.want.size()) << c.name;
        EXPECT_EQ(set.size(), c.want.size()) << c.name;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].local, c.want[i].local) << c.name << " #" << i;
            EXPECT_EQ(got[i].remote, c.want[i].remote) << c.name << " #" << i;
            EXPECT_EQ(got[i].localLabel, c.want[i].localLabel) << c.name << " #" << i;
            EXPECT_EQ(got[i].remoteLabel, c.want[i].remoteLabel) << c.name << " #" << i;
            EXPECT_EQ(got[i].tnVgLabel, c.want[i].tnVgLabel) << c.name << " #" << i;
            EXPECT_EQ(got[i].remoteId, c.want[i].remoteId) << c.name << " #" << i;
            EXPECT_EQ(got[i].vni, c.want[i].vni) << c.name << " #" << i;
        }
    }
}

TEST(BfdWantedSetTest, ASessionWantedTwiceByOneReferenceKeepsTheLastVni) {
    BfdWantedSet set;
    // A switch's own VTEPs and its domain's, both recorded against the domain, share a pair.
    set.Pair({V4(1, 11)}, {V4(9, 21), V4(8, 28)}, 0, kDomainRef, 5);
    set.Pair({V4(1, 11)}, {V4(9, 21)}, 0, BfdReference(kDomainRef), 6);
    set.Seal();
    const std::vector<Seen> got = ItemsOf(set);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].remote, "10.0.0.8");
    EXPECT_EQ(got[0].vni, 5u);
    EXPECT_EQ(got[1].remote, "10.0.0.9");
    EXPECT_EQ(got[1].vni, 6u);
}

TEST(BfdWantedSetTest, OneKeyWantedByTwoReferencesStaysTwiceInReferenceOrder) {
    BfdWantedSet set;
    set.Pair({V4(1, 11)}, {V4(9, 21)}, 0, kSwitchRef, 5);
    set.Pair({V4(1, 11)}, {V4(9, 21)}, 0, kDomainRef, 5);
    set.Seal();
    const std::vector<Seen> got = ItemsOf(set);
    ASSERT_EQ(got.size(), 2u);
    // "ls-1" < "rd-1": the switch's reference first, as the table orders them.
    EXPECT_EQ(got[0].remoteId, "ls-1");
    EXPECT_EQ(got[1].remoteId, "rd-1");
}

// The old derivation's result: a map in the table's order, each (key, reference) once with the
// VNI assigned last.
using Model = std::map<BFDTable::Item, uint32_t, BFDTable::ItemLess>;

void ModelPair(const std::vector<Vtep>& local, const std::vector<Vtep>& remote, uint32_t label,
               const BfdReference& ref, uint32_t vni, Model* out) {
    for (const Vtep& l : local) {
        for (const Vtep& r : remote) {
            if (l.ip.ipv6 != r.ip.ipv6)
                continue;
            BfdSessionKey k;
            k.local = l.ip;
            k.remote = r.ip;
            k.localLabel = l.label;
            k.remoteLabel = r.label;
            k.tnVgLabel = label;
            (*out)[BFDTable::Item{k, ref}] = vni;
        }
    }
}

TEST(BfdWantedSetTest, RandomListsMatchTheMapOfTheirPairs) {
    std::mt19937 rng(20261208);
    const std::vector<BfdReference> refs = {kSwitchRef, kDomainRef, kGroupRef};
    for (int round = 0; round < 200; ++round) {
        auto list = [&] {
            std::vector<Vtep> out(rng() % 6);
            for (Vtep& v : out) {
                // Few distinct addresses and labels: repeats are common.
                const uint8_t last = static_cast<uint8_t>(rng() % 4);
                v = rng() % 3 == 0 ? V6(last, rng() % 2) : V4(last, rng() % 2);
            }
            return out;
        };
        BfdWantedSet set;
        Model model;
        const int pairs = 1 + static_cast<int>(rng() % 4);
        for (int p = 0; p < pairs; ++p) {
            const std::vector<Vtep> local = list();
            const std::vector<Vtep> remote = list();
            const BfdReference& ref = refs[rng() % refs.size()];
            const uint32_t label = rng() % 2 == 0 ? 0 : 7;
            const uint32_t vni = 5000 + rng() % 3;
            set.Pair(local, remote, label, ref, vni);
            ModelPair(local, remote, label, ref, vni, &model);
        }
        set.Seal();
        ASSERT_EQ(set.size(), model.size()) << "round " << round;
        auto m = model.begin();
        for (const BFDTable::Ref& r : set.Items()) {
            EXPECT_TRUE(*r.key == m->first.first) << "round " << round;
            EXPECT_TRUE(*r.ref == m->first.second) << "round " << round;
            EXPECT_EQ(*r.vni, m->second) << "round " << round;
            ++m;
        }
    }
}

}  // namespace
}  // namespace CfgAgent::test

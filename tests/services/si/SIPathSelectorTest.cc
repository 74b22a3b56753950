// Path ordering and slot selection of a service chain.
#include "services/si/SIPathSelector.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace CfgAgent::si {
namespace {

// A path with the given forward (and reverse) counts; `fwd`/`rev` false: no hops that way.
Path P(const std::string& uuid, uint32_t local, uint32_t cross, uint32_t pref, bool fwd = true,
       bool rev = true, uint32_t revLocal = 0, uint32_t revCross = 0) {
    Path p;
    p.uuid = uuid;
    Hop h;
    h.mac = {2, 0, 0, 0, 0, 1};
    if (fwd) {
        p.forward.hops.push_back(h);
        p.forward.local = local;
        p.forward.cross = cross;
        p.forward.preference = pref;
    }
    if (rev) {
        p.reverse.hops.push_back(h);
        p.reverse.local = fwd ? revLocal : local;
        p.reverse.cross = fwd ? revCross : cross;
        p.reverse.preference = fwd ? 0 : pref;
    }
    return p;
}

std::vector<std::string> Ordered(uint8_t selection, const std::vector<Path>& paths) {
    std::vector<const Path*> v;
    for (const Path& p : paths)
        v.push_back(&p);
    SIPathSelector::Order(selection, &v);
    std::vector<std::string> out;
    for (const Path* p : v)
        out.push_back(p->uuid);
    return out;
}

TEST(SIPathSelectorTest, PoliciesOrderByTheirCounts) {
    const std::vector<Path> paths = {
        P("a", 1, 0, 0), P("b", 3, 2, 0), P("c", 3, 1, 0), P("d", 3, 1, 9), P("e", 0, 0, 0),
    };
    // LOCAL: more local hops, then fewer crossings, then the larger preference.
    EXPECT_EQ(Ordered(kSelectLocal, paths), (std::vector<std::string>{"d", "c", "b", "a", "e"}));
    // REMOTE: fewer crossings, then more local hops, then the larger preference.
    EXPECT_EQ(Ordered(kSelectRemote, paths), (std::vector<std::string>{"a", "e", "d", "c", "b"}));
    // ANY keeps the order it is given.
    EXPECT_EQ(Ordered(kSelectAny, paths), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    // Equal keys keep their order (stable).
    EXPECT_EQ(Ordered(kSelectLocal, {P("x", 1, 1, 1), P("y", 1, 1, 1), P("z", 1, 1, 1)}),
              (std::vector<std::string>{"x", "y", "z"}));
}

TEST(SIPathSelectorTest, OneDirectionPathsCompareOnTheirReverseAfterTheOthers) {
    const std::vector<Path> paths = {
        P("rev-only-good", 5, 0, 0, false, true),
        P("none", 9, 0, 0, false, false),
        P("fwd-poor", 0, 4, 0),
        P("rev-only-poor", 1, 3, 0, false, true),
        P("fwd-only", 2, 0, 0, true, false),
    };
    EXPECT_EQ(Ordered(kSelectLocal, paths),
              (std::vector<std::string>{"fwd-only", "fwd-poor", "rev-only-good", "rev-only-poor",
                                        "none"}));
    EXPECT_EQ(Ordered(kSelectRemote, paths),
              (std::vector<std::string>{"fwd-only", "fwd-poor", "rev-only-good", "rev-only-poor",
                                        "none"}));
}

// A strict weak ordering: irreflexive, asymmetric, transitive, and incomparability transitive,
// on random paths with few distinct counts (many ties) and some one-direction paths.
TEST(SIPathSelectorTest, AheadIsAStrictWeakOrderingOnRandomPaths) {
    std::mt19937 rng(42);
    std::vector<Path> paths;
    for (int i = 0; i < 60; ++i) {
        paths.push_back(P(std::to_string(i), rng() % 3, rng() % 3, rng() % 2, rng() % 5 != 0,
                          rng() % 5 != 0, rng() % 3, rng() % 3));
    }
    for (uint8_t sel : {kSelectLocal, kSelectRemote}) {
        auto lt = [sel](const Path& a, const Path& b) { return SIPathSelector::Ahead(sel, a, b); };
        for (const Path& a : paths) {
            EXPECT_FALSE(lt(a, a));
            for (const Path& b : paths) {
                if (lt(a, b)) {
                    EXPECT_FALSE(lt(b, a));
                }
                for (const Path& c : paths) {
                    if (lt(a, b) && lt(b, c)) {
                        EXPECT_TRUE(lt(a, c)) << a.uuid << " " << b.uuid << " " << c.uuid;
                    }
                    bool abEq = !lt(a, b) && !lt(b, a), bcEq = !lt(b, c) && !lt(c, b);
                    if (abEq && bcEq) {
                        EXPECT_TRUE(!lt(a, c) && !lt(c, a)) << a.uuid << b.uuid << c.uuid;
                    }
                }
            }
        }
    }
}

std::vector<const Path*> Ptrs(const std::vector<Path>& paths) {
    std::vector<const Path*> v;
    for (const Path& p : paths)
        v.push_back(&p);
    return v;
}

TEST(SIPathSelectorTest, NineEqualPathsUseSevenEachOnceFromTheRandomIndex) {
    std::vector<Path> paths;
    for (int i = 0; i < 9; ++i)
        paths.push_back(P("p" + std::to_string(i), 1, 1, 0));
    SIPathSelector selector([] { return 3u; });
    std::vector<std::string> slots = selector.Select(Ptrs(paths), {});
    EXPECT_EQ(slots, (std::vector<std::string>{"p3", "p4", "p5", "p6", "p7", "p8", "p0"}));
    // The same best paths again: nothing moves.
    EXPECT_EQ(selector.Select(Ptrs(paths), slots), slots);
}

TEST(SIPathSelectorTest, SlotsAreSharedEquallyAndKeptWherePossible) {
    std::vector<Path> paths = {P("a", 1, 1, 0), P("b", 1, 1, 0)};
    uint32_t next = 0;
    SIPathSelector selector([&next] { return next; });
    // One path: all 7 slots. Two: 3 each (7 / 2), the one in use keeping its first slots.
    EXPECT_EQ(selector.Select({&paths[0]}, {}), std::vector<std::string>(7, "a"));
    std::vector<std::string> two = selector.Select(Ptrs(paths), std::vector<std::string>(7, "a"));
    EXPECT_EQ(two, (std::vector<std::string>{"a", "a", "a", "b", "b", "b"}));
    // A better path alone is best: the others leave.
    paths.push_back(P("c", 2, 0, 0));
    std::vector<const Path*> v = Ptrs(paths);
    SIPathSelector::Order(kSelectLocal, &v);
    EXPECT_EQ(SIPathSelector::BestRun(v), 1u);
    EXPECT_EQ(selector.Select(v, two), std::vector<std::string>(7, "c"));
    // No path: no slot (the chain's entry goes).
    EXPECT_TRUE(selector.Select({}, two).empty());
}

TEST(SIPathSelectorTest, BestRunComparesBothDirections) {
    std::vector<Path> paths = {P("a", 1, 1, 5, true, true, 2, 0), P("b", 1, 1, 4, true, true, 2, 0),
                               P("c", 1, 1, 3, true, true, 1, 0)};
    EXPECT_EQ(SIPathSelector::BestRun(Ptrs(paths)), 2u);
    EXPECT_EQ(SIPathSelector::BestRun({}), 0u);
}

}  // namespace
}  // namespace CfgAgent::si

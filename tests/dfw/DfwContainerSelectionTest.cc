// Containers and selection: address sets and L7/time containers converted from cached containers
// and context profiles (weekdays, zones in any case, calendar times, the default time of day,
// independence from the agent's time zone, refusals with LCP01160), and which rules apply to which
// port (direct, through a group, none, the IDFW and IDS skips, shared selections).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <functional>
#include <string>
#include <typeinfo>
#include <vector>

#include "dfw/DfwContainerConverter.h"
#include "dfw/DfwMsgCache.h"
#include "dfw/DfwRuleSelector.h"
#include "platform/tarp/CTarpFWAddrSet.h"
#include "platform/tarp/CTarpFWContainer.h"
#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/TarpWire.h"
#include "proto/lcp_firewall.pb.h"
#include "tests/support/DfwRecords.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

using namespace test::dfw;
namespace fw = orvane::ozy::firewall;
using TarpFirewall::CTarpFWContainer;

fw::LcpContainerMsg Profile(
    const std::vector<std::pair<std::string, std::vector<std::string>>>& attrs) {
    auto cache = ozy::MakeRef<DfwMsgCache>();
    cache->UpdateDesiredState({ProfileRec(60, attrs)}, true);
    return *cache->Peek().containers->at(U(60));
}

// (key, value) of every element.
std::vector<std::pair<uint16_t, std::string>> Elements(const CTarpFWContainer& c) {
    std::vector<std::pair<uint16_t, std::string>> out;
    for (const auto& e : c.elements())
        out.emplace_back(e.key(), e.text());
    return out;
}

class ScopedTz {
  public:
    explicit ScopedTz(const char* tz) {
        const char* old = getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            saved_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (had_)
            setenv("TZ", saved_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool had_ = false;
    std::string saved_;
};

TEST(DfwContainerConverterTest, AddressSetHoldsEveryAddressKind) {
    pb::ContainerMsg c;
    *c.mutable_id() = Uuid(50);
    AddIpv4(c.add_ip_addresses(), 0x0A000000, 8);
    pb::FirewallAddressMsg* v6 = c.add_ip_addresses();
    v6->mutable_ip()->set_ipv6(std::string("\x20\x01\x0d\xb8", 4) + std::string(12, '\0'));
    c.add_mac_addresses(0x020000000001);
    AddIpv4(c.add_excluded_ip_addresses(), 0x0A000001);
    c.set_ip_reputation(true);
    fw::LcpContainerMsg m;
    m.ParseFromString(c.SerializeAsString());
    auto set = DfwContainerConverter::AddressSet(m);
    EXPECT_EQ(set->name(), U(50).Text());
    ASSERT_EQ(set->addresses().size(), 3u);
    EXPECT_EQ(set->addresses()[0].ToString(), "10.0.0.0/8");
    EXPECT_EQ(set->addresses()[1].prefix(), 128);
    EXPECT_EQ(set->addresses()[2].ToString(), "02:00:00:00:00:01");
    ASSERT_EQ(set->excluded().size(), 1u);
    EXPECT_TRUE(set->ipReputation());
}

TEST(DfwContainerConverterTest, AttributeProfileBecomesAnAttributeContainer) {
    auto c = DfwContainerConverter::Attributes(
        Profile({{"APP_ID", {"HTTP"}}, {"DOMAIN_NAME", {"example.org"}}}));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->type(), CTarpFWContainer::Type::kAttributes);
    EXPECT_EQ(Elements(*c),
              (std::vector<std::pair<uint16_t, std::string>>{{0, "HTTP"}, {1, "example.org"}}));
}

TEST(DfwContainerConverterTest, TimeProfilesAreTheSameWhateverTheAgentsZone) {
    auto profile = Profile({{"DAY_OF_WEEK", {"monday", "SUNDAY", "Saturday"}},
                            {"START_TIME", {"01/31/2027,08:00"}},
                            {"END_TIME", {"12/31/2027,18:30"}},
                            {"TIME_ZONE", {"local"}}});
    std::vector<std::pair<uint16_t, std::string>> seen[2];
    const char* zones[2] = {"UTC", "Asia/Tokyo"};
    for (int i = 0; i < 2; ++i) {
        ScopedTz tz(zones[i]);
        auto c = DfwContainerConverter::Attributes(profile);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->type(), CTarpFWContainer::Type::kTime);
        seen[i] = Elements(*c);
    }
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0], (std::vector<std::pair<uint16_t, std::string>>{
                           {12, "MONDAY"},
                           {12, "SUNDAY"},
                           {12, "SATURDAY"},
                           {13, "01/31/2027,08:00"},
                           {14, "12/31/2027,18:30"},
                           {16, "LOCAL"},
                           {15, DfwContainerConverter::kWholeDay}}));
    auto utc = DfwContainerConverter::Attributes(
        Profile({{"TIME_ZONE", {"utc"}}, {"TIME_OF_DAY", {"08:00,17:00"}}}));
    EXPECT_EQ(Elements(*utc),
              (std::vector<std::pair<uint16_t, std::string>>{{16, "UTC"}, {15, "08:00,17:00"}}));
}

struct AttrRefusal {
    const char* name;
    std::vector<std::pair<std::string, std::vector<std::string>>> attrs;
    const char* line;
};

class DfwAttrRefusalTest : public ::testing::TestWithParam<AttrRefusal> {};

TEST_P(DfwAttrRefusalTest, FailsTheBuildWithAPlainLibraryException) {
    test::LogCapture log;
    int saved = g_dfwLogLevel.load();
    g_dfwLogLevel = kLogTrace;
    try {
        DfwContainerConverter::Attributes(Profile(GetParam().attrs));
        ADD_FAILURE() << "converted";
    } catch (const TarpFirewall::CTarpFWException& e) {
        EXPECT_EQ(typeid(e), typeid(TarpFirewall::CTarpFWException)) << "raised again as itself";
        EXPECT_EQ(e.retcode(), ozy::tarp::kStatusInvalidConfig);
    }
    EXPECT_TRUE(log.ContainsWithCode("dfw:  ", "LCP01160")) << log.Dump();
    EXPECT_TRUE(log.Contains(GetParam().line)) << log.Dump();
    g_dfwLogLevel = saved;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DfwAttrRefusalTest,
    ::testing::Values(AttrRefusal{"Weekday",
                                  {{"DAY_OF_WEEK", {"FUNDAY"}}},
                                  "dfw:  validation failed for key DAY_OF_WEEK value FUNDAY"},
                      AttrRefusal{
                          "CalendarTime",
                          {{"START_TIME", {"13/01/2027,08:00"}}},
                          "dfw:  validation failed for key START_TIME value 13/01/2027,08:00"},
                      AttrRefusal{"Zone",
                                  {{"TIME_ZONE", {"CET"}}},
                                  "dfw:  validation failed for key TIME_ZONE value CET"},
                      AttrRefusal{"UnknownKey", {{"NO_SUCH_KEY", {"x"}}}, "NO_SUCH_KEY"},
                      AttrRefusal{"MixedKinds",
                                  {{"APP_ID", {"HTTP"}}, {"DAY_OF_WEEK", {"MONDAY"}}},
                                  "mixes time and other attributes"}),
    [](const ::testing::TestParamInfo<AttrRefusal>& i) { return std::string(i.param.name); });

// ---- selection ----------------------------------------------------------------------------------

class DfwSelectionTest : public ::testing::Test {
  protected:
    DfwSelectionTest() {
        auto applied = [](std::vector<uint64_t> ports, std::vector<uint64_t> groups) {
            return [ports, groups](pb::RuleMsg& r) {
                for (uint64_t p : ports)
                    *r.mutable_applied_to()->add_logical_switch_port_ids() = Uuid(p);
                for (uint64_t g : groups)
                    *r.mutable_applied_to()->add_container_ids() = Uuid(g);
            };
        };
        cache_->UpdateDesiredState(
            {RuleRec(100, 1, 1), RuleRec(101, 2, 1, applied({7}, {})),
             RuleRec(102, 3, 1, applied({}, {50})), RuleRec(103, 4, 1, applied({8}, {51})),
             RuleRec(104, 5, 1,
                     [](pb::RuleMsg& r) {
                         *r.mutable_extended_source()->add_container_ids() = Uuid(52);
                     }),
             RuleRec(105, 6, 1, [](pb::RuleMsg& r) { *r.add_ids_profile_ids() = Uuid(53); }),
             GroupRec(70, 50, {7, 9, 10, 13}), GroupRec(71, 51, {10})},
            true);
        snap_ = cache_->TakeSnapshot();
        for (const auto& [id, r] : *snap_.rules)
            rules_.push_back(r.get());
    }
    std::vector<uint32_t> Ids(DfwRuleSelector& s, uint64_t port, DfwRuleSelector::Flags f) {
        std::vector<uint32_t> out;
        for (size_t i : *s.Select(U(port), f))
            out.push_back(rules_[i]->rule_id());
        return out;
    }

    ozy::RefPtr<DfwMsgCache> cache_ = ozy::MakeRef<DfwMsgCache>();
    DfwMsgSnapshot snap_;
    DfwRuleSelector::Rules rules_;
};

TEST_F(DfwSelectionTest, DirectGroupAndNoApplyTo) {
    DfwRuleSelector s(rules_, *snap_.groups);
    const DfwRuleSelector::Flags on{true, true};
    EXPECT_EQ(Ids(s, 7, on), (std::vector<uint32_t>{1, 2, 3, 5, 6}));   // direct and group 50
    EXPECT_EQ(Ids(s, 8, on), (std::vector<uint32_t>{1, 4, 5, 6}));      // direct
    EXPECT_EQ(Ids(s, 10, on), (std::vector<uint32_t>{1, 3, 4, 5, 6}));  // groups 50 and 51
    EXPECT_EQ(Ids(s, 11, on), (std::vector<uint32_t>{1, 5, 6}));        // no match
}

TEST_F(DfwSelectionTest, IdfwAndIdsOffSkipTheirRules) {
    test::LogCapture log;
    int saved = g_dfwLogLevel.load();
    g_dfwLogLevel = kLogTrace;
    DfwRuleSelector s(rules_, *snap_.groups);
    EXPECT_EQ(Ids(s, 11, {false, true}), (std::vector<uint32_t>{1, 6}));
    EXPECT_EQ(Ids(s, 11, {true, false}), (std::vector<uint32_t>{1, 5}));
    EXPECT_EQ(Ids(s, 11, {false, false}), (std::vector<uint32_t>{1}));
    EXPECT_TRUE(log.Contains("dfw: Skipped rule 5 due to IDFW is disabled"));
    EXPECT_TRUE(log.Contains("dfw: Skipped rule 6 due to IDS is disabled"));
    g_dfwLogLevel = saved;
}

TEST_F(DfwSelectionTest, PortsSharingTheirGroupsSelectOnce) {
    DfwRuleSelector s(rules_, *snap_.groups);
    const DfwRuleSelector::Flags on{true, true};
    // Port 9 is in group 50 only and named by no rule: it shares port 7's groups but not its
    // direct rule.
    auto nine = s.Select(U(9), on);
    auto seven = s.Select(U(7), on);
    EXPECT_NE(nine, seven);
    auto alsoNine = s.Select(U(12), on);  // no group, no direct rule
    auto eleven = s.Select(U(11), on);
    EXPECT_EQ(alsoNine.get(), eleven.get());
    EXPECT_EQ(s.Select(U(13), on).get(), nine.get()) << "same groups, no direct rule";
    EXPECT_EQ(*nine, (std::vector<size_t>{0, 2, 4, 5}));
    EXPECT_EQ(s.distinctSelections(), 3u);
}

// Groups that no rule names select nothing: a port in them shares the selection of the ports
// with the same named groups (and no direct rule), whatever else it is in.
TEST_F(DfwSelectionTest, GroupsNoRuleNamesLeaveTheSelectionShared) {
    DfwRuleSelector s(rules_, *snap_.groups);
    const DfwRuleSelector::Flags on{true, true};
    const auto none = s.Select(U(11), {}, on);
    const auto inFifty = s.Select(U(9), {U(50)}, on);
    const struct {
        uint64_t port;
        std::vector<DfwUuid> groups;  // sorted
        const DfwRuleSelector::Selection* same;
    } cases[] = {
        {12, {U(60)}, &none},
        {20, {U(60), U(61)}, &none},
        {13, {U(50), U(60)}, &inFifty},
        {14, {U(49), U(50)}, &inFifty},
    };
    for (const auto& c : cases) {
        auto got = s.Select(U(c.port), c.groups, on);
        EXPECT_EQ(got.get(), c.same->get()) << c.port;
        EXPECT_EQ(*got, **c.same) << c.port;
    }
    EXPECT_EQ(s.distinctSelections(), 2u);
    // A section whose rules apply everywhere selects once for every port.
    DfwRuleSelector everywhere({rules_[0]}, *snap_.groups);
    for (uint64_t port : {7, 9, 10, 11})
        EXPECT_EQ(*everywhere.Select(U(port), on), (std::vector<size_t>{0})) << port;
    EXPECT_EQ(everywhere.distinctSelections(), 1u);
}

}  // namespace
}  // namespace CfgAgent

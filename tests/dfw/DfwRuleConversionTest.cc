// Validation and conversion of firewall rules: the checks with their codes, the mapping of every
// field into the library's rule, the address sides (container, address, address list, composite
// shared or not), protocol and profile parts, missing containers and profiles, the names of
// generated containers, and IP-reputation chunk tiers. Built rules are read back through the
// device's strict decoder of the wire layout, not through the builder.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dfw/CInvalidRuleException.h"
#include "dfw/DfwCompositeContainers.h"
#include "dfw/DfwIpRepChunk.h"
#include "dfw/DfwMsgCache.h"
#include "dfw/DfwRuleBuilder.h"
#include "dfw/DfwRuleValidator.h"
#include "platform/tarp/CTarpFWRule.h"
#include "platform/tarp/CTarpFWSegment.h"
#include "platform/tarp/TarpWire.h"
#include "proto/lcp_firewall.pb.h"
#include "tests/support/DfwRecords.h"
#include "tests/support/LogCapture.h"
#include "tools/ozy-dpemu/TarpConfigParser.h"

namespace CfgAgent {
namespace {

using namespace test::dfw;
namespace fw = orvane::ozy::firewall;
namespace emu = ozy::dpemu::tarp;

fw::LcpRuleMsg Rule(uint64_t uuid, uint32_t ruleId,
                    const std::function<void(pb::RuleMsg&)>& fill = nullptr) {
    pb::RuleMsg r = RuleBody(uuid, ruleId, 1);
    if (fill)
        fill(r);
    fw::LcpRuleMsg out;
    out.ParseFromString(r.SerializeAsString());
    return out;
}

// The rule as the device reads it.
emu::Rule OnWire(const std::shared_ptr<const TarpFirewall::CTarpFWRule>& rule) {
    TarpFirewall::CTarpFWSegment seg({rule});
    std::vector<uint8_t> bytes;
    seg.AppendEncoded(bytes);
    emu::Segment out;
    std::string why;
    EXPECT_TRUE(emu::ParseSegment(bytes.data(), bytes.size(), seg.hash(), &out, &why)) << why;
    return out.rules.empty() ? emu::Rule{} : out.rules[0];
}

const emu::SideRef& SideOf(const emu::RulePart& p, ozy::tarp::SideCode side) {
    return p.sides[side - 1];
}

// A cache holding section 1 (category 15), buckets and containers; rules are built over it.
class DfwConversionTest : public ::testing::Test {
  protected:
    DfwConversionTest() : saved_(g_dfwLogLevel.load()) {
        g_dfwLogLevel = kLogTrace;
        auto mal = [](pb::ContainerMsg& c) { c.set_ip_reputation(true); };
        cache_->UpdateDesiredState(
            {SectionRec(1, 10,
                        [](pb::RuleSectionMsg& s) {
                            s.mutable_category()->set_id(15);
                            s.set_tcp_strict(true);
                            s.mutable_tenant()->set_org_id("org");
                        }),
             SpanRec(90, {{"PRE-FILTER", 1, 10}, {"FILTER", 11, 20}}), ContainerRec(51, {1}),
             ContainerRec(52, {2}), ContainerRec(53, {3}), ContainerRec(54, {}),
             ContainerRec(55, {5}, mal), ProfileRec(60, {{"APP_ID", {"HTTP"}}}),
             ProfileRec(61, {{"APP_ID", {"SSL"}}}), ProfileRec(62, {{"DAY_OF_WEEK", {"MONDAY"}}})},
            true);
        snap_ = cache_->TakeSnapshot();
    }
    ~DfwConversionTest() override { g_dfwLogLevel = saved_; }

    std::shared_ptr<const TarpFirewall::CTarpFWRule> Build(const fw::LcpRuleMsg& r) {
        DfwRuleBuilder b(snap_, generated_);
        return b.Build(r, *snap_.sections->at(U(1)));
    }
    emu::RulePart BuildPart(const std::function<void(pb::RuleMsg&)>& fill) {
        emu::Rule r = OnWire(Build(Rule(200, 5, fill)));
        EXPECT_EQ(r.parts.size(), 1u);
        return r.parts.empty() ? emu::RulePart{} : r.parts[0];
    }

    test::LogCapture log_;
    int saved_;
    ozy::RefPtr<DfwMsgCache> cache_ = ozy::MakeRef<DfwMsgCache>();
    DfwMsgSnapshot snap_;
    DfwCompositeContainers generated_;
};

// ---- validation ---------------------------------------------------------------------------------

struct ValidationCase {
    const char* name;
    std::function<void(pb::RuleMsg&)> fill;
    const char* code;  // "" when valid
    const char* line;
};

class DfwValidationTest : public DfwConversionTest,
                          public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(DfwValidationTest, ChecksInOrderWithTheirCodes) {
    const ValidationCase& c = GetParam();
    fw::LcpRuleMsg r = Rule(200, 5, c.fill);
    bool valid = DfwRuleValidator::ValidateRule(r);
    if (std::string(c.code).empty()) {
        EXPECT_TRUE(valid) << log_.Dump();
        // What passes validation converts: its action reaches the library.
        emu::Rule built = OnWire(Build(r));
        ASSERT_EQ(built.parts.size(), 1u);
        EXPECT_NE(built.parts[0].action, 0) << "no library action";
    } else {
        EXPECT_FALSE(valid);
        EXPECT_TRUE(log_.ContainsWithCode(c.line, c.code)) << log_.Dump();
    }
}

auto Set(void (pb::RuleMsg::*setter)(uint32_t), uint32_t v) {
    return [setter, v](pb::RuleMsg& r) { (r.*setter)(v); };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DfwValidationTest,
    ::testing::Values(ValidationCase{"Plain", nullptr, "", ""},
                      ValidationCase{"NoRuleId", [](pb::RuleMsg& r) { r.clear_rule_id(); },
                                     "LCP01110", "dfw:     bad dfw rule: no rule id"},
                      ValidationCase{"NoSectionId", [](pb::RuleMsg& r) { r.clear_section_id(); },
                                     "LCP01111", "dfw:     bad dfw rule: no section id"},
                      ValidationCase{"NoDirection", [](pb::RuleMsg& r) { r.clear_direction(); },
                                     "LCP01112", "dfw:     bad dfw rule: no direction"},
                      ValidationCase{"DirectionZero", Set(&pb::RuleMsg::set_direction, 0), "", ""},
                      ValidationCase{"Direction3", Set(&pb::RuleMsg::set_direction, 3), "LCP01113",
                                     "dfw:     bad dfw rule: bad direction 3"},
                      ValidationCase{"NoAction", [](pb::RuleMsg& r) { r.clear_action(); },
                                     "LCP01114", "dfw:     bad dfw rule: no action"},
                      ValidationCase{"Action12", Set(&pb::RuleMsg::set_action, 12), "LCP01115",
                                     "dfw:     bad dfw rule: bad action 12"},
                      ValidationCase{"Action23", Set(&pb::RuleMsg::set_action, 23), "", ""},
                      ValidationCase{"Action22", Set(&pb::RuleMsg::set_action, 22), "", ""},
                      ValidationCase{"Action20", Set(&pb::RuleMsg::set_action, 20), "", ""},
                      ValidationCase{"Action3MapsToNothing", Set(&pb::RuleMsg::set_action, 3),
                                     "LCP01115", "dfw:     bad dfw rule: bad action 3"},
                      ValidationCase{"Action10MapsToNothing", Set(&pb::RuleMsg::set_action, 10),
                                     "LCP01115", "dfw:     bad dfw rule: bad action 10"},
                      ValidationCase{"Action21MapsToNothing", Set(&pb::RuleMsg::set_action, 21),
                                     "LCP01115", "dfw:     bad dfw rule: bad action 21"},
                      ValidationCase{"NatWithoutSettings", Set(&pb::RuleMsg::set_action, 9),
                                     "LCP01115", "dfw:     bad dfw rule: bad action 9"},
                      ValidationCase{"NatWithSettings",
                                     [](pb::RuleMsg& r) {
                                         r.set_action(9);
                                         r.mutable_nat_spec()->set_nat_type(1);
                                         r.mutable_nat_spec()->set_address("192.0.2.9");
                                     },
                                     "", ""},
                      ValidationCase{"NoPriority", [](pb::RuleMsg& r) { r.clear_priority(); },
                                     "LCP01116", "dfw:     bad dfw rule: no priority"},
                      ValidationCase{"NoType", [](pb::RuleMsg& r) { r.clear_type(); }, "LCP01117",
                                     "dfw:     bad dfw rule: no type"},
                      ValidationCase{"Type4", Set(&pb::RuleMsg::set_type, 4), "LCP01118",
                                     "dfw:     bad dfw rule: bad type 4"},
                      ValidationCase{"Type5", Set(&pb::RuleMsg::set_type, 5), "", ""},
                      ValidationCase{"Type6", Set(&pb::RuleMsg::set_type, 6), "LCP01118",
                                     "dfw:     bad dfw rule: bad type 6"}),
    [](const ::testing::TestParamInfo<ValidationCase>& i) { return std::string(i.param.name); });

TEST_F(DfwConversionTest, SectionsNeedVersionPriorityAndAKnownComponent) {
    auto section = [](const std::function<void(pb::RuleSectionMsg&)>& fill) {
        fw::LcpRuleSectionMsg s;
        s.ParseFromString(SectionRec(1, 10, fill).data);
        return s;
    };
    EXPECT_TRUE(DfwRuleValidator::ValidateSection(section(nullptr)));
    EXPECT_FALSE(DfwRuleValidator::ValidateSection(
        section([](pb::RuleSectionMsg& s) { s.clear_version(); })));
    EXPECT_FALSE(DfwRuleValidator::ValidateSection(
        section([](pb::RuleSectionMsg& s) { s.clear_priority(); })));
    EXPECT_FALSE(DfwRuleValidator::ValidateSection(
        section([](pb::RuleSectionMsg& s) { s.set_component_name("other"); })));
    for (const char* code : {"LCP01120", "LCP01121", "LCP01149"})
        EXPECT_TRUE(log_.ContainsWithCode("dfw:     bad dfw section", code)) << code;
    EXPECT_TRUE(DfwRuleValidator::HasSection(Rule(200, 5), *snap_.sections));
    EXPECT_FALSE(DfwRuleValidator::HasSection(
        Rule(200, 5, [](pb::RuleMsg& r) { *r.mutable_section_id() = Uuid(9); }), *snap_.sections));
    EXPECT_TRUE(log_.ContainsWithCode("dfw:     bad dfw rule: no existing section", "LCP01111"));
}

// ---- conversion ---------------------------------------------------------------------------------

TEST_F(DfwConversionTest, ActionsAndDirectionsMapToTheLibrarysValues) {
    const struct {
        uint32_t action;
        uint8_t library;
        bool siText;
    } actions[] = {{0, 2, false},  {1, 1, true},    {2, 3, false},   {7, 11, true},  {8, 12, false},
                   {11, 13, true}, {20, 15, false}, {22, 17, false}, {23, 16, false}};
    for (const auto& a : actions) {
        emu::RulePart p = BuildPart([&](pb::RuleMsg& r) {
            r.set_action(a.action);
            *r.mutable_si_spec()->mutable_service_id() = Uuid(77);
        });
        EXPECT_EQ(p.action, a.library) << a.action;
        EXPECT_EQ(p.actionText, a.siText ? U(77).Text() : "") << a.action;
    }
    for (auto [msg, lib] : {std::pair{0u, 1}, {1u, 2}, {2u, 0}}) {
        emu::RulePart p = BuildPart([&](pb::RuleMsg& r) { r.set_direction(msg); });
        EXPECT_TRUE(p.hasDirection);
        EXPECT_EQ(p.direction, lib) << msg;
    }
    emu::RulePart nat = BuildPart([](pb::RuleMsg& r) {
        r.set_action(9);
        r.mutable_nat_spec()->set_nat_type(2);
        r.mutable_nat_spec()->set_port_start(1000);
        r.mutable_nat_spec()->set_port_end(2000);
        r.mutable_nat_spec()->set_address("192.0.2.9");
    });
    EXPECT_TRUE(nat.nat);
    EXPECT_EQ(nat.natFields[1], 1000);
    EXPECT_EQ(nat.natAddress, "192.0.2.9");
}

TEST_F(DfwConversionTest, FieldsSectionAndCategoryReachTheRule) {
    emu::RulePart p = BuildPart([](pb::RuleMsg& r) {
        r.set_ether_type(34525);
        r.set_log(true);
        r.set_stateless(true);
        r.set_tag("t1");
        r.set_oversubscription(3);
        *r.add_ids_profile_ids() = Uuid(70);
        pb::ProtocolSpecMsg* s = r.add_services();
        s->set_ip_protocol(6);
        s->mutable_tcp_flags()->set_flags(2);
        s->mutable_tcp_flags()->set_mask(18);
        for (uint32_t port : {80u, 443u})
            s->add_destination_ports()->set_start(port);
        s->set_destination_ports_negate(true);
        pb::PortRangeMsg* src = s->add_source_ports();
        src->set_start(1024);
        src->set_end(2048);
    });
    EXPECT_EQ(p.family, 6);
    EXPECT_EQ(p.flags, ozy::tarp::kRuleFlagLog | ozy::tarp::kRuleFlagStateless);
    EXPECT_EQ(p.tag, "t1");
    EXPECT_EQ(p.oversub, 3u);
    EXPECT_EQ(p.idsProfile, U(70).Text());
    EXPECT_EQ(p.protocol, 6);
    EXPECT_EQ(p.tcpMask, 18);
    EXPECT_TRUE(p.destPorts.negate);
    EXPECT_EQ(p.destPorts.ranges,
              (std::vector<std::pair<uint16_t, uint16_t>>{{80, 80}, {443, 443}}));
    EXPECT_EQ(p.sourcePorts.ranges, (std::vector<std::pair<uint16_t, uint16_t>>{{1024, 2048}}));
    EXPECT_TRUE(p.hasCategory && p.category == 15u);
    EXPECT_TRUE(p.hasBucket && p.bucket == 1u) << "category 15 is in the second bucket";
    EXPECT_TRUE(p.tcpStrict);
    EXPECT_EQ(p.org, "org");
}

TEST_F(DfwConversionTest, AddressSidesContainerAddressListAndComposite) {
    // One container; one address; three addresses become "rsrc5"; a negated destination.
    emu::RulePart p = BuildPart([](pb::RuleMsg& r) {
        *r.mutable_source()->add_container_ids() = Uuid(51);
        AddIpv4(r.mutable_destination()->add_ip_addresses(), 0x0A000001, 24);
        r.mutable_destination()->set_negate(true);
        for (uint32_t a : {1u, 2u, 3u})
            AddIpv4(r.mutable_exclude_source()->add_ip_addresses(), a);
    });
    EXPECT_EQ(SideOf(p, ozy::tarp::kSideSource).container, U(51).Text());
    const emu::SideRef& dst = SideOf(p, ozy::tarp::kSideDest);
    EXPECT_TRUE(dst.hasAddress && dst.negate);
    EXPECT_EQ(dst.address.prefix, 24);
    EXPECT_EQ(dst.address.bytes[0], 10);
    EXPECT_EQ(SideOf(p, ozy::tarp::kSideExcludeSource).container, "rexcludesrc5");
    ASSERT_EQ(generated_.addressLists().count("rexcludesrc5"), 1u);
    EXPECT_EQ(generated_.addressLists().at("rexcludesrc5")->addresses().size(), 3u);

    // Two rules naming the same three containers in another order share one composite.
    auto three = [](std::vector<uint64_t> order) {
        return [order](pb::RuleMsg& r) {
            for (uint64_t c : order)
                *r.mutable_source()->add_container_ids() = Uuid(c);
        };
    };
    emu::Rule a = OnWire(Build(Rule(201, 6, three({51, 52, 53}))));
    emu::Rule b = OnWire(Build(Rule(202, 7, three({53, 51, 52}))));
    EXPECT_EQ(a.parts[0].sides[0].container, "rsrc6");
    EXPECT_EQ(b.parts[0].sides[0].container, "rsrc6");
    ASSERT_EQ(generated_.composites().count("rsrc6"), 1u);
    EXPECT_EQ(generated_.composites().at("rsrc6").refs, 2u);
    EXPECT_EQ(generated_.composites().count("rsrc7"), 0u);

    // Containers with an address: one differing prefix length makes another composite.
    auto mixed = [](uint32_t prefix) {
        return [prefix](pb::RuleMsg& r) {
            *r.mutable_destination()->add_container_ids() = Uuid(51);
            AddIpv4(r.mutable_destination()->add_ip_addresses(), 0x0A000000, prefix);
        };
    };
    emu::Rule c = OnWire(Build(Rule(203, 8, mixed(24))));
    emu::Rule d = OnWire(Build(Rule(204, 9, mixed(25))));
    emu::Rule e = OnWire(Build(Rule(205, 10, mixed(24))));
    EXPECT_EQ(c.parts[0].sides[1].container, "rdst8");
    EXPECT_EQ(d.parts[0].sides[1].container, "rdst9");
    EXPECT_EQ(e.parts[0].sides[1].container, "rdst8");
    // The extended source IP's composite stays apart from a plain side's.
    emu::Rule f = OnWire(Build(Rule(206, 11, [](pb::RuleMsg& r) {
        for (uint64_t c : {51, 52}) {
            *r.mutable_source()->add_container_ids() = Uuid(c);
            *r.mutable_extended_source_ip()->add_container_ids() = Uuid(c);
        }
    })));
    EXPECT_EQ(f.parts[0].sides[0].container, "rsrc11");
    EXPECT_EQ(f.parts[0].sides[5].container, "rextip11");
    const auto& comp = *generated_.composites().at("rdst8").container;
    ASSERT_EQ(comp.elements().size(), 2u);
    EXPECT_EQ(comp.elements()[0].text(), U(51).Text());
}

TEST_F(DfwConversionTest, ProtocolsTimesProfilesBecomeCombinedParts) {
    auto fill = [](pb::RuleMsg& r) {
        r.add_services()->set_ip_protocol(6);
        r.add_services()->set_ip_protocol(17);
        *r.add_context_profile_ids() = Uuid(60);
        *r.add_context_profile_ids() = Uuid(61);
        *r.mutable_time_profile_id() = Uuid(62);
    };
    emu::Rule r = OnWire(Build(Rule(200, 5, fill)));
    ASSERT_EQ(r.parts.size(), 4u);
    std::vector<std::pair<uint16_t, std::string>> pairs;
    for (const emu::RulePart& p : r.parts) {
        pairs.emplace_back(p.protocol, p.attrProfile);
        EXPECT_EQ(p.timeProfile, U(62).Text());
        EXPECT_EQ(p.id, 5u);
    }
    EXPECT_EQ(pairs,
              (std::vector<std::pair<uint16_t, std::string>>{
                  {6, U(60).Text()}, {6, U(61).Text()}, {17, U(60).Text()}, {17, U(61).Text()}}));
}

struct MissingCase {
    const char* name;
    std::function<void(pb::RuleMsg&)> fill;
    const char* line;
    const char* code;  // "" when the line has none
};

class DfwMissingReferenceTest : public DfwConversionTest,
                                public ::testing::WithParamInterface<MissingCase> {};

TEST_P(DfwMissingReferenceTest, FailsTheRuleInsteadOfWideningIt) {
    try {
        Build(Rule(200, 5, GetParam().fill));
        FAIL() << "built";
    } catch (const CInvalidRuleException& e) {
        EXPECT_STREQ(e.what(), "invaid rule: 5");
        EXPECT_EQ(e.ruleId(), 5u);
        EXPECT_EQ(e.section(), U(1));
        EXPECT_EQ(e.code(), 1000u);
    }
    if (std::string(GetParam().code).empty())
        EXPECT_TRUE(log_.Contains(GetParam().line)) << log_.Dump();
    else
        EXPECT_TRUE(log_.ContainsWithCode(GetParam().line, GetParam().code)) << log_.Dump();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DfwMissingReferenceTest,
    ::testing::Values(
        MissingCase{"ContextProfile",
                    [](pb::RuleMsg& r) { *r.add_context_profile_ids() = Uuid(99); },
                    "dfw: rule 5 failed to find context profile", "LCP01159"},
        MissingCase{"TimeProfile", [](pb::RuleMsg& r) { *r.mutable_time_profile_id() = Uuid(99); },
                    "dfw: rule 5 failed to find context profile", "LCP01164"},
        MissingCase{
            "Container",
            [](pb::RuleMsg& r) { *r.mutable_destination()->add_container_ids() = Uuid(99); },
            "dfw: cannot find container", ""},
        MissingCase{"MaliciousBesideOther",
                    [](pb::RuleMsg& r) {
                        *r.mutable_source()->add_container_ids() = Uuid(55);
                        *r.mutable_source()->add_container_ids() = Uuid(51);
                    },
                    "dfw: Src/Dst has both malicious and non-malicious groups, unsupported", ""},
        MissingCase{"LibraryRefusal",
                    // One MAC address on a layer-3 rule.
                    [](pb::RuleMsg& r) { r.mutable_source()->add_mac_addresses(0x020000000001); },
                    "cannot be built", ""}),
    [](const ::testing::TestParamInfo<MissingCase>& i) { return std::string(i.param.name); });

TEST_F(DfwConversionTest, EmptyExtendedSourceIpMatchesNothingUnlessNegated) {
    auto ext = [](bool negate) {
        return [negate](pb::RuleMsg& r) {
            *r.mutable_extended_source_ip()->add_container_ids() = Uuid(54);
            r.mutable_extended_source_ip()->set_negate(negate);
        };
    };
    EXPECT_EQ(Build(Rule(200, 5, ext(false))), nullptr);
    EXPECT_TRUE(log_.Contains("dfw:  extSrcCont has no ip address, do not build extSrcIp"));
    emu::Rule r = OnWire(Build(Rule(200, 5, ext(true))));
    ASSERT_EQ(r.parts.size(), 1u);
    EXPECT_FALSE(SideOf(r.parts[0], ozy::tarp::kSideExtSourceIp).Present());
    // With an address the side is built.
    emu::RulePart p = BuildPart(
        [](pb::RuleMsg& r) { *r.mutable_extended_source_ip()->add_container_ids() = Uuid(51); });
    EXPECT_EQ(SideOf(p, ozy::tarp::kSideExtSourceIp).container, U(51).Text());
    // A single malicious container is used as such.
    p = BuildPart([](pb::RuleMsg& r) { *r.mutable_source()->add_container_ids() = Uuid(55); });
    EXPECT_TRUE(SideOf(p, ozy::tarp::kSideSource).malicious);
}

TEST_F(DfwConversionTest, TwoUuidsWithOneRuleIdGetNamesOfTheirOwn) {
    auto addrs = [](uint32_t base) {
        return [base](pb::RuleMsg& r) {
            for (uint32_t a : {base, base + 1, base + 2})
                AddIpv4(r.mutable_source()->add_ip_addresses(), a);
        };
    };
    cache_->UpdateDesiredState({RuleRec(300, 7, 1, addrs(10)), RuleRec(301, 7, 1, addrs(20))},
                               false);
    snap_ = cache_->TakeSnapshot();
    emu::Rule lower = OnWire(Build(*snap_.rules->at(U(300))));
    emu::Rule greater = OnWire(Build(*snap_.rules->at(U(301))));
    EXPECT_EQ(lower.parts[0].sides[0].container, "rsrc7");
    std::string other = "rsrc7-" + U(301).Text().substr(24);
    EXPECT_EQ(greater.parts[0].sides[0].container, other);
    ASSERT_EQ(generated_.addressLists().size(), 2u);
    EXPECT_EQ(generated_.addressLists().at("rsrc7")->addresses()[0].bytes()[3], 10);
    EXPECT_EQ(generated_.addressLists().at(other)->addresses()[0].bytes()[3], 20);
    EXPECT_LE(other.size(), ozy::tarp::kMaxContainerName);
}

// ---- IP-reputation chunks -----------------------------------------------------------------------

TEST(DfwIpRepChunkTest, TiersFollowTheEntryCount) {
    const struct {
        uint32_t current, count, next;
    } cases[] = {
        {6000, 6000, 10000},  {6000, 5999, 6000},   {6000, 9999, 10000},   {6000, 10000, 10000},
        {6000, 12000, 12000}, {10000, 9999, 10000}, {10000, 10000, 10000}, {10000, 5999, 6000},
        {12000, 7000, 10000}, {12000, 100, 6000},   {12000, 11000, 12000}, {12000, 13000, 13000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DfwIpRepChunk::NextCapacity(c.current, c.count), c.next)
            << c.current << " -> " << c.count;
}

TEST(DfwIpRepChunkTest, CapacityAlwaysHoldsTheEntries) {
    std::mt19937 rng(22);
    std::uniform_int_distribution<uint32_t> count(0, 30000);
    for (int run = 0; run < 200; ++run) {
        uint32_t capacity = DfwIpRepChunk::kSmallTier;
        for (int step = 0; step < 50; ++step) {
            uint32_t n = count(rng);
            capacity = DfwIpRepChunk::NextCapacity(capacity, n);
            ASSERT_GE(capacity, n);
            ASSERT_TRUE(capacity == 6000 || capacity >= 10000) << capacity;
        }
    }
}

TEST(DfwIpRepChunkTest, EntriesAreReadFromTheBytesNotTheDeclaredCount) {
    fw::LcpIpReputationConfigMsg m;
    m.set_chunk_id(4);
    m.set_bucket(2);
    m.set_entry_count(9999);
    const uint8_t entry[16] = {192, 0, 2, 1, 255, 255, 255, 0, 0, 3, 0, 80, 0, 0, 0, 2};
    std::string raw(reinterpret_cast<const char*>(entry), 16);
    m.set_entries(raw + raw);
    TarpFirewall::CTarpFWIpRepChunk c = DfwIpRepChunk::Build(m, DfwIpRepChunk::kSmallTier);
    EXPECT_EQ(c.id, 4u);
    EXPECT_EQ(c.capacity, 6000u);
    ASSERT_EQ(c.entries.size(), 2u);
    EXPECT_EQ(c.entries[1].address, 0xC0000201u);
    EXPECT_EQ(c.entries[1].mask, 0xFFFFFF00u);
    EXPECT_EQ(c.entries[1].threat, 3);
    EXPECT_EQ(c.entries[1].reputation, 80);
    EXPECT_EQ(c.entries[1].bucket, 2u);
}

}  // namespace
}  // namespace CfgAgent

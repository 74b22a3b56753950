// Packet verdicts of the emulated firewall: one table over the matching rules (negated port list,
// range bounds, IPv6 /64, negated source, exclusions, L2 before L3, ICMP type and code, combined
// parts, attribute and time conditions, direction), with rules realized through the library.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/tarp/TarpAttributes.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpTestSeam.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/platform/tarp/TarpTestRules.h"
#include "tools/ozy-dpemu/TarpEval.h"

namespace ozy::tarp::test {
namespace {

using ozy::dpemu::tarp::Evaluate;
using ozy::dpemu::tarp::Packet;
using ozy::dpemu::tarp::ParsePacket;

struct EvalCase {
    std::string packet;
    std::string verdict;
    int rule;  // -1: none
};

class TarpEvalTest : public ::testing::TestWithParam<EvalCase> {
  protected:
    static void SetUpTestSuite() {
        dev_ = new InProcessTarp();
        TarpFirewall::detail::SetDeviceOpenerForTest(dev_);
        const char* options[] = {"FWIODeviceName", "/dev/ozy-tarp"};
        FW_Handle* h = nullptr;
        ASSERT_EQ(FW_Initialize(FW_LIB_VERSION, nullptr, 1, 2, options, &h), 0);
        std::string why;
        ASSERT_TRUE(
            dev_->state->CreateFilter({"f1", "vif1", "lsp1", kAgentFirewall, false, true}, &why));
        CTarpFWCmdList list;
        ScopedConfigFile guard(&list);
        list.addCreateAddrSet(MakeSet("web", {"10.5.0.0/24"}, {"10.5.0.10"}));
        list.addCreateAddrSet(MakeSet("ten", {"10.0.0.0/8"}));
        auto profile =
            std::make_shared<CTarpFWContainer>("ctx-http", CTarpFWContainer::Type::kAttributes);
        profile->addElement(CTarpFWElement::Attribute(str2attrkey("APP_ID"), "HTTP"));
        list.addCreateContainer(profile);
        auto hours = std::make_shared<CTarpFWContainer>("office", CTarpFWContainer::Type::kTime);
        hours->addElement(CTarpFWElement::Attribute(kAttrDayOfWeek, "monday"));
        hours->addElement(CTarpFWElement::Attribute(kAttrTimeOfDay, "09:00,17:00"));
        hours->addElement(CTarpFWElement::Attribute(kAttrTimeZone, "utc"));
        list.addCreateContainer(hours);

        auto tcp = [](CTarpFWRuleBuilder& b, uint32_t port) {
            b.setProtocol(6, false);
            b.setDestPort(port, port, false);
        };
        std::vector<RulePtr> l3 = {
            MakeRule(1, kActionDrop,
                     [](CTarpFWRuleBuilder& b) {
                         b.setProtocol(6, false);
                         b.addDestPort(22, 22);
                         b.addDestPort(23, 23);
                         b.negateDestPort();
                         b.setAddress(RuleSide::kSource, CTarpFWAddress::Parse("10.9.0.0/16"));
                     }),
            MakeRule(2, kActionAllow,
                     [](CTarpFWRuleBuilder& b) {
                         b.setProtocol(17, false);
                         b.setDestPort(1000, 2000, false);
                     }),
            MakeRule(3, kActionReject,
                     [](CTarpFWRuleBuilder& b) {
                         b.setInetAF(true);
                         b.setAddress(RuleSide::kSource, CTarpFWAddress::Parse("2001:db8:1::/64"));
                     }),
            MakeRule(4, kActionDrop,
                     [&](CTarpFWRuleBuilder& b) {
                         tcp(b, 8080);
                         b.setContainer(RuleSide::kSource, "ten");
                         b.negateRuleAddress(RuleSide::kSource);
                     }),
            MakeRule(5, kActionAllow,
                     [](CTarpFWRuleBuilder& b) {
                         b.setProtocol(1, false);
                         b.addICMPTypeCode(8, 0);
                         b.addICMPType(3);
                     }),
            MakeRule(7, kActionAllow,
                     [&](CTarpFWRuleBuilder& b) {
                         tcp(b, 9000);
                         b.setAttributeProfile("ctx-http");
                     }),
            MakeRule(8, kActionAllow,
                     [&](CTarpFWRuleBuilder& b) {
                         tcp(b, 9100);
                         b.setTimeAttributeProfile("office");
                     }),
            MakeRule(9, kActionAllow,
                     [&](CTarpFWRuleBuilder& b) {
                         tcp(b, 9200);
                         b.setContainer(RuleSide::kSource, "web");
                         b.setAddress(RuleSide::kExcludeSource, CTarpFWAddress::Parse("10.5.0.9"));
                     }),
            MakeRule(10, kActionDrop,
                     [&](CTarpFWRuleBuilder& b) {
                         tcp(b, 9300);
                         b.setDirection(1);
                     }),
        };
        // Rule 6: two combined parts (tcp 5000, udp 5001).
        CTarpFWRuleBuilder a;
        a.setId(6);
        a.setAction(kActionAllow, "");
        tcp(a, 5000);
        auto combined = a.buildRule();
        CTarpFWRuleBuilder b;
        b.setId(6);
        b.setAction(kActionAllow, "");
        b.setProtocol(17, false);
        b.setDestPort(5001, 5001, false);
        combined->combineRule(*b.buildRule());
        l3.insert(l3.begin() + 5, RulePtr(combined.release()));
        // Everything else from 10.0.0.0/8 over TCP is allowed (so L2 decisions show).
        l3.push_back(MakeRule(20, kActionAllow, [](CTarpFWRuleBuilder& b) {
            b.setProtocol(6, false);
            b.setContainer(RuleSide::kSource, "ten");
        }));
        std::vector<RulePtr> l2 = {MakeRule(
            100, kActionDrop,
            [](CTarpFWRuleBuilder& b) {
                b.setAddress(RuleSide::kSource, CTarpFWAddress::Parse("02:00:00:00:00:66"));
            },
            false)};
        FillList(list, {}, {MakeSegment(l3)}, {MakeSegment(l2)});
        ASSERT_EQ(FW_EvaluateConfigFile(h, &list, "f1", 0), 0);
        FW_Terminate(h);
        TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
    }
    static void TearDownTestSuite() { delete dev_; }

    static InProcessTarp* dev_;
};

InProcessTarp* TarpEvalTest::dev_ = nullptr;

std::vector<std::string> Words(const std::string& s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        size_t j = s.find(' ', i);
        if (j == std::string::npos)
            j = s.size();
        if (j > i)
            out.push_back(s.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

TEST_P(TarpEvalTest, Verdict) {
    const EvalCase& c = GetParam();
    Packet p;
    std::string why;
    ASSERT_TRUE(ParsePacket(Words(c.packet), &p, &why)) << c.packet << ": " << why;
    auto v = Evaluate(*dev_->state, *dev_->state->FindFilter("f1"), p);
    EXPECT_EQ(v.verdict, c.verdict) << c.packet;
    EXPECT_EQ(v.matched ? int(v.rule) : -1, c.rule) << c.packet;
    if (v.matched) {
        EXPECT_EQ(v.ruleSet, c.rule >= 100 ? "mainrs_L2" : "mainrs");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TarpEvalTest,
    ::testing::Values(
        // Negated port list: everything but 22 and 23 from 10.9/16 is dropped.
        EvalCase{"in tcp 10.9.1.1:4000 10.0.0.1:80", "DROP", 1},
        EvalCase{"in tcp 10.9.1.1:4000 10.0.0.1:22", "ALLOW", 20},
        EvalCase{"in tcp 10.9.1.1:4000 10.0.0.1:23", "ALLOW", 20},
        // Range bounds, both ends inclusive.
        EvalCase{"out udp 10.1.1.1:5 10.0.0.1:1000", "ALLOW", 2},
        EvalCase{"out udp 10.1.1.1:5 10.0.0.1:2000", "ALLOW", 2},
        EvalCase{"out udp 10.1.1.1:5 10.0.0.1:2001", "DEFAULT", -1},
        EvalCase{"out udp 10.1.1.1:5 10.0.0.1:999", "DEFAULT", -1},
        // IPv6 /64.
        EvalCase{"in tcp [2001:db8:1::5]:1 [2001:db8::1]:80", "REJECT", 3},
        EvalCase{"in tcp [2001:db8:1:0:ffff::1]:1 [2001:db8::1]:80", "REJECT", 3},
        EvalCase{"in tcp [2001:db8:2::5]:1 [2001:db8::1]:80", "DEFAULT", -1},
        EvalCase{"in tcp 10.1.1.1:1 10.0.0.1:443", "ALLOW", 20},
        // Negated source: not in 10/8.
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:8080", "DROP", 4},
        EvalCase{"in tcp 10.1.1.1:1 10.0.0.1:8080", "ALLOW", 20},
        // ICMP type and code; a type without code matches any code.
        EvalCase{"in icmp 10.1.1.1 10.0.0.1 icmp 8 0", "ALLOW", 5},
        EvalCase{"in icmp 10.1.1.1 10.0.0.1 icmp 8 1", "DEFAULT", -1},
        EvalCase{"in icmp 10.1.1.1 10.0.0.1 icmp 3 13", "ALLOW", 5},
        // Combined parts: either matches.
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:5000", "ALLOW", 6},
        EvalCase{"in udp 192.168.1.1:1 10.0.0.1:5001", "ALLOW", 6},
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:5001", "DEFAULT", -1},
        // Attribute condition: only when supplied, and only that value.
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:9000", "DEFAULT", -1},
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:9000 attr APP_ID=http", "ALLOW", 7},
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:9000 attr APP_ID=SSH", "DEFAULT", -1},
        // Time condition: Monday 09:00-17:00 UTC (2026-12-07 is a Monday).
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:9100 time=2026-12-07T10:00:00Z", "ALLOW", 8},
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:9100 time=2026-12-07T17:00Z", "ALLOW", 8},
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:9100 time=2026-12-07T18:00:00Z", "DEFAULT", -1},
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:9100 time=2026-12-08T10:00:00Z", "DEFAULT", -1},
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:9100", "DEFAULT", -1},
        // Exclusion from a set.
        EvalCase{"in tcp 10.5.0.1:1 10.0.0.1:9200", "ALLOW", 9},
        EvalCase{"in tcp 172.16.0.9:1 10.0.0.1:9200", "DEFAULT", -1},
        EvalCase{"in tcp 10.5.0.9:1 10.0.0.1:9200", "ALLOW", 20},
        EvalCase{"in tcp 10.5.0.10:1 10.0.0.1:9200", "ALLOW", 20},  // excluded by the set
        // Direction: rule 10 is inbound only.
        EvalCase{"in tcp 192.168.1.1:1 10.0.0.1:9300", "DROP", 10},
        EvalCase{"out tcp 192.168.1.1:1 10.0.0.1:9300", "DEFAULT", -1},
        // L2 before L3: the MAC rule drops what L3 would allow; another MAC goes on to L3.
        EvalCase{"in tcp 10.1.1.1:1 10.0.0.1:443 smac=02:00:00:00:00:66", "DROP", 100},
        EvalCase{"in tcp 10.1.1.1:1 10.0.0.1:443 smac=02:00:00:00:00:67", "ALLOW", 20}));

TEST(TarpEvalParseTest, BadDescriptionsAreRefused) {
    for (const char* bad :
         {"sideways tcp 10.0.0.1 10.0.0.2", "in tcp 10.0.0.1:70000 10.0.0.2",
          "in tcp 10.0.0.1 2001:db8::1", "in icmp 10.0.0.1 10.0.0.2 icmp 8",
          "in tcp 10.0.0.1 10.0.0.2 smac=zz", "in tcp 10.0.0.1 10.0.0.2 bogus",
          "in tcp 10.0.0.1 10.0.0.2 time=yesterday", "in 256 10.0.0.1 10.0.0.2"}) {
        Packet p;
        std::string why;
        EXPECT_FALSE(ParsePacket(Words(bad), &p, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

}  // namespace
}  // namespace ozy::tarp::test

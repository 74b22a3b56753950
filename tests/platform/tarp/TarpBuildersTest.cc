// The firewall library's builders: what they refuse (names over their field, ranges, prefixes,
// ICMP values, rules without action) and what they accept at the limits.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/CTarpFWRuleBuilder.h"
#include "platform/tarp/TarpAttributes.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall {
namespace {

struct RefusalCase {
    const char* name;
    std::function<void()> call;
    bool refused;
};

class BuilderRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(BuilderRefusalTest, RefusesExactlyWhatCannotBeTaken) {
    const RefusalCase& c = GetParam();
    if (c.refused) {
        try {
            c.call();
            FAIL() << c.name << ": accepted";
        } catch (const CTarpFWException& e) {
            EXPECT_EQ(e.retcode(), ozy::tarp::kStatusInvalidConfig) << c.name;
            EXPECT_NE(std::string(e.what()), "") << c.name;
        }
    } else {
        EXPECT_NO_THROW(c.call()) << c.name;
    }
}

CTarpFWRuleBuilder Tcp() {
    CTarpFWRuleBuilder b;
    b.setId(7);
    b.setAction(ozy::tarp::kActionAllow, "");
    b.setProtocol(6, false);
    return b;
}

std::string Name(size_t n) {
    return std::string(n, 'n');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuilderRefusalTest,
    ::testing::Values(
        RefusalCase{"port range start above end", [] { Tcp().setDestPort(90, 80, false); }, true},
        RefusalCase{"port range start equal end", [] { Tcp().setDestPort(80, 80, false); }, false},
        RefusalCase{"port over 65535", [] { Tcp().addSourcePort(1, 65536); }, true},
        RefusalCase{"port 65535", [] { Tcp().addSourcePort(1, 65535); }, false},
        RefusalCase{"IPv4 prefix 33", [] { CTarpFWAddress::IPv4(0x0A000000, 33); }, true},
        RefusalCase{"IPv4 prefix 32", [] { CTarpFWAddress::IPv4(0x0A000000, 32); }, false},
        RefusalCase{"IPv6 prefix 129", [] { CTarpFWAddress::Parse("2001:db8::/129"); }, true},
        RefusalCase{"IPv6 prefix 128", [] { CTarpFWAddress::Parse("2001:db8::/128"); }, false},
        RefusalCase{"ICMP type 256",
                    [] {
                        CTarpFWRuleBuilder b;
                        b.setProtocol(1, false);
                        b.addICMPType(256);
                    },
                    true},
        RefusalCase{"ICMP code 256",
                    [] {
                        CTarpFWRuleBuilder b;
                        b.addICMPTypeCode(3, 256);
                    },
                    true},
        RefusalCase{"ICMP type and code 255",
                    [] {
                        CTarpFWRuleBuilder b;
                        b.addICMPTypeCode(255, 255);
                    },
                    false},
        RefusalCase{"rule with no action",
                    [] {
                        CTarpFWRuleBuilder b;
                        b.setId(1);
                        b.buildRule();
                    },
                    true},
        RefusalCase{"ports without TCP or UDP",
                    [] {
                        CTarpFWRuleBuilder b;
                        b.setAction(ozy::tarp::kActionDrop, "");
                        b.setProtocol(1, false);
                        b.setDestPort(80, 80, false);
                        b.buildRule();
                    },
                    true},
        RefusalCase{"rule set name 64", [] { CTarpFWCmdList().addDestroyRuleSet(Name(64)); },
                    false},
        RefusalCase{"rule set name 65", [] { CTarpFWCmdList().addDestroyRuleSet(Name(65)); }, true},
        RefusalCase{"container name 36",
                    [] { CTarpFWContainer(Name(36), CTarpFWContainer::Type::kAddresses); }, false},
        RefusalCase{"container name 37",
                    [] { CTarpFWContainer(Name(37), CTarpFWContainer::Type::kAddresses); }, true},
        RefusalCase{"address set name 37", [] { CTarpFWAddrSet set(Name(37)); }, true},
        RefusalCase{"rule side container 37",
                    [] { Tcp().setContainer(RuleSide::kSource, Name(37)); }, true},
        RefusalCase{"address and container on one side",
                    [] {
                        CTarpFWRuleBuilder b = Tcp();
                        b.setContainer(RuleSide::kDest, "web");
                        b.setAddress(RuleSide::kDest, CTarpFWAddress::Parse("10.0.0.1"));
                    },
                    true},
        RefusalCase{"three root rule sets",
                    [] {
                        CTarpFWCmdList().addSetRootRuleSets({"a", "b", "c"});
                    },
                    true},
        RefusalCase{"chunk over its capacity",
                    [] {
                        auto c = std::make_shared<CTarpFWIpRepChunk>();
                        c->capacity = 1;
                        c->entries.resize(2);
                        CTarpFWCmdList().addCreateIpRepChunk(c);
                    },
                    true},
        RefusalCase{"combining rules of other ids",
                    [] {
                        auto a = Tcp().buildRule();
                        CTarpFWRuleBuilder other = Tcp();
                        other.setId(8);
                        a->combineRule(*other.buildRule());
                    },
                    true}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
        std::string n = info.param.name;
        for (char& ch : n) {
            if (!isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        }
        return n;
    });

TEST(TarpAttributesTest, KeysAndValues) {
    EXPECT_EQ(str2attrkey("DAY_OF_WEEK"), ozy::tarp::kAttrDayOfWeek);
    EXPECT_EQ(str2attrkey("APP_ID"), 0);
    EXPECT_THROW(str2attrkey("NO_SUCH_KEY"), CInvalidAttrKey);
    EXPECT_THROW(str2attrkey("app_id"), CInvalidAttrKey);
    EXPECT_EQ(NormalizeAttrValue(ozy::tarp::kAttrDayOfWeek, "monday"), "MONDAY");
    EXPECT_THROW(NormalizeAttrValue(ozy::tarp::kAttrDayOfWeek, "FUNDAY"), CInvalidAttrValue);
    EXPECT_EQ(NormalizeAttrValue(ozy::tarp::kAttrTimeZone, "utc"), "UTC");
    EXPECT_THROW(NormalizeAttrValue(ozy::tarp::kAttrTimeZone, "CET"), CInvalidAttrValue);
    EXPECT_NO_THROW(NormalizeAttrValue(ozy::tarp::kAttrStartTime, "02/29/2024,23:59"));
    EXPECT_THROW(NormalizeAttrValue(ozy::tarp::kAttrStartTime, "02/29/2023,10:00"),
                 CInvalidAttrValue);
    EXPECT_THROW(NormalizeAttrValue(ozy::tarp::kAttrEndTime, "2024-01-01 10:00"),
                 CInvalidAttrValue);
    EXPECT_NO_THROW(NormalizeAttrValue(ozy::tarp::kAttrTimeOfDay, "00:00,23:59"));
    EXPECT_THROW(NormalizeAttrValue(ozy::tarp::kAttrTimeOfDay, "00:00,24:00"), CInvalidAttrValue);
    EXPECT_THROW(NormalizeAttrValue(0, ""), CInvalidAttrValue);
    try {
        NormalizeAttrValue(ozy::tarp::kAttrTimeZone, "CET");
    } catch (const CInvalidAttrValue& e) {
        EXPECT_EQ(std::string(e.what()), "invalid value \"CET\" for attribute key TIME_ZONE");
    }
    // Attribute elements only in attribute containers, time keys only in time containers.
    CTarpFWContainer profile("p", CTarpFWContainer::Type::kAttributes);
    EXPECT_NO_THROW(profile.addElement(CTarpFWElement::Attribute(0, "HTTP")));
    EXPECT_THROW(profile.addElement(CTarpFWElement::Attribute(ozy::tarp::kAttrDayOfWeek, "MONDAY")),
                 CTarpFWException);
    EXPECT_THROW(profile.addElement(CTarpFWElement::AddrSet("web")), CTarpFWException);
}

TEST(TarpRuleTest, CombinedRulesAndQueries) {
    CTarpFWRuleBuilder b = Tcp();
    b.setContainer(RuleSide::kSource, "web");
    b.setAttributeProfile("ctx-a");
    auto rule = b.buildRule();
    EXPECT_TRUE(rule->isLayer3());
    EXPECT_TRUE(rule->hasAttributeProfile());
    EXPECT_FALSE(rule->hasTimeProfile());
    EXPECT_FALSE(rule->hasIDSProfile());
    uint64_t before = rule->hash();

    CTarpFWRuleBuilder second = Tcp();
    second.setProtocol(17, false);
    second.setContainer(RuleSide::kExtSource, "ids-group");
    second.setTimeAttributeProfile("sched");
    rule->combineRule(*second.buildRule());
    EXPECT_EQ(rule->partCount(), 2u);
    EXPECT_TRUE(rule->hasTimeProfile());
    EXPECT_TRUE(rule->hasExtSource());
    EXPECT_NE(rule->hash(), before);
    EXPECT_EQ(rule->containerNames(),
              (std::vector<std::string>{"web", "ctx-a", "ids-group", "sched"}));

    // Same content, same hash; a changed flag, another.
    auto again = Tcp().buildRule();
    auto same = Tcp().buildRule();
    EXPECT_EQ(again->hash(), same->hash());
    same->setTCPStrict(true);
    EXPECT_NE(again->hash(), same->hash());
}

}  // namespace
}  // namespace TarpFirewall

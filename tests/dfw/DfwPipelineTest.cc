// The firewall's intake and conversion end to end, in process: database records merged by the
// cache, validated, converted, selected per port and applied through the firewall library to the
// emulator's device, whose own evaluator then gives each packet its verdict. Covers a composite
// shared by two rules, a negated side, an exclusion, a group-scoped and a port-scoped applied-to.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "dfw/DfwCompositeContainers.h"
#include "dfw/DfwContainerConverter.h"
#include "dfw/DfwMsgCache.h"
#include "dfw/DfwRuleBuilder.h"
#include "dfw/DfwRuleSelector.h"
#include "dfw/DfwRuleValidator.h"
#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/CTarpFWSegment.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpTestSeam.h"
#include "proto/lcp_firewall.pb.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/support/DfwRecords.h"
#include "tools/ozy-dpemu/TarpEval.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace CfgAgent {
namespace {

using namespace test::dfw;
namespace fw = orvane::ozy::firewall;
namespace emu = ozy::dpemu::tarp;

pb::ProtocolSpecMsg* Service(pb::RuleMsg& r, uint32_t proto, uint32_t port) {
    pb::ProtocolSpecMsg* s = r.add_services();
    s->set_ip_protocol(proto);
    s->add_destination_ports()->set_start(port);
    return s;
}

class DfwPipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TarpFirewall::detail::SetDeviceOpenerForTest(&dev_);
        const char* options[] = {"FWIODeviceName", "/dev/ozy-tarp"};
        uint32_t version = 0;
        ASSERT_EQ(FW_Initialize(FW_LIB_VERSION, &version, 1, 2, options, &h_), 0);
        for (const char* port : {"7", "8"}) {
            std::string why;
            ASSERT_TRUE(
                dev_.state->CreateFilter({std::string("f") + port, std::string("vif-") + port, port,
                                          ozy::tarp::kAgentFirewall, false, true},
                                         &why))
                << why;
        }
    }
    void TearDown() override {
        FW_Terminate(h_);
        TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
    }

    // Builds every valid rule, selects those of port `lsp` and applies them to `filter`.
    void Apply(const DfwMsgSnapshot& snap, uint64_t lsp, const std::string& filter) {
        std::vector<const fw::LcpRuleMsg*> valid;
        for (const auto& [id, r] : *snap.rules) {
            if (DfwRuleValidator::ValidateRule(*r) &&
                DfwRuleValidator::HasSection(*r, *snap.sections))
                valid.push_back(r.get());
        }
        std::sort(valid.begin(), valid.end(), [](const fw::LcpRuleMsg* a, const fw::LcpRuleMsg* b) {
            return a->priority() < b->priority();
        });
        DfwCompositeContainers generated;
        DfwRuleBuilder builder(snap, generated);
        std::vector<std::shared_ptr<const TarpFirewall::CTarpFWRule>> built;
        for (const fw::LcpRuleMsg* r : valid) {
            DfwUuid section{r->section_id().left(), r->section_id().right()};
            built.push_back(builder.Build(*r, *snap.sections->at(section)));
        }
        DfwRuleSelector selector(valid, *snap.groups);
        std::vector<std::shared_ptr<const TarpFirewall::CTarpFWRule>> mine;
        for (size_t i : *selector.Select(U(lsp), {true, true})) {
            if (built[i])
                mine.push_back(built[i]);
        }
        TarpFirewall::CTarpFWCmdList list;
        TarpFirewall::ScopedConfigFile guard(&list);
        for (const auto& [id, c] : *snap.containers) {
            if (c->attributes().empty())
                list.addCreateAddrSet(DfwContainerConverter::AddressSet(*c));
        }
        for (const auto& [name, set] : generated.addressLists())
            list.addCreateAddrSet(set);
        for (const auto& [name, c] : generated.composites())
            list.addCreateContainer(c.container);
        list.addCreateRuleSet(
            "mainrs", {std::make_shared<const TarpFirewall::CTarpFWSegment>(std::move(mine))});
        list.addSetRootRuleSets({"mainrs"});
        ASSERT_EQ(FW_EvaluateConfigFile(h_, &list, filter.c_str(), 0), 0);
    }

    std::string Verdict(const std::string& filter, const std::string& packet) {
        std::vector<std::string> args;
        size_t start = 0;
        while (start < packet.size()) {
            size_t end = packet.find(' ', start);
            if (end == std::string::npos)
                end = packet.size();
            args.push_back(packet.substr(start, end - start));
            start = end + 1;
        }
        emu::Packet p;
        std::string why;
        EXPECT_TRUE(emu::ParsePacket(args, &p, &why)) << why;
        const emu::Filter* f = dev_.state->FindFilter(filter);
        EXPECT_NE(f, nullptr);
        if (f == nullptr)
            return "no filter";
        emu::Verdict v = emu::Evaluate(*dev_.state, *f, p);
        return v.verdict + (v.matched ? " " + std::to_string(v.rule) : "");
    }

    ozy::tarp::test::InProcessTarp dev_;
    FW_Handle* h_ = nullptr;
};

TEST_F(DfwPipelineTest, ConvertedRulesGiveTheirVerdictsOnTheDevice) {
    auto three = [](std::vector<uint64_t> order) {
        return [order](pb::RuleMsg& r) {
            for (uint64_t c : order)
                *r.mutable_source()->add_container_ids() = Uuid(c);
        };
    };
    auto cache = ozy::MakeRef<DfwMsgCache>();
    cache->UpdateDesiredState(
        {SectionRec(1, 10), ContainerRec(51, {0x0A000001}), ContainerRec(52, {0x0A000002}),
         ContainerRec(53, {0x0A000003}), GroupRec(70, 60, {7}),
         RuleRec(100, 1, 1,
                 [&](pb::RuleMsg& r) {
                     three({51, 52, 53})(r);
                     AddIpv4(r.mutable_destination()->add_ip_addresses(), 0x0A010000, 16);
                     Service(r, 6, 443);
                     AddIpv4(r.mutable_exclude_destination()->add_ip_addresses(), 0x0A010101);
                 }),
         RuleRec(101, 2, 1,
                 [&](pb::RuleMsg& r) {
                     three({53, 51, 52})(r);
                     r.set_action(1);
                     Service(r, 17, 53);
                 }),
         RuleRec(102, 3, 1,
                 [](pb::RuleMsg& r) {
                     r.set_action(2);
                     *r.mutable_destination()->add_container_ids() = Uuid(51);
                     r.mutable_destination()->set_negate(true);
                     Service(r, 6, 22);
                 }),
         RuleRec(103, 4, 1,
                 [](pb::RuleMsg& r) {
                     r.set_action(1);
                     *r.mutable_applied_to()->add_container_ids() = Uuid(60);
                     Service(r, 6, 80);
                 }),
         RuleRec(104, 5, 1,
                 [](pb::RuleMsg& r) {
                     r.set_action(1);
                     *r.mutable_applied_to()->add_logical_switch_port_ids() = Uuid(8);
                     Service(r, 6, 8080);
                 })},
        true);
    DfwMsgSnapshot snap = cache->TakeSnapshot();
    Apply(snap, 7, "f7");
    Apply(snap, 8, "f8");

    EXPECT_EQ(Verdict("f7", "in tcp 10.0.0.2:1000 10.1.2.3:443"), "ALLOW 1");
    EXPECT_EQ(Verdict("f7", "in tcp 10.0.0.9:1000 10.1.2.3:443"), "DEFAULT") << "not a member";
    EXPECT_EQ(Verdict("f7", "in tcp 10.0.0.2:1000 10.1.1.1:443"), "DEFAULT") << "excluded";
    EXPECT_EQ(Verdict("f7", "in udp 10.0.0.3:1000 10.9.9.9:53"), "DROP 2") << "shared composite";
    EXPECT_EQ(Verdict("f7", "in tcp 10.0.0.9:1000 10.0.0.5:22"), "REJECT 3");
    EXPECT_EQ(Verdict("f7", "in tcp 10.0.0.9:1000 10.0.0.1:22"), "DEFAULT") << "negated side";
    EXPECT_EQ(Verdict("f7", "in tcp 10.0.0.9:1000 10.0.0.5:80"), "DROP 4") << "group applied-to";
    EXPECT_EQ(Verdict("f8", "in tcp 10.0.0.9:1000 10.0.0.5:80"), "DEFAULT");
    EXPECT_EQ(Verdict("f8", "in tcp 10.0.0.9:1000 10.0.0.5:8080"), "DROP 5") << "port applied-to";
    EXPECT_EQ(Verdict("f7", "in tcp 10.0.0.9:1000 10.0.0.5:8080"), "DEFAULT");
}

}  // namespace
}  // namespace CfgAgent

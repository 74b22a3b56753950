// The firewall's process loop over the emulator's device in process: the barrier reported is the
// one read with the snapshot (a barrier arriving mid-pass waits for the next pass); a failed
// build keeps the last good rules for a newly enabled filter and its error until a build
// succeeds; enable and disable requests cancel only for the same filter; the status is written
// when it changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwGlobalAddrSets.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMain.h"
#include "dfw/DfwMsgCache.h"
#include "platform/tarp/CTarpFWAddrSet.h"
#include "platform/tarp/CTarpFWAddress.h"
#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "proto/cairndb_system.pb.h"
#include "runtime/Metrics.h"
#include "tests/dfw/DfwLoopFixture.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/support/DfwRecords.h"
#include "tests/support/FakeCairndbClient.h"
#include "tools/ozy-dpemu/TarpConfigParser.h"
#include "tools/ozy-dpemu/TarpEval.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace CfgAgent {
namespace {

using namespace test::dfw;
namespace emu = ozy::dpemu::tarp;

pb::RuleMsg& Ssh(pb::RuleMsg& r) {
    pb::ProtocolSpecMsg* s = r.add_services();
    s->set_ip_protocol(6);
    s->add_destination_ports()->set_start(22);
    return r;
}

class DfwMainTest : public test::DfwLoopFixture {
  protected:
    void SetUp() override {
        DfwLoopFixture::SetUp();
        StartMain();
    }
    void Configure(DfwMain::Options& o) override {
        o.settings.skipNtpCheck = skipNtp_;
        o.metrics = &metrics_;
        o.settings.importClearTimeout = 60;
        o.wallSeconds = [this] { return clock_; };
    }

    std::string Verdict(const std::string& filter, const char* source = "10.0.0.1") {
        emu::Packet p;
        std::string why;
        EXPECT_TRUE(
            emu::ParsePacket({"in", "tcp", std::string(source) + ":1000", "10.9.9.9:22"}, &p, &why))
            << why;
        const emu::Filter* f = dev_.state->FindFilter(filter);
        if (f == nullptr)
            return "no filter";
        emu::Verdict v = emu::Evaluate(*dev_.state, *f, p);
        return v.verdict + (v.matched ? " " + std::to_string(v.rule) : "");
    }

    // The status's text of the time-based sections held back; empty when it names none.
    std::string HeldText() {
        pb::RuntimeStatusMsg m;
        if (!db_.statuses.empty() && m.ParseFromString(db_.statuses.back())) {
            for (const auto& e : m.errors()) {
                if (e.error_message().find(" NTP Service is not up") != std::string::npos)
                    return e.error_message();
            }
        }
        return std::string();
    }

    uint64_t LastBarrier() {
        pb::ProcessedBarrierMsg m;
        if (db_.barriers.empty() || !m.ParseFromString(db_.barriers.back()))
            return 0;
        return m.barrier_id();
    }
    std::vector<uint32_t> LastCodes() {
        pb::RuntimeStatusMsg m;
        std::vector<uint32_t> out;
        if (!db_.statuses.empty() && m.ParseFromString(db_.statuses.back())) {
            for (const auto& e : m.errors())
                out.push_back(e.error_code());
        }
        return out;
    }

    // A full sync: one section, rule 1 dropping ssh, and the barrier.
    void Baseline(uint64_t barrier) {
        msgs_->UpdateDesiredState(
            {SectionRec(1, 1), RuleRec(101, 1, 1, [](pb::RuleMsg& r) { Ssh(r).set_action(1); }),
             BarrierRec(barrier)},
            true);
        main_->ProcessOnce();
    }

    // The device's notification that `name` of `vif` was imported by a live migration.
    void Imported(const std::string& name, const std::string& vif, uint64_t port) {
        AddFilter(name, vif, port);
        std::vector<uint8_t> m(ozy::tarp::kNotifySize, 0);
        m[1] = 1;
        m[2] = uint8_t(m.size() >> 8);
        m[3] = uint8_t(m.size());
        std::copy(name.begin(), name.end(), m.begin() + 4);
        const std::string agent = ozy::tarp::kAgentFirewall;
        std::copy(agent.begin(), agent.end(), m.begin() + 104);
        std::copy(vif.begin(), vif.end(), m.begin() + 204);
        m[311] = 2;  // flags: imported
        main_->repo()->OnLinkMessage(m.data(), m.size());
        ASSERT_TRUE(main_->repo()->QueryNow());
    }

    uint64_t clock_ = 1000;
    bool skipNtp_ = true;  // StartMain's "default.skip_ntp_check"
    ozy::metrics::Registry metrics_;
};

TEST_F(DfwMainTest, ABarrierArrivingMidPassIsAcknowledgedByTheNextPass) {
    Baseline(5);
    ASSERT_EQ(Verdict("f1"), "DROP 1");
    ASSERT_EQ(LastBarrier(), 5u);
    bool delivered = false;
    main_->SetSyncPoint([&](const char* point) {
        if (std::string(point) == "snapshot" && !delivered) {
            delivered = true;
            // A change and its barrier land while the pass works on the older snapshot.
            msgs_->UpdateDesiredState({RuleRec(101, 1, 1, Ssh), BarrierRec(9)}, false);
        }
    });
    msgs_->UpdateDesiredState({RuleRec(102, 2, 1), BarrierRec(6)}, false);
    main_->ProcessOnce();
    EXPECT_EQ(LastBarrier(), 6u) << "the barrier read with the snapshot";
    EXPECT_EQ(Verdict("f1"), "DROP 1") << "the change after the snapshot is not applied yet";
    main_->ProcessOnce();
    EXPECT_EQ(LastBarrier(), 9u);
    EXPECT_EQ(Verdict("f1"), "ALLOW 1");
}

// The agent restarts while the filters hold their rules, and cairndb's full sync comes late (a
// large database): wake-ups before it (a new filter found by the query, the filter link up again,
// NTP up, a batch that is not a full sync) apply nothing and write neither status nor barrier, and
// stay owed; the full sync's pass then serves them, and the filters that held the same
// configuration are not changed.
TEST_F(DfwMainTest, ARestartAppliesNothingBeforeTheFirstFullSync) {
    Baseline(5);
    ASSERT_EQ(Verdict("f1"), "DROP 1");
    main_->Stop();
    StartMain();
    std::vector<std::string> points;
    main_->SetSyncPoint([&](const char* point) { points.push_back(point); });
    const size_t statuses = db_.statuses.size(), barriers = db_.barriers.size();
    const uint32_t applied1 = dev_.state->FindFilter("f1")->applyCount;
    const struct {
        const char* what;
        std::function<void()> wake;
    } wakes[] = {
        {"a new filter found by the query",
         [&] {
             AddFilter("f3", "vif-3", 3);
             ASSERT_TRUE(main_->repo()->QueryNow());
         }},
        {"the filter link up again", [&] { main_->RequestSpanResync(); }},
        {"NTP up", [&] { main_->SetNtpUp(true); }},
        {"a batch that is not a full sync",
         [&] {
             msgs_->UpdateDesiredState({RuleRec(102, 2, 1), BarrierRec(7)}, false);
         }},
    };
    for (const auto& w : wakes) {
        SCOPED_TRACE(w.what);
        w.wake();
        points.clear();
        main_->ProcessOnce();
        EXPECT_EQ(points, (std::vector<std::string>{"unsynced"}));
        EXPECT_EQ(dev_.state->FindFilter("f1")->applyCount, applied1);
        EXPECT_EQ(Verdict("f1"), "DROP 1");
        EXPECT_EQ(Verdict("f2"), "DROP 1");
        EXPECT_EQ(Verdict("f3"), "DEFAULT");
        EXPECT_EQ(db_.statuses.size(), statuses);
        EXPECT_EQ(db_.barriers.size(), barriers);
    }
    EXPECT_EQ(main_->counters().applies, 0u);
    EXPECT_EQ(main_->counters().unsyncedPasses, 4u);
    // The full sync, with the content the filters already hold, and a new barrier.
    points.clear();
    Baseline(6);
    EXPECT_EQ(points, (std::vector<std::string>{"snapshot"}));
    EXPECT_EQ(Verdict("f3"), "DROP 1") << "the owed new filter";
    for (const char* name : {"f1", "f2"}) {
        SCOPED_TRACE(name);
        const emu::Filter* f = dev_.state->FindFilter(name);
        EXPECT_EQ(f->lastStatus, ozy::tarp::kStatusNoChange) << "applied, nothing differed";
        EXPECT_EQ(Verdict(name), "DROP 1");
    }
    EXPECT_EQ(LastBarrier(), 6u);
    EXPECT_EQ(db_.barriers.size(), barriers + 1);
}

// With the time service not up, a time-based section is held back and the status says so on
// every pass until the service is up or no filter holds it: a pass that applies no filter (a
// wake-up with nothing changed) does not lose it.
TEST_F(DfwMainTest, HeldTimeBasedSectionsStayInTheStatusOnPassesThatApplyNoFilter) {
    main_->Stop();
    skipNtp_ = false;
    StartMain();
    msgs_->UpdateDesiredState(
        {SectionRec(1, 10), RuleRec(101, 1, 1, [](pb::RuleMsg& r) { Ssh(r).set_action(1); }),
         BarrierRec(5)},
        true);
    main_->ProcessOnce();
    EXPECT_EQ(HeldText(), "");
    msgs_->UpdateDesiredState(
        {SectionRec(2, 5, [](pb::RuleSectionMsg& s) { s.set_time_based(true); }),
         RuleRec(201, 201, 2, [](pb::RuleMsg& r) { Ssh(r); }), BarrierRec(6)},
        false);
    main_->ProcessOnce();
    const std::string held = " NTP Service is not up; time-based sections held: " + U(2).Text();
    EXPECT_EQ(HeldText(), held);
    const uint32_t applied = dev_.state->FindFilter("f1")->applyCount;
    main_->Notify();
    main_->ProcessOnce();
    EXPECT_EQ(dev_.state->FindFilter("f1")->applyCount, applied) << "a pass that applies nothing";
    EXPECT_EQ(HeldText(), held);
    // Held while some filter holds it back; not once none does.
    std::string why;
    for (const char* gone : {"f2", "f1"}) {
        SCOPED_TRACE(gone);
        ASSERT_TRUE(dev_.state->DeleteFilter(gone, &why)) << why;
        ASSERT_TRUE(main_->repo()->QueryNow());
        main_->ProcessOnce();
        EXPECT_EQ(HeldText(), std::string(gone) == "f2" ? held : "");
    }
    AddFilter("f1", "vif-1", 1);
    ASSERT_TRUE(main_->repo()->QueryNow());
    main_->ProcessOnce();
    EXPECT_EQ(HeldText(), held);
    // The service up: every filter gets the section and the status names none.
    main_->SetNtpUp(true);
    main_->ProcessOnce();
    EXPECT_EQ(HeldText(), "");
    EXPECT_EQ(Verdict("f1"), "ALLOW 201");
}

TEST_F(DfwMainTest, AFailedBuildKeepsTheLastGoodRulesForANewFilterAndItsErrorUntilFixed) {
    Baseline(5);
    msgs_->UpdateDesiredState(
        {RuleRec(103, 3, 1,
                 [](pb::RuleMsg& r) { *r.mutable_source()->add_container_ids() = Uuid(99); })},
        false);
    main_->ProcessOnce();
    EXPECT_EQ(LastCodes(), (std::vector<uint32_t>{1000}));
    AddFilter("f3", "vif-3", 3);
    ASSERT_TRUE(main_->repo()->QueryNow());
    main_->ProcessOnce();
    EXPECT_EQ(Verdict("f3"), "DROP 1") << "the last good rules";
    EXPECT_EQ(LastCodes(), (std::vector<uint32_t>{1000})) << "kept until a build succeeds";
    const size_t writes = db_.statuses.size();
    main_->ProcessOnce();
    EXPECT_EQ(db_.statuses.size(), writes) << "an unchanged status is not written again";
    msgs_->UpdateDesiredState({Deleted(RuleRec(103, 3, 1))}, false);
    main_->ProcessOnce();
    EXPECT_TRUE(LastCodes().empty());
}

TEST_F(DfwMainTest, DeviceStatusesMapToRealizationCodesAndTheOtherFiltersStayApplied) {
    Baseline(5);
    const struct {
        uint32_t status;
        uint32_t code;
    } cases[] = {{8, 1}, {65, 1100}, {19, 1101}, {42, 1102}};
    uint32_t action = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        std::string why;
        ASSERT_TRUE(dev_.state->FailFilter("f2", c.status, 1, &why)) << why;
        action = action == 0 ? 2 : 0;
        msgs_->UpdateDesiredState(
            {RuleRec(101, 1, 1, [&](pb::RuleMsg& r) { Ssh(r).set_action(action); })}, false);
        main_->ProcessOnce();
        EXPECT_EQ(LastCodes(), (std::vector<uint32_t>{c.code}));
        EXPECT_EQ(Verdict("f1"), action == 0 ? "ALLOW 1" : "REJECT 1");
    }
}

// A pass sends its applies to the device many filters at a time: with more filters than one such
// batch, failures in different batches are each their filter's own (its code, its old rules)
// while every other filter takes the change, and the next pass clears them.
TEST_F(DfwMainTest, FiltersOfSeveralBatchesEachGetTheirOwnOutcome) {
    constexpr int kFilters = 150;
    for (int i = 3; i <= kFilters; ++i)
        AddFilter("f" + std::to_string(i), "vif-" + std::to_string(i), uint64_t(i));
    ASSERT_TRUE(main_->repo()->QueryNow());
    Baseline(5);
    const std::map<std::string, uint32_t> failing = {{"f40", 65}, {"f100", 19}, {"f141", 8}};
    for (const auto& [name, status] : failing) {
        std::string why;
        ASSERT_TRUE(dev_.state->FailFilter(name, status, 1, &why)) << why;
    }
    msgs_->UpdateDesiredState({RuleRec(101, 1, 1, [](pb::RuleMsg& r) { Ssh(r).set_action(0); })},
                              false);
    main_->ProcessOnce();
    EXPECT_EQ(LastCodes(), (std::vector<uint32_t>{1101, 1, 1100}));  // f100, f141, f40
    for (int i = 1; i <= kFilters; ++i) {
        const std::string name = "f" + std::to_string(i);
        EXPECT_EQ(Verdict(name), failing.count(name) ? "DROP 1" : "ALLOW 1") << name;
    }
    msgs_->UpdateDesiredState({RuleRec(101, 1, 1, [](pb::RuleMsg& r) { Ssh(r).set_action(2); })},
                              false);
    main_->ProcessOnce();
    EXPECT_TRUE(LastCodes().empty());
    for (int i = 1; i <= kFilters; ++i)
        EXPECT_EQ(Verdict("f" + std::to_string(i)), "REJECT 1") << i;
}

struct RequestCase {
    const char* what;
    std::string firstFilter;  // the disable's filter name
    bool cleaned;             // f1 lost its rules
};

TEST_F(DfwMainTest, AnEnableCancelsAPendingDisableOnlyForTheSameFilter) {
    Baseline(5);
    const RequestCase cases[] = {
        {"the same filter: both requests cancel", "f1", false},
        {"a filter made again under another name: it gets its rules", "f1-old", false},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.what);
        const uint64_t applies = main_->counters().applies;
        main_->RequestVif(ozy::tarp::kAgentFirewall, "vif-1", c.firstFilter, false);
        main_->RequestVif(ozy::tarp::kAgentFirewall, "vif-1", "f1", true);
        main_->ProcessOnce();
        EXPECT_EQ(Verdict("f1"), "DROP 1");
        EXPECT_EQ(main_->counters().applies - applies, c.firstFilter == "f1" ? 0u : 1u);
    }
    // A disable alone cleans the filter.
    main_->RequestVif(ozy::tarp::kAgentFirewall, "vif-1", "f1", false);
    main_->ProcessOnce();
    EXPECT_EQ(Verdict("f1"), "DEFAULT");
    EXPECT_EQ(Verdict("f2"), "DROP 1");
}

TEST_F(DfwMainTest, MetricsAndTheCliFollowThePasses) {
    std::string text;
    EXPECT_FALSE(main_->RulesText("vif-1", &text));
    Baseline(5);
    ASSERT_TRUE(main_->RulesText("vif-1", &text)) << text;
    EXPECT_EQ(text,
              R"({"filter":"f1","lsp":")" + U(1).Text() + R"(","mainrs":[1],"mainrs_L2":[]})");
    EXPECT_FALSE(main_->RulesText("vif-9", &text));
    EXPECT_EQ(text, "no firewall filter of vif vif-9");
    // A mode change alone rebuilds nothing; a barrier is written once per new number.
    msgs_->UpdateDesiredState({ToggleRec(false, true), BarrierRec(6)}, false);
    for (int pass = 0; pass < 3; ++pass)
        main_->ProcessOnce();
    EXPECT_EQ(metrics_.counter("dfw update counter")->value(), 1);
    EXPECT_EQ(metrics_.counter("barrier update counter")->value(), 2);
    EXPECT_EQ(metrics_.counter("idfw update counter")->value(), 1);
    EXPECT_EQ(metrics_.counter("ids update counter")->value(), 0);
    EXPECT_NE(
        main_->CountersText().find(
            "\"summary\":\"MP version: 0.0, globalAddr: 0, fastPath: 0, macsetOptimization: 0\""),
        std::string::npos)
        << main_->CountersText();
}

TEST_F(DfwMainTest, SpanChangesReachTheIncludeAndExcludeTables) {
    const std::string vnic = "d7000000-0000-4000-8000-000000000003";
    AddFilter("f3", vnic, 3);
    ASSERT_TRUE(main_->repo()->QueryNow());
    Baseline(5);
    ASSERT_EQ(Verdict("f3"), "DROP 1");
    auto tables = [&] { return dev_.state->Dump()["tables"]["orvane-sfw"]; };
    EXPECT_EQ(tables()["include"], nlohmann::json({"default"}));
    EXPECT_EQ(dev_.state->Dump()["tables"]["orvane-si"]["include"], nlohmann::json({"default"}));
    const struct {
        const char* what;
        CairnDBUpdateMsg batch;
        nlohmann::json include, exclude;
        const char* verdict;
    } steps[] = {
        {"a span-only batch excludes the vif",
         SpanRec(7, {}, [&](pb::ConfigSpanMsg& s) { s.add_dfw_excluded_vifs(vnic); }),
         {"default"},
         {vnic},
         "EXCLUDED"},
        {"exclude all turns the firewall off",
         SpanRec(7, {},
                 [&](pb::ConfigSpanMsg& s) {
                     s.add_dfw_excluded_vifs(vnic);
                     s.set_exclude_all(true);
                 }),
         nlohmann::json::array(),
         {vnic},
         "EXCLUDED"},
        {"the span gone: on again, nothing excluded",
         Deleted(SpanRec(7, {})),
         {"default"},
         nlohmann::json::array(),
         "DROP 1"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        msgs_->UpdateDesiredState({step.batch}, false);
        main_->ProcessOnce();
        EXPECT_EQ(tables()["include"], step.include);
        EXPECT_EQ(tables()["exclude"], step.exclude);
        EXPECT_EQ(Verdict("f3"), step.verdict);
        EXPECT_EQ(
            nlohmann::json::parse(main_->ExcludeText(false))["dfw_vif_exclude"]["exclude_list"],
            step.exclude);
        ASSERT_TRUE(main_->repo()->QueryNow());
        EXPECT_EQ(main_->repo()->Filters(ozy::tarp::kAgentFirewall).count(vnic),
                  step.exclude.empty() ? 1u : 0u);
    }
    EXPECT_TRUE(LastCodes().empty());
}

TEST_F(DfwMainTest, AFailedIncludeWriteIsReportedAndTriedAgainUntilItHolds) {
    // The device restarted: its tables are empty and its first include write fails.
    dev_.Restart();
    AddFilter("f1", "vif-1", 1);
    AddFilter("f2", "vif-2", 2);
    int failures = 1;
    std::vector<uint32_t> dvf;
    dev_.inject = [&](uint32_t command, const uint8_t* p, size_t n) -> std::optional<uint32_t> {
        if (command != ozy::tarp::kCmdDvfIoctl || n < 4 + 44)
            return std::nullopt;
        dvf.push_back(p[3]);
        if (p[3] == ozy::tarp::kDvfWriteTable && p[4 + 32] == ozy::tarp::kDvfInclude &&
            failures > 0) {
            --failures;
            return ozy::tarp::kStatusNoMemory;
        }
        return std::nullopt;
    };
    main_->RequestSpanResync();
    Baseline(5);
    EXPECT_EQ(Verdict("f1"), "DROP 1") << "rules are applied all the same";
    EXPECT_EQ(LastCodes(), (std::vector<uint32_t>{1102}));
    EXPECT_EQ(dev_.state->Dump()["tables"]["orvane-sfw"]["include"], nlohmann::json::array());
    main_->ProcessOnce();  // nothing new: the sync is tried again
    EXPECT_EQ(dev_.state->Dump()["tables"]["orvane-sfw"]["include"], nlohmann::json({"default"}));
    EXPECT_TRUE(LastCodes().empty());
    EXPECT_EQ(std::count(dvf.begin(), dvf.end(), ozy::tarp::kDvfResetTable), 0);
    const size_t calls = dvf.size();
    main_->ProcessOnce();
    EXPECT_EQ(dvf.size(), calls) << "nothing to sync: no table touched";
}

TEST_F(DfwMainTest, AnImportedFilterKeepsWhatItBroughtUntilItsPortIsNamedOrTheTimeout) {
    Baseline(5);
    // f3 arrives by live migration; the rules naming its port have not arrived yet.
    Imported("f3", "vif-3", 3);
    EXPECT_EQ(main_->repo()->ImportOf("vif-3").time, 1000u);
    main_->ProcessOnce();
    EXPECT_EQ(dev_.state->FindFilter("f3")->applyCount, 0u) << "held: only global rules";
    // A rule applied to its port arrives: applied at once, the import cleared.
    msgs_->UpdateDesiredState({RuleRec(104, 4, 1,
                                       [](pb::RuleMsg& r) {
                                           Ssh(r).set_action(0);
                                           *r.mutable_applied_to()->add_logical_switch_port_ids() =
                                               Uuid(3);
                                       })},
                              false);
    main_->ProcessOnce();
    EXPECT_EQ(Verdict("f3"), "DROP 1");
    EXPECT_EQ(main_->repo()->ImportOf("vif-3").time, 0u);
    EXPECT_EQ(main_->repo()->Filters(ozy::tarp::kAgentFirewall).at("vif-3").importTime, 0u);

    // f4 is never named: it waits for the timeout, then gets the configuration it has.
    Imported("f4", "vif-4", 4);
    main_->ProcessOnce();
    EXPECT_EQ(main_->repo()->TriggerDueImports(), std::chrono::milliseconds(60010));
    main_->ProcessOnce();
    EXPECT_EQ(dev_.state->FindFilter("f4")->applyCount, 0u);
    clock_ += 60;
    EXPECT_TRUE(main_->repo()->ImportOf("vif-4").expired);
    main_->repo()->TriggerDueImports();
    main_->ProcessOnce();
    EXPECT_EQ(Verdict("f4"), "DROP 1");
    EXPECT_EQ(main_->repo()->ImportOf("vif-4").time, 0u);
    const uint64_t applies = main_->counters().applies;
    main_->repo()->TriggerDueImports();
    main_->ProcessOnce();
    EXPECT_EQ(main_->counters().applies, applies) << "asked once";
}

TEST_F(DfwMainTest, InGlobalModeSetsLiveOnTheSharedFilterUntilNoFilterUsesThem) {
    // Rule 1 drops ssh from group 11 everywhere; rule 2 from group 12 on port 1 only.
    auto fromGroup = [](uint64_t group, uint64_t port) {
        return [=](pb::RuleMsg& r) {
            Ssh(r).set_action(1);
            *r.mutable_source()->add_container_ids() = Uuid(group);
            if (port != 0)
                *r.mutable_applied_to()->add_logical_switch_port_ids() = Uuid(port);
        };
    };
    auto global = [](bool on) {
        return GlobalRec([on](pb::GlobalConfigMsg& g) { g.set_global_addrset_mode(on); });
    };
    msgs_->UpdateDesiredState({global(true), SectionRec(1, 1), ContainerRec(11, {0x0a000001}),
                               ContainerRec(12, {0x0a000002}), RuleRec(101, 1, 1, fromGroup(11, 0)),
                               RuleRec(102, 2, 1, fromGroup(12, 1)), BarrierRec(5)},
                              true);
    const std::string g11 = U(11).Text(), g12 = U(12).Text();
    auto own = [&](const char* name) {
        const emu::Filter* f = dev_.state->FindFilter(name);
        return f->config.addrSets.size() + f->config.containers.size();
    };
    const struct {
        const char* what;
        std::vector<CairnDBUpdateMsg> batch;
        nlohmann::json anchors;  // of the shared filter's sets
        size_t own;              // sets each filter holds itself
        const char* f1From12;    // verdicts of ssh from 10.0.0.2 and 10.0.0.3 on f1
        const char* f1From13;
    } steps[] = {
        {"each set once, on the shared filter, counted per filter using it",
         {},
         {{g11, 2}, {g12, 1}},
         0,
         "DROP 2",
         "DEFAULT"},
        {"the port-scoped rule gone: its set, used by none, goes",
         {Deleted(RuleRec(102, 2, 1))},
         {{g11, 2}},
         0,
         "DEFAULT",
         "DEFAULT"},
        {"the rule back: its set back",
         {RuleRec(102, 2, 1, fromGroup(12, 1))},
         {{g11, 2}, {g12, 1}},
         0,
         "DROP 2",
         "DEFAULT"},
        {"a group's addresses change: the shared set follows",
         {ContainerRec(12, {0x0a000003, 0x0a000002})},
         {{g11, 2}, {g12, 1}},
         0,
         "DROP 2",
         "DROP 2"},
        {"global mode off: each filter holds its own, the shared filter none",
         {global(false)},
         nlohmann::json::object(),
         1,
         "DROP 2",
         "DROP 2"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        if (!s.batch.empty())
            msgs_->UpdateDesiredState(s.batch, false);
        main_->ProcessOnce();
        EXPECT_EQ(dev_.state->Dump()["shared"]["anchors"], s.anchors);
        EXPECT_EQ(own("f2"), s.own);
        EXPECT_EQ(dev_.state->FindFilter("f1")->sharedAddrSets, s.own == 0);
        EXPECT_EQ(Verdict("f1"), "DROP 1");
        EXPECT_EQ(Verdict("f2"), "DROP 1");
        EXPECT_EQ(Verdict("f1", "10.0.0.2"), s.f1From12);
        EXPECT_EQ(Verdict("f2", "10.0.0.2"), "DEFAULT");
        EXPECT_EQ(Verdict("f1", "10.0.0.3"), s.f1From13);
        EXPECT_TRUE(LastCodes().empty());
    }
}

TEST_F(DfwMainTest, InGlobalModeASetAFilterStillUsesStaysUntilTheFilterLetsGo) {
    // Rule 2 drops ssh from group 12 on port 1 (f1) only.
    auto fromGroup12 = [](pb::RuleMsg& r) {
        Ssh(r).set_action(1);
        *r.mutable_source()->add_container_ids() = Uuid(12);
        *r.mutable_applied_to()->add_logical_switch_port_ids() = Uuid(1);
    };
    msgs_->UpdateDesiredState(
        {GlobalRec([](pb::GlobalConfigMsg& g) { g.set_global_addrset_mode(true); }),
         SectionRec(1, 1), ContainerRec(12, {0x0a000002}), RuleRec(102, 2, 1, fromGroup12),
         BarrierRec(5)},
        true);
    main_->ProcessOnce();
    const std::string g12 = U(12).Text();
    ASSERT_EQ(dev_.state->Dump()["shared"]["anchors"], nlohmann::json({{g12, 1}}));
    ASSERT_EQ(Verdict("f1", "10.0.0.2"), "DROP 2");
    // The rule deleted while f1's apply fails: f1 keeps rule 2 and so the set, which no rule of
    // the configuration names any more; the clean-up leaves it.
    std::string why;
    ASSERT_TRUE(dev_.state->FailFilter("f1", 8, 1, &why)) << why;
    msgs_->UpdateDesiredState({Deleted(RuleRec(102, 2, 1))}, false);
    main_->ProcessOnce();
    EXPECT_EQ(LastCodes(), std::vector<uint32_t>({1})) << "f1's failure alone";
    EXPECT_EQ(dev_.state->Dump()["shared"]["anchors"], nlohmann::json({{g12, 1}}));
    EXPECT_EQ(Verdict("f1", "10.0.0.2"), "DROP 2");
    // The next change reaches f1, which lets go of the set: it goes.
    msgs_->UpdateDesiredState({RuleRec(101, 1, 1, [](pb::RuleMsg& r) { Ssh(r).set_action(0); })},
                              false);
    main_->ProcessOnce();
    EXPECT_TRUE(LastCodes().empty());
    EXPECT_EQ(dev_.state->Dump()["shared"]["anchors"], nlohmann::json::object());
    EXPECT_EQ(Verdict("f1", "10.0.0.2"), "ALLOW 1");
}

TEST(DfwGlobalAddrSetsTest, StatisticsRecordsAreReadFromTheirOffsetsWithinTheBuffer) {
    // 74-byte records: name [40] at 0, u32 anchor count at 40 (big-endian).
    std::vector<uint8_t> buf(3 * 74, 0);
    const std::string a = "set-a", full(40, 'b');
    std::copy(a.begin(), a.end(), buf.begin());
    buf[43] = 2;
    std::copy(full.begin(), full.end(), buf.begin() + 74);  // no terminator: read bounded
    buf[74 + 40] = 1;
    // The third record is nameless: skipped.
    auto stats = DfwGlobalAddrSets::ParseStats(buf.data(), buf.size(), 3);
    ASSERT_EQ(stats.size(), 2u);
    EXPECT_EQ(stats[0].name, "set-a");
    EXPECT_EQ(stats[0].anchors, 2u);
    EXPECT_EQ(stats[1].name, full);
    EXPECT_EQ(stats[1].anchors, 0x01000000u);
    EXPECT_EQ(DfwGlobalAddrSets::ParseStats(buf.data(), 147, 10).size(), 1u)
        << "a claimed total beyond the bytes read is not believed";
}

TEST_F(DfwMainTest, TheFastPathModeFollowsOnEveryFilter) {
    Baseline(5);
    auto modes = [&] {
        std::string out;
        for (const char* f : {"f1", "f2", "f3"}) {
            const emu::Filter* filter = dev_.state->FindFilter(f);
            out += filter == nullptr ? "-" : std::to_string(filter->fastPath);
        }
        return out;
    };
    EXPECT_EQ(modes(), "00-");
    const struct {
        const char* what;
        bool fastPath;
        bool newFilter;
        const char* want;
    } steps[] = {
        {"turned on", true, false, "11-"},
        {"a new filter gets it", true, true, "111"},
        {"turned off", false, false, "000"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.newFilter) {
            AddFilter("f3", "vif-3", 3);
            ASSERT_TRUE(main_->repo()->QueryNow());
        }
        const bool on = step.fastPath;
        msgs_->UpdateDesiredState(
            {GlobalRec([on](pb::GlobalConfigMsg& g) { g.set_fastpath_lookup_mode(on); })}, false);
        main_->ProcessOnce();
        EXPECT_EQ(modes(), step.want);
        EXPECT_EQ(Verdict("f1"), "DROP 1");
    }
}

// Rule ssh from `group` (0: any source) dropped or allowed, on `port` only (0: everywhere).
std::function<void(pb::RuleMsg&)> SshFrom(uint64_t group, uint64_t port, int action = 1) {
    return [=](pb::RuleMsg& r) {
        Ssh(r).set_action(action);
        if (group != 0)
            *r.mutable_source()->add_container_ids() = Uuid(group);
        if (port != 0)
            *r.mutable_applied_to()->add_logical_switch_port_ids() = Uuid(port);
    };
}

// Address sets and containers created and destroyed in the applies to one filter, as the
// device reads them.
struct ObjectCommands {
    size_t creates = 0, destroys = 0, applies = 0;
};

void WatchApplies(ozy::tarp::test::InProcessTarp& dev, const std::string& filter,
                  ObjectCommands* out) {
    dev.inject = [&dev, filter, out](uint32_t command, const uint8_t* p, size_t n) {
        (void)dev;
        if (command != ozy::tarp::kCmdApply)
            return std::optional<uint32_t>();
        emu::ParsedConfig cfg;
        std::string why;
        EXPECT_TRUE(emu::ParseConfig(p, n, &cfg, &why)) << why;
        if (cfg.filter != filter)
            return std::optional<uint32_t>();
        ++out->applies;
        for (const emu::ConfigCommand& c : cfg.commands) {
            out->creates +=
                c.code == ozy::tarp::kCfgCreateAddrSet || c.code == ozy::tarp::kCfgCreateContainer;
            out->destroys += c.code == ozy::tarp::kCfgDestroyAddrSet;
        }
        return std::optional<uint32_t>();
    };
}

TEST_F(DfwMainTest, AFilterGetsAgainOnlyTheObjectsThatChangedSinceItsLastApply) {
    msgs_->UpdateDesiredState(
        {SectionRec(1, 1), ContainerRec(11, {0x0a000001}), ContainerRec(12, {0x0a000002}),
         RuleRec(101, 1, 1, SshFrom(11, 0)), BarrierRec(5)},
        true);
    main_->ProcessOnce();
    ASSERT_EQ(Verdict("f1"), "DROP 1");
    ObjectCommands seen;
    WatchApplies(dev_, "f1", &seen);
    const struct {
        const char* what;
        std::function<void()> step;
        size_t creates, destroys;
        const char* from1;  // verdicts of ssh from 10.0.0.1 and 10.0.0.2 on f1
        const char* from2;
    } steps[] = {
        {"a rule's action only",
         [&] { msgs_->UpdateDesiredState({RuleRec(101, 1, 1, SshFrom(11, 0, 0))}, false); }, 0, 0,
         "ALLOW 1", "DEFAULT"},
        {"its set's addresses",
         [&] { msgs_->UpdateDesiredState({ContainerRec(11, {0x0a000002})}, false); }, 1, 0,
         "DEFAULT", "ALLOW 1"},
        {"a rule naming another set",
         [&] { msgs_->UpdateDesiredState({RuleRec(102, 2, 1, SshFrom(12, 1))}, false); }, 1, 0,
         "DEFAULT", "ALLOW 1"},
        {"that rule goes",
         [&] { msgs_->UpdateDesiredState({Deleted(RuleRec(102, 2, 1, SshFrom(12, 1)))}, false); },
         0, 1, "DEFAULT", "ALLOW 1"},
        {"a device that may be new gets everything",
         [&] {
             main_->RequestSpanResync();
             msgs_->UpdateDesiredState({RuleRec(101, 1, 1, SshFrom(11, 0, 1))}, false);
         },
         1, 0, "DEFAULT", "DROP 1"},
        {"and then only its rules again",
         [&] { msgs_->UpdateDesiredState({RuleRec(101, 1, 1, SshFrom(11, 0, 0))}, false); }, 0, 0,
         "DEFAULT", "ALLOW 1"},
        {"a filter found again gets everything",
         [&] {
             main_->RequestVif(ozy::tarp::kAgentFirewall, "vif-1", "f1", true);
             msgs_->UpdateDesiredState({RuleRec(101, 1, 1, SshFrom(11, 0, 1))}, false);
         },
         1, 0, "DEFAULT", "DROP 1"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        seen = {};
        step.step();
        main_->ProcessOnce();
        EXPECT_EQ(seen.applies, 1u);
        EXPECT_EQ(seen.creates, step.creates);
        EXPECT_EQ(seen.destroys, step.destroys);
        EXPECT_EQ(Verdict("f1", "10.0.0.1"), step.from1);
        EXPECT_EQ(Verdict("f1", "10.0.0.2"), step.from2);
    }
    dev_.inject = nullptr;
}

TEST_F(DfwMainTest, AFailedApplySendsEverythingTheNextTime) {
    msgs_->UpdateDesiredState({SectionRec(1, 1), ContainerRec(11, {0x0a000001}),
                               RuleRec(101, 1, 1, SshFrom(11, 0)), BarrierRec(5)},
                              true);
    main_->ProcessOnce();
    ObjectCommands seen;
    WatchApplies(dev_, "f1", &seen);
    bool fail = true;
    auto watch = dev_.inject;
    dev_.inject = [&](uint32_t command, const uint8_t* p, size_t n) {
        watch(command, p, n);
        if (command == ozy::tarp::kCmdApply && fail)
            return std::optional<uint32_t>(ozy::tarp::kStatusNoMemory);
        return std::optional<uint32_t>();
    };
    msgs_->UpdateDesiredState({RuleRec(101, 1, 1, SshFrom(11, 0, 0))}, false);
    main_->ProcessOnce();
    EXPECT_EQ(seen.creates, 0u);
    EXPECT_EQ(Verdict("f1"), "DROP 1") << "the failed apply left the filter as it was";
    // The same rules again: the device holds what it held, but the loop sends it all anew.
    fail = false;
    seen = {};
    msgs_->UpdateDesiredState({RuleRec(101, 1, 1, SshFrom(11, 0, 0))}, false);
    main_->ProcessOnce();
    EXPECT_EQ(seen.creates, 1u);
    EXPECT_EQ(Verdict("f1"), "ALLOW 1");
    dev_.inject = nullptr;
}

// With "default.config_optimization": a filter visited again (here after a notification of it)
// is skipped when its configuration's hash is the one it last applied and it holds just the sets
// that apply left; the same hash over other sets (another writer changed the filter) is applied
// again, and the filter ends holding its own sets only.
class DfwMainSkipTest : public DfwMainTest {
  protected:
    void Configure(DfwMain::Options& o) override {
        DfwMainTest::Configure(o);
        o.settings.configOptimization = true;
    }

    // Another writer's apply to f1 (none when it has nothing to do): its rule sets emptied when
    // `emptyRules`, the sets of `create` made (one address each), those of `destroy` destroyed.
    void Rewrite(bool emptyRules, const std::vector<std::string>& create,
                 const std::vector<std::string>& destroy) {
        if (!emptyRules && create.empty() && destroy.empty())
            return;
        FW_Handle* h = nullptr;
        const char* options[] = {"FWIODeviceName", "/dev/ozy-tarp"};
        uint32_t version = 0;
        ASSERT_EQ(FW_Initialize(FW_LIB_VERSION, &version, 1, 2, options, &h), 0);
        TarpFirewall::CTarpFWCmdList list;
        int rc = 0;
        {
            TarpFirewall::ScopedConfigFile guard(&list);
            for (const std::string& name : create) {
                auto set = std::make_shared<TarpFirewall::CTarpFWAddrSet>(name);
                set->addAddress(TarpFirewall::CTarpFWAddress::IPv4(0x0a000009));
                list.addCreateAddrSet(set);
            }
            if (emptyRules) {
                list.addCreateRuleSet("mainrs", {});
                list.addCreateRuleSet("mainrs_L2", {});
                list.addSetRootRuleSets({"mainrs", "mainrs_L2"});
            }
            for (const std::string& name : destroy)
                list.addDestroyAddrSet(name);
            rc = FW_EvaluateConfigFile(h, &list, "f1", 0);
        }
        FW_Terminate(h);
        ASSERT_EQ(rc, 0);
    }
    // The device's notification of f1 (not an import): the loop's next pass visits it.
    void Notified() {
        std::vector<uint8_t> m(ozy::tarp::kNotifySize, 0);
        m[1] = 1;
        m[2] = uint8_t(m.size() >> 8);
        m[3] = uint8_t(m.size());
        const std::string name = "f1", agent = ozy::tarp::kAgentFirewall, vif = "vif-1";
        std::copy(name.begin(), name.end(), m.begin() + 4);
        std::copy(agent.begin(), agent.end(), m.begin() + 104);
        std::copy(vif.begin(), vif.end(), m.begin() + 204);
        main_->repo()->OnLinkMessage(m.data(), m.size());
        ASSERT_TRUE(main_->repo()->QueryNow());
    }
    // One section whose rule names one container, applied to f1: the name of f1's one set.
    std::string AppliedWithOneSet() {
        msgs_->UpdateDesiredState({SectionRec(1, 1), ContainerRec(11, {0x0a000001}),
                                   RuleRec(101, 1, 1, SshFrom(11, 0)), BarrierRec(5)},
                                  true);
        main_->ProcessOnce();
        const std::string held = U(11).Text();
        EXPECT_EQ(SetsOf("f1"), std::vector<std::string>({held}));
        return held;
    }

    std::vector<std::string> SetsOf(const std::string& filter) {
        std::vector<std::string> out;
        for (const auto& [name, set] : dev_.state->FindFilter(filter)->config.addrSets)
            out.push_back(name);
        return out;
    }
};

TEST_F(DfwMainSkipTest, TheSameHashOverOtherSetsIsAppliedAgain) {
    const std::string held = AppliedWithOneSet();
    ASSERT_EQ(Verdict("f1"), "DROP 1");
    const struct {
        const char* what;
        bool emptyRules;
        std::vector<std::string> create, destroy;
        bool applied;  // else skipped
    } steps[] = {
        {"the filter as the last apply left it", false, {}, {}, false},
        {"one set more, after the held one", false, {"zz-stray"}, {}, true},
        {"as many sets under other names", true, {"zz-other"}, {held}, true},
        {"and as the last apply left it again", false, {}, {}, false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        Rewrite(step.emptyRules, step.create, step.destroy);
        const uint32_t applies = dev_.state->FindFilter("f1")->applyCount;
        const uint64_t skipped = main_->counters().skippedApplies;
        Notified();
        main_->ProcessOnce();
        EXPECT_EQ(dev_.state->FindFilter("f1")->applyCount - applies, step.applied ? 1u : 0u);
        EXPECT_EQ(main_->counters().skippedApplies - skipped, step.applied ? 0u : 1u);
        EXPECT_EQ(SetsOf("f1"), std::vector<std::string>({held}));
        EXPECT_EQ(Verdict("f1"), "DROP 1");
    }
}

// Another writer changes f1 and its notification arrives while a pass that changes a rule is
// under way, after the pass took its requests (the filter's enable request waits for the next
// pass): only the library's record of f1 tells this pass that the filter no longer holds what its
// last apply left, so the pass lists its names again, sends its set anew and destroys the
// stranger's.
TEST_F(DfwMainSkipTest, AFilterChangedDuringAPassIsListedAgainByThatPass) {
    const std::string held = AppliedWithOneSet();
    const struct {
        const char* what;
        bool emptyRules;
        std::vector<std::string> create, destroy;
    } steps[] = {
        {"its set destroyed and its rules emptied", true, {"zz-other"}, {held}},
        {"one set more", false, {"zz-stray"}, {}},
        {"nothing but a notification", false, {}, {}},
    };
    int action = 1;
    uint64_t barrier = 5;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        bool changed = false;
        main_->SetSyncPoint([&](const char* point) {
            if (std::string(point) != "snapshot" || changed)
                return;
            changed = true;
            Rewrite(step.emptyRules, step.create, step.destroy);
            Notified();
        });
        action = 1 - action;
        msgs_->UpdateDesiredState(
            {RuleRec(101, 1, 1, SshFrom(11, 0, action)), BarrierRec(++barrier)}, false);
        const uint32_t applies = dev_.state->FindFilter("f1")->applyCount;
        main_->ProcessOnce();
        main_->SetSyncPoint(nullptr);
        ASSERT_TRUE(changed);
        EXPECT_EQ(LastBarrier(), barrier);
        EXPECT_TRUE(LastCodes().empty());
        EXPECT_EQ(dev_.state->FindFilter("f1")->lastStatus, ozy::tarp::kStatusOk);
        EXPECT_GT(dev_.state->FindFilter("f1")->applyCount, applies);
        EXPECT_EQ(SetsOf("f1"), std::vector<std::string>({held}));
        EXPECT_EQ(Verdict("f1"), action == 1 ? "DROP 1" : "ALLOW 1");
        // The filter's enable request (the notification's) is served by the next pass.
        main_->ProcessOnce();
        EXPECT_EQ(SetsOf("f1"), std::vector<std::string>({held}));
    }
}

// Random sequences of rule and container changes, applied pass by pass; then a new loop (an
// agent's restart) applies the same desired state to every filter whole: the device must find
// nothing to change.
TEST_F(DfwMainTest, PassByPassAppliesLeaveWhatAWholeApplyWould) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        auto pick = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
        std::map<uint64_t, CairnDBUpdateMsg> state;  // by uuid
        auto put = [&](uint64_t id, CairnDBUpdateMsg rec, std::vector<CairnDBUpdateMsg>* batch) {
            state[id] = rec;
            batch->push_back(std::move(rec));
        };
        auto fullSync = [&](uint64_t barrier) {
            std::vector<CairnDBUpdateMsg> all;
            for (const auto& [id, rec] : state)
                all.push_back(rec);
            all.push_back(BarrierRec(barrier));
            msgs_->UpdateDesiredState(all, true);
            main_->ProcessOnce();
        };
        std::vector<CairnDBUpdateMsg> first;
        put(1, SectionRec(1, 1), &first);
        for (uint64_t c = 11; c <= 14; ++c)
            put(c, ContainerRec(c, {0x0a000000u + uint32_t(c)}), &first);
        state.emplace(101, RuleRec(101, 1, 1, SshFrom(11, 0)));
        fullSync(10);
        for (int i = 0; i < 25; ++i) {
            std::vector<CairnDBUpdateMsg> batch;
            const uint64_t rule = 101 + pick(4);
            switch (pick(3)) {
                case 0: {  // a rule naming a group, on a port or everywhere
                    const uint64_t group = 11 + pick(4);
                    const uint64_t port = pick(3);
                    put(rule, RuleRec(rule, uint32_t(rule - 100), 1, SshFrom(group, port, pick(2))),
                        &batch);
                    break;
                }
                case 1: {  // a rule goes
                    auto it = state.find(rule);
                    if (it != state.end() && rule != 101) {
                        batch.push_back(Deleted(it->second));
                        state.erase(it);
                    }
                    break;
                }
                default: {  // a group's addresses
                    const uint64_t c = 11 + pick(4);
                    std::vector<uint32_t> addrs;
                    for (unsigned a = 0, n = 1 + pick(3); a < n; ++a)
                        addrs.push_back(0x0a000000u + pick(8));
                    put(c, ContainerRec(c, addrs), &batch);
                    break;
                }
            }
            batch.push_back(BarrierRec(11 + uint64_t(i)));
            msgs_->UpdateDesiredState(batch, false);
            main_->ProcessOnce();
        }
        ASSERT_TRUE(LastCodes().empty());
        main_->Stop();
        StartMain();
        fullSync(100);
        for (const char* name : {"f1", "f2"}) {
            SCOPED_TRACE(name);
            EXPECT_EQ(dev_.state->FindFilter(name)->lastStatus, ozy::tarp::kStatusNoChange)
                << "the whole apply changed the filter";
        }
        main_->Stop();
        StartMain();
    }
}

}  // namespace
}  // namespace CfgAgent

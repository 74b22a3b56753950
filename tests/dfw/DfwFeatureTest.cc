// The per-port features (flood, timeout, DNS) over the emulator's device in process: the profile
// callback keeps the newest body per port and drops what is not its own; processConfig sets the
// port's values (or the defaults) on new filters, on filters whose port's profile changed or went,
// and skips the rest; filters without a port are never configured; a deleted vif is forgotten and
// a filter re-created for its vif gets the values again; a failed set is reported and tried again;
// a profile out of range is refused whole; a full sync reverts the ports it does not list. The
// device's own decoding of the settings is the oracle of what was set.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dfw/DfwDnsProfileConfigFeature.h"
#include "dfw/DfwFloodFeature.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwTimeoutFeature.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "platform/upm/UPMService.h"
#include "proto/UuidText.h"
#include "proto/cairndb_switching.pb.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LogLines.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace CfgAgent {
namespace {

namespace pb = orvane::ozy::cairndb;
namespace w = ozy::tarp;
using test::LogCapture;
using test::Logged;
using Fill = std::function<void(pb::ProfileMsg&)>;

std::string Port(uint64_t n) {
    return ozy::cairndb::UuidText(0x1000 + n, n);
}
std::string ProfileId(uint64_t n) {
    return ozy::cairndb::UuidText(0xf000, n);
}

ozy::upm::ProfileUpdate Update(uint64_t port, uint32_t type, uint64_t profile, const Fill& fill) {
    pb::ProfileMsg p;
    p.mutable_id()->set_left(0xf000);
    p.mutable_id()->set_right(profile);
    p.set_profile_type(type);
    fill(p);
    return {Port(port), type, ProfileId(profile),
            std::make_shared<const std::string>(p.SerializeAsString())};
}
ozy::upm::ProfileUpdate Revert(uint64_t port, uint32_t type) {
    return {Port(port), type, "", nullptr};
}
ozy::upm::ProfileUpdate Timeouts(uint64_t port, uint64_t profile, uint32_t established) {
    return Update(port, ozy::upm::kProfileSessionTimeout, profile, [=](pb::ProfileMsg& p) {
        p.mutable_session_timeout_profile()->set_tcp_established(established);
    });
}

std::vector<uint32_t> DefaultTimeouts() {
    return std::vector<uint32_t>(DfwTimeoutFeature::kDefaults,
                                 DfwTimeoutFeature::kDefaults + DfwTimeoutFeature::kCount);
}
std::vector<uint32_t> TimeoutsWith(uint32_t established) {
    std::vector<uint32_t> t = DefaultTimeouts();
    t[2] = established;
    return t;
}

class DfwFeatureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_dfwLogLevel;
        g_dfwLogLevel = kLogDebug;
        TarpFirewall::detail::SetDeviceOpenerForTest(&dev_);
        const char* options[] = {"FWIODeviceName", "/dev/ozy-tarp"};
        ASSERT_EQ(FW_Initialize(FW_LIB_VERSION, nullptr, 1, 2, options, &handle_), 0);
        AddFilter("f1", "vif-1", Port(1));
        AddFilter("f2", "vif-2", Port(2));
        AddFilter("f3", "vif-3", "");
        DfwFilterFeature::Options o;
        o.handle = handle_;
        o.wake = [this] { ++wakes_; };
        flood_ = ozy::MakeRef<DfwFloodFeature>(o);
        timeout_ = ozy::MakeRef<DfwTimeoutFeature>(o);
        dns_ = ozy::MakeRef<DfwDnsProfileConfigFeature>(o);
        for (DfwFilterFeature* f : {flood_.get(), timeout_.get(), dns_.get()})
            ASSERT_TRUE(f->start(nullptr));
    }
    void TearDown() override {
        for (DfwFilterFeature* f : {flood_.get(), timeout_.get(), dns_.get()})
            f->stop();
        FW_Terminate(handle_);
        TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
        g_dfwLogLevel = saved_;
    }

    void AddFilter(const std::string& name, const std::string& vif, const std::string& lsp) {
        std::string why;
        ASSERT_TRUE(
            dev_.state->CreateFilter({name, vif, lsp, w::kAgentFirewall, false, true}, &why))
            << why;
        DfwFilterRepo::Filter f;
        f.name = name;
        f.vif = vif;
        f.lsp = lsp;
        f.agent = w::kAgentFirewall;
        filters_[vif] = f;
    }
    void DropFilter(const std::string& name) {
        std::string why;
        ASSERT_TRUE(dev_.state->DeleteFilter(name, &why)) << why;
        for (auto it = filters_.begin(); it != filters_.end(); ++it) {
            if (it->second.name == name) {
                filters_.erase(it);
                break;
            }
        }
    }
    bool Pass(DfwFilterFeature& f, const std::map<std::string, std::string>& added = {},
              bool all = false) {
        return f.processConfig(filters_, added, all);
    }
    const ozy::dpemu::tarp::Filter& Dev(const std::string& name) {
        static const ozy::dpemu::tarp::Filter none;
        const auto* f = dev_.state->FindFilter(name);
        EXPECT_NE(f, nullptr) << name;
        return f != nullptr ? *f : none;
    }
    std::vector<uint32_t> DevTimeouts(const std::string& name) {
        const auto& t = Dev(name).timeouts;
        return t ? *t : std::vector<uint32_t>();
    }
    size_t Sets() const { return dev_.Count(w::kCmdFilterSetting); }

    int saved_ = 0;
    int wakes_ = 0;
    ozy::tarp::test::InProcessTarp dev_;
    FW_Handle* handle_ = nullptr;
    DfwFilterRepo::FilterMap filters_;
    ozy::RefPtr<DfwFilterFeature> flood_, timeout_, dns_;
};

TEST_F(DfwFeatureTest, CallbackKeepsTheNewestBodyPerPortAndDropsWhatIsNotItsOwn) {
    const struct {
        const char* what;
        std::vector<ozy::upm::ProfileUpdate> updates;
        size_t pending;
        test::LogLine line;
        std::vector<uint32_t> f1;  // f1's timeouts after the pass (empty: none set)
    } cases[] = {
        {"no profile type",
         {{Port(1), 0, ProfileId(1), std::make_shared<const std::string>("x")}},
         0,
         {"dfw: no profile type specified " + Port(1), "LCP01153"},
         DefaultTimeouts()},
        {"another feature's type",
         {Update(1, ozy::upm::kProfileFloodProtection, 2, [](pb::ProfileMsg&) {})},
         0,
         "dfw: SetConfig: unhandled profile type 4",
         DefaultTimeouts()},
        {"two updates for one port: the second stays",
         {Timeouts(1, 3, 1000), Timeouts(1, 4, 2000)},
         1,
         "dfw: SetConfig: received new timeout profile for LSP " + Port(1) + ": " + ProfileId(4),
         TimeoutsWith(2000)},
        {"an empty profile: the port has none now",
         {Revert(1, ozy::upm::kProfileSessionTimeout)},
         1,
         "dfw: reveiced empty new profile for LSP " + Port(1),
         DefaultTimeouts()},
    };
    ASSERT_TRUE(Pass(*timeout_));  // every filter with a port holds the defaults
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        const int wakes = wakes_;
        timeout_->SetConfig(c.updates, false);
        EXPECT_EQ(timeout_->Pending(), c.pending);
        EXPECT_EQ(wakes_, wakes + 1) << "the process loop is woken";
        EXPECT_TRUE(Logged(log, {c.line,
                                 "dfw: dfw timeout monitor callback called, fullsync : false, "
                                 "update size: " +
                                     std::to_string(c.updates.size())}));
        EXPECT_TRUE(Pass(*timeout_));
        EXPECT_EQ(timeout_->Pending(), 0u);
        EXPECT_EQ(DevTimeouts("f1"), c.f1);
    }
}

TEST_F(DfwFeatureTest, ProcessConfigSetsNewFiltersChangedAndRevertedPortsAndSkipsTheRest) {
    timeout_->SetConfig({Timeouts(1, 1, 7200)}, false);
    {
        SCOPED_TRACE("new filters: the port's profile, or the defaults; none without a port");
        LogCapture log;
        EXPECT_TRUE(Pass(*timeout_));
        EXPECT_TRUE(Logged(log, {"dfw: configured timeout for newly added vif vif-1",
                                 "dfw: configured timeout for newly added vif vif-2",
                                 "dfw: realizing timeout config on filter f1 of vif vif-1",
                                 "dfw: no lsp id for new vif vif-3"}));
        EXPECT_EQ(DevTimeouts("f1"), TimeoutsWith(7200));
        EXPECT_EQ(DevTimeouts("f2"), DefaultTimeouts());
        EXPECT_FALSE(Dev("f3").timeouts.has_value());
    }
    {
        SCOPED_TRACE("nothing new: nothing set");
        LogCapture log;
        const size_t sets = Sets();
        EXPECT_TRUE(Pass(*timeout_));
        EXPECT_EQ(Sets(), sets);
        EXPECT_TRUE(
            Logged(log, {"dfw: skip vif vif-1 (lsp id " + Port(1) + ") for no new timeout config",
                         "dfw: no lsp id for vif vif-3"}));
        EXPECT_FALSE(log.Contains("newly added"));
    }
    {
        SCOPED_TRACE("a new profile on a known filter");
        LogCapture log;
        timeout_->SetConfig({Timeouts(2, 2, 600)}, false);
        EXPECT_TRUE(Pass(*timeout_));
        EXPECT_TRUE(Logged(
            log, {"dfw: apply timeout config (new) for vif vif-2 (lsp id " + Port(2) + ")"}));
        EXPECT_EQ(DevTimeouts("f2"), TimeoutsWith(600));
        EXPECT_EQ(DevTimeouts("f1"), TimeoutsWith(7200));
    }
    {
        SCOPED_TRACE("another profile with the same values: nothing set, its id shown");
        const size_t sets = Sets();
        timeout_->SetConfig({Timeouts(2, 9, 600)}, false);
        EXPECT_TRUE(Pass(*timeout_));
        EXPECT_EQ(Sets(), sets);
        EXPECT_EQ(timeout_->AppliedByVif().at("vif-2").profile, ProfileId(9));
    }
    {
        SCOPED_TRACE("the port's profile went: the defaults");
        LogCapture log;
        timeout_->SetConfig({Revert(1, ozy::upm::kProfileSessionTimeout)}, false);
        EXPECT_TRUE(Pass(*timeout_));
        EXPECT_TRUE(Logged(
            log, {"dfw: apply timeout config (default) for vif vif-1 (lsp id " + Port(1) + ")"}));
        EXPECT_EQ(DevTimeouts("f1"), DefaultTimeouts());
        EXPECT_TRUE(timeout_->AppliedByVif().at("vif-1").profile.empty());
    }
    {
        SCOPED_TRACE("a vif without port never gets a profile, even one for every port");
        EXPECT_FALSE(Dev("f3").timeouts.has_value());
        EXPECT_TRUE(timeout_->AppliedByVif().at("vif-3").values.empty());
    }
}

TEST_F(DfwFeatureTest, ADeletedVifIsForgottenAndARecreatedFilterGetsItsValuesAgain) {
    flood_->SetConfig({Update(1, ozy::upm::kProfileFloodProtection, 1,
                              [](pb::ProfileMsg& p) {
                                  p.mutable_flood_protection_profile()->set_udp_flow_limit(500);
                              })},
                      false);
    ASSERT_TRUE(Pass(*flood_));
    ASSERT_TRUE(Dev("f1").flood.has_value());
    {
        SCOPED_TRACE("the vif's filter is gone");
        LogCapture log;
        DropFilter("f1");
        EXPECT_TRUE(Pass(*flood_));
        EXPECT_TRUE(Logged(log, {"dfw: cleaned up flood config for deleted vif vif-1"}));
        EXPECT_EQ(flood_->AppliedByVif().count("vif-1"), 0u);
    }
    {
        SCOPED_TRACE("a filter created for the vif under a new name");
        LogCapture log;
        AddFilter("f1b", "vif-1", Port(1));
        EXPECT_TRUE(Pass(*flood_));
        ASSERT_TRUE(Dev("f1b").flood.has_value());
        EXPECT_EQ(Dev("f1b").flood->udp, 500u);
        EXPECT_TRUE(Logged(log, {"dfw: configured flood for newly added vif vif-1"}));
    }
    {
        SCOPED_TRACE("deleted and created again under its old name between two passes");
        DropFilter("f1b");
        AddFilter("f1b", "vif-1", Port(1));
        ASSERT_FALSE(Dev("f1b").flood.has_value());
        EXPECT_TRUE(Pass(*flood_, {{"vif-1", "f1b"}}));
        ASSERT_TRUE(Dev("f1b").flood.has_value());
        EXPECT_EQ(Dev("f1b").flood->udp, 500u);
    }
    {
        SCOPED_TRACE("the device may be new: every filter with a port is set again");
        const size_t sets = Sets();
        EXPECT_TRUE(Pass(*flood_, {}, true));
        EXPECT_EQ(Sets(), sets + 2);
    }
}

// The filters and what they hold are walked together in vif order: filters gone at the start, in
// the middle and at the end, new ones between and after the others, a port written in another
// text of the same id (no set), a port changed and a filter renamed (set again); the CLI's view
// follows each pass entry by entry.
TEST_F(DfwFeatureTest, FiltersComingGoingAndChangingInVifOrder) {
    AddFilter("f0", "vif-0", Port(10));
    AddFilter("f5", "vif-5", Port(5));
    ASSERT_TRUE(Pass(*timeout_));
    std::string upper = Port(1);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto view = [this] {
        std::vector<std::string> out;
        for (const auto& [vif, a] : timeout_->AppliedByVif())
            out.push_back(vif + " " + a.filter + " " + a.lsp);
        return out;
    };
    const struct {
        const char* what;
        std::function<void()> change;
        size_t sets;
        std::vector<std::string> view;
    } steps[] = {
        {"the same port in capitals",
         [&] { filters_["vif-1"].lsp = upper; },
         0,
         {"vif-0 f0 " + Port(10), "vif-1 f1 " + Port(1), "vif-2 f2 " + Port(2), "vif-3 f3 ",
          "vif-5 f5 " + Port(5)}},
        {"another port",
         [&] { filters_["vif-2"].lsp = Port(7); },
         1,
         {"vif-0 f0 " + Port(10), "vif-1 f1 " + Port(1), "vif-2 f2 " + Port(7), "vif-3 f3 ",
          "vif-5 f5 " + Port(5)}},
        {"first and middle gone, new between and after",
         [&] {
             DropFilter("f0");
             DropFilter("f2");
             AddFilter("f4", "vif-4", Port(4));
             AddFilter("f9", "vif-9", Port(9));
         },
         2,
         {"vif-1 f1 " + Port(1), "vif-3 f3 ", "vif-4 f4 " + Port(4), "vif-5 f5 " + Port(5),
          "vif-9 f9 " + Port(9)}},
        {"renamed, last gone",
         [&] {
             DropFilter("f5");
             DropFilter("f9");
             AddFilter("f5b", "vif-5", Port(5));
         },
         1,
         {"vif-1 f1 " + Port(1), "vif-3 f3 ", "vif-4 f4 " + Port(4), "vif-5 f5b " + Port(5)}},
        {"nothing changed",
         [] {},
         0,
         {"vif-1 f1 " + Port(1), "vif-3 f3 ", "vif-4 f4 " + Port(4), "vif-5 f5b " + Port(5)}},
    };
    for (const auto& step : steps) {
        const size_t before = Sets();
        step.change();
        EXPECT_TRUE(Pass(*timeout_)) << step.what;
        EXPECT_EQ(Sets() - before, step.sets) << step.what;
        EXPECT_EQ(view(), step.view) << step.what;
    }
    EXPECT_EQ(DevTimeouts("f5b"), DefaultTimeouts());
}

// The sets of one pass go to the device in one exchange, each filter with its own port's values;
// a pass with nothing to set sends nothing.
TEST_F(DfwFeatureTest, TheSetsOfAPassGoTogetherEachWithItsPortsValues) {
    auto udp = [](uint32_t limit) {
        return [limit](pb::ProfileMsg& p) {
            p.mutable_flood_protection_profile()->set_udp_flow_limit(limit);
        };
    };
    flood_->SetConfig({Update(1, ozy::upm::kProfileFloodProtection, 1, udp(500)),
                       Update(2, ozy::upm::kProfileFloodProtection, 2, udp(600))},
                      false);
    ASSERT_TRUE(Pass(*flood_));
    EXPECT_EQ(dev_.batches, std::vector<size_t>{2}) << "f3 has no port";
    ASSERT_TRUE(Dev("f1").flood.has_value() && Dev("f2").flood.has_value());
    EXPECT_EQ(Dev("f1").flood->udp, 500u);
    EXPECT_EQ(Dev("f2").flood->udp, 600u);
    ASSERT_TRUE(Pass(*flood_));
    EXPECT_EQ(dev_.batches.size(), 1u);
    flood_->SetConfig({Revert(2, ozy::upm::kProfileFloodProtection)}, false);
    ASSERT_TRUE(Pass(*flood_));
    EXPECT_EQ(dev_.batches, (std::vector<size_t>{2, 1}));
    EXPECT_EQ(Dev("f2").flood->udp, 0u);
    EXPECT_EQ(Dev("f1").flood->udp, 500u);
}

TEST_F(DfwFeatureTest, AFailedSetIsReportedAndTriedAgainOnTheNextPass) {
    std::string why;
    ASSERT_TRUE(dev_.state->FailFilter("f1", w::kStatusNoMemory, 1, &why)) << why;
    timeout_->SetConfig({Timeouts(1, 1, 900)}, false);
    {
        LogCapture log;
        EXPECT_FALSE(Pass(*timeout_));
        EXPECT_TRUE(Logged(
            log, {{"dfw: failed to apply timeout config to filter f1 of vif vif-1", "LCP01106"},
                  "dfw: some timeout config didn't get applied"}));
        EXPECT_FALSE(Dev("f1").timeouts.has_value());
        EXPECT_EQ(DevTimeouts("f2"), DefaultTimeouts()) << "the other filters are set";
        EXPECT_FALSE(timeout_->AppliedByVif().at("vif-1").ok);
    }
    LogCapture log;
    EXPECT_TRUE(Pass(*timeout_));
    EXPECT_EQ(DevTimeouts("f1"), TimeoutsWith(900));
    EXPECT_TRUE(timeout_->AppliedByVif().at("vif-1").ok);
    EXPECT_FALSE(log.Contains("didn't get applied"));
}

// Each feature's ranges at their edges: the last good value is set, the first bad one refuses the
// profile whole and the filter keeps what it had.
TEST_F(DfwFeatureTest, ValuesOutOfRangeRefuseTheProfileAndNothingOfItIsSet) {
    auto flood = [](std::function<void(pb::FloodProtectionProfileMsg&)> f) {
        return [f](pb::ProfileMsg& p) {
            p.mutable_flood_protection_profile()->set_syn_cache(true);
            f(*p.mutable_flood_protection_profile());
        };
    };
    auto timeouts = [](std::function<void(pb::SessionTimeoutProfileMsg&)> f) {
        return [f](pb::ProfileMsg& p) {
            p.mutable_session_timeout_profile()->set_udp_single(33);
            f(*p.mutable_session_timeout_profile());
        };
    };
    auto dns = [](uint32_t ttl) {
        return [ttl](pb::ProfileMsg& p) {
            p.mutable_dns_config_profile()->set_ttl_flag(true);
            p.mutable_dns_config_profile()->set_ttl(ttl);
        };
    };
    // What f1 holds of each feature, as text.
    auto held = [this](DfwFilterFeature* f) -> std::string {
        const auto& d = Dev("f1");
        if (f == flood_.get())
            return d.flood ? std::to_string(d.flood->tcpHalfOpen) + "/" +
                                 std::to_string(d.flood->other) + "/" +
                                 std::to_string(d.flood->synCache)
                           : "none";
        if (f == dns_.get())
            return d.dns ? std::to_string(d.dns->first) + "/" + std::to_string(d.dns->second)
                         : "none";
        if (!d.timeouts)
            return "none";
        std::string s;
        for (uint32_t v : *d.timeouts)
            s += std::to_string(v) + ",";
        return s;
    };
    const struct {
        const char* what;
        DfwFilterFeature* feature;
        Fill fill;
        std::string bad;  // the refusal's line; empty: accepted
        std::string held;
    } cases[] = {
        {"flood limit at its maximum", flood_.get(),
         flood([](auto& m) { m.set_tcp_half_open_limit(1000000); }), "", "1000000/0/1"},
        {"flood limit above it", flood_.get(),
         flood([](auto& m) { m.set_other_flow_limit(1000001); }),
         "dfw: bad flood profile " + ProfileId(7) + ": other_flow_limit 1000001 is above 1000000",
         "1000000/0/1"},
        {"timeouts at their edges", timeout_.get(), timeouts([](auto& m) {
             m.set_tcp_first_packet(1);
             m.set_tcp_established(120);
             m.set_other_multiple(4320000);
         }),
         "", "1,30,120,120,45,20,60,33,60,20,10,60,60,4320000,"},
        {"a timeout of 0", timeout_.get(), timeouts([](auto& m) { m.set_icmp_error_reply(0); }),
         "dfw: bad session timeout profile " + ProfileId(7) +
             ": icmp_error_reply 0 is outside 1-4320000",
         "1,30,120,120,45,20,60,33,60,20,10,60,60,4320000,"},
        {"a timeout above 50 days", timeout_.get(),
         timeouts([](auto& m) { m.set_udp_first_packet(4320001); }),
         "dfw: bad session timeout profile " + ProfileId(7) +
             ": udp_first_packet 4320001 is outside 1-4320000",
         "1,30,120,120,45,20,60,33,60,20,10,60,60,4320000,"},
        {"established below 120", timeout_.get(),
         timeouts([](auto& m) { m.set_tcp_established(119); }),
         "dfw: bad session timeout profile " + ProfileId(7) +
             ": tcp_established 119 is outside 120-4320000",
         "1,30,120,120,45,20,60,33,60,20,10,60,60,4320000,"},
        {"ttl at its maximum", dns_.get(), dns(864000), "", "1/864000"},
        {"ttl above it", dns_.get(), dns(864001),
         "dfw: bad dns profile " + ProfileId(7) + ": ttl 864001 is above 864000", "1/864000"},
    };
    ASSERT_EQ(held(timeout_.get()), "none");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        const size_t sets = Sets();
        c.feature->SetConfig({Update(1, c.feature->profileType(), 7, c.fill)}, false);
        EXPECT_TRUE(Pass(*c.feature));
        if (c.bad.empty()) {
            EXPECT_FALSE(log.Contains("bad "));
        } else {
            EXPECT_TRUE(Logged(log, {{c.bad, "LCP01153"}}));
        }
        EXPECT_EQ(held(c.feature), c.held);
        if (!c.bad.empty()) {
            EXPECT_EQ(Sets(), sets) << "nothing of it set";
        }
    }
}

// A full sync replaces what the profile service delivered before: ports it does not list go back
// to the defaults, and what was pending before it is superseded.
TEST_F(DfwFeatureTest, AFullSyncRevertsThePortsItDoesNotList) {
    dns_->SetConfig(
        {Update(1, ozy::upm::kProfileDnsConfig, 1,
                [](pb::ProfileMsg& p) { p.mutable_dns_config_profile()->set_ttl(60); }),
         Update(2, ozy::upm::kProfileDnsConfig, 1,
                [](pb::ProfileMsg& p) { p.mutable_dns_config_profile()->set_ttl(60); })},
        true);
    ASSERT_TRUE(Pass(*dns_));
    ASSERT_EQ(Dev("f1").dns, std::make_pair(false, 60u));
    ASSERT_EQ(Dev("f2").dns, std::make_pair(false, 60u));
    // Before the pass: a change of port 1, then a full sync (the channel came back) that lists
    // port 2 only, with new values.
    dns_->SetConfig(
        {Update(1, ozy::upm::kProfileDnsConfig, 3,
                [](pb::ProfileMsg& p) { p.mutable_dns_config_profile()->set_ttl(90); })},
        false);
    dns_->SetConfig({Update(2, ozy::upm::kProfileDnsConfig, 2,
                            [](pb::ProfileMsg& p) {
                                p.mutable_dns_config_profile()->set_ttl_flag(true);
                                p.mutable_dns_config_profile()->set_ttl(30);
                            })},
                    true);
    EXPECT_EQ(dns_->Pending(), 1u);
    LogCapture log;
    ASSERT_TRUE(Pass(*dns_));
    EXPECT_EQ(Dev("f1").dns, std::make_pair(false, 0u)) << "port 1 is not listed: the defaults";
    EXPECT_EQ(Dev("f2").dns, std::make_pair(true, 30u));
    EXPECT_TRUE(
        Logged(log, {"dfw: apply dns config (default) for vif vif-1 (lsp id " + Port(1) + ")",
                     "dfw: apply dns config (new) for vif vif-2 (lsp id " + Port(2) + ")"}));
}

// Every field of each profile reaches its own field of the device's settings (the device decodes
// them from its layout).
TEST_F(DfwFeatureTest, EveryProfileFieldReachesItsDeviceField) {
    flood_->SetConfig({Update(1, ozy::upm::kProfileFloodProtection, 1,
                              [](pb::ProfileMsg& p) {
                                  auto* m = p.mutable_flood_protection_profile();
                                  m->set_tcp_half_open_limit(11);
                                  m->set_udp_flow_limit(22);
                                  m->set_icmp_flow_limit(33);
                                  m->set_other_flow_limit(44);
                                  m->set_rst_spoofing(true);
                                  m->set_nat_limits(true);
                              })},
                      false);
    pb::ProfileMsg t;
    auto* m = t.mutable_session_timeout_profile();
    const auto* desc = m->GetDescriptor();
    std::vector<uint32_t> want;
    for (int i = 1; i <= 14; ++i) {
        want.push_back(1000 + 120 * i);
        m->GetReflection()->SetUInt32(m, desc->FindFieldByNumber(i), want.back());
    }
    timeout_->SetConfig(
        {Update(1, ozy::upm::kProfileSessionTimeout, 2,
                [&](pb::ProfileMsg& p) { *p.mutable_session_timeout_profile() = *m; })},
        false);
    dns_->SetConfig({Update(1, ozy::upm::kProfileDnsConfig, 3,
                            [](pb::ProfileMsg& p) {
                                p.mutable_dns_config_profile()->set_ttl_flag(true);
                                p.mutable_dns_config_profile()->set_ttl(77);
                            })},
                    false);
    for (DfwFilterFeature* f : {flood_.get(), timeout_.get(), dns_.get()})
        ASSERT_TRUE(Pass(*f));
    const auto& d = Dev("f1");
    ASSERT_TRUE(d.flood.has_value());
    EXPECT_EQ(d.flood->tcpHalfOpen, 11u);
    EXPECT_EQ(d.flood->udp, 22u);
    EXPECT_EQ(d.flood->icmp, 33u);
    EXPECT_EQ(d.flood->other, 44u);
    EXPECT_FALSE(d.flood->synCache);
    EXPECT_TRUE(d.flood->rstSpoofing);
    EXPECT_TRUE(d.flood->natLimits);
    EXPECT_EQ(DevTimeouts("f1"), want);
    EXPECT_EQ(d.dns, std::make_pair(true, 77u));
    EXPECT_EQ(Dev("f2").flood->synCache, false);
    EXPECT_EQ(Dev("f2").flood->tcpHalfOpen, 0u) << "the defaults: no limit";
}

}  // namespace
}  // namespace CfgAgent

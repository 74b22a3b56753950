// IpfixConfigObserver with a real configuration table: the profile service's effective switch
// profiles and the table's collector profiles become port values for the sink, the collectors'
// ports become the host firewall's ruleset (written under a private host root) and hostcli calls
// (recorded, with scripted failures); the retry timer runs on a private io context.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "proto/cairndb_switching.pb.h"
#include "runtime/AgentClock.h"
#include "services/ipfix/IpfixApp.h"
#include "statecache/IdText.h"
#include "statecache/StateCacheConfigTable.h"
#include "tests/support/LogLines.h"
#include "tests/support/TempDir.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;
using Args = std::vector<std::string>;

const Args kEnable = {"network", "firewall", "ruleset", "set", "-e", "1", "-r", "ipfix"};
const Args kRefresh = {"network", "firewall", "refresh"};
const Args kDisable = {"network", "firewall", "ruleset", "set", "-e", "0", "-r", "ipfix"};

std::string Id(uint64_t n) {
    return SerializedUuid(0x1f1f, n);
}
std::string Text(uint64_t n) {
    return IdText(Id(n));
}

pb::IpfixCollectorMsg Collector(uint32_t v4, uint32_t port) {
    pb::IpfixCollectorMsg c;
    c.mutable_ip()->set_ipv4(v4);
    c.set_port(port);
    return c;
}

class IpfixObserverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("OZY_HOST_ROOT", root.path().c_str(), 1);
        StartApp();
    }
    // A new application on the same table and host root (the old one, if any, stopped first).
    void StartApp() {
        if (app)
            app->Stop();
        IpfixApp::Options o;
        o.observer.configTable = &table;
        o.observer.postLoop = false;
        o.observer.timerContext = &io;
        o.observer.retryInterval = std::chrono::milliseconds(5000);
        o.observer.sink = [this](const IpfixConfigObserver::PortValues& values) {
            for (const auto& [id, value] : values)
                sent.emplace_back(IdText(id), value);
        };
        o.observer.firewall.run = [this](const std::string& program, const Args& args,
                                         const ozy::host::HostCommandOptions& options) {
            EXPECT_EQ(program, "/bin/hostcli");
            EXPECT_EQ(options.maxOutput, 0u);
            calls.push_back(args);
            ozy::host::HostCommandResult r;
            r.outcome = ozy::host::HostCommandResult::Outcome::kExited;
            r.exitStatus = failures > 0 ? 1 : 0;
            if (failures > 0)
                --failures;
            return r;
        };
        app = ozy::MakeRef<IpfixApp>(std::move(o));
        ASSERT_TRUE(app->Start());
        obs = app->observer();
    }
    void TearDown() override {
        app->Stop();
        unsetenv("OZY_HOST_ROOT");
        AgentClock::reset();
    }

    // A collector profile `n` with these collectors, applied to the table (the whole object and
    // its collector property, as the decoder records them).
    void PutCollectors(uint64_t n, std::vector<pb::IpfixCollectorMsg> collectors) {
        pb::ProfileMsg whole;
        *whole.mutable_id() = Uuid(n);
        whole.set_profile_type(2);
        pb::ProfileMsg prop;
        for (const auto& c : collectors) {
            *whole.mutable_ipfix_collector_profile()->add_collectors() = c;
            *prop.mutable_ipfix_collector_profile()->add_collectors() = c;
        }
        table.UpdateDesiredState({Rec(n, PropertyType::INVALID_PROPERTY, whole),
                                  Rec(n, PropertyType::IPFIX_COLLECTOR_PROFILE, prop)},
                                 false);
    }
    void DeleteProfile(uint64_t n) {
        CairnDBUpdateMsg r = Rec(n, PropertyType::INVALID_PROPERTY, {});
        r.op = Operation::OPERATION_DELETE;
        table.UpdateDesiredState({r}, false);
    }
    static CairnDBUpdateMsg Rec(uint64_t n, PropertyType p, const pb::ProfileMsg& body) {
        CairnDBUpdateMsg r;
        r.objType = ObjectType::PROFILE;
        r.id = Id(n);
        r.property = p;
        body.SerializeToString(&r.data);
        return r;
    }
    static pb::UuidMsg Uuid(uint64_t n) {
        pb::UuidMsg u;
        u.ParseFromString(Id(n));
        return u;
    }
    // The profile service's update: port `port` now has switch profile `sp` using collector
    // profile `collector` (0: none), with `domain` (0: none).
    ozy::upm::ProfileUpdate Effective(uint64_t port, uint64_t sp, uint64_t collector,
                                      uint32_t domain = 0) {
        pb::ProfileMsg m;
        *m.mutable_id() = Uuid(sp);
        m.set_profile_type(1);
        if (collector != 0)
            *m.mutable_ipfix_switch_profile()->mutable_config()->add_collector_profile_ids() =
                Uuid(collector);
        if (domain != 0)
            m.mutable_ipfix_switch_profile()->set_observation_domain_id(domain);
        ozy::upm::ProfileUpdate u;
        u.portId = Text(port);
        u.profileType = 1;
        u.profileId = Text(sp);
        u.profile = std::make_shared<const std::string>(m.SerializeAsString());
        return u;
    }
    ozy::upm::ProfileUpdate Revert(uint64_t port) {
        ozy::upm::ProfileUpdate u;
        u.portId = Text(port);
        u.profileType = 1;
        return u;
    }
    void Upm(std::vector<ozy::upm::ProfileUpdate> updates, bool fullSync = false) {
        app->OnProfileUpdates(updates, fullSync);
        obs->RunPending();
    }
    void Table() { obs->RunPending(); }

    // Collector UDP ports of the last value sent for `port` ("" when the last removed it).
    std::string LastSent(uint64_t port) const {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            if (it->first != Text(port))
                continue;
            std::string out;
            for (size_t off = IpfixPortConfig::kHeadSize; off < it->second.size();
                 off += IpfixPortConfig::kCollectorSize) {
                out += (out.empty() ? "" : ",") +
                       std::to_string(it->second[off + 17] << 8 | it->second[off + 18]);
            }
            return out.empty() ? "none" : out;
        }
        return "";
    }
    std::string RulesetPath() const { return root.path() + IpfixFirewall::kRulesetPath; }
    bool RulesetOnDisk() const {
        struct stat st;
        return ::stat(RulesetPath().c_str(), &st) == 0;
    }
    std::string Ruleset() const {
        std::ifstream f(RulesetPath());
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    TempDir root{"ozy-ipfix"};
    LogCapture log{kLogDebug};
    boost::asio::io_context io;
    StateCacheConfigTable table;
    ozy::RefPtr<IpfixApp> app;
    IpfixConfigObserver* obs = nullptr;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> sent;
    std::vector<Args> calls;
    int failures = 0;
};

TEST_F(IpfixObserverTest, CollectorArrivingAfterItsSwitchProfileRefreshesThePorts) {
    Upm({Effective(1, 100, 200, 42), Effective(2, 100, 200, 42)}, true);
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(Logged(
        log, {"IpfixApp: Receive UPM callback, profileUpdateList size: 2, "
              "fullSync: TRUE",
              "GeneratePortIpfixConfig: Cannot query collector msg " + Text(200) + " from cache"}));

    PutCollectors(200, {Collector(0x7f000001, 4739), Collector(0x7f000002, 2055)});
    Table();
    EXPECT_EQ(LastSent(1), "4739,2055");
    EXPECT_EQ(LastSent(2), "4739,2055");
    EXPECT_EQ(calls, (std::vector<Args>{kEnable, kRefresh}));
    EXPECT_EQ(Ruleset(), IpfixFirewall::RulesetXml({2055, 4739}));
    EXPECT_TRUE(Logged(log, {"ProcessIpfixProfileUpdate: update collector profile",
                             "ipfix switch profile " + Text(100) + " is using target collector " +
                                 Text(200) + ", refresh",
                             "SetIpfixFirewall: Write ipfix firewall rule to file "
                             "/etc/orvane/firewall/ipfixRuleset.xml",
                             "EnableIpfixFirewall: Enabled firewall rules for ipfix",
                             "EnableIpfixFirewall: Refreshed firewall rules for ipfix"}));

    nlohmann::json all = nlohmann::json::parse(app->GetIpfixEffectiveProfiles());
    ASSERT_EQ(all.size(), 2u);
    nlohmann::json one = nlohmann::json::parse(app->GetEffectiveProfileByEntity(Text(1)));
    EXPECT_EQ(one, all[Text(1)]);
    EXPECT_EQ(one["observation_domain_id"], 42);
    EXPECT_EQ(one["collector_profile"], Text(200));
    EXPECT_EQ(one["collectors"][1]["address"], "127.0.0.2");
    EXPECT_EQ(app->GetEffectiveProfileByEntity(Text(9)), "{}");
    EXPECT_EQ(obs->GetPortIpfixConfigUpdate(Text(9)), nullptr);
    EXPECT_TRUE(log.Contains("No effective profile found"));
}

TEST_F(IpfixObserverTest, FirewallFollowsTheSetOfCollectorPortsOnly) {
    PutCollectors(200, {Collector(0x7f000001, 4739)});
    PutCollectors(201, {Collector(0x7f000002, 4739), Collector(0x7f000003, 4739)});
    Upm({Effective(1, 100, 200), Effective(2, 101, 201)}, true);
    // Three collectors on one UDP port: one rule.
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_EQ(Ruleset(), IpfixFirewall::RulesetXml({4739}));

    // A new address on the same port: the ports get it, the firewall is left alone.
    std::remove((root.path() + IpfixFirewall::kRulesetPath).c_str());
    PutCollectors(201, {Collector(0x7f000009, 4739)});
    Table();
    EXPECT_EQ(LastSent(2), "4739");
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_EQ(Ruleset(), "");

    // A change to another collector profile keeps port 1 as it was.
    PutCollectors(201, {Collector(0x7f000009, 9995)});
    Table();
    EXPECT_EQ(sent.size(), 4u);
    EXPECT_TRUE(log.Contains("ipfix switch profile " + Text(100) + " is using another collector " +
                             Text(200) + ", ignore"));
    EXPECT_EQ(Ruleset(), IpfixFirewall::RulesetXml({4739, 9995}));
    EXPECT_EQ(calls.size(), 4u);
    EXPECT_EQ(obs->CollectorPorts(), (std::set<uint16_t>{4739, 9995}));
}

TEST_F(IpfixObserverTest, DeletedCollectorClearsItsPortsAndTheLastOneDisablesTheRuleset) {
    PutCollectors(200, {Collector(0x7f000001, 4739)});
    PutCollectors(201, {Collector(0x7f000001, 2055)});
    Upm({Effective(1, 100, 200), Effective(2, 101, 201)}, true);
    calls.clear();

    DeleteProfile(201);
    Table();
    EXPECT_EQ(LastSent(2), "none");
    EXPECT_EQ(LastSent(1), "4739");
    EXPECT_EQ(Ruleset(), IpfixFirewall::RulesetXml({4739}));
    EXPECT_EQ(calls, (std::vector<Args>{kEnable, kRefresh}));

    // The binding stays: the collector profile coming back exports again.
    PutCollectors(201, {Collector(0x7f000001, 2055)});
    Table();
    EXPECT_EQ(LastSent(2), "2055");

    calls.clear();
    DeleteProfile(200);
    DeleteProfile(201);
    Table();
    EXPECT_EQ(LastSent(1), "none");
    EXPECT_EQ(calls, (std::vector<Args>{kDisable}));
    EXPECT_FALSE(RulesetOnDisk());
    EXPECT_TRUE(Logged(log, {"DisableIpfixFirewall: Disabled firewall rules for ipfix",
                             "DisableIpfixFirewall: Removed ipfix firewall rule file "
                             "/etc/orvane/firewall/ipfixRuleset.xml"}));
}

// A ruleset file found at start was written by an earlier run: the first pass owes it a rewrite,
// even when the ports it finds are none (then "-e 0" and the file goes), and never leaves it
// standing after a failure.
TEST_F(IpfixObserverTest, ARulesetLeftByAnEarlierRunIsRewrittenOrRemovedByTheFirstPass) {
    const struct {
        const char* name;
        uint16_t collectorPort;  // 0: no port has a collector
        int failures;            // hostcli calls that fail
        std::vector<Args> calls;
        // The one port the file holds at the end; 0: no file; -1: the ruleset path is a directory
        // (that cannot be removed) from the start.
        int ruleset;
        bool owed;
        std::vector<LogLine> lines;
    } cases[] = {
        {"no collector: disabled and removed",
         0,
         0,
         {kDisable},
         0,
         false,
         {"IpfixConfigObserver: ruleset /etc/orvane/firewall/ipfixRuleset.xml left by an "
          "earlier run, owed a rewrite",
          "DisableIpfixFirewall: Removed ipfix firewall rule file"}},
        {"a collector: rewritten",
         2055,
         0,
         {kEnable, kRefresh},
         2055,
         false,
         {"SetIpfixFirewall: Write ipfix firewall rule to file"}},
        {"hostcli fails: the file stays, still owed",
         0,
         1,
         {kDisable},
         4739,
         true,
         {{"DisableIpfixFirewall: Failed to disable ipfix firewall config", "LCP01601"}}},
        {"the file cannot be removed: still owed",
         0,
         0,
         {kDisable},
         -1,
         true,
         {{"DisableIpfixFirewall: Failed to remove ipfix firewall rule file "
           "/etc/orvane/firewall/ipfixRuleset.xml",
           "LCP01601"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(RulesetPath());
        std::filesystem::create_directories(std::filesystem::path(RulesetPath()).parent_path());
        if (c.ruleset == -1) {
            std::filesystem::create_directories(RulesetPath());
            std::ofstream(RulesetPath() + "/keep") << "x";
        } else {
            std::ofstream(RulesetPath()) << IpfixFirewall::RulesetXml({4739});
        }
        log.Clear();
        StartApp();
        calls.clear();
        failures = c.failures;
        if (c.collectorPort != 0) {
            PutCollectors(200, {Collector(0x7f000001, c.collectorPort)});
            Upm({Effective(1, 100, 200)}, true);
        } else {
            Upm({}, true);
        }
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(obs->FirewallOwed(), c.owed);
        if (c.ruleset == 0) {
            EXPECT_FALSE(RulesetOnDisk());
        } else if (c.ruleset > 0) {
            EXPECT_EQ(Ruleset(), IpfixFirewall::RulesetXml({static_cast<uint16_t>(c.ruleset)}));
        }
        EXPECT_TRUE(Logged(log, c.lines));
        // Applied once: the next pass with nothing new makes no call unless still owed.
        calls.clear();
        Upm({}, false);
        EXPECT_EQ(calls.empty(), !c.owed);
    }
    std::filesystem::remove_all(RulesetPath());
}

TEST_F(IpfixObserverTest, ProfileServiceRevertsAndFullSyncsResetPorts) {
    PutCollectors(200, {Collector(0x7f000001, 4739)});
    PutCollectors(201, {Collector(0x7f000001, 2055)});
    Upm({Effective(1, 100, 200), Effective(2, 100, 200), Effective(3, 100, 200)}, true);
    // Port 3 moves to another switch profile with another collector profile.
    Upm({Effective(3, 101, 201)});
    EXPECT_EQ(LastSent(3), "2055");
    Upm({Revert(1)});
    EXPECT_EQ(LastSent(1), "none");
    EXPECT_TRUE(
        log.Contains("IpfixOZYProcessUpdatesFromUpm: Delete profile case, resetting config"));
    // A full sync that no longer lists port 2 resets it.
    sent.clear();
    Upm({Effective(3, 101, 201)}, true);
    EXPECT_EQ(LastSent(2), "none");
    EXPECT_EQ(LastSent(3), "");  // unchanged: nothing sent
    EXPECT_EQ(nlohmann::json::parse(app->GetIpfixEffectiveProfiles()).size(), 1u);
    EXPECT_EQ(obs->CollectorPorts(), (std::set<uint16_t>{2055}));
}

// The ports of one profile come with one shared body: each of them gets the profile, a port with
// another body in the same delivery gets its own, and a shared body that does not parse is
// refused for each of its ports, which keep what they had.
TEST_F(IpfixObserverTest, PortsSharingOneBodyEachGetItAndOthersTheirOwn) {
    PutCollectors(200, {Collector(0x7f000001, 4739)});
    PutCollectors(201, {Collector(0x7f000001, 2055)});
    std::vector<ozy::upm::ProfileUpdate> updates = {Effective(1, 100, 200), Effective(2, 100, 200),
                                                    Effective(3, 101, 201)};
    updates[1].profile = updates[0].profile;
    Upm(updates, true);
    EXPECT_EQ(LastSent(1), "4739");
    EXPECT_EQ(LastSent(2), "4739");
    EXPECT_EQ(LastSent(3), "2055");

    const size_t before = sent.size();
    std::vector<ozy::upm::ProfileUpdate> garbled = {Effective(2, 101, 201), Effective(3, 101, 201)};
    garbled[0].profile = std::make_shared<const std::string>("\xff\xff");
    garbled[1].profile = garbled[0].profile;
    Upm(garbled);
    EXPECT_EQ(sent.size(), before);
    for (uint64_t port : {2, 3}) {
        EXPECT_TRUE(Logged(log, {{"IpfixOZYProcessUpdatesFromUpm: profile " + Text(101) +
                                      " of port " + Text(port) + " does not parse, ignored",
                                  "LCP01602"}}))
            << port;
    }
    EXPECT_EQ(LastSent(2), "4739");
}

TEST_F(IpfixObserverTest, TableFullSyncRefreshesEveryPort) {
    PutCollectors(200, {Collector(0x7f000001, 4739)});
    Upm({Effective(1, 100, 200)}, true);
    // The table's full sync no longer has the collector profile: the port is cleared.
    table.UpdateDesiredState({Rec(300, PropertyType::PROFILE_TYPE, {})}, true);
    Table();
    EXPECT_EQ(LastSent(1), "none");
    EXPECT_EQ(calls.back(), kDisable);
}

TEST_F(IpfixObserverTest, BadInputIsRefusedAndLeavesThePortAsItWas) {
    PutCollectors(200, {Collector(0x7f000001, 4739)});
    Upm({Effective(1, 100, 200)}, true);
    ASSERT_EQ(sent.size(), 1u);

    PutCollectors(200, {Collector(0x7f000001, 4739), Collector(0x7f000002, 0)});
    Table();
    ozy::upm::ProfileUpdate garbled = Effective(1, 100, 200);
    garbled.profile = std::make_shared<const std::string>("\xff\xff");
    Upm({garbled});
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_TRUE(Logged(log, {{"GeneratePortIpfixConfig: collector profile " + Text(200) +
                                  " refused: collector 1 has UDP port 0",
                              "LCP01602"},
                             {"IpfixOZYProcessUpdatesFromUpm: profile " + Text(100) + " of port " +
                                  Text(1) + " does not parse, ignored",
                              "LCP01602"}}));
    // A switch profile without a collector profile, an object that is not a profile.
    Upm({Effective(2, 101, 0)});
    EXPECT_TRUE(log.Contains("GeneratePortIpfixConfig: Cannot get ipfix collectors"));
    CairnDBUpdateList wrong(1);
    wrong[0].objType = ObjectType::LOG_SWITCH_CONFIG;
    obs->ProcessConfigDesiredStateUpdate(wrong, false);
    EXPECT_TRUE(
        log.Contains("ProcessConfigDesiredStateUpdate: unsupported object update, "
                     "LOG_SWITCH_CONFIG"));
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(IpfixObserverTest, FailedHostcliIsOwedUntilTheNextChangeOrTheRetryTimer) {
    PutCollectors(200, {Collector(0x7f000001, 4739)});
    failures = 1;
    Upm({Effective(1, 100, 200)}, true);
    EXPECT_EQ(calls, (std::vector<Args>{kEnable}));
    EXPECT_TRUE(obs->FirewallOwed());
    EXPECT_TRUE(
        Logged(log, {{"EnableIpfixFirewall: Failed to enable ipfix firewall config", "LCP01601"}}));
    // Nothing new and no timer yet: no call.
    obs->RunPending();
    EXPECT_EQ(calls.size(), 1u);
    // The retry timer fires after its interval and the apply is made again.
    AgentClock::advance(std::chrono::milliseconds(4000), &io);
    io.restart();
    io.run_for(std::chrono::milliseconds(20));
    obs->RunPending();
    EXPECT_EQ(calls.size(), 1u);
    AgentClock::advance(std::chrono::milliseconds(1500), &io);
    for (int i = 0; i < 500 && calls.size() == 1; ++i) {
        io.restart();
        io.run_for(std::chrono::milliseconds(10));
        obs->RunPending();
    }
    EXPECT_EQ(calls, (std::vector<Args>{kEnable, kEnable, kRefresh}));
    EXPECT_FALSE(obs->FirewallOwed());

    // A failure owed is made good by the next change, even one back to the ports last applied
    // (the file on disk holds the set that failed).
    failures = 1;
    PutCollectors(200, {Collector(0x7f000001, 4739), Collector(0x7f000001, 2055)});
    Table();
    EXPECT_TRUE(obs->FirewallOwed());
    calls.clear();
    PutCollectors(200, {Collector(0x7f000001, 4739)});
    Table();
    EXPECT_EQ(calls, (std::vector<Args>{kEnable, kRefresh}));
    EXPECT_EQ(Ruleset(), IpfixFirewall::RulesetXml({4739}));
    EXPECT_FALSE(obs->FirewallOwed());
}

}  // namespace
}  // namespace CfgAgent::test

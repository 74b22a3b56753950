// SIApp against the emulator's SI tables behind a fake dataplane: validation, caches with delete
// flags, path selection, the dataplane entries it keeps in step, the kernel link, the CLI pages
// and the alarm.
#include "services/si/SIApp.h"

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <nlohmann/json.hpp>

#include "platform/monitoring/AlarmTable.h"
#include "proto/UuidText.h"
#include "proto/cairndb_si.pb.h"
#include "services/si/SIAlarmReporter.h"
#include "tests/dataplane/ByteVec.h"
#include "tests/services/si/FakeSiDataplane.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ServiceFakes.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;
using ozy::device::kSiDelChain;
using ozy::device::kSiDelNsh;
using ozy::device::kSiFailUnfail;

struct HopSpec {
    uint64_t mac;
    uint32_t spi;
    uint32_t si;
    std::string dvs = "";
};

pb::UuidMsg Id(uint64_t kind, uint64_t n) {
    return Uuid(0x5100000000004000 + kind, 0x8000000000000000 + n);
}

std::string Text(const pb::UuidMsg& id) {
    return ozy::cairndb::UuidText(id.left(), id.right());
}

template <class M>
CairnDBUpdateMsg Record(ObjectType type, const M& m, Operation op = Operation::OPERATION_UPDATE) {
    CairnDBUpdateMsg u;
    u.objType = type;
    u.id = m.id().SerializeAsString();
    u.data = m.SerializeAsString();
    u.op = op;
    return u;
}

pb::SiRedirectionPolicyMsg PolicyMsg(uint64_t n, uint32_t chainId, uint32_t failure = 2) {
    pb::SiRedirectionPolicyMsg m;
    *m.mutable_id() = Id(1, n);
    m.set_policy_id(uint32_t(n));
    m.set_transport_type(1);
    m.set_failure_policy(failure);
    m.set_service_chain_id(chainId);
    return m;
}

pb::SiServiceChainMsg ChainMsg(uint64_t n, uint32_t chainId, uint32_t selection = 1) {
    pb::SiServiceChainMsg m;
    *m.mutable_id() = Id(2, n);
    m.set_service_chain_id(chainId);
    m.set_path_selection_policy(selection);
    return m;
}

void AddHops(pb::SiPathDirectionMsg* d, const std::vector<HopSpec>& hops, uint32_t local,
             uint32_t cross) {
    for (const HopSpec& h : hops) {
        pb::SiHopMsg* hop = d->add_hops();
        hop->set_mac(h.mac);
        hop->set_spi(h.spi);
        hop->set_si(h.si);
        if (!h.dvs.empty()) {
            hop->set_dvs_id(h.dvs);
            hop->set_ovl2_id(5001);
        }
    }
    d->set_host_local_count(local);
    d->set_host_cross_count(cross);
}

// Path n of chain `chainId`: forward SPI 1000 + n, reverse 2000 + n, one hop each way unless
// given, MACs 02:..:n.
pb::SiServicePathMsg PathMsg(uint64_t n, uint32_t chainId, uint32_t local = 1,
                             std::vector<HopSpec> fwd = {}, std::vector<HopSpec> rev = {}) {
    pb::SiServicePathMsg m;
    *m.mutable_id() = Id(3, n);
    m.set_service_path_id(uint32_t(n));
    m.set_service_chain_id(chainId);
    if (fwd.empty())
        fwd = {{0x020000000000 + n, uint32_t(1000 + n), 255}};
    if (rev.empty())
        rev = {{0x020000100000 + n, uint32_t(2000 + n), 255}};
    AddHops(m.mutable_forward(), fwd, local, 0);
    AddHops(m.mutable_reverse(), rev, local, 0);
    return m;
}

// The records of the builders above; Del() turns one into its delete.
CairnDBUpdateMsg Policy(uint64_t n, uint32_t chainId, uint32_t failure = 2) {
    return Record(ObjectType::SI_REDIRECTION_POLICY, PolicyMsg(n, chainId, failure));
}
CairnDBUpdateMsg Chain(uint64_t n, uint32_t chainId, uint32_t selection = 1) {
    return Record(ObjectType::SI_SERVICE_CHAIN, ChainMsg(n, chainId, selection));
}
CairnDBUpdateMsg Path(uint64_t n, uint32_t chainId, uint32_t local = 1,
                      std::vector<HopSpec> fwd = {}) {
    return Record(ObjectType::SI_SERVICE_PATH, PathMsg(n, chainId, local, std::move(fwd)));
}
CairnDBUpdateMsg Del(CairnDBUpdateMsg r) {
    r.op = Operation::OPERATION_DELETE;
    return r;
}

class SIAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dp_ = std::make_shared<FakeSiDataplane>();
        SIAppOptions options;
        options.dataplane = dp_;
        options.alarmDataplane = dp_;
        options.random = [] { return 0u; };
        options.postLoop = false;
        options.makeLink = [this](const std::string& name, auto, auto, int) {
            linkName_ = name;
            return link_;
        };
        app_ = ozy::MakeRef<SIApp>(std::move(options));
        ASSERT_TRUE(app_->Start(boost::property_tree::ptree()));
    }
    void TearDown() override { app_->Stop(); }

    void Apply(std::vector<CairnDBUpdateMsg> records, bool fullSync = false) {
        app_->UpdateDesiredState(records, fullSync);
        ASSERT_TRUE(app_->ProcessUpdates()) << logs_.Dump();
    }
    nlohmann::json Tables() const { return dp_->tables.Dump(); }
    nlohmann::json Cli(const std::string& page, CliPages::Args args) {
        CliReply r = page == "ordered" ? app_->OrderedPaths(args) : app_->SelectedPaths(args);
        EXPECT_TRUE(r.ok) << r.text;
        return r.ok ? nlohmann::json::parse(r.text) : nlohmann::json();
    }

    LogCapture logs_;
    std::shared_ptr<FakeSiDataplane> dp_;
    ozy::RefPtr<FakeDpLink> link_ = ozy::MakeRef<FakeDpLink>();
    std::string linkName_;
    ozy::RefPtr<SIApp> app_;
};

TEST_F(SIAppTest, InvalidObjectsAreDroppedWithTheirCodes) {
    auto policy = [](auto change) {
        pb::SiRedirectionPolicyMsg m = PolicyMsg(9, 1);
        change(m);
        return Record(ObjectType::SI_REDIRECTION_POLICY, m);
    };
    auto chain = [](uint32_t id, auto change) {
        pb::SiServiceChainMsg m = ChainMsg(9, id);
        change(m);
        return Record(ObjectType::SI_SERVICE_CHAIN, m);
    };
    auto path = [](uint32_t id, auto change) {
        pb::SiServicePathMsg m = PathMsg(9, 1);
        m.set_service_path_id(id);
        change(m);
        return Record(ObjectType::SI_SERVICE_PATH, m);
    };
    auto none = [](auto&) {};
    const struct {
        CairnDBUpdateMsg record;
        const char* text;
        const char* code;
    } cases[] = {
        {policy([](auto& m) { m.clear_policy_id(); }), "no policy id", "LCP01701"},
        {policy([](auto& m) { m.clear_transport_type(); }), "no transport type", "LCP01702"},
        {policy([](auto& m) { m.clear_failure_policy(); }), "no failure policy", "LCP01703"},
        {policy([](auto& m) { m.clear_service_chain_id(); }), "no service_chain_id", "LCP01704"},
        {policy([](auto& m) { m.set_transport_type(7); }), "bad transport_type 7", "LCP01709"},
        {chain(1024, none), "bad service_chain_id (more than 10 bits): 1024",
         "SIERR_BAD_SERVICE_CHAIN_ID"},
        {chain(1, [](auto& m) { m.clear_id(); }), "no chain uuid", "LCP01706"},
        {chain(1, [](auto& m) { m.clear_path_selection_policy(); }), "no path_selection_policy",
         "LCP01707"},
        {path(16777216, none), "bad service_path_id (more than 24 bits): 16777216",
         "SIERR_BAD_SERVICE_PATH_ID"},
        {path(5, [](auto& m) { m.clear_service_path_id(); }), "bad service_path_id", "LCP01708"},
        {path(5, [](auto& m) { m.set_service_chain_id(1024); }), "bad service_chain_id",
         "SIERR_BAD_SERVICE_CHAIN_ID"},
        {path(5, [](auto& m) { m.mutable_forward()->clear_hops(); }),
         "Path dropped as its having 0 forward mac with path id 5", "LCP01710"},
        {path(5, [](auto& m) { m.mutable_reverse()->mutable_hops(0)->set_mac(0); }),
         "Path dropped as its having 0 reverse mac with path id 5", "LCP01710"},
        {path(5, [](auto& m) { m.mutable_forward()->mutable_hops(0)->set_spi(1u << 24); }),
         "does not fit the dataplane", "LCP01710"},
    };
    for (const auto& c : cases) {
        app_->UpdateDesiredState({c.record}, false);
        EXPECT_TRUE(logs_.ContainsWithCode(c.text, c.code)) << c.text;
    }
    CairnDBUpdateMsg garbage = Path(9, 1);
    garbage.data = "\xff\xff";
    app_->UpdateDesiredState({garbage}, false);
    EXPECT_TRUE(logs_.ContainsWithCode("does not parse", "LCP01715"));
    garbage.data.clear();
    app_->UpdateDesiredState({garbage}, false);
    EXPECT_TRUE(logs_.Contains("with empty propertyValue object"));
    EXPECT_EQ(app_->PolicyCount() + app_->ChainCount() + app_->PathCount(), 0u);

    // The limits themselves are accepted.
    pb::SiServicePathMsg top = PathMsg(1, 1023);
    top.set_service_path_id(16777215);
    Apply({Chain(1, 1023), Record(ObjectType::SI_SERVICE_PATH, top)});
    EXPECT_EQ(app_->ChainCount(), 1u);
    EXPECT_EQ(app_->PathCount(), 1u);
    EXPECT_EQ(Tables()["chains"][Text(Id(2, 1))]["chain_id"], 1023);
    EXPECT_EQ(Tables()["chains"][Text(Id(2, 1))]["slots"][0]["path_id"], 16777215);
}

TEST_F(SIAppTest, PoliciesAndChainsAreNotUpdatedInPlacePathsAre) {
    Apply({Policy(1, 4), Chain(1, 4)});
    Apply({Policy(1, 5), Chain(1, 6)});
    EXPECT_TRUE(logs_.Contains("SiRedirectionPolicyMsg with uuid " + Text(Id(1, 1)) +
                               " already found, updates not allowed"));
    EXPECT_TRUE(logs_.Contains("SiServiceChainMsg with uuid " + Text(Id(2, 1)) +
                               " already found, updates not allowed"));
    EXPECT_EQ(app_->PolicyCount(), 1u);
    EXPECT_TRUE(app_->OrderedPaths({"6"}).text == "Query Service Path fail");
    EXPECT_TRUE(logs_.Contains("CLI: chain ID 6 does not exist."));

    Apply({Path(7, 4)});
    Apply({Path(7, 4, 2)});
    EXPECT_TRUE(logs_.Contains("SiServicePathMsg with UUID " + Text(Id(3, 7)) +
                               " already found, will be updated"));
    EXPECT_EQ(Cli("ordered", {"4"})["si_ordered_service_paths"][0]["ordered_service_paths"][0]
                                   ["forward"]["host_local_count"],
              2);

    // Deletes of what is not cached are refused; other operations are invalid.
    CairnDBUpdateMsg del = Del(Policy(8, 4));
    app_->UpdateDesiredState({del}, false);
    EXPECT_TRUE(logs_.Contains("SiRedirectionPolicyMsg with uuid " + Text(Id(1, 8)) +
                               " not found, cannot delete"));
    del.op = Operation::OPERATION_ELEMENT_SET;
    app_->UpdateDesiredState({del}, false);
    EXPECT_TRUE(logs_.ContainsWithCode("SIApp: SiRedirectionPolicyMsg invalid op", "LCP00001"));
}

// A delete and an add of the same uuid before the loop runs: the add stands, no delete is sent.
TEST_F(SIAppTest, DeleteThenAddBeforeTheLoopKeepsTheObject) {
    Apply({Policy(1, 4, 1), Chain(1, 4), Path(1, 4)});
    const size_t deletesBefore = dp_->CallsOf(kSiDelChain);
    for (const CairnDBUpdateMsg& add : {Policy(1, 4, 1), Chain(1, 4)}) {
        app_->UpdateDesiredState({Del(add)}, false);
        app_->UpdateDesiredState({add}, false);
    }
    ASSERT_TRUE(app_->ProcessUpdates());
    EXPECT_EQ(app_->PolicyCount(), 1u);
    EXPECT_EQ(app_->ChainCount(), 1u);
    EXPECT_EQ(dp_->CallsOf(kSiDelChain), deletesBefore);
    EXPECT_EQ(Tables()["chains"].size(), 1u);
    EXPECT_FALSE(logs_.Contains("updates not allowed"));

    // A policy whose failure policy lets traffic bypass takes its chain's entry along.
    Apply({Del(Policy(1, 4, 1))});
    EXPECT_TRUE(Tables()["chains"].empty());
    EXPECT_TRUE(logs_.Contains("SIApp: sent chainDelEntry for failure policy with UUID: " +
                               Text(Id(2, 1))));
}

TEST_F(SIAppTest, NineEqualPathsFillSevenSlotsOnce) {
    std::vector<CairnDBUpdateMsg> records = {Chain(1, 9)};
    for (uint64_t n = 1; n <= 9; ++n)
        records.push_back(Path(n, 9));
    Apply(records);
    nlohmann::json slots = Tables()["chains"][Text(Id(2, 1))]["slots"];
    ASSERT_EQ(slots.size(), 7u);
    std::set<uint32_t> ids;
    for (const auto& s : slots)
        ids.insert(s["path_id"].get<uint32_t>());
    EXPECT_EQ(ids.size(), 7u);
    EXPECT_EQ(Tables()["nsh"].size(), 18u);
    nlohmann::json selected = Cli("selected", {"9"})["si_selected_service_paths"];
    EXPECT_EQ(selected["num_paths"], 7);
    EXPECT_EQ(selected["slots"].size(), 7u);
}

// Hops dropped by an update lose their NSH entries; a changed MAC replaces its entry.
TEST_F(SIAppTest, PathUpdatesKeepTheNshEntriesInStep) {
    std::vector<HopSpec> two = {{0x0200000000a1, 300, 255}, {0x0200000000a2, 300, 254}};
    Apply({Chain(1, 3), Path(1, 3, 1, two)});
    EXPECT_EQ(Tables()["nsh"]["300/254"], "02:00:00:00:00:a2");
    Apply({Path(1, 3, 1, {{0x0200000000b1, 300, 255}})});
    nlohmann::json nsh = Tables()["nsh"];
    EXPECT_EQ(nsh["300/255"], "02:00:00:00:00:b1");
    EXPECT_FALSE(nsh.contains("300/254"));
    EXPECT_EQ(nsh.size(), 2u);  // and the reverse hop
    EXPECT_EQ(Tables()["chains"][Text(Id(2, 1))]["slots"][0]["forward"]["mac"],
              "02:00:00:00:00:b1");
}

// No usable path left: the chain's entry is deleted, nothing divides by zero. A hop without its
// MAC marks the path's SPIs failed until it has one.
TEST_F(SIAppTest, ChainsWithoutUsablePathsLoseTheirEntry) {
    std::vector<HopSpec> waiting = {{0x0200000000c1, 400, 255}, {0, 400, 254}};
    Apply({Chain(1, 2), Path(1, 2), Path(2, 2, 1, waiting)});
    EXPECT_EQ(Tables()["chains"][Text(Id(2, 1))]["slots"].size(), 7u);
    EXPECT_EQ(Tables()["failed_spis"], nlohmann::json::array({400, 2002}));
    EXPECT_EQ(
        Cli("ordered", {"2", "maintenance-mode"})["si_ordered_service_paths"][0]
                                                 ["ordered_service_paths"][0]["service_path_id"],
        2);

    Apply({Del(Path(1, 2))});
    EXPECT_TRUE(Tables()["chains"].empty());
    EXPECT_TRUE(logs_.Contains("has no usable path; its entry is deleted"));

    waiting[1].mac = 0x0200000000c2;
    Apply({Path(2, 2, 1, waiting)});
    EXPECT_TRUE(Tables()["failed_spis"].empty());
    EXPECT_EQ(Tables()["chains"][Text(Id(2, 1))]["slots"][0]["path_id"], 2);

    Apply({Del(Path(2, 2))});
    EXPECT_TRUE(Tables()["chains"].empty());
    EXPECT_TRUE(Tables()["nsh"].empty());
    EXPECT_EQ(app_->PathCount(), 0u);
    EXPECT_EQ(Cli("selected", {"2"})["si_selected_service_paths"]["num_paths"], 0);
}

TEST_F(SIAppTest, ARefusedBatchStaysOwed) {
    dp_->failNext = 1;
    app_->UpdateDesiredState({Chain(1, 2), Path(1, 2)}, false);
    EXPECT_FALSE(app_->ProcessUpdates());
    EXPECT_TRUE(logs_.ContainsWithCode("SIApp: Failed to set nsh entry: 16", "LCP01713"));
    EXPECT_TRUE(logs_.ContainsWithCode("SIApp: Error sending the updates to DP", "LCP01716"));
    // The path's MAC changes meanwhile: the newer entry is sent, not the refused one.
    app_->UpdateDesiredState({Path(1, 2, 1, {{0x0200000000d1, 1001, 255}})}, false);
    ASSERT_TRUE(app_->ProcessUpdates());
    EXPECT_EQ(Tables()["nsh"]["1001/255"], "02:00:00:00:00:d1");
    EXPECT_EQ(Tables()["nsh"].size(), 2u);  // the refused reverse hop too
    EXPECT_EQ(Tables()["chains"].size(), 1u);
    EXPECT_TRUE(app_->ProcessUpdates());
    EXPECT_TRUE(logs_.Contains("SIApp: No updates"));
}

TEST_F(SIAppTest, ARetryWithoutNewChangeSendsWhatWasRefused) {
    app_->UpdateDesiredState({Chain(1, 2), Path(1, 2)}, false);
    dp_->failNext = 1;
    EXPECT_FALSE(app_->ProcessUpdates());
    EXPECT_TRUE(Tables()["nsh"].empty());
    // The retry pass, nothing new in between: both hops' entries and the chain go.
    ASSERT_TRUE(app_->ProcessUpdates());
    EXPECT_EQ(Tables()["nsh"].size(), 2u);
    EXPECT_EQ(Tables()["chains"].size(), 1u);
}

TEST_F(SIAppTest, FullSyncDeletesWhatItDoesNotListAndLinkUpResends) {
    Apply({Chain(1, 2), Chain(2, 3), Path(1, 2), Path(2, 3)});
    Apply({Chain(1, 2), Path(1, 2)}, true);
    EXPECT_EQ(app_->ChainCount(), 1u);
    EXPECT_EQ(app_->PathCount(), 1u);
    EXPECT_EQ(Tables()["chains"].size(), 1u);
    EXPECT_EQ(Tables()["nsh"].size(), 2u);

    // The dataplane starts afresh; the link comes up: everything is sent again.
    dp_->tables = ozy::dpemu::SiTables();
    app_->HandleLinkStatus(link_.get(), DataplaneLink::kLinkUp);
    ASSERT_TRUE(app_->ProcessUpdates());
    EXPECT_EQ(Tables()["chains"].size(), 1u);
    EXPECT_EQ(Tables()["nsh"].size(), 2u);
}

// Overlay MAC entries are shared by the paths whose hops use them.
TEST_F(SIAppTest, OverlayMacEntriesFollowTheHops) {
    std::vector<HopSpec> hop = {{0x0200000000e1, 500, 255, "dvs-1"}};
    Apply({Chain(1, 2), Path(1, 2, 1, hop), Path(2, 2, 1, hop)});
    nlohmann::json entries = dp_->ovl2.Dump()["entries"];
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]["dvs"], "dvs-1");
    EXPECT_EQ(entries[0]["segment"], 5001);
    Apply({Del(Path(1, 2, 1, hop))});
    EXPECT_EQ(dp_->ovl2.Dump()["entries"].size(), 1u);
    Apply({Del(Path(2, 2, 1, hop))});
    EXPECT_TRUE(dp_->ovl2.Dump()["entries"].empty());
}

TEST_F(SIAppTest, KernelLinkMessages) {
    EXPECT_EQ(linkName_, "ozy_tarp_si_krnlink");
    Bytes endpoint = Cat({H("0001 002c"), Field("vif-7", 40)});
    app_->HandleDpMessage(endpoint.data(), endpoint.size());
    EXPECT_TRUE(
        logs_.Contains("SIApp: received from kernel for Instance EndPoint with vifID =  vif-7"));
    Bytes unknown = H("0009 0004");
    app_->HandleDpMessage(unknown.data(), unknown.size());
    EXPECT_TRUE(logs_.ContainsWithCode("SIApp: unknown tarp msg 9", "LCP00901"));
    Bytes shortOne = Cat({H("0001 002b"), Field("vif-7", 39)});
    app_->HandleDpMessage(shortOne.data(), shortOne.size());
    Bytes unterminated = Cat({H("0001 002c"), Field(std::string(40, 'v'), 40)});
    app_->HandleDpMessage(unterminated.data(), unterminated.size());
    EXPECT_EQ(logs_.Count("malformed Instance EndPoint message"), 2u);
    app_->HandleDpMessage(unknown.data(), 2);
    EXPECT_TRUE(logs_.ContainsWithCode("message of 2 bytes from kernel dropped", "LCP00901"));
}

TEST_F(SIAppTest, CliPagesOrderAndRefuse) {
    Apply({Chain(1, 2, 2), Path(1, 2, 3), Path(2, 2, 1)});
    nlohmann::json all = Cli("ordered", {"all"})["si_ordered_service_paths"];
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0]["path_selection_policy"], "REMOTE");
    EXPECT_EQ(all[0]["ordered_service_paths"][0]["service_path_id"], 1);  // more local hops
    EXPECT_EQ(all[0]["ordered_service_paths"][0]["state"], "active");
    EXPECT_TRUE(
        Cli("ordered",
            {"2", "maintenance-mode"})["si_ordered_service_paths"][0]["ordered_service_paths"]
            .empty());
    for (const CliPages::Args& bad :
         std::vector<CliPages::Args>{{"0"}, {"x"}, {"-1"}, {"99"}, {"2", "sideways"}, {"70000"}}) {
        CliReply r = app_->OrderedPaths(bad);
        EXPECT_FALSE(r.ok) << bad[0];
        EXPECT_EQ(r.text, "Query Service Path fail");
    }
    EXPECT_TRUE(logs_.Contains("CLI: chain ID cannot be 0. 0"));
    EXPECT_TRUE(logs_.Contains("CLI: Bad option"));
    EXPECT_FALSE(app_->SelectedPaths({"0"}).ok);
}

TEST_F(SIAppTest, AlarmFollowsTheStatuses) {
    auto& table = ozy::monitoring::AlarmTable::Instance();
    auto active = [&table] {
        for (const auto& a : table.Active()) {
            if (a.source == "cfgAgent_si")
                return nlohmann::json::parse(a.context);
        }
        return nlohmann::json();
    };
    app_->PollAlarms();
    EXPECT_TRUE(active().is_null());
    dp_->tables.SetDown(true);
    app_->PollAlarms();
    EXPECT_EQ(active()["failure_reason"],
              "Traffic failed to redirect to service due to service insertion infra down");
    EXPECT_TRUE(active().contains("transport_node_id"));
    dp_->spfBad = true;
    app_->PollAlarms();
    EXPECT_EQ(active()["failure_reason"],
              "Traffic failed to redirect to service due to service insertion infra down; "
              "Incorrect host switch config or missing key component");
    // A query that fails tells nothing.
    dp_->statusError = 5;
    dp_->tables.SetDown(false);
    dp_->spfBad = false;
    app_->PollAlarms();
    EXPECT_FALSE(active().is_null());
    dp_->statusError = 0;
    app_->PollAlarms();
    EXPECT_TRUE(active().is_null());
}

}  // namespace
}  // namespace CfgAgent::test

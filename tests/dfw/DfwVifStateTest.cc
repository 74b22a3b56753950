// The filter repository's vif table from runtime VIF_STATE objects, over the emulator's firewall
// device in process: the observer only queues; the loop's pass keeps each vif's MAC, pushes a
// changed MAC to the vif's filters (FW_Ioctl 30 in its 72-byte entries) and removes the old MAC's
// spoof-guard entry; vifs expected to have a filter and lacking one cause a query at most once per
// gap; bad records are dropped with their code.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwLog.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "proto/cairndb_system.pb.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/support/Await.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace CfgAgent {
namespace {

namespace w = ozy::tarp;
namespace pb = orvane::ozy::cairndb;
using Bytes = std::vector<uint8_t>;
using Clock = DfwFilterRepo::Clock;

// The VIF_STATE record of vif `n` ("vif-N").
CairnDBUpdateMsg VifRec(int n, uint64_t mac, uint32_t type = 1, uint32_t status = 1) {
    pb::VifStateMsg m;
    m.mutable_id()->set_left(0xd5);
    m.mutable_id()->set_right(static_cast<uint64_t>(n));
    m.set_vif_id("vif-" + std::to_string(n));
    if (mac != 0)
        m.set_mac(mac);
    m.set_status(status);
    m.set_vif_type(type);
    m.set_port_id("port-" + std::to_string(n));
    CairnDBUpdateMsg r;
    r.objType = ObjectType::VIF_STATE;
    r.id = m.id().SerializeAsString();
    r.data = m.SerializeAsString();
    r.op = Operation::OPERATION_UPDATE;
    return r;
}

CairnDBUpdateMsg Gone(CairnDBUpdateMsg r) {
    r.op = Operation::OPERATION_DELETE;
    return r;
}

CairnDBUpdateMsg Raw(int n, std::string data) {
    CairnDBUpdateMsg r = VifRec(n, 0);
    r.data = std::move(data);
    return r;
}

class DfwVifStateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_dfwLogLevel;
        g_dfwLogLevel = kLogFatal;
        TarpFirewall::detail::SetDeviceOpenerForTest(&dev_);
        std::string why;
        for (auto [name, vif, agent] :
             {std::array<const char*, 3>{"f1", "vif-1", w::kAgentFirewall},
              {"f2", "vif-2", w::kAgentFirewall},
              {"s1", "vif-1", w::kAgentServiceInsertion}}) {
            ASSERT_TRUE(dev_.state->CreateFilter({name, vif, "lsp", agent, false, true}, &why))
                << why;
        }
        const char* fwOptions[] = {"FWIODeviceName", "/dev/ozy-tarp"};
        uint32_t version = 0;
        ASSERT_EQ(FW_Initialize(FW_LIB_VERSION, &version, 1, 2, fwOptions, &handle_), 0);
        DfwFilterRepo::Options o;
        o.handle = handle_;
        o.outOfSyncGap = std::chrono::seconds(5);
        o.now = [this] { return now_; };
        repo_ = ozy::MakeRef<DfwFilterRepo>(std::move(o));
        ASSERT_TRUE(repo_->QueryNow());
        dev_.inject = [this](uint32_t command, const uint8_t* p,
                             size_t n) -> std::optional<uint32_t> {
            if (command == w::kCmdFwIoctl && n >= 4 && p[3] == w::kFwIoctlUpdateConfig)
                updates_.emplace_back(p + 4, p + n);
            return std::nullopt;
        };
    }
    void TearDown() override {
        repo_.reset();
        FW_Terminate(handle_);
        TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
        g_dfwLogLevel = saved_;
    }

    void Feed(const CairnDBUpdateList& records, bool fullSync = false) {
        repo_->ProcessConfigRuntimeStateUpdate(records, fullSync);
        repo_->ProcessVifUpdates();
    }
    std::array<uint8_t, 6> Mac(const char* filter) { return dev_.state->FindFilter(filter)->mac; }

    int saved_ = 0;
    ozy::tarp::test::InProcessTarp dev_;
    FW_Handle* handle_ = nullptr;
    Clock::time_point now_{std::chrono::hours(1)};
    ozy::RefPtr<DfwFilterRepo> repo_;
    std::vector<Bytes> updates_;
};

TEST_F(DfwVifStateTest, MacsReachTheFiltersOfTheirVif) {
    repo_->ProcessConfigRuntimeStateUpdate({VifRec(1, 0x020000000001)}, true);
    EXPECT_TRUE(repo_->Vifs().empty()) << "the observer only queues";
    repo_->ProcessVifUpdates();
    ASSERT_EQ(updates_.size(), 1u);
    // One entry per filter of vif-1 (firewall and service insertion), in agent order.
    Bytes want = {0, 0, 0, 2};
    for (const char* name : {"f1", "s1"}) {
        Bytes e(72, 0);
        std::memcpy(e.data(), name, 2);
        const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
        std::memcpy(e.data() + 64, mac, 6);
        want.insert(want.end(), e.begin(), e.end());
    }
    EXPECT_EQ(updates_[0], want);
    EXPECT_EQ(Mac("f1"), (std::array<uint8_t, 6>{2, 0, 0, 0, 0, 1}));
    EXPECT_EQ(Mac("s1"), (std::array<uint8_t, 6>{2, 0, 0, 0, 0, 1}));
    EXPECT_EQ(dev_.state->FindFilter("f1")->spoofGuardDeletions, 0u) << "no old MAC";

    const struct {
        const char* what;
        CairnDBUpdateList records;
        bool fullSync;
        size_t pushes;
        std::vector<std::string> vifs;
    } steps[] = {
        {"the same MAC again: nothing pushed", {VifRec(1, 0x020000000001)}, false, 0, {"vif-1"}},
        {"a new MAC", {VifRec(1, 0x020000000009)}, false, 1, {"vif-1"}},
        {"a vif without a filter", {VifRec(3, 0x020000000003)}, false, 0, {"vif-1", "vif-3"}},
        {"vif-3 deleted", {Gone(VifRec(3, 0))}, false, 0, {"vif-1"}},
        {"a full sync without vif-1", {VifRec(2, 0x020000000002)}, true, 1, {"vif-2"}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        const size_t before = updates_.size();
        Feed(s.records, s.fullSync);
        EXPECT_EQ(updates_.size() - before, s.pushes);
        std::vector<std::string> vifs;
        for (const auto& [vif, v] : repo_->Vifs())
            vifs.push_back(vif);
        EXPECT_EQ(vifs, s.vifs);
    }
    EXPECT_EQ(Mac("f1"), (std::array<uint8_t, 6>{2, 0, 0, 0, 0, 9}));
    EXPECT_EQ(Mac("f2"), (std::array<uint8_t, 6>{2, 0, 0, 0, 0, 2}));
    const auto& f1 = *dev_.state->FindFilter("f1");
    EXPECT_EQ(f1.spoofGuardDeletions, 1u);
    EXPECT_EQ(f1.lastSpoofGuardMac, (std::array<uint8_t, 6>{2, 0, 0, 0, 0, 1})) << "the old MAC";
}

// The VIF_STATE may come before the query finds the vif's filter: the filter then gets the MAC
// when it is found, as it would have the other way round.
TEST_F(DfwVifStateTest, AFilterFoundAfterItsVifGetsTheVifsMac) {
    Feed({VifRec(3, 0x020000000003), VifRec(4, 0)});
    EXPECT_TRUE(updates_.empty()) << "no filter of vif-3 yet";
    std::string why;
    for (auto [name, vif] : {std::array<const char*, 2>{"f3", "vif-3"}, {"f4", "vif-4"}})
        ASSERT_TRUE(
            dev_.state->CreateFilter({name, vif, "lsp", w::kAgentFirewall, false, true}, &why))
            << why;
    ASSERT_TRUE(repo_->QueryNow());
    ASSERT_EQ(updates_.size(), 1u) << "vif-4 has no MAC to push";
    Bytes want = {0, 0, 0, 1};
    Bytes e(72, 0);
    std::memcpy(e.data(), "f3", 2);
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x03};
    std::memcpy(e.data() + 64, mac, 6);
    want.insert(want.end(), e.begin(), e.end());
    EXPECT_EQ(updates_[0], want);
    EXPECT_EQ(Mac("f3"), (std::array<uint8_t, 6>{2, 0, 0, 0, 0, 3}));
    EXPECT_EQ(dev_.state->FindFilter("f3")->spoofGuardDeletions, 0u) << "no old MAC";

    ASSERT_TRUE(repo_->QueryNow());
    EXPECT_EQ(updates_.size(), 1u) << "a filter already known is not pushed again";
    // Re-created under another name for the same vif: a new filter, the MAC again.
    ASSERT_TRUE(dev_.state->DeleteFilter("f3", &why)) << why;
    ASSERT_TRUE(
        dev_.state->CreateFilter({"f3b", "vif-3", "lsp", w::kAgentFirewall, false, true}, &why))
        << why;
    ASSERT_TRUE(repo_->QueryNow());
    ASSERT_EQ(updates_.size(), 2u);
    EXPECT_EQ(Mac("f3b"), (std::array<uint8_t, 6>{2, 0, 0, 0, 0, 3}));
}

TEST_F(DfwVifStateTest, VifsWithoutTheirFilterAskForAQueryAtMostOncePerGap) {
    const struct {
        const char* what;
        CairnDBUpdateList records;
        std::chrono::seconds later;
        uint64_t queries;  // out-of-sync queries so far
    } steps[] = {
        {"every vif has its filter", {VifRec(1, 1), VifRec(2, 2)}, std::chrono::seconds(0), 0},
        {"vif-3 has none: query", {VifRec(3, 3)}, std::chrono::seconds(0), 1},
        {"still none, within the gap", {VifRec(3, 4)}, std::chrono::seconds(4), 1},
        {"still none, after the gap", {VifRec(3, 5)}, std::chrono::seconds(2), 2},
        {"kernel NIC and container vifs expect none",
         {VifRec(3, 5, 2), VifRec(4, 6, 3)},
         std::chrono::seconds(10),
         2},
        {"a disconnected vnic expects none", {VifRec(5, 7, 1, 2)}, std::chrono::seconds(10), 2},
        {"a vnic of no reported type does", {VifRec(6, 8, 0)}, std::chrono::seconds(10), 3},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        now_ += s.later;
        Feed(s.records);
        EXPECT_EQ(repo_->vifCounters().outOfSyncQueries, s.queries);
    }
}

TEST_F(DfwVifStateTest, BadRecordsAreDroppedAlone) {
    Feed({VifRec(1, 0x020000000001)});
    pb::VifStateMsg longId;
    longId.set_vif_id(std::string(64, 'v'));
    pb::VifStateMsg noId;
    noId.set_mac(5);
    Feed({Raw(2, "\xff\xff\xff"), Raw(3, longId.SerializeAsString()),
          Raw(4, noId.SerializeAsString()), Raw(5, std::string(70 * 1024, '\0')),
          VifRec(6, 0x020000000006)});
    EXPECT_EQ(repo_->vifCounters().badRecords, 4u);
    auto vifs = repo_->Vifs();
    ASSERT_EQ(vifs.size(), 2u);
    EXPECT_EQ(vifs.at("vif-1").mac, 0x020000000001u);
    EXPECT_EQ(vifs.at("vif-6").lsp, "port-6");
}

TEST_F(DfwVifStateTest, AFailedQueryIsTriedAgainSoonNotAfterTheInterval) {
    std::atomic<bool> unreachable{true};
    std::atomic<int> refused{0};
    dev_.inject = [&](uint32_t command, const uint8_t*, size_t) -> std::optional<uint32_t> {
        if (command != w::kCmdFwIoctl || !unreachable)
            return std::nullopt;
        ++refused;
        return w::kStatusIoError;
    };
    DfwFilterRepo::Options o;
    o.queryInterval = std::chrono::hours(1);
    auto repo = ozy::MakeRef<DfwFilterRepo>(std::move(o));
    std::thread loop([&] { repo->Run(); });
    // The first query fails; the filters are found once the device answers again.
    ASSERT_TRUE(test::AwaitTrue([&] { return refused > 0; }));
    EXPECT_TRUE(repo->Filters(w::kAgentFirewall).empty());
    unreachable = false;
    EXPECT_TRUE(test::AwaitTrue([&] { return repo->Filters(w::kAgentFirewall).size() == 2; }));
    repo->Stop();
    loop.join();
}

}  // namespace
}  // namespace CfgAgent

// IP-reputation chunks realized by the process loop on the emulator's device in process: tiers
// follow the entries received across passes; a chunk that moved to another id is created before
// its old id is destroyed, in one apply; deleted chunks and those a full sync no longer lists are
// destroyed; a restarted agent with nothing changed applies nothing, a restarted device gets every
// chunk again; past the memory limit a new or grown chunk is refused (LCP01153, realization code
// 1) and the installed one stays; a malicious group's verdict follows the chunks. The applies to
// the shared filter are read back with the emulator's own parser.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "dfw/DfwFilterRepo.h"
#include "dfw/DfwIpRepChunkList.h"
#include "dfw/DfwLog.h"
#include "dfw/DfwMain.h"
#include "dfw/DfwMsgCache.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "proto/cairndb_system.pb.h"
#include "tests/platform/tarp/InProcessTarp.h"
#include "tests/support/DfwRecords.h"
#include "tests/support/FakeCairndbClient.h"
#include "tests/support/LogCapture.h"
#include "tools/ozy-dpemu/TarpConfigParser.h"
#include "tools/ozy-dpemu/TarpEval.h"
#include "tools/ozy-dpemu/TarpState.h"

namespace CfgAgent {
namespace {

using namespace test::dfw;
namespace emu = ozy::dpemu::tarp;
namespace w = ozy::tarp;

// A chunk of `n` host entries from `first` on (bucket 1). The declared count is always 7: the
// agent counts the entries.
CairnDBUpdateMsg Chunk(uint64_t uuid, uint32_t id, uint32_t n, uint32_t first = 0x0A000000) {
    pb::IpReputationConfigMsg c;
    *c.mutable_id() = Uuid(uuid);
    c.set_chunk_id(id);
    c.set_bucket(1);
    std::string entries;
    entries.reserve(size_t(n) * 16);
    auto be32 = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            entries.push_back(static_cast<char>(v >> s));
    };
    for (uint32_t i = 0; i < n; ++i) {
        be32(first + i);
        be32(0xFFFFFFFF);
        be32(0x00010032);  // threat 1, reputation 50
        be32(1);
    }
    c.set_entries(entries);
    c.set_entry_count(7);
    return Record(ObjectType::IP_REPUTATION_CONFIG, c);
}

using Applies = std::vector<std::vector<std::string>>;

class DfwIpRepChunkListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_dfwLogLevel;
        g_dfwLogLevel = kLogWarn;
        TarpFirewall::detail::SetDeviceOpenerForTest(&dev_);
        std::string why;
        ASSERT_TRUE(dev_.state->CreateFilter(
            {"f1", "vif-1", U(1).Text(), w::kAgentFirewall, false, true}, &why))
            << why;
        // Every chunk command the device is sent, per apply, as "create ID" / "destroy ID".
        dev_.inject = [this](uint32_t cmd, const uint8_t* p, size_t n) -> std::optional<uint32_t> {
            emu::ParsedConfig cfg;
            std::string why;
            if (cmd != w::kCmdApply || !emu::ParseConfig(p, n, &cfg, &why))
                return std::nullopt;
            std::vector<std::string> ops;
            for (const auto& c : cfg.commands) {
                if (c.code == w::kCfgCreateIpRepChunk || c.code == w::kCfgDestroyIpRepChunk)
                    ops.push_back((c.code == w::kCfgCreateIpRepChunk ? "create " : "destroy ") +
                                  std::to_string(c.chunkId) + " on " + cfg.filter);
            }
            if (!ops.empty())
                applies_.push_back(ops);
            return std::nullopt;
        };
        StartMain();
    }
    void TearDown() override {
        main_->Stop();
        main_.reset();
        TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
        g_dfwLogLevel = saved_;
    }
    // A new loop and message cache (the agent's start) over the device as it stands.
    void StartMain(uint32_t maxEntries = 2000000) {
        if (main_)
            main_->Stop();
        msgs_ = ozy::MakeRef<DfwMsgCache>();
        DfwMain::Options o;
        o.settings.skipNtpCheck = true;
        o.settings.ipRepMaxEntries = maxEntries;
        o.cairndb = &db_;
        o.postLoop = false;
        main_ = ozy::MakeRef<DfwMain>(msgs_, std::move(o));
        ASSERT_TRUE(main_->Start());
        ASSERT_TRUE(main_->repo()->QueryNow());
    }
    void Pass(std::vector<CairnDBUpdateMsg> records, bool fullSync = false) {
        applies_.clear();
        msgs_->UpdateDesiredState(std::move(records), fullSync);
        main_->ProcessOnce();
    }
    // The device's chunks: id -> (capacity, count).
    std::map<uint32_t, std::pair<uint32_t, size_t>> Held() const {
        std::map<uint32_t, std::pair<uint32_t, size_t>> out;
        for (const auto& [id, c] : dev_.state->Chunks())
            out[id] = {c.capacity, c.entries.size()};
        return out;
    }
    // Realization errors about chunks in the last status: uuid (right half) -> code.
    std::map<uint64_t, uint32_t> ChunkErrors() const {
        std::map<uint64_t, uint32_t> out;
        pb::RuntimeStatusMsg m;
        if (db_.statuses.empty() || !m.ParseFromString(db_.statuses.back()))
            return out;
        for (const auto& e : m.errors()) {
            if (e.object_type() == pb::IP_REPUTATION_CONFIG)
                out[e.object_id().right()] = e.error_code();
        }
        return out;
    }
    std::string Verdict(const char* source) {
        emu::Packet p;
        std::string why;
        EXPECT_TRUE(
            emu::ParsePacket({"in", "tcp", std::string(source) + ":1000", "10.9.9.9:22"}, &p, &why))
            << why;
        emu::Verdict v = emu::Evaluate(*dev_.state, *dev_.state->FindFilter("f1"), p);
        return v.verdict + (v.matched ? " " + std::to_string(v.rule) : "");
    }
    static std::vector<std::string> Ops(std::initializer_list<const char*> ops) {
        std::vector<std::string> out;
        for (const char* op : ops)
            out.push_back(std::string(op) + " on " + w::kSharedAddrSetFilter);
        return out;
    }

    int saved_ = 0;
    ozy::tarp::test::InProcessTarp dev_;
    test::FakeCairndbClient db_;
    ozy::RefPtr<DfwMsgCache> msgs_;
    ozy::RefPtr<DfwMain> main_;
    Applies applies_;
};

TEST_F(DfwIpRepChunkListTest, TiersFollowTheEntriesReceivedAcrossPasses) {
    const struct {
        uint32_t count;
        uint32_t capacity;
    } steps[] = {
        {100, 6000},     // a new chunk starts at the small tier
        {6000, 10000},   // exactly full is not enough room
        {12000, 12000},  // beyond the large tier: exactly the count
        {7000, 10000},   // from custom large back to the large tier
        {12000, 12000},  //
        {100, 6000},     // and straight to the small one
        {5999, 6000},    // the small tier stays while there is room
    };
    bool first = true;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.count);
        Pass({Chunk(120, 5, s.count)}, first);
        first = false;
        EXPECT_EQ(applies_, Applies{Ops({"create 5"})});
        EXPECT_EQ(Held(),
                  (std::map<uint32_t, std::pair<uint32_t, size_t>>{{5, {s.capacity, s.count}}}));
        EXPECT_TRUE(ChunkErrors().empty());
    }
    // The same chunk again (a new message, the same entries): nothing to send.
    Pass({Chunk(120, 5, 5999)});
    EXPECT_TRUE(applies_.empty());
    // Other entries of the same count: replaced in place, by one create of the held id.
    Pass({Chunk(120, 5, 5999, 0x0B000000)});
    EXPECT_EQ(applies_, Applies{Ops({"create 5"})});
    EXPECT_EQ(Held().at(5), (std::pair<uint32_t, size_t>{6000, 5999}));
}

TEST_F(DfwIpRepChunkListTest, AMovedChunkIsCreatedBeforeItsOldIdGoesInOneApply) {
    Pass({Chunk(120, 5, 10), Chunk(121, 6, 10, 0x0B000000)}, true);
    ASSERT_EQ(applies_, Applies{Ops({"create 5", "create 6"})});
    Pass({Chunk(120, 7, 10)});
    EXPECT_EQ(applies_, Applies{Ops({"create 7", "destroy 5"})});
    EXPECT_EQ(Held(),
              (std::map<uint32_t, std::pair<uint32_t, size_t>>{{6, {6000, 10}}, {7, {6000, 10}}}));
    // Two chunks trading ids: both created in place, nothing destroyed.
    Pass({Chunk(120, 6, 10), Chunk(121, 7, 20, 0x0B000000)});
    EXPECT_EQ(applies_, Applies{Ops({"create 6", "create 7"})});
    EXPECT_EQ(Held().at(7).second, 20u);
}

TEST_F(DfwIpRepChunkListTest, DeletedChunksAndThoseAFullSyncNoLongerListsAreDestroyed) {
    Pass({Chunk(120, 5, 10), Chunk(121, 6, 10), Chunk(122, 7, 10)}, true);
    Pass({Deleted(Chunk(120, 5, 10))});
    EXPECT_EQ(applies_, Applies{Ops({"destroy 5"})});
    Pass({Chunk(122, 7, 10)}, true);
    EXPECT_EQ(applies_, Applies{Ops({"destroy 6"})});
    EXPECT_EQ(Held(), (std::map<uint32_t, std::pair<uint32_t, size_t>>{{7, {6000, 10}}}));
    // A chunk given while another holds its id is refused (1102); the holder stays.
    Pass({Chunk(121, 7, 20, 0x0B000000)});
    EXPECT_TRUE(applies_.empty());
    EXPECT_EQ(ChunkErrors(), (std::map<uint64_t, uint32_t>{{121, 1102}}));
    EXPECT_EQ(Held().at(7).second, 10u);
    Pass({Deleted(Chunk(122, 7, 10))});
    EXPECT_EQ(applies_, Applies{Ops({"create 7"})}) << "the other one takes the id over";
    EXPECT_TRUE(ChunkErrors().empty());
}

TEST_F(DfwIpRepChunkListTest, ARestartedAgentAppliesNothingForChunksTheDeviceHolds) {
    Pass({Chunk(120, 5, 12000), Chunk(121, 6, 10)}, true);
    const auto held = Held();
    StartMain();
    Pass({Chunk(120, 5, 12000), Chunk(121, 6, 10)}, true);
    EXPECT_TRUE(applies_.empty());
    EXPECT_EQ(Held(), held);
    // Restarted again while one chunk changed and the other went: only those.
    StartMain();
    Pass({Chunk(120, 5, 7000)}, true);
    EXPECT_EQ(applies_, Applies{Ops({"create 5", "destroy 6"})});
    EXPECT_EQ(Held(), (std::map<uint32_t, std::pair<uint32_t, size_t>>{{5, {10000, 7000}}}))
        << "the tier follows what the device held";
    // A restarted device (the filter link comes up again) gets every chunk again.
    dev_.Restart();
    main_->RequestSpanResync();
    applies_.clear();
    main_->ProcessOnce();
    EXPECT_EQ(applies_, Applies{Ops({"create 5"})});
    EXPECT_EQ(Held().at(5).second, 7000u);
}

TEST_F(DfwIpRepChunkListTest, PastTheLimitANewOrGrownChunkIsRefusedAndTheInstalledOneStays) {
    StartMain(20000);
    test::LogCapture log(kLogError);
    Pass({Chunk(120, 5, 12000), Chunk(121, 6, 5000, 0x0B000000)}, true);
    ASSERT_EQ(Held().size(), 2u);
    Pass({Chunk(121, 6, 9000, 0x0B000000), Chunk(122, 8, 100, 0x0C000000)});
    EXPECT_EQ(applies_, Applies{Ops({"create 8"})}) << "the chunk that fits goes";
    EXPECT_EQ(Held().at(6).second, 5000u);
    EXPECT_EQ(ChunkErrors(), (std::map<uint64_t, uint32_t>{{121, 1}}));
    EXPECT_TRUE(log.ContainsWithCode("dfw: ip reputation chunk", "LCP01153")) << log.Dump();
    // Room again: the refused chunk goes on the next pass, and its error with it.
    Pass({Deleted(Chunk(120, 5, 12000))});
    EXPECT_EQ(applies_, Applies{Ops({"create 6", "destroy 5"})});
    EXPECT_EQ(Held().at(6).second, 9000u);
    EXPECT_TRUE(ChunkErrors().empty());
    // Shrinking is never refused, even at the limit.
    StartMain(9100);
    Pass({Chunk(121, 6, 8000, 0x0B000000), Chunk(122, 8, 100, 0x0C000000)}, true);
    EXPECT_EQ(applies_, Applies{Ops({"create 6"})});
    EXPECT_TRUE(ChunkErrors().empty());
}

TEST_F(DfwIpRepChunkListTest, AMaliciousGroupsVerdictFollowsTheChunks) {
    auto rule = RuleRec(101, 1, 1, [](pb::RuleMsg& r) {
        r.set_action(1);
        *r.mutable_source()->add_container_ids() = Uuid(50);
    });
    auto bad = ContainerRec(50, {}, [](pb::ContainerMsg& c) { c.set_ip_reputation(true); });
    Pass({SectionRec(1, 1), rule, bad, Chunk(120, 5, 3, 0x0A000001)}, true);
    EXPECT_EQ(Verdict("10.0.0.2"), "DROP 1");
    EXPECT_EQ(Verdict("10.0.0.9"), "DEFAULT");
    Pass({Chunk(120, 5, 1, 0x0A000001)});
    EXPECT_EQ(Verdict("10.0.0.2"), "DEFAULT");
    EXPECT_EQ(Verdict("10.0.0.1"), "DROP 1");
    std::string text;
    ASSERT_TRUE(main_->ChunksText("10.0.0.1", &text));
    auto j = nlohmann::json::parse(text);
    EXPECT_EQ(j["listed_by"], nlohmann::json::array({5}));
    EXPECT_EQ(j["chunks"][0]["capacity"], 6000);
    EXPECT_EQ(j["chunks"][0]["realized"], true);
    EXPECT_FALSE(main_->ChunksText("10.0.0.300", &text));
}

// The list alone, with an apply budget that holds one small chunk: each create in an apply of its
// own, the destroy of a moved chunk's old id in its apply, a chunk over the budget refused.
TEST_F(DfwIpRepChunkListTest, AppliesStayWithinTheirBudget) {
    const char* options[] = {"FWIODeviceName", "/dev/ozy-tarp"};
    FW_Handle* h = nullptr;
    ASSERT_EQ(FW_Initialize(FW_LIB_VERSION, nullptr, 1, 2, options, &h), 0);
    DfwIpRepChunkList::Options o;
    o.handle = h;
    o.applyBudget =
        w::kConfigHeaderSize + (w::kCommandHeaderSize + 16 + 10 * 16) + (w::kCommandHeaderSize + 4);
    DfwIpRepChunkList list(o);
    auto sync = [&](std::vector<CairnDBUpdateMsg> records, bool full) {
        applies_.clear();
        msgs_->UpdateDesiredState(std::move(records), full);
        return list.Sync(msgs_->TakeSnapshot(), false);
    };
    EXPECT_TRUE(sync({Chunk(120, 5, 10), Chunk(121, 6, 10)}, true));
    EXPECT_EQ(applies_, (Applies{Ops({"create 5"}), Ops({"create 6"})}));
    EXPECT_TRUE(sync({Chunk(120, 7, 10)}, false));
    EXPECT_EQ(applies_, Applies{Ops({"create 7", "destroy 5"})});
    EXPECT_FALSE(sync({Chunk(121, 6, 11)}, false));
    EXPECT_TRUE(applies_.empty());
    ASSERT_EQ(list.errors().size(), 1u);
    EXPECT_EQ(list.errors()[0].uuid, U(121));
    EXPECT_EQ(list.errors()[0].code, 1u);
    EXPECT_EQ(Held().at(6).second, 10u);
    FW_Terminate(h);
}

}  // namespace
}  // namespace CfgAgent

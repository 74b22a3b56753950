// The emulated IDS engine against frames written byte by byte from the layout: 4-byte type and
// 4-byte length in host order (little-endian here), then the protobuf value.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/ids/IdsEngineProtocol.h"
#include "tests/dataplane/ByteVec.h"
#include "tests/support/TempDir.h"
#include "tools/ozy-dpemu/IdpsEngine.h"

namespace ozy::dpemu {
namespace {

using CfgAgent::test::H;
using CfgAgent::test::TempDir;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "literal frames are little-endian");

class IdpsEngineTest : public ::testing::Test {
  protected:
    std::vector<uint8_t> Send(const std::vector<uint8_t>& frame) {
        std::string error;
        EXPECT_EQ(IdpsFrameSize(frame.data(), frame.size(), &error),
                  static_cast<long>(frame.size()))
            << error;
        return engine.OnFrame(session, frame.data(), frame.size());
    }
    void Handshake() {
        std::string text = R"({"version":"0.3"})";
        std::vector<uint8_t> frame = H("00 00 00 00  11 00 00 00");
        frame.insert(frame.end(), text.begin(), text.end());
        std::vector<uint8_t> reply = Send(frame);
        ASSERT_GE(reply.size(), 8u);
        EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 4), H("00 00 00 00"));
        auto j = nlohmann::json::parse(reply.begin() + 8, reply.end());
        EXPECT_EQ(j["return"], "ok");
        EXPECT_EQ(engine.Dump()["version"], "0.3");
    }
    bool IsError(const std::vector<uint8_t>& reply) {
        return reply.size() >= 8 &&
               std::vector<uint8_t>(reply.begin(), reply.begin() + 4) == H("01 00 00 00");
    }

    TempDir conf{"idps-conf"};
    IdpsEngine engine{conf.path()};
    IdpsEngine::Session session;
};

TEST_F(IdpsEngineTest, RuleMapUpdatesAndListsWithLiteralFrames) {
    // Before the version exchange nothing is served.
    EXPECT_TRUE(IsError(Send(H("0f 00 00 00 00 00 00 00"))));
    Handshake();
    EXPECT_EQ(Send(H("0f 00 00 00 00 00 00 00")), H("0f 00 00 00 00 00 00 00"));
    // RuleUpdateMsg{full: true, rules: [{rule_id: "r1", action: 21}, {"r2", 24}]}
    EXPECT_EQ(Send(H("0b 00 00 00 12 00 00 00  08 01  12 06 0a 02 72 31 10 15"
                     "12 06 0a 02 72 32 10 18")),
              H("0b 00 00 00 02 00 00 00  08 02"));
    EXPECT_EQ(Send(H("0f 00 00 00 00 00 00 00")),
              H("0f 00 00 00 10 00 00 00  0a 06 0a 02 72 31 10 15  0a 06 0a 02 72 32 10 18"));
    // Incremental: r2 removed (field 3), r1 now 24.
    EXPECT_EQ(Send(H("0b 00 00 00 0c 00 00 00  12 06 0a 02 72 31 10 18  1a 02 72 32")),
              H("0b 00 00 00 02 00 00 00  08 01"));
    EXPECT_EQ(engine.Dump()["rules"], nlohmann::json({{"r1", 24}}));
    // An empty full update clears the map.
    EXPECT_EQ(Send(H("0b 00 00 00 02 00 00 00  08 01")), H("0b 00 00 00 00 00 00 00"));
    EXPECT_TRUE(engine.Dump()["rules"].empty());
}

TEST_F(IdpsEngineTest, ValuesThatAreNotTheRequestGetErrorRepliesAndChangeNothing) {
    Handshake();
    Send(H("0b 00 00 00 08 00 00 00  12 06 0a 02 72 31 10 15"));
    for (const char* bad : {
             "0b 00 00 00 0a 00 00 00  12 06 0a 02 72 31 10 15  48 01",  // unknown field 9
             "0b 00 00 00 0a 00 00 00  12 08 0a 02 72 31 10 15  48 01",  // unknown, nested
             "0b 00 00 00 03 00 00 00  12 06 0a",                        // cut inside a rule
             "0b 00 00 00 08 00 00 00  12 06 0a 02 72 31 10 16",         // action 22
             "0d 00 00 00 01 00 00 00  ff",                              // not a message
             "09 00 00 00 00 00 00 00",                                  // not a request type
             "06 00 00 00 04 00 00 00  0a 02 78 78",                     // level "xx"
         }) {
        SCOPED_TRACE(bad);
        EXPECT_TRUE(IsError(Send(H(bad))));
    }
    EXPECT_EQ(engine.Dump()["rules"], nlohmann::json({{"r1", 21}}));
    EXPECT_EQ(engine.Dump()["reloads"], 0);
    EXPECT_EQ(engine.Dump()["log_level"], "info");
}

TEST_F(IdpsEngineTest, ReloadCountsTheDistinctSidsOfTheBundlesAndThresholds) {
    conf.WriteFile(
        "bundles/system/rules/a.rules",
        "alert tcp any any -> any any (msg:\"a\"; sid:1; rev:1;)\n"
        "# alert tcp any any -> any any (sid:2;)\n"
        "alert udp any any -> any any (sid: 3;)\nalert ip any any -> any any (sid:1;)\n");
    conf.WriteFile("bundles/system/rules/notes.txt", "sid:50;\n");
    conf.WriteFile("bundles/system/rules/deeper/b.rules", "sid:51;\n");
    conf.WriteFile("bundles/custom_7/x/y/c.rules", "alert tcp (sid:4;)\n");
    conf.WriteFile("bundles/.staging-system-1/rules/d.rules", "sid:52;\n");
    conf.WriteFile("threshold.config", "suppress gen_id 1, track by_src (sid:5;)\n");
    Handshake();
    EXPECT_EQ(Send(H("0d 00 00 00 00 00 00 00")), H("0d 00 00 00 02 00 00 00  08 04"));
    // GetUptimeResponseMsg: field 2 reloads 1, field 3 sids_loaded 4 (uptime 0 is left out).
    EXPECT_EQ(Send(H("03 00 00 00 00 00 00 00")), H("03 00 00 00 04 00 00 00  10 01 18 04"));
}

TEST_F(IdpsEngineTest, ProfilesReplaceOnFullSyncAndAnswerActions) {
    Handshake();
    // ProfileUpdateMsg{sync_type: FULL, profiles: [{name: "p", signs: [{sid: 7, action:
    // "reject"}], pcap_enabled: true}]}
    EXPECT_EQ(Send(H("0c 00 00 00 15 00 00 00  08 01  12 11  0a 01 70"
                     "12 0a 08 07 12 06 72 65 6a 65 63 74  18 01")),
              H("0c 00 00 00 02 00 00 00  08 01"));
    // GetSignActionRequestMsg{profile: "p", sid: 7} and sid 8 (no override: "alert").
    EXPECT_EQ(Send(H("0e 00 00 00 05 00 00 00  0a 01 70 10 07")),
              H("0e 00 00 00 08 00 00 00  0a 06 72 65 6a 65 63 74"));
    EXPECT_EQ(Send(H("0e 00 00 00 05 00 00 00  0a 01 70 10 08")),
              H("0e 00 00 00 07 00 00 00  0a 05 61 6c 65 72 74"));
    EXPECT_TRUE(IsError(Send(H("0e 00 00 00 05 00 00 00  0a 01 71 10 07"))));
    // A full update with only "q" leaves only "q"; an incremental one removing "q" empties it.
    EXPECT_EQ(Send(H("0c 00 00 00 07 00 00 00  08 01 12 03 0a 01 71")),
              H("0c 00 00 00 02 00 00 00  08 01"));
    EXPECT_EQ(engine.Dump()["profiles"].size(), 1u);
    EXPECT_TRUE(engine.Dump()["profiles"].contains("q"));
    EXPECT_EQ(Send(H("0c 00 00 00 03 00 00 00  1a 01 71")), H("0c 00 00 00 00 00 00 00"));
    // An action other than "alert" or "reject" is refused.
    EXPECT_TRUE(
        IsError(Send(H("0c 00 00 00 0e 00 00 00  12 0c 0a 01 70 12 07 08 07 12 03 "
                       "64 72 6f"))));
    EXPECT_TRUE(engine.Dump()["profiles"].empty());
}

TEST_F(IdpsEngineTest, InjectedFaultsShapeTheNextReplies) {
    Handshake();
    engine.FailNext(15, 2);
    EXPECT_TRUE(IsError(Send(H("0f 00 00 00 00 00 00 00"))));
    EXPECT_TRUE(IsError(Send(H("0f 00 00 00 00 00 00 00"))));
    EXPECT_EQ(Send(H("0f 00 00 00 00 00 00 00")), H("0f 00 00 00 00 00 00 00"));
    engine.FaultNextReply(15, IdpsEngine::ReplyFault::kWrongType);
    EXPECT_EQ(Send(H("0f 00 00 00 00 00 00 00")), H("03 00 00 00 00 00 00 00"));
    engine.FaultNextReply(15, IdpsEngine::ReplyFault::kHuge);
    EXPECT_EQ(Send(H("0f 00 00 00 00 00 00 00")), H("0f 00 00 00 f0 ff ff ff"));
    engine.FaultNextReply(15, IdpsEngine::ReplyFault::kTruncated);
    EXPECT_EQ(Send(H("0f 00 00 00 00 00 00 00")), H("0f 00 00 00 10 00 00 00"));
    engine.FaultNextReply(15, IdpsEngine::ReplyFault::kGarbage);
    EXPECT_EQ(Send(H("0f 00 00 00 00 00 00 00")), H("0f 00 00 00 05 00 00 00 ff ff ff ff ff"));
    engine.FaultNextReply(15, IdpsEngine::ReplyFault::kStall);
    EXPECT_TRUE(Send(H("0f 00 00 00 00 00 00 00")).empty());
    engine.SetVersionReply(R"({"version":"0.3"})");
    IdpsEngine::Session fresh;
    std::vector<uint8_t> v = H("00 00 00 00 11 00 00 00");
    std::string text = R"({"version":"0.3"})";
    v.insert(v.end(), text.begin(), text.end());
    std::vector<uint8_t> reply = engine.OnFrame(fresh, v.data(), v.size());
    EXPECT_EQ(std::string(reply.begin() + 8, reply.end()), text);
}

TEST(IdpsProtocolTest, SizerCapsTheValueAndTheMonitorSitsBesideTheCommandSocket) {
    std::string error;
    std::vector<uint8_t> cap = H("0f 00 00 00 00 00 00 04");  // 64 MiB: allowed, incomplete
    EXPECT_EQ(IdpsFrameSize(cap.data(), cap.size(), &error), 0);
    std::vector<uint8_t> over = H("0f 00 00 00 01 00 00 04");
    EXPECT_EQ(IdpsFrameSize(over.data(), over.size(), &error), -1);
    EXPECT_EQ(IdpsFrameSize(over.data(), 7, &error), 0);
    EXPECT_EQ(ozy::ids::MonitorSocketPath(ozy::ids::kCommandSocketPath),
              "/var/run/ozy-idps/ozy-idps-monitor.socket");
    uint32_t t = 0;
    EXPECT_TRUE(ozy::ids::RequestTypeFromName("TLV_UPDATE_PROFILE_MAP", &t));
    EXPECT_EQ(t, 12u);
    EXPECT_FALSE(ozy::ids::RequestTypeFromName("TLV_ERROR", &t));
}

}  // namespace
}  // namespace ozy::dpemu

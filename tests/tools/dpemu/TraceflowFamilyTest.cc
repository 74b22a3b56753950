// The emulator's traceflow family and the operations agent's frame reader, fed literal bytes
// written from the layouts.
#include <cstring>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/LogCapture.h"
#include "tests/tools/dpemu/RecordingChannel.h"
#include "tools/ozy-dpemu/OpsAgent.h"
#include "tools/ozy-dpemu/RecordingFamily.h"
#include "tools/ozy-dpemu/TraceflowFamily.h"

namespace ozy::dpemu::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Id48(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.resize(48, 0);
    return b;
}

Bytes Inject(const Bytes& dvport, const Bytes& packet) {
    Bytes body = {0, 1, 0, 12, 0, 0, 0, 0, 0, 0, 0, 42, 0, 2, 0, uint8_t(4 + dvport.size())};
    body.insert(body.end(), dvport.begin(), dvport.end());
    body.insert(body.end(), {0, 3, uint8_t((4 + packet.size()) >> 8), uint8_t(4 + packet.size())});
    body.insert(body.end(), packet.begin(), packet.end());
    Bytes m = {0, 1, uint8_t((4 + body.size()) >> 8), uint8_t(4 + body.size())};
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

class TraceflowFamilyTest : public ::testing::Test {
  protected:
    void SetUp() override { family_.Attach(&channel_); }
    CfgAgent::test::LogCapture log_;
    RecordingChannel channel_{"ozy_traceflow_krnlink", {1}};
    TraceflowFamily family_;
};

TEST_F(TraceflowFamilyTest, KeepsInjectionsAndAnswersThemInAutoMode) {
    Bytes m = Inject(Id48("dvport-1"), {0xde, 0xad});
    family_.OnMessage(1, m.data(), m.size());
    nlohmann::json d = family_.Dump();
    ASSERT_EQ(d["injections"].size(), 1u);
    EXPECT_EQ(d["injections"][0]["round_id"], 42);
    EXPECT_EQ(d["injections"][0]["dvport"], "dvport-1");
    EXPECT_EQ(d["injections"][0]["packet"], "dead");
    // Without KCP tables: forward, receive, deliver at the port, no VNI and no VIF.
    ASSERT_EQ(channel_.sent[1].size(), 3u);
    const Bytes& deliver = channel_.sent[1][2];
    EXPECT_EQ(deliver[1], 5);
    Bytes dvportTlv = {0, 12, 0, 52};
    Bytes id = Id48("dvport-1");
    dvportTlv.insert(dvportTlv.end(), id.begin(), id.end());
    EXPECT_NE(std::search(deliver.begin(), deliver.end(), dvportTlv.begin(), dvportTlv.end()),
              deliver.end());
}

TEST_F(TraceflowFamilyTest, RefusesMalformedInjectionsAndIntConfigurations) {
    struct Case {
        Bytes msg;
        const char* error;
    };
    Bytes shortId = Id48("p");
    shortId.pop_back();
    Bytes unterminated(48, 'x');
    uint32_t mode3 = 3;
    Bytes badMode = {0, 11, 0, 10};
    badMode.insert(badMode.end(), reinterpret_cast<uint8_t*>(&mode3),
                   reinterpret_cast<uint8_t*>(&mode3) + 4);
    badMode.insert(badMode.end(), {0, 0});
    std::vector<Case> cases = {
        {Inject(shortId, {1}), "DVS port element of 47 bytes"},
        {Inject(unterminated, {1}), "not NUL-terminated"},
        {Inject(Id48("p"), {}), "packet of 0 bytes"},
        {Inject(Id48("p"), Bytes(1501, 1)), "packet of 1501 bytes"},
        {{0, 1, 0, 4}, "malformed or incomplete"},
        {{0, 11, 0, 8, 0, 0, 0, 0}, "INT_CONFIG of 8 bytes"},
        {badMode, "INT_CONFIG mode 3"},
        {{0, 9, 0, 4}, "unexpected message type 9"},
    };
    for (const Case& c : cases) {
        family_.OnMessage(1, c.msg.data(), c.msg.size());
        EXPECT_TRUE(log_.Contains(c.error)) << c.error;
    }
    nlohmann::json d = family_.Dump();
    EXPECT_TRUE(d["injections"].empty());
    EXPECT_TRUE(d["int_config"].is_null());
    EXPECT_TRUE(channel_.sent[1].empty());
}

TEST_F(TraceflowFamilyTest, BuildsAnyObservationFromJson) {
    Bytes out;
    std::string error;
    ASSERT_TRUE(TraceflowFamily::BuildObservation(
        nlohmann::json::parse(R"({"type": 3, "drop_reason": 5, "local_ip": "10.0.0.1"})"), &out,
        &error))
        << error;
    EXPECT_EQ(out, (Bytes{0, 3, 0, 22, 0, 3, 0, 5, 3, 0, 11, 0, 5, 5, 0, 7, 0, 8, 10, 0, 0, 1}));
    EXPECT_FALSE(TraceflowFamily::BuildObservation(
        nlohmann::json::parse(R"({"type": 3, "vlan": 5000})"), &out, &error));
    EXPECT_NE(error.find("vlan"), std::string::npos);
    EXPECT_FALSE(TraceflowFamily::BuildObservation(nlohmann::json::parse(R"({"drop_reason": 1})"),
                                                   &out, &error));
}

TEST(OpsAgentFrameTest, ReadsOnlyWellFormedFrameHeaders) {
    std::string error;
    EXPECT_EQ(LcpFrameSize(Bytes{0, 1, 0, 0, 0}.data(), 5, &error), 0);
    EXPECT_EQ(LcpFrameSize(Bytes{0, 1, 0, 0, 0, 8, 1}.data(), 7, &error), 0);
    EXPECT_EQ(LcpFrameSize(Bytes{0, 1, 0, 0, 0, 8, 1, 2}.data(), 8, &error), 8);
    EXPECT_EQ(LcpFrameSize(Bytes{0, 1, 0, 0, 0, 6}.data(), 6, &error), 6);
    EXPECT_LT(LcpFrameSize(Bytes{0x80, 1, 0, 0, 0, 6}.data(), 6, &error), 0);
    EXPECT_LT(LcpFrameSize(Bytes{0, 2, 0, 0, 0, 6}.data(), 6, &error), 0);
    EXPECT_LT(LcpFrameSize(Bytes{0, 1, 0, 0, 0, 5}.data(), 6, &error), 0);
    EXPECT_LT(LcpFrameSize(Bytes{0, 1, 0xff, 0xff, 0xff, 0xff}.data(), 6, &error), 0);
    Bytes hex;
    EXPECT_TRUE(ParseHex("00aB", &hex));
    EXPECT_EQ(hex, (Bytes{0, 0xab}));
    EXPECT_TRUE(ParseHex("01:02 0c", &hex));
    EXPECT_EQ(hex, (Bytes{1, 2, 0x0c}));
    EXPECT_FALSE(ParseHex("0", &hex));
    EXPECT_FALSE(ParseHex("zz", &hex));
    EXPECT_FALSE(ParseHex("", &hex));
}

}  // namespace
}  // namespace ozy::dpemu::test

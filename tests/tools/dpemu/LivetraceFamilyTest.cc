// The emulator's live-trace family fed literal bytes written from the layout:
// sessions created and deleted, frames run through the session's program,
// results (also fragmented) as bytes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/LogCapture.h"
#include "tests/support/WireBytes.h"
#include "tests/tools/dpemu/RecordingChannel.h"
#include "tools/ozy-dpemu/LivetraceFamily.h"

namespace ozy::dpemu::test {
namespace {

using Bytes = std::vector<uint8_t>;
using CfgAgent::test::Cat;
using CfgAgent::test::Msg;
using CfgAgent::test::Tlv;

// ldh [12]; jeq #0x800 jt 0 jf 1; ret #65535; ret #0: IPv4 frames only.
const Bytes kIpv4Only = {0x00, 0x28, 0, 0, 0, 0, 0,    12,   0x00, 0x15, 0, 1, 0, 0, 0x08, 0x00,
                         0x00, 0x06, 0, 0, 0, 0, 0xff, 0xff, 0x00, 0x06, 0, 0, 0, 0, 0,    0};
const Bytes kSession = {0, 0, 0, 0, 0, 0, 0x10, 0x01};
const Bytes kPort = {0x5b, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 1};
const Bytes kDvs = {0x5d, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 2};
// kind, direction, sampling, reserved, first-N count, snap length
const Bytes kTraceFirst2 = {1, 1, 1, 0, 0, 0, 0, 2, 0, 0, 0, 0};
const Bytes kPktcapAllSnap20 = {2, 3, 2, 0, 0, 0, 0, 0, 0, 0, 0, 20};
const Bytes kCounterBoth = {3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kStatsForward = {4, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

Bytes Create(uint8_t slot, std::vector<Bytes> actions, const Bytes& filter = kIpv4Only,
             uint8_t direction = 3) {
    Bytes body = Cat({Tlv(1, {slot}), Tlv(2, kSession), Tlv(3, kPort), Tlv(4, kDvs),
                      Tlv(5, {0, 0, 0, 60}), Tlv(6, {direction})});
    for (const Bytes& a : actions)
        body = Cat({body, Tlv(7, a)});
    return Msg(1, Cat({body, Tlv(8, filter)}));
}

// An Ethernet frame of `size` bytes with the given ethertype; byte i of the
// rest is i.
Bytes Frame(uint16_t ethertype, size_t size) {
    Bytes f(size);
    for (size_t i = 0; i < size; ++i)
        f[i] = uint8_t(i);
    f[12] = uint8_t(ethertype >> 8);
    f[13] = uint8_t(ethertype);
    return f;
}

class LivetraceFamilyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        family_.Attach(&channel_);
        family_.RegisterCommands(commands_);
    }
    void Deliver(const Bytes& m) { family_.OnMessage(1, m.data(), m.size()); }
    const std::vector<Bytes>& Sent() { return channel_.sent[1]; }

    CfgAgent::test::LogCapture log_;
    RecordingChannel channel_{"livetrace_ozyt_krnlink", {1}};
    CommandRecorder commands_;
    LivetraceFamily family_;
};

TEST_F(LivetraceFamilyTest, ACreatedSessionCapturesTracesAndCountsTheFramesItsProgramAccepts) {
    Deliver(Create(31, {kTraceFirst2, kPktcapAllSnap20, kCounterBoth, kStatsForward}));
    nlohmann::json slot = family_.Dump()["slots"]["31"];
    ASSERT_TRUE(slot.is_object()) << family_.Dump().dump();
    EXPECT_EQ(slot["session_id"], 0x1001);
    EXPECT_EQ(slot["dvport"], "5b000000-0000-4000-8000-000000000001");
    EXPECT_EQ(slot["dvs"], "5d000000-0000-4000-8000-000000000002");
    EXPECT_EQ(slot["filter_insns"], 4);

    ASSERT_TRUE(commands_.Run("dpemu/livetrace-meta", {R"({"tso": true, "vlan": 10})"}).ok);
    Bytes ipv4 = Frame(0x0800, 30);
    EXPECT_EQ(commands_.Run("dpemu/livetrace-packet", {"31", "0001", "rev"}).text, "not matched");
    ASSERT_TRUE(family_.OfferFrame(31, ipv4.data(), ipv4.size(), 60, false, 0x0102));
    // TRACE: session, direction forward, packet 2 (the first frame was packet 1),
    // forward and deliver observations at the source port.
    Bytes obsTail = Cat({{0, 0, 0, 0, 0, 0, 0x01, 0x02}, kPort});
    // PKTCAP: packet 2, flags TSO and VLAN valid, VLAN 10, no VNI, snap 20 of 60,
    // timestamp.
    Bytes meta = {0, 0, 0, 2,  0x00, 0x14, 0, 10, 0, 0, 0, 0, 0, 0, 0,    20,
                  0, 0, 0, 60, 0,    0,    0, 0,  0, 0, 0, 0, 0, 0, 0x01, 0x02};
    EXPECT_EQ(Sent(), (std::vector<Bytes>{
                          Msg(21, Cat({Tlv(2, kSession), Tlv(6, {1}), Tlv(10, {0, 0, 0, 2}),
                                       Tlv(12, Cat({{1, 1, 0, 0}, obsTail})),
                                       Tlv(12, Cat({{3, 1, 0, 0}, obsTail}))})),
                          Msg(22, Cat({Tlv(2, kSession), Tlv(13, meta),
                                       Tlv(14, Bytes(ipv4.begin(), ipv4.begin() + 20))}))}));

    // The backward frame is captured with the reverse flag but not traced
    // (forward only).
    channel_.sent.clear();
    ASSERT_TRUE(family_.OfferFrame(31, ipv4.data(), 20, 20, true, 0));
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent()[0][4 + 12 + 4 + 5], 0x15);  // flags: TSO, VLAN valid, reverse
    EXPECT_EQ(Sent()[0].size(), 4u + 12 + 36 + 4 + 20);

    // First-2 sampling: the third forward match is not traced.
    channel_.sent.clear();
    family_.OfferFrame(31, ipv4.data(), ipv4.size(), ipv4.size(), false, 0);
    family_.OfferFrame(31, ipv4.data(), ipv4.size(), ipv4.size(), false, 0);
    ASSERT_EQ(Sent().size(), 3u);
    EXPECT_EQ(Sent()[2][1], 22);

    // The end: per direction the counters (and forward's statistics), then the
    // barrier.
    channel_.sent.clear();
    ASSERT_TRUE(commands_.Run("dpemu/livetrace-end", {"31", "barrier"}).ok);
    Bytes fwdHead = Cat({Tlv(2, kSession), Tlv(6, {1})});
    Bytes backHead = Cat({Tlv(2, kSession), Tlv(6, {2})});
    EXPECT_EQ(
        Sent(),
        (std::vector<Bytes>{
            Msg(20, Cat({fwdHead, Tlv(11, Cat({kPort, {1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 3}})),
                         Tlv(15, {0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 3,
                                  0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3})})),
            Msg(11, fwdHead),
            Msg(20, Cat({backHead, Tlv(11, Cat({kPort, {2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}}))})),
            Msg(11, backHead)}));
    EXPECT_TRUE(family_.Dump()["slots"].empty());
}

TEST_F(LivetraceFamilyTest, DeleteEndsEachDirectionWithAnInvalidation) {
    Deliver(Create(0, {kCounterBoth}, kIpv4Only, 2));
    Deliver(Msg(2, Cat({Tlv(1, {0}), Tlv(2, kSession)})));
    EXPECT_EQ(Sent(),
              std::vector<Bytes>{Msg(10, Cat({Tlv(2, kSession), Tlv(6, {2}), Tlv(9, {2})}))});
    EXPECT_TRUE(family_.Dump()["slots"].empty());
}

TEST_F(LivetraceFamilyTest, ResultsAboveTheThresholdTravelAsFragmentsAndOneCanBeWithheld) {
    Deliver(Create(1, {{2, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}}));
    Bytes big = Frame(0x0800, 2500);
    ASSERT_TRUE(family_.OfferFrame(1, big.data(), big.size(), big.size(), false, 0));
    // The PKTCAP body is 12 + 36 + 4 + 2500 bytes: pieces of 1024, 1024 and 504.
    ASSERT_EQ(Sent().size(), 3u);
    Bytes whole;
    for (size_t i = 0; i < 3; ++i) {
        const Bytes& f = Sent()[i];
        size_t piece = i < 2 ? 1024 : 504;
        ASSERT_EQ(f.size(), 4 + 20 + piece);
        EXPECT_EQ(Bytes(f.begin(), f.begin() + 24),
                  Cat({{0, 30, uint8_t((24 + piece) >> 8), uint8_t(24 + piece)},
                       {0, 0, 0, 1, 0, uint8_t(i), 0, 3, 0, 22, 0, 0, 0, 0},
                       {uint8_t((i * 1024) >> 8), 0, 0, 0, 0x09, 0xf8}}));
        whole.insert(whole.end(), f.begin() + 24, f.end());
    }
    EXPECT_EQ(Bytes(whole.end() - 2500, whole.end()), big);

    channel_.sent.clear();
    ASSERT_TRUE(commands_.Run("dpemu/livetrace-frag-drop", {"1"}).ok);
    family_.OfferFrame(1, big.data(), big.size(), big.size(), false, 0);
    EXPECT_EQ(Sent().size(), 2u);
    family_.OfferFrame(1, big.data(), big.size(), big.size(), false, 0);
    EXPECT_EQ(Sent().size(), 5u);
}

TEST_F(LivetraceFamilyTest, RefusesMalformedCreatesAndDeletes) {
    struct Case {
        Bytes msg;
        const char* error;
    };
    Bytes noFilter = Create(2, {kCounterBoth});
    noFilter.resize(noFilter.size() - 4 - kIpv4Only.size());
    noFilter[3] = uint8_t(noFilter.size());
    // jeq jumping past the end of the program
    Bytes badJump = kIpv4Only;
    badJump[10] = 9;
    Bytes badOpcode = kIpv4Only;
    badOpcode[25] = 0x1e;  // ret with both return-value bits
    std::vector<Case> cases = {
        {Create(2, {kCounterBoth}, badOpcode), "the filter uses opcode 30"},
        {noFilter, "element list malformed or incomplete"},
        {Create(32, {kCounterBoth}), "CREATE: slot 32"},
        {Create(2, {kCounterBoth, kCounterBoth}), "action kind 3 twice"},
        {Create(2, {{5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}), "bad action"},
        {Create(2, {{1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}}), "bad action"},  // first-N of 0
        {Create(2, {{3, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}}), "bad action"},  // snap on counters
        {Create(2, {kCounterBoth}, badJump), "does not pass bpf_validate"},
        {Create(2, {kCounterBoth}, Bytes(7, 0)), "filter of 7 bytes"},
        {Create(2, {kCounterBoth}, kIpv4Only, 4), "direction 4"},
        {Msg(2, Cat({Tlv(1, {5}), Tlv(2, kSession)})), "no session 4097 in slot 5"},
        {Msg(2, Cat({Tlv(1, {5}), Tlv(1, {5})})), "DELETE: unexpected, repeated"},
        {Msg(12, {}), "unexpected message type 12"},
    };
    for (const Case& c : cases) {
        Deliver(c.msg);
        EXPECT_TRUE(log_.Contains(c.error)) << c.error;
    }
    EXPECT_TRUE(family_.Dump()["slots"].empty());
    Deliver(Create(2, {kCounterBoth}));
    Deliver(Create(2, {kStatsForward}));
    EXPECT_TRUE(log_.Contains("slot 2 is in use"));
    EXPECT_TRUE(Sent().empty());
    EXPECT_FALSE(commands_.Run("dpemu/livetrace-packet", {"3", "00"}).ok);
    EXPECT_FALSE(commands_.Run("dpemu/livetrace-meta", {R"({"vlan": 5000})"}).ok);
    EXPECT_FALSE(commands_.Run("dpemu/livetrace-end", {"2", "later"}).ok);
}

}  // namespace
}  // namespace ozy::dpemu::test

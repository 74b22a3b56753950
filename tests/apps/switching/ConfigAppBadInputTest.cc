// Bad input from the dataplane: every case is logged with its code and dropped, and what was
// reported before it, and after it, stays correct.
#include "tests/apps/switching/ConfigAppFixture.h"

#include "tests/dataplane/ByteVec.h"
#include "tests/dataplane/KcpVectors.h"

namespace CfgAgent::test {
namespace {

namespace pb = orvane::ozy::cairndb;
using namespace kcpvec;

class ConfigAppBadInputTest : public ConfigAppFixture {
  protected:
    void SetUp() override {
        ConfigAppFixture::SetUp();
        OpenSession(true, {Vif(kVif1, kPort1)});
        log.Clear();
        conv->Clear();
    }
    // The VIF reported before the bad input is still there, and a good report still works.
    void ExpectStillWorking() {
        pb::VifStateMsg st;
        EXPECT_TRUE(VifState(kVif1, &st));
        kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {Vif(kVif2, "port-2")}));
        EXPECT_TRUE(VifState(kVif2, &st));
    }
};

TEST_F(ConfigAppBadInputTest, TruncatedVifRecordsAreDroppedAfterTheGoodOnes) {
    // A good record, then one whose record length reaches past the element.
    Bytes good = Cat({VifHead("vif-good", "p1", "s", "", 1, 0, 0, 213 + 5), H("00 01 00 05 01")});
    Bytes bad = VifHead("vif-bad", "p2", "s", "", 1, 0, 0, 400);
    kcpLink->Deliver(Update(0, Element(1, Cat({Bytes{1}, good, bad}))));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: truncated VIF record", "LCP00507"));
    pb::VifStateMsg st;
    EXPECT_TRUE(VifState("vif-good", &st));
    EXPECT_FALSE(VifState("vif-bad", &st));
    // A record shorter than its fixed part.
    log.Clear();
    kcpLink->Deliver(Update(0, Element(1, Cat({Bytes{1}, Field("vif-short", 100)}))));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: truncated VIF record", "LCP00507"));
    // A property that reaches past its record drops that record.
    log.Clear();
    Bytes overlong =
        Cat({VifHead("vif-prop", "p3", "s", "", 1, 0, 0, 213 + 5), H("00 02 00 09 01")});
    kcpLink->Deliver(Update(0, Element(1, Cat({Bytes{1}, overlong}))));
    EXPECT_TRUE(log.ContainsWithCode(
        "ConfigApp: VIF vif-prop record with properties that do not fit", "LCP00507"));
    EXPECT_FALSE(VifState("vif-prop", &st));
    // An Update that fails the length checks, and an element past the message end.
    log.Clear();
    kcpLink->Deliver(H("00 02 00 06 00 00"));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: malformed KCP Update of 6 bytes", "LCP00507"));
    log.Clear();
    Bytes past = Cat({H("00 02"), U16(5 + 8), Bytes{0}, U16(1), U16(4), U16(1), U16(40)});
    kcpLink->Deliver(past);
    EXPECT_TRUE(log.ContainsWithCode("does not fit", "LCP00507"));
    ExpectStillWorking();
}

TEST_F(ConfigAppBadInputTest, IdentifiersThatAreNotTextAreRefused) {
    Bytes bin = Cat({VifHead("vif-\xff\x01", "p1", "s", "", 1, 0, 0, 213), Bytes{}});
    kcpLink->Deliver(Update(0, Element(1, Cat({Bytes{1}, bin}))));
    EXPECT_TRUE(log.ContainsWithCode(
        "ConfigApp: VIF record with an identifier that is not text, dropped", "LCP00507"));
    EXPECT_EQ(conv->Count("VifInfo"), 0u);
    kcpLink->Deliver(Cat({H("00 03"), U16(4 + 52), U16(2), U16(52), Field("vif\x80", 48)}));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: notification type 2 with a value of 48 bytes",
                                     "LCP00509"));
    EXPECT_TRUE(conv->calls.empty());
    ExpectStillWorking();
}

TEST_F(ConfigAppBadInputTest, WrongSessionTypesAndUnknownMessages) {
    uint32_t sid = kcp::CurrentSessionId();
    kcpLink->Deliver(Cat({H("00 05 00 0f 00 02 00 0b 03"), H("00 00 00 00 00 00")}));
    EXPECT_TRUE(
        log.ContainsWithCode("ConfigApp: unsupported session control data type 2", "LCP00505"));
    // A session-control element too short for its session ID.
    kcpLink->Deliver(H("00 05 00 0a 00 01 00 06 03 00"));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: malformed session control message of 10 bytes",
                                     "LCP00507"));
    kcpLink->Deliver(H("00 09 00 04"));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: received unknown KCP msg 9", "LCP00506"));
    kcpLink->Deliver(H("00 01 00 04"));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: received unknown KCP msg 1", "LCP00506"));
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionFullSyncEnded);
    EXPECT_EQ(kcp::CurrentSessionId(), sid);
    EXPECT_TRUE(conv->calls.empty());
    ExpectStillWorking();
}

TEST_F(ConfigAppBadInputTest, UnknownAndMalformedNotifications) {
    kcpLink->Deliver(H("00 03 00 09 00 07 00 05 01"));
    EXPECT_TRUE(
        log.ContainsWithCode("ConfigApp: unsupported notification type 7, len 5", "LCP00509"));
    // DP Status without its byte; hopover without its sync type; hopover with sync type 9.
    kcpLink->Deliver(H("00 03 00 08 00 01 00 04"));
    EXPECT_TRUE(
        log.ContainsWithCode("ConfigApp: notification type 1 with a value of 0 bytes", "LCP00509"));
    kcpLink->Deliver(Cat({H("00 03"), U16(4 + 52), U16(4), U16(52), Field("vif", 48)}));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: notification type 4 with a value of 48 bytes",
                                     "LCP00509"));
    kcpLink->Deliver(Cat({H("00 03"), U16(4 + 54), U16(4), U16(54), Field("vif", 48), U16(9)}));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: notification type 4 with a value of 50 bytes",
                                     "LCP00509"));
    // An element that reaches past the message.
    kcpLink->Deliver(H("00 03 00 09 00 01 00 09 01"));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: notification element does not fit", "LCP00509"));
    EXPECT_TRUE(conv->calls.empty());
    EXPECT_EQ(app->sessionState(), ConfigApp::kSessionFullSyncEnded);
    ExpectStillWorking();
}

TEST_F(ConfigAppBadInputTest, OversizedFragmentsAreDropped) {
    kcp::VifRecordSpec v = Vif(kVif2, "port-2");
    DpMsg frag = VifUpdateMsg(kcp::kOpUpdate, {v});
    frag[4] |= kcp::kUpdateFragmentFlag;
    for (size_t i = 0; i < ConfigApp::kMaxFragments; ++i)
        kcpLink->Deliver(frag);
    EXPECT_EQ(app->pendingFragments(), ConfigApp::kMaxFragments);
    kcpLink->Deliver(frag);
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: fragmented Update larger than", "LCP00508"));
    EXPECT_EQ(app->pendingFragments(), 0u);
    pb::VifStateMsg st;
    EXPECT_FALSE(VifState(kVif2, &st));
    // Large fragments hit the byte limit well before the count.
    log.Clear();
    kcp::VifRecordSpec big = Vif(kVif2, "port-2");
    for (int i = 0; i < 10000; ++i)
        big.macs.push_back({2, 0, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
    DpMsg bigFrag = VifUpdateMsg(kcp::kOpUpdate, {big});
    bigFrag[4] |= kcp::kUpdateFragmentFlag;
    size_t sent = 0;
    while (!log.ContainsWithCode("ConfigApp: fragmented Update larger than", "LCP00508") &&
           sent < 100) {
        kcpLink->Deliver(bigFrag);
        ++sent;
    }
    EXPECT_LE(sent * bigFrag.size(), ConfigApp::kMaxFragmentBytes + bigFrag.size());
    EXPECT_EQ(app->pendingFragments(), 0u);
    ExpectStillWorking();
}

TEST_F(ConfigAppBadInputTest, FragmentsOfDifferentVifsDoNotJoin) {
    DpMsg first = VifUpdateMsg(kcp::kOpUpdate, {Vif("vif-a", "p")});
    first[4] |= kcp::kUpdateFragmentFlag;
    kcpLink->Deliver(first);
    kcpLink->Deliver(VifUpdateMsg(kcp::kOpUpdate, {Vif("vif-b", "p")}));
    EXPECT_TRUE(log.ContainsWithCode("ConfigApp: 2 Update fragments do not form one VIF update",
                                     "LCP00508"));
    pb::VifStateMsg st;
    EXPECT_FALSE(VifState("vif-a", &st));
    EXPECT_FALSE(VifState("vif-b", &st));
    EXPECT_EQ(app->pendingFragments(), 0u);
    // Pending fragments do not survive a new session.
    kcpLink->Deliver(first);
    EXPECT_EQ(app->pendingFragments(), 1u);
    app->SimulateOutOfSync();
    EXPECT_EQ(app->pendingFragments(), 0u);
}

TEST_F(ConfigAppBadInputTest, InvalidHeadersAreRefused) {
    uint8_t shortMsg[3] = {0, 2, 0};
    app->HandleKcpMessage(shortMsg, sizeof shortMsg);
    uint8_t lying[4] = {0, 2, 0, 40};
    app->HandleKcpMessage(lying, sizeof lying);
    EXPECT_EQ(log.Count("ConfigApp: KCP message of"), 2u);
    EXPECT_TRUE(log.ContainsWithCode("with an invalid header", "LCP00507"));
    ExpectStillWorking();
}

}  // namespace
}  // namespace CfgAgent::test

// What the dataplane sends L3App that it cannot take: logged with its code and dropped, with
// nothing sent and nothing written; the link stays usable.
#include "tests/apps/routing/L3AppFixture.h"
#include "tests/dataplane/VdrVectors.h"

namespace CfgAgent::test {
namespace {

using namespace vdrvec;

struct BadMessage {
    const char* name;
    Bytes bytes;
    const char* line;
};

class L3AppBadInputTest : public L3AppFixture, public ::testing::WithParamInterface<BadMessage> {
  protected:
    void SetUp() override {
        L3AppFixture::SetUp();
        PutTopology();
        StartSynced();
    }
};

TEST_P(L3AppBadInputTest, IsDroppedWithItsCodeAndTheNextRequestIsServed) {
    Deliver(GetParam().bytes);
    EXPECT_TRUE(log_.ContainsWithCode(GetParam().line, "LCP00901")) << log_.Dump();
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(db_.writes.empty());
    Deliver(FullSyncRequestMsg(1, 0));
    EXPECT_EQ(Dp().fullSyncEnds, 2u);
}

const BadMessage kBad[] = {
    {"NotType4", Cat({H("00 05 00 10"), Zeros(12)}), "L3App: unknown vdr msg 5"},
    {"HeaderOnly", H("00 04 00 04"), "malformed vdrb msg"},
    {"FullSyncRequestShort", Cat({DpHeader(20, 3), U32(1001)}), "malformed vdrb msg"},
    {"FullSyncRequestScope", Cat({DpHeader(29, 3), U32(1001), Zeros(8), H("05")}),
     "malformed vdrb msg"},
    {"UnknownSubType", Cat({DpHeader(24, 9), Zeros(8)}), "unknown vdrb msg sub type 9"},
    {"DadReportShort", Cat({DpHeader(100, 28), Zeros(84)}), "malformed vdrb msg"},
    {"DadReportCountTooLarge",
     DadReportMsg(1001, "lif-1", "0c000000-0000-4000-8000-000000000001", "ls", 900,
                  Cat({A4(10, 0, 1, 1), H("02")})),
     "malformed vdrb msg"},
    {"DadReportLongerThanItsEntries",
     Cat({DpHeader(176, 28), U32(1001), Field("lif-1", 64),
          Field("0c000000-0000-4000-8000-000000000001", 36), Field("ls", 36), U16(0), Zeros(18)}),
     "malformed vdrb msg"},
};

INSTANTIATE_TEST_SUITE_P(Routing, L3AppBadInputTest, ::testing::ValuesIn(kBad),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace CfgAgent::test

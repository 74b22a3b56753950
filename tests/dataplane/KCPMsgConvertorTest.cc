#include <gtest/gtest.h>

#include "dataplane/KCPMsgConvertor.h"
#include "dataplane/KcpPropertyTable.h"
#include "tests/dataplane/KcpVectors.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

using namespace test;
using namespace test::kcpvec;

class RecordingConfigApp : public IConfigApp {
  public:
    bool SendKcpMessage(DpMsg msg) override {
        sent.push_back(std::move(msg));
        return accept;
    }
    std::vector<DpMsg> sent;
    bool accept = true;
};

TEST(KCPMsgConvertorTest, SendsEveryKindThroughConfigAppWithADebugDump) {
    test::LogCapture cap(kLogDebug);
    RecordingConfigApp app;
    ozy::RefPtr<IKCPMsgConvertor> conv(new KCPMsgConvertor(&app));
    ASSERT_TRUE(conv->SendPortList({"p1", "p2", "p3"}));
    ASSERT_EQ(app.sent.size(), 1u);
    EXPECT_EQ(app.sent[0],
              Update(0, Element(3, Cat({Field("p1", 48), Field("p2", 48), Field("p3", 48)}))));
    EXPECT_TRUE(cap.Contains("KCPMsgConvertor sends message to dataplane"));
    EXPECT_TRUE(cap.Contains(
        "KCP Message\n\tUpdate: len = 153 flag = 0x00\n\tPortList Update: len = 148 count = 3"));

    ASSERT_TRUE(conv->SendSwxPropertyUpdate(
        "dvs-1", kcp::kOpUpdate, {kcp::MakeKcpProperty(kcp::kPropForwardingMode, H("02"))}));
    EXPECT_EQ(app.sent.back(), Update(0, Element(6, Cat({Field("dvs-1", 64), Bytes{1}, H("00 48"),
                                                         H("00 c8 00 05 02")}))));
    ASSERT_TRUE(conv->SendKrnnicList({"vmk0"}));
    ASSERT_TRUE(conv->SendContainerList({"cif-1"}));
    ASSERT_TRUE(conv->SendPortContainerList("vif-p", {"cif-1"}));
    ASSERT_TRUE(conv->SendSwxList({"dvs-1"}));
    ASSERT_TRUE(conv->SendUplinkUpdate(kcp::kOpDelete, {{"u", "dvs-1", "c", "vmnic1"}}));
    ASSERT_TRUE(conv->SendKrnnicPropertyUpdate(
        kcp::kOpUpdate, {{"vmk0", {kcp::MakeKcpProperty(kcp::kPropVtepLabel, H("00 00 00 05"))}}}));
    ASSERT_TRUE(conv->SendPortPropertyUpdate(kcp::kOpDelete, {{"port-1", {}}}));
    ASSERT_TRUE(conv->SendContainerUpdate({kcp::ContainerRecord{}}));
    kcp::VifRecordSpec v;
    v.vifId = "vif-1";
    ASSERT_TRUE(conv->SendVifUpdate(kcp::kOpUpdate, {v}));
    EXPECT_EQ(app.sent.size(), 11u);
    for (const DpMsg& m : app.sent) {
        EXPECT_EQ(DpMsgType(m.data()), kcp::kMsgUpdate);
        EXPECT_EQ(DpMsgLength(m.data()), m.size());
    }
}

TEST(KCPMsgConvertorTest, FragmentsFollowTheMaximumAndFailuresAreReported) {
    test::LogCapture cap;
    RecordingConfigApp app;
    ozy::RefPtr<KCPMsgConvertor> conv(new KCPMsgConvertor(&app));
    EXPECT_EQ(conv->MaxMsgLength(), 10240u);
    conv->SetMaxMsgLength(512);
    std::vector<std::string> ports;
    for (int i = 0; i < 40; ++i)
        ports.push_back("port-" + std::to_string(i));
    ASSERT_TRUE(conv->SendPortList(ports));
    ASSERT_GT(app.sent.size(), 1u);
    for (size_t i = 0; i < app.sent.size(); ++i) {
        EXPECT_LE(app.sent[i].size(), 512u);
        EXPECT_EQ(app.sent[i][4], i + 1 < app.sent.size() ? 0x80 : 0);
    }

    // A refused send stops the rest of the fragments.
    app.sent.clear();
    app.accept = false;
    EXPECT_FALSE(conv->SendPortList(ports));
    EXPECT_EQ(app.sent.size(), 1u);

    // Invalid content never reaches ConfigApp.
    app.sent.clear();
    EXPECT_FALSE(conv->SendPortList({std::string(50, 'z')}));
    EXPECT_TRUE(app.sent.empty());

    ozy::RefPtr<KCPMsgConvertor> detached(new KCPMsgConvertor(nullptr));
    EXPECT_FALSE(detached->SendSwxList({"dvs"}));
    EXPECT_TRUE(cap.Contains("KCPMsgConvertor: no ConfigApp to send through"));
}

}  // namespace
}  // namespace CfgAgent

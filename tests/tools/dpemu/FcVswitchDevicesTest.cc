// The emulated flow-cache and virtual-switch devices: settings applied and returned, bad payloads
// and out-of-range values refused without changing anything, unknown commands answered ENOTTY.
#include <gtest/gtest.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "tests/support/LogCapture.h"
#include "tools/ozy-dpemu/FcVswitchDevices.h"

namespace ozy::dpemu {
namespace {

using namespace ozy::device;

IoctlResult Call(DeviceHandler& dev, uint32_t command, const std::vector<uint8_t>& payload) {
    return dev.Ioctl(command, payload.data(), payload.size());
}

TEST(FcVswitchDevicesTest, FlowCacheAppliesSettingsWithinTheirRanges) {
    CfgAgent::test::LogCapture cap;
    FlowCacheDevice fc;
    // Defaults of the driver.
    IoctlResult r = Call(fc, kFcGetConfig, {});
    ASSERT_EQ(r.status, 0u);
    std::optional<FcConfig> c = DecodeFcConfig(r.payload.data(), r.payload.size());
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->enabled);
    EXPECT_FALSE(c->mcastEnabled);
    EXPECT_EQ(c->flowExprTime, 180u);
    EXPECT_EQ(c->flowAgingInterval, 360u);

    EXPECT_EQ(Call(fc, kFcSetEnabled, IoctlFlag(false)).status, 0u);
    EXPECT_EQ(Call(fc, kFcSetMcastEnabled, IoctlFlag(true)).status, 0u);
    // The bounds themselves are accepted.
    EXPECT_EQ(Call(fc, kFcSetFlowExprTime, IoctlU32(5)).status, 0u);
    EXPECT_EQ(Call(fc, kFcSetFlowExprTime, IoctlU32(360)).status, 0u);
    EXPECT_EQ(Call(fc, kFcSetFlowAgingInterval, IoctlU32(86400)).status, 0u);
    EXPECT_EQ(Call(fc, kFcSetFlowAgingInterval, IoctlU32(5)).status, 0u);
    EXPECT_FALSE(fc.Config().enabled);
    EXPECT_TRUE(fc.Config().mcastEnabled);
    EXPECT_EQ(fc.Config().flowExprTime, 360u);
    EXPECT_EQ(fc.Config().flowAgingInterval, 5u);

    // Refused: out of range, wrong sizes, flags other than 0/1, payload on a get, unknown command.
    EXPECT_EQ(Call(fc, kFcSetFlowExprTime, IoctlU32(4)).status, uint32_t(EINVAL));
    EXPECT_EQ(Call(fc, kFcSetFlowExprTime, IoctlU32(361)).status, uint32_t(EINVAL));
    EXPECT_EQ(Call(fc, kFcSetFlowAgingInterval, IoctlU32(4)).status, uint32_t(EINVAL));
    EXPECT_EQ(Call(fc, kFcSetFlowAgingInterval, IoctlU32(86401)).status, uint32_t(EINVAL));
    EXPECT_EQ(Call(fc, kFcSetFlowAgingInterval, {0, 0, 1}).status, uint32_t(EINVAL));
    EXPECT_EQ(Call(fc, kFcSetEnabled, {2}).status, uint32_t(EINVAL));
    EXPECT_EQ(Call(fc, kFcSetEnabled, {}).status, uint32_t(EINVAL));
    EXPECT_EQ(Call(fc, kFcGetConfig, {1}).status, uint32_t(EINVAL));
    EXPECT_EQ(Call(fc, 0x12345678, {}).status, uint32_t(ENOTTY));
    EXPECT_EQ(fc.Config().flowExprTime, 360u);
    EXPECT_EQ(fc.Config().flowAgingInterval, 5u);
    EXPECT_FALSE(fc.Config().enabled);

    nlohmann::json d = fc.Dump();
    EXPECT_EQ(d["device"], "fc");
    EXPECT_EQ(d["enabled"], false);
    EXPECT_EQ(d["flow_aging_interval"], 5);
    EXPECT_EQ(d["applied"], 6);
    EXPECT_EQ(d["ioctls"], 16);
    ASSERT_EQ(d["rejected"].size(), 9u);
    EXPECT_EQ(d["rejected"][0], "flow_expr_time 4 out of range 5-360");
    EXPECT_EQ(d["rejected"][4], "flow_aging_interval: payload of 3 bytes, expected 4");
    EXPECT_EQ(d["rejected"][8], "unknown command 0x12345678");
}

TEST(FcVswitchDevicesTest, VswitchHoldsNetqueueHandling) {
    CfgAgent::test::LogCapture cap;
    VswitchDevice vs;
    IoctlResult r = Call(vs, kVswitchGetNetqHandling, {});
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.payload, std::vector<uint8_t>{0});
    EXPECT_EQ(Call(vs, kVswitchSetNetqHandling, IoctlFlag(true)).status, 0u);
    EXPECT_EQ(Call(vs, kVswitchGetNetqHandling, {}).payload, std::vector<uint8_t>{1});
    EXPECT_EQ(Call(vs, kVswitchSetNetqHandling, {1, 0}).status, uint32_t(EINVAL));
    EXPECT_EQ(Call(vs, kVswitchSetNetqHandling, {9}).status, uint32_t(EINVAL));
    EXPECT_EQ(Call(vs, kFcSetEnabled, IoctlFlag(false)).status, uint32_t(ENOTTY));
    EXPECT_TRUE(vs.NetqHandling());
    nlohmann::json d = vs.Dump();
    EXPECT_EQ(d["netq_handling"], true);
    EXPECT_EQ(d["rejected"].size(), 3u);
    // The kept rejections are bounded.
    for (int i = 0; i < 40; ++i)
        Call(vs, 1, {});
    EXPECT_EQ(vs.Dump()["rejected"].size(), VswitchDevice::kKeptRejections);
}

// kVswitchGetKrnnicAddr with request and reply bytes written from the contract: a 16-byte
// NUL-padded name in; address and mask, 4 + 4 bytes big-endian, out.
TEST(FcVswitchDevicesTest, VswitchAnswersKernelNicAddresses) {
    VswitchDevice vs;
    const std::vector<uint8_t> name = {'c', 'o', 'n', 'd', 'u', 'i', 't', 'K',
                                       'r', 'n', 'n', 'i', 'c', '0', 0,   0};
    EXPECT_EQ(Call(vs, kVswitchGetKrnnicAddr, name).status, uint32_t(ENOENT));
    std::string why;
    ASSERT_TRUE(vs.AddKrnnic("conduitKrnnic0", {{0xa9fe0101, 0xffffff00}, "dvs-1"}, &why));
    IoctlResult r = Call(vs, kVswitchGetKrnnicAddr, name);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.payload, (std::vector<uint8_t>{0xa9, 0xfe, 0x01, 0x01, 0xff, 0xff, 0xff, 0x00}));
    nlohmann::json d = vs.Dump();
    EXPECT_EQ(d["krnnics"]["conduitKrnnic0"]["ip"], "169.254.1.1");
    EXPECT_EQ(d["krnnics"]["conduitKrnnic0"]["mask"], "255.255.255.0");
    EXPECT_EQ(d["krnnics"]["conduitKrnnic0"]["switch_id"], "dvs-1");
    EXPECT_EQ(d["krnnic_queries"], 2);
    EXPECT_EQ(d["krnnic_unknown"], 1);

    // Malformed requests: 15 bytes, no NUL within 16, bytes after the NUL, an empty name.
    std::vector<uint8_t> shortName(name.begin(), name.end() - 1);
    std::vector<uint8_t> unterminated(16, 'x');
    std::vector<uint8_t> trailing = name;
    trailing[15] = 'z';
    std::vector<uint8_t> empty(16, 0);
    for (const auto& bad : {shortName, unterminated, trailing, empty})
        EXPECT_EQ(Call(vs, kVswitchGetKrnnicAddr, bad).status, uint32_t(EINVAL));
    EXPECT_EQ(vs.Dump()["rejected"].size(), 4u);
    EXPECT_FALSE(vs.AddKrnnic(std::string(16, 'k'), {{1, 2}, "dvs-1"}, &why));
    EXPECT_FALSE(vs.AddKrnnic("", {{1, 2}, "dvs-1"}, &why));
    EXPECT_TRUE(vs.RemoveKrnnic("conduitKrnnic0"));
    EXPECT_EQ(Call(vs, kVswitchGetKrnnicAddr, name).status, uint32_t(ENOENT));
}

}  // namespace
}  // namespace ozy::dpemu

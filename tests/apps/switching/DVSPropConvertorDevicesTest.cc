// Start: the flow-cache and netqueue settings of the application subtree reach "/dev/fc" and
// "/dev/vswitch" through their ioctls, within their ranges.
#include <boost/property_tree/ptree.hpp>

#include "platform/device/DeviceFrame.h"
#include "platform/device/FcVswitchIoctls.h"
#include "tests/apps/switching/DVSPropConvertorTestSupport.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

using namespace ozy::device;

class DvsDevicesTest : public ::testing::Test {
  protected:
    std::vector<uint32_t> Commands(const std::string& device) const {
        std::vector<uint32_t> out;
        for (const auto& c : h.devices.calls) {
            if (c.device == device)
                out.push_back(c.command);
        }
        return out;
    }
    std::vector<uint8_t> Payload(uint32_t command) const {
        for (const auto& c : h.devices.calls) {
            if (c.command == command)
                return c.payload;
        }
        return {};
    }
    LogCapture cap{kLogDebug};
    DvsHarness h;
    boost::property_tree::ptree config;
};

TEST_F(DvsDevicesTest, DefaultsAreApplied) {
    config.put("krnlink.path", "ozy_kcp_krnlink");
    h.conv->Init(config);
    EXPECT_TRUE(cap.Contains("DVSPropConvertor start"));
    EXPECT_TRUE(
        cap.Contains("DVSPropConvertor start: FC enabled true, mcastEnabled false, "
                     "flowExprTime 180, flowAgingInterval 360"));
    EXPECT_TRUE(
        cap.Contains("DVSPropConvertor start: DBridge vswitch netqueue handling enabled false"));
    EXPECT_EQ(Commands(kFlowCacheDevice),
              (std::vector<uint32_t>{kFcSetEnabled, kFcSetMcastEnabled, kFcSetFlowExprTime,
                                     kFcSetFlowAgingInterval}));
    EXPECT_EQ(Payload(kFcSetEnabled), IoctlFlag(true));
    EXPECT_EQ(Payload(kFcSetFlowExprTime), IoctlU32(180));
    EXPECT_EQ(Payload(kFcSetFlowAgingInterval), IoctlU32(360));
    EXPECT_EQ(Commands(kVswitchDevice), std::vector<uint32_t>{kVswitchSetNetqHandling});
    EXPECT_EQ(Payload(kVswitchSetNetqHandling), IoctlFlag(false));
}

TEST_F(DvsDevicesTest, ConfiguredValuesAndTheirRanges) {
    config.put("features.flowCache.enabled", "false");
    config.put("features.flowCache.mcastEnabled", "true");
    config.put("features.flowCache.flowExprTime", "5");
    config.put("features.flowCache.flowAgingInterval", "4");
    config.put("features.dbridge.vswitchNetqHandling", "1");
    h.conv->Init(config);
    EXPECT_TRUE(cap.Contains(
        "Failed to set FC flow aging interval[4]. Specify value between 5-86400 seconds"));
    EXPECT_EQ(Commands(kFlowCacheDevice),
              (std::vector<uint32_t>{kFcSetEnabled, kFcSetMcastEnabled, kFcSetFlowExprTime}));
    EXPECT_EQ(Payload(kFcSetEnabled), IoctlFlag(false));
    EXPECT_EQ(Payload(kFcSetMcastEnabled), IoctlFlag(true));
    EXPECT_EQ(Payload(kFcSetFlowExprTime), IoctlU32(5));
    EXPECT_EQ(Payload(kVswitchSetNetqHandling), IoctlFlag(true));

    h.devices.calls.clear();
    cap.Clear();
    config.put("features.flowCache.flowExprTime", "361");
    config.put("features.flowCache.flowAgingInterval", "86400");
    config.put("features.flowCache.enabled", "maybe");
    h.conv->Init(config);
    EXPECT_TRUE(
        cap.Contains("Failed to set FC flow expr time[361]. Specify value between 5-360 seconds"));
    EXPECT_TRUE(cap.ContainsWithCode(
        "Invalid value \"maybe\" of features.flowCache.enabled, using true", "LCP00001"));
    EXPECT_EQ(Payload(kFcSetFlowAgingInterval), IoctlU32(86400));
    EXPECT_EQ(Payload(kFcSetEnabled), IoctlFlag(true));
    EXPECT_TRUE(Payload(kFcSetFlowExprTime).empty());

    // Not a number at all: the default.
    h.devices.calls.clear();
    config.put("features.flowCache.flowExprTime", "-3");
    h.conv->Init(config);
    EXPECT_EQ(Payload(kFcSetFlowExprTime), IoctlU32(180));
}

TEST_F(DvsDevicesTest, DeviceFailuresAreLogged) {
    // The driver refuses a value: the range message; another status: the error.
    h.devices.status[kFcSetFlowExprTime] = EINVAL;
    h.devices.status[kFcSetEnabled] = EIO;
    h.devices.closeError = EBADF;
    h.conv->Init(config);
    EXPECT_TRUE(
        cap.Contains("Failed to set FC flow expr time[180]. Specify value between 5-360 seconds"));
    EXPECT_TRUE(cap.Contains("Failed to set FC enabled[true] on chardev /dev/fc, error: "));
    EXPECT_TRUE(cap.Contains("Failed to close FC chardev /dev/fc"));
    EXPECT_TRUE(cap.Contains("Failed to close vswitch chardev /dev/vswitch"));

    cap.Clear();
    h.devices.missing = {kFlowCacheDevice, kVswitchDevice};
    h.conv->Init(config);
    EXPECT_TRUE(cap.Contains("Failed to open FC chardev /dev/fc"));
    EXPECT_TRUE(cap.Contains("Failed to open vswitch chardev /dev/vswitch"));
}

}  // namespace
}  // namespace CfgAgent::test

// DVSPropConvertor: the flow-cache settings on "/dev/fc" and the netqueue handling of the virtual
// switch on "/dev/vswitch", applied once at start from the application's configuration subtree:
//
//   features.flowCache.enabled            bool, default true
//   features.flowCache.mcastEnabled       bool, default false
//   features.flowCache.flowExprTime       seconds, 5-360, default 180
//   features.flowCache.flowAgingInterval  seconds, 5-86400, default 360
//   features.dbridge.vswitchNetqHandling  bool, default false
//
// A value out of range is refused with its range and not set (the device keeps its own); a value
// that is not a number or a boolean is logged and the default used.
#include <cerrno>
#include <cstring>

#include <boost/property_tree/ptree.hpp>

#include "apps/switching/DVSPropConvertor.h"
#include "platform/device/DeviceClient.h"
#include "platform/device/DeviceFrame.h"
#include "platform/device/FcVswitchIoctls.h"
#include "runtime/Logger.h"

namespace CfgAgent {

using namespace ozy::device;

namespace {

bool ReadBool(const boost::property_tree::ptree& config, const char* key, bool fallback) {
    auto text = config.get_optional<std::string>(key);
    if (!text)
        return fallback;
    if (*text == "true" || *text == "1")
        return true;
    if (*text == "false" || *text == "0")
        return false;
    CFG_ERROR_CODE("LCP00001", "Invalid value \"%1\" of %2, using %3", *text, key, fallback);
    return fallback;
}

// A number of seconds; an out-of-range number is returned as it is (the caller refuses it).
uint64_t ReadSeconds(const boost::property_tree::ptree& config, const char* key,
                     uint32_t fallback) {
    auto text = config.get_optional<std::string>(key);
    if (!text)
        return fallback;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || errno != 0 || (*text)[0] == '-') {
        CFG_ERROR_CODE("LCP00001", "Invalid value \"%1\" of %2, using %3", *text, key, fallback);
        return fallback;
    }
    return v;
}

std::string ErrorText(int rc, uint32_t status) {
    return std::strerror(rc != 0 ? rc : static_cast<int>(status));
}

// One set command: true when the device accepted it.
bool Set(IDevice& dev, uint32_t command, const std::vector<uint8_t>& payload, int* rc,
         uint32_t* status) {
    *status = 0;
    *rc = dev.Ioctl(command, payload.data(), payload.size(), status, nullptr);
    return *rc == 0 && *status == 0;
}

}  // namespace

void DVSPropConvertor::ApplyFlowCacheSettings(const boost::property_tree::ptree& config) {
    bool enabled = ReadBool(config, "features.flowCache.enabled", true);
    bool mcast = ReadBool(config, "features.flowCache.mcastEnabled", false);
    uint64_t exprTime =
        ReadSeconds(config, "features.flowCache.flowExprTime", kFcFlowExprTimeDefault);
    uint64_t aging =
        ReadSeconds(config, "features.flowCache.flowAgingInterval", kFcFlowAgingDefault);
    CFG_INFO(
        "DVSPropConvertor start: FC enabled %1, mcastEnabled %2, flowExprTime %3, "
        "flowAgingInterval %4",
        enabled, mcast, exprTime, aging);

    IDeviceOpener& opener = options_.devices != nullptr ? *options_.devices : SystemDeviceOpener();
    int err = 0;
    std::unique_ptr<IDevice> dev = opener.Open(kFlowCacheDevice, &err);
    if (!dev) {
        CFG_ERROR("Failed to open FC chardev %1", kFlowCacheDevice);
        return;
    }
    int rc = 0;
    uint32_t status = 0;
    if (!Set(*dev, kFcSetEnabled, IoctlFlag(enabled), &rc, &status)) {
        CFG_ERROR("Failed to set FC enabled[%1] on chardev %2, error: %3", enabled,
                  kFlowCacheDevice, ErrorText(rc, status));
    }
    if (!Set(*dev, kFcSetMcastEnabled, IoctlFlag(mcast), &rc, &status)) {
        CFG_ERROR("Failed to set FC mcastEnabled[%1] on chardev %2, error: %3", mcast,
                  kFlowCacheDevice, ErrorText(rc, status));
    }
    // The range message also answers a driver that refuses the value (EINVAL).
    auto seconds = [&](uint32_t command, uint64_t value, uint32_t min, uint32_t max,
                       const char* rangeText, const char* failText) {
        if (value >= min && value <= max &&
            Set(*dev, command, IoctlU32(static_cast<uint32_t>(value)), &rc, &status)) {
            return;
        }
        if (value < min || value > max || (rc == 0 && status == EINVAL)) {
            CFG_ERROR(rangeText, value, min, max);
        } else {
            CFG_ERROR(failText, value, kFlowCacheDevice, ErrorText(rc, status));
        }
    };
    seconds(kFcSetFlowExprTime, exprTime, kFcFlowExprTimeMin, kFcFlowExprTimeMax,
            "Failed to set FC flow expr time[%1]. Specify value between %2-%3 seconds",
            "Failed to set FC flow expr time[%1] on chardev %2, error: %3");
    seconds(kFcSetFlowAgingInterval, aging, kFcFlowAgingMin, kFcFlowAgingMax,
            "Failed to set FC flow aging interval[%1]. Specify value between %2-%3 seconds",
            "Failed to set FC flow aging interval[%1] on chardev %2, error: %3");
    if (dev->Close() != 0) {
        CFG_ERROR("Failed to close FC chardev %1", kFlowCacheDevice);
    }
}

void DVSPropConvertor::ApplyVswitchSettings(const boost::property_tree::ptree& config) {
    bool netq = ReadBool(config, "features.dbridge.vswitchNetqHandling", false);
    CFG_INFO("DVSPropConvertor start: DBridge vswitch netqueue handling enabled %1", netq);
    IDeviceOpener& opener = options_.devices != nullptr ? *options_.devices : SystemDeviceOpener();
    int err = 0;
    std::unique_ptr<IDevice> dev = opener.Open(kVswitchDevice, &err);
    if (!dev) {
        CFG_ERROR("Failed to open vswitch chardev %1", kVswitchDevice);
        return;
    }
    int rc = 0;
    uint32_t status = 0;
    if (!Set(*dev, kVswitchSetNetqHandling, IoctlFlag(netq), &rc, &status)) {
        CFG_ERROR("Failed to set vswitch netqueue handling[%1] on chardev %2, error: %3", netq,
                  kVswitchDevice, ErrorText(rc, status));
    }
    if (dev->Close() != 0) {
        CFG_ERROR("Failed to close vswitch chardev %1", kVswitchDevice);
    }
}

}  // namespace CfgAgent

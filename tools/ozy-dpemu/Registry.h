#pragma once
// The families and devices ozy-dpemu serves. Plugging in a family or device is one row in the
// tables of Registry.cc: a name (used by the control commands and in option names), the default
// endpoint or device path, and a factory.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

struct FamilyInfo {
    std::string name;             // "kcp"; the option "--kcp-endpoint NAME" overrides the endpoint
    std::string defaultEndpoint;  // "ozy_kcp_krnlink"
    std::string description;
    std::function<std::unique_ptr<FamilyHandler>()> create;
};

struct DeviceInfo {
    std::string name;  // "fc"; "dpemu/dump fc" dumps it
    std::string path;  // logical device path, "/dev/fc"
    std::string description;
    std::function<std::unique_ptr<DeviceHandler>()> create;
};

const std::vector<FamilyInfo>& BuiltinFamilies();
const std::vector<DeviceInfo>& BuiltinDevices();

}  // namespace ozy::dpemu

#pragma once
// Seams of the firewall library for its tests and benchmark (not for the agent).
#include <cstddef>
#include <cstdint>

#include "platform/device/DeviceClient.h"

struct FW_Handle;

namespace TarpFirewall::detail {

// Devices are opened through `opener` (nullptr: the real sockets) by handles made from now on.
void SetDeviceOpenerForTest(ozy::device::IDeviceOpener* opener);
uint64_t HandleEpoch(FW_Handle* handle);
size_t HandleAckedSegments(FW_Handle* handle);
// Filters whose rule-set and address-set names the handle keeps.
size_t HandleRecords(FW_Handle* handle);
// The number of acknowledged segments the handle remembers at most.
void SetAckedLimitForTest(FW_Handle* handle, size_t limit);

}  // namespace TarpFirewall::detail

#pragma once
// Where the agent learns a kernel NIC's IPv4 address and netmask. On this platform it asks the
// virtual switch: kVswitchGetKrnnicAddr on "/dev/vswitch" (FcVswitchIoctls.h). Tests replace the
// device opener. Any thread; each query opens, asks and closes.
#include <cerrno>
#include <string>

#include "platform/device/FcVswitchIoctls.h"

namespace ozy::device {

class IDeviceOpener;

class IKrnnicAddressQuery {
  public:
    virtual ~IKrnnicAddressQuery() = default;
    // 0 and `*out` set, or an errno value: the driver's status (ENOENT: the switch does not know
    // the name), EINVAL for a name the request cannot carry, EPROTO for a reply of the wrong size,
    // or the device's own failure (open, exchange).
    virtual int GetKrnnicAddr(const std::string& name, KrnnicAddr* out) = 0;
};

class VswitchKrnnicAddressQuery : public IKrnnicAddressQuery {
  public:
    // `opener` null: the device sockets under the host root.
    explicit VswitchKrnnicAddressQuery(IDeviceOpener* opener = nullptr) : opener_(opener) {}
    int GetKrnnicAddr(const std::string& name, KrnnicAddr* out) override;

  private:
    IDeviceOpener* opener_;
};

}  // namespace ozy::device

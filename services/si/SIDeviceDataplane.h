#pragma once
// The real ISIDataplane: SI_Ioctl through the firewall library, and device handles of its own on
// the spf and ovl2 devices, opened on first use and opened again after a failed exchange (a failed
// open logs "Failed to open device %s: %s (%d) ").
#include <memory>
#include <string>

#include "platform/device/DeviceClient.h"
#include "services/si/ISIDataplane.h"

namespace CfgAgent::si {

class SIDeviceDataplane : public ISIDataplane {
  public:
    // `opener` defaults to the system's device sockets.
    explicit SIDeviceDataplane(ozy::device::IDeviceOpener* opener = nullptr);
    ~SIDeviceDataplane() override;

    int SiIoctl(uint32_t command, uint32_t count, uint32_t entrySize,
                const std::vector<uint8_t>& entries) override;
    int SiStatus(uint32_t* status) override;
    int SpfStatus(uint32_t* status) override;
    int Ovl2(uint32_t command, uint32_t count, const std::vector<uint8_t>& entries) override;

  private:
    // One exchange on the device at `path` (opened when needed): 0 with the reply, or an error.
    int Exchange(std::unique_ptr<ozy::device::IDevice>& handle, const char* path, uint32_t command,
                 const std::vector<uint8_t>& in, std::vector<uint8_t>* out);

    ozy::device::IDeviceOpener* opener_;
    std::unique_ptr<ozy::device::IDevice> spf_;
    std::unique_ptr<ozy::device::IDevice> ovl2_;
};

}  // namespace CfgAgent::si

#pragma once
// What SIApp and SIAlarmReporter need of the dataplane: SI_Ioctl on the firewall device, the
// overlay MAC table and the service-platform status (layouts in platform/device/SiIoctls.h).
// SIDeviceDataplane is the real one; unit tests record calls in a fake. Every call returns 0 or
// the device's (or the transport's) error; one caller at a time.
#include <cstdint>
#include <vector>

namespace CfgAgent::si {

class ISIDataplane {
  public:
    virtual ~ISIDataplane() = default;
    // One SI_Ioctl of `count` entries of `entrySize` bytes (entries.size() == count * entrySize).
    virtual int SiIoctl(uint32_t command, uint32_t count, uint32_t entrySize,
                        const std::vector<uint8_t>& entries) = 0;
    // The service-insertion status word (kSiGetStatus).
    virtual int SiStatus(uint32_t* status) = 0;
    // The service-platform status word (kSpfGetStatus on the spf device).
    virtual int SpfStatus(uint32_t* status) = 0;
    // kOvl2AddMac or kOvl2DelMac with `count` entries of kOvl2EntrySize bytes.
    virtual int Ovl2(uint32_t command, uint32_t count, const std::vector<uint8_t>& entries) = 0;
};

}  // namespace CfgAgent::si

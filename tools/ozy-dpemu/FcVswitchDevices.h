#pragma once
// The host side of the flow-cache device "/dev/fc" and the virtual-switch device "/dev/vswitch"
// (platform/device/FcVswitchIoctls.h): each holds its settings, applies the set commands the
// contract defines, answers the get commands, and shows the settings in "dpemu/dump fc" and
// "dpemu/dump vswitch". Bad payloads (wrong size, flag not 0/1, value out of range) get EINVAL
// and change nothing; unknown commands get ENOTTY. Both count what they did and keep the last
// rejections for the dump.
//
// The virtual switch also keeps the kernel NICs' addresses (dpemu/krnnic-add and krnnic-del, run
// through the KCP family, which serves this device and connects the NIC's VIF) and answers
// kVswitchGetKrnnicAddr from them: ENOENT for a name it does not hold, EINVAL for a payload that is
// not a NUL-padded 16-byte name.
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "platform/device/FcVswitchIoctls.h"
#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

class FlowCacheDevice : public DeviceHandler {
  public:
    static constexpr size_t kKeptRejections = 16;
    IoctlResult Ioctl(uint32_t command, const uint8_t* payload, size_t size) override;
    nlohmann::json Dump() const override;
    const device::FcConfig& Config() const { return config_; }

  private:
    IoctlResult Reject(uint32_t status, const std::string& why);

    device::FcConfig config_;
    uint64_t ioctls_ = 0;
    uint64_t applied_ = 0;
    std::deque<std::string> rejections_;
};

class VswitchDevice : public DeviceHandler {
  public:
    static constexpr size_t kKeptRejections = 16;
    IoctlResult Ioctl(uint32_t command, const uint8_t* payload, size_t size) override;
    nlohmann::json Dump() const override;
    bool NetqHandling() const { return netqHandling_; }

    struct Krnnic {
        device::KrnnicAddr addr;
        std::string switchId;
    };
    // Adds or replaces a kernel NIC; false (and why) for a name the ioctl cannot carry.
    bool AddKrnnic(const std::string& name, const Krnnic& nic, std::string* why);
    bool RemoveKrnnic(const std::string& name) { return krnnics_.erase(name) != 0; }
    const std::map<std::string, Krnnic>& Krnnics() const { return krnnics_; }

  private:
    IoctlResult Reject(uint32_t status, const std::string& why);

    bool netqHandling_ = false;
    std::map<std::string, Krnnic> krnnics_;
    uint64_t krnnicQueries_ = 0;
    uint64_t krnnicUnknown_ = 0;
    uint64_t ioctls_ = 0;
    uint64_t applied_ = 0;
    std::deque<std::string> rejections_;
};

}  // namespace ozy::dpemu

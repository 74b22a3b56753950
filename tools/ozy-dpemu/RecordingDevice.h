#pragma once
// The stand-in for a device without a handler of its own yet: records every ioctl (command,
// payload) and answers ENOTTY, as a driver does for a command it does not know.
#include <deque>
#include <string>

#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

class RecordingDevice : public DeviceHandler {
  public:
    static constexpr size_t kKept = 32;
    explicit RecordingDevice(std::string name) : name_(std::move(name)) {}
    IoctlResult Ioctl(uint32_t command, const uint8_t* payload, size_t size) override;
    nlohmann::json Dump() const override;

  private:
    std::string name_;
    uint64_t ioctls_ = 0;
    std::deque<std::pair<uint32_t, std::string>> last_;
};

}  // namespace ozy::dpemu

#pragma once
// Fault injection for an emulated device: "dpemu/device-fail DEVICE COUNT STATUS" makes the next
// COUNT ioctls of DEVICE fail with STATUS (an errno value or name) without reaching the device's
// handler, so its settings stay as they were; COUNT 0 clears a pending fault. Tests use it to
// drive the agent's handling of a driver that refuses (EBUSY, EIO, ...). Loop thread only.
#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace ozy::dpemu {

class DeviceFaults {
  public:
    // Replaces any pending fault.
    void Arm(uint64_t count, uint32_t status);
    // The status to fail the next ioctl with (and one fewer pending), or 0: the ioctl goes to the
    // handler.
    uint32_t Take();
    uint64_t pending() const { return pending_; }
    // {"pending", "status", "injected"}.
    nlohmann::json State() const;

  private:
    uint64_t pending_ = 0;
    uint32_t status_ = 0;
    uint64_t injected_ = 0;
};

// "EIO", "EBUSY", ... or a decimal errno value 1-4095; false for anything else.
bool ParseErrnoStatus(const std::string& text, uint32_t* status);
// "EIO" for 5; the decimal value for a status without a name here.
std::string ErrnoStatusName(uint32_t status);

}  // namespace ozy::dpemu

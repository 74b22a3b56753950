#pragma once
// The load-balancer tables of the emulated firewall device ("/dev/ozy-tarp", FW_Ioctl 43; layout in
// platform/device/LbConfigBuffer.h): LB services with their logical switch ports, virtual servers,
// and pools with their members and weights, each by uuid, shown by "dpemu/dump lb".
//
// A buffer is decoded whole before anything changes: any size mismatch, trailing byte or malformed
// entry is refused with EINVAL and nothing is applied (the reason kept as the last rejection). A
// full update drops everything held first. Deleting what is not held is counted and ignored; an
// object named twice in one buffer is applied in order and counted ("duplicate_entries").
// "dpemu/lb-fail STATUS [COUNT]" makes the next COUNT updates fail with STATUS, unread.
// Runs on the emulator's loop thread; no locks.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/device/LbConfigBuffer.h"
#include "tools/ozy-dpemu/DeviceFaults.h"
#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

class LbTables {
  public:
    // The buffer of one FW_Ioctl 43.
    IoctlResult Ioctl(const uint8_t* buf, size_t size);

    const std::map<std::string, device::LbServiceBody>& Services() const { return services_; }
    const std::map<std::string, device::LbVirtualServerBody>& Servers() const { return servers_; }
    const std::map<std::string, device::LbPoolBody>& Pools() const { return pools_; }
    uint64_t Updates() const { return updates_; }
    uint64_t FullUpdates() const { return fullUpdates_; }
    const std::string& LastRejection() const { return lastRejection_; }
    DeviceFaults& Faults() { return faults_; }
    nlohmann::json Dump() const;

  private:
    std::map<std::string, device::LbServiceBody> services_;
    std::map<std::string, device::LbVirtualServerBody> servers_;
    std::map<std::string, device::LbPoolBody> pools_;
    uint64_t updates_ = 0;
    uint64_t fullUpdates_ = 0;
    bool lastFull_ = false;
    uint64_t lastEntries_ = 0;
    uint64_t rejected_ = 0;
    uint64_t absentDeletes_ = 0;
    uint64_t duplicates_ = 0;
    std::string lastRejection_;
    DeviceFaults faults_;
};

}  // namespace ozy::dpemu

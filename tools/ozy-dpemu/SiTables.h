#pragma once
// The service-insertion tables of the emulated firewall device ("/dev/ozy-tarp", SI_Ioctl;
// layouts in platform/device/SiIoctls.h): chains by uuid (up to 7 path slots each), NSH entries
// (SPI, service index) -> MAC, the failed SPIs, and the status the device reports (set with
// "dpemu/si-status down|up").
//
// Every request is decoded whole before anything changes: a header that disagrees with its entries
// (count x size against the bytes, an entry size other than the command's, a trailing byte) or
// any malformed entry is refused with EINVAL and nothing is applied; an unknown command gets
// ENOTTY. Deleting an entry that is not held is counted ("absent_deletes") and otherwise ignored,
// so that an agent re-sending its deletes after a device restart is not refused.
// Runs on the emulator's loop thread; no locks.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/device/SiIoctls.h"
#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

class SiTables {
  public:
    static constexpr size_t kKeptErrors = 16;

    // The payload of one SI_Ioctl (u32 command, u32 count, u32 entry size, the entries).
    IoctlResult Ioctl(const uint8_t* payload, size_t size);

    void SetDown(bool down) { down_ = down; }
    bool Down() const { return down_; }

    const std::map<std::string, device::SiChainEntry>& Chains() const { return chains_; }
    // (SPI << 8 | SI) -> MAC.
    const std::map<uint32_t, device::Mac>& Nsh() const { return nsh_; }
    const std::set<uint32_t>& FailedSpis() const { return failed_; }
    nlohmann::json Dump() const;

  private:
    IoctlResult Refuse(uint32_t status, const std::string& why);

    std::map<std::string, device::SiChainEntry> chains_;
    std::map<uint32_t, device::Mac> nsh_;
    std::set<uint32_t> failed_;
    bool down_ = false;
    std::map<std::string, uint64_t> stats_;
    std::deque<std::string> errors_;
};

}  // namespace ozy::dpemu

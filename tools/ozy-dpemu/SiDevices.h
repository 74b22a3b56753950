#pragma once
// The service-insertion devices beside the firewall device (platform/device/SiIoctls.h):
//   spf   "/dstore/devices/char/krndriver/ozy-spf": answers kSpfGetStatus (8195) with the host
//         switch status, which "dpemu/spf-status ok|bad" sets;
//   ovl2  "/dstore/devices/char/krndriver/ozy_ovl2": the overlay MAC table, (host switch, segment,
//         inner MAC) entries added (an add of a held entry refreshes it) and deleted in batches.
// A request is decoded whole first: a wrong size, a count that disagrees with the bytes or a
// malformed entry gets EINVAL and nothing changes; an unknown command ENOTTY.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <tuple>

#include "platform/device/SiIoctls.h"
#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::dpemu {

class SpfDevice : public DeviceHandler {
  public:
    IoctlResult Ioctl(uint32_t command, const uint8_t* payload, size_t size) override;
    nlohmann::json Dump() const override;
    void RegisterCommands(CommandTable& table) override;

  private:
    bool bad_ = false;
    uint64_t queries_ = 0;
    uint64_t refused_ = 0;
};

class Ovl2Device : public DeviceHandler {
  public:
    static constexpr size_t kKeptErrors = 16;
    using Key = std::tuple<std::string, uint32_t, device::Mac>;

    IoctlResult Ioctl(uint32_t command, const uint8_t* payload, size_t size) override;
    nlohmann::json Dump() const override;
    // Entry -> times added (a refresh counts).
    const std::map<Key, uint64_t>& Table() const { return table_; }

  private:
    IoctlResult Refuse(uint32_t status, const std::string& why);

    std::map<Key, uint64_t> table_;
    std::map<std::string, uint64_t> stats_;
    std::deque<std::string> errors_;
};

}  // namespace ozy::dpemu

#include "tools/ozy-dpemu/RecordingDevice.h"

#include <algorithm>
#include <cerrno>

#include <nlohmann/json.hpp>

#include "runtime/Logger.h"
#include "tools/ozy-dpemu/RecordingFamily.h"

namespace ozy::dpemu {

IoctlResult RecordingDevice::Ioctl(uint32_t command, const uint8_t* payload, size_t size) {
    ++ioctls_;
    last_.emplace_back(command, HexText(payload, std::min<size_t>(size, 256)));
    if (last_.size() > kKept)
        last_.pop_front();
    CFG_INFO("ozy-dpemu: %1: ioctl %2 with %3 bytes (not implemented)", name_, command, size);
    return IoctlResult{ENOTTY, {}};
}

nlohmann::json RecordingDevice::Dump() const {
    nlohmann::json last = nlohmann::json::array();
    for (const auto& [cmd, hex] : last_)
        last.push_back({{"command", cmd}, {"payload", hex}});
    return {{"device", name_}, {"ioctls", ioctls_}, {"last", last}};
}

}  // namespace ozy::dpemu

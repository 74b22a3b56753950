#include "services/si/SIDeviceDataplane.h"

#include <cerrno>
#include <cstring>

#include "platform/device/DeviceFrame.h"
#include "platform/device/SiIoctls.h"
#include "platform/tarp/TarpFw.h"
#include "runtime/Logger.h"

namespace CfgAgent::si {

using namespace ozy::device;

SIDeviceDataplane::SIDeviceDataplane(IDeviceOpener* opener)
    : opener_(opener != nullptr ? opener : &SystemDeviceOpener()) {}

SIDeviceDataplane::~SIDeviceDataplane() = default;

int SIDeviceDataplane::SiIoctl(uint32_t command, uint32_t count, uint32_t entrySize,
                               const std::vector<uint8_t>& entries) {
    if (uint64_t(count) * entrySize != entries.size())
        return EINVAL;
    SI_IoctlReq req;
    req.count = count;
    req.entrySize = entrySize;
    req.entries = entries.data();
    return ::SI_Ioctl(command, &req);
}

int SIDeviceDataplane::SiStatus(uint32_t* status) {
    uint8_t reply[kSiStatusSize] = {};
    SI_IoctlReq req;
    req.reply = reply;
    req.replySize = sizeof reply;
    int rc = ::SI_Ioctl(kSiGetStatus, &req);
    if (rc != 0)
        return rc;
    auto v = DecodeStatusWord(reply, req.replyUsed);
    if (!v)
        return EIO;
    *status = *v;
    return 0;
}

int SIDeviceDataplane::Exchange(std::unique_ptr<IDevice>& handle, const char* path,
                                uint32_t command, const std::vector<uint8_t>& in,
                                std::vector<uint8_t>* out) {
    if (!handle) {
        int err = 0;
        handle = opener_->Open(path, &err);
        if (!handle) {
            CFG_ERROR("Failed to open device %1: %2 (%3) ", path, std::strerror(err), err);
            return err != 0 ? err : EIO;
        }
    }
    uint32_t status = 0;
    int rc = handle->Ioctl(command, in.data(), in.size(), &status, out);
    if (rc != 0) {
        handle.reset();  // the handle closed itself; open a new one next time
        return rc;
    }
    return static_cast<int>(status);
}

int SIDeviceDataplane::SpfStatus(uint32_t* status) {
    std::vector<uint8_t> reply;
    int rc = Exchange(spf_, kSpfDevice, kSpfGetStatus, {}, &reply);
    if (rc != 0)
        return rc;
    auto v = DecodeStatusWord(reply.data(), reply.size());
    if (!v)
        return EIO;
    *status = *v;
    return 0;
}

int SIDeviceDataplane::Ovl2(uint32_t command, uint32_t count, const std::vector<uint8_t>& entries) {
    if (uint64_t(count) * kOvl2EntrySize != entries.size())
        return EINVAL;
    std::vector<uint8_t> payload(4 + entries.size());
    payload[0] = static_cast<uint8_t>(count >> 24);
    payload[1] = static_cast<uint8_t>(count >> 16);
    payload[2] = static_cast<uint8_t>(count >> 8);
    payload[3] = static_cast<uint8_t>(count);
    if (!entries.empty())
        std::memcpy(payload.data() + 4, entries.data(), entries.size());
    return Exchange(ovl2_, kOvl2Device, command, payload, nullptr);
}

}  // namespace CfgAgent::si

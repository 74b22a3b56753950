#include "platform/device/KrnnicAddressQuery.h"

#include <memory>
#include <vector>

#include "platform/device/DeviceClient.h"
#include "platform/device/DeviceFrame.h"

namespace ozy::device {

int VswitchKrnnicAddressQuery::GetKrnnicAddr(const std::string& name, KrnnicAddr* out) {
    std::optional<std::vector<uint8_t>> request = EncodeKrnnicName(name);
    if (!request)
        return EINVAL;
    IDeviceOpener& opener = opener_ != nullptr ? *opener_ : SystemDeviceOpener();
    int err = 0;
    std::unique_ptr<IDevice> dev = opener.Open(kVswitchDevice, &err);
    if (!dev)
        return err != 0 ? err : EIO;
    uint32_t status = 0;
    std::vector<uint8_t> reply;
    int rc = dev->Ioctl(kVswitchGetKrnnicAddr, request->data(), request->size(), &status, &reply);
    dev->Close();
    if (rc != 0)
        return rc;
    if (status != 0)
        return static_cast<int>(status);
    std::optional<KrnnicAddr> addr = DecodeKrnnicAddr(reply.data(), reply.size());
    if (!addr)
        return EPROTO;
    *out = *addr;
    return 0;
}

}  // namespace ozy::device

#include "tools/ozy-dpemu/DeviceFaults.h"

#include <cerrno>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace ozy::dpemu {

namespace {

struct ErrnoName {
    const char* name;
    uint32_t value;
};

// The statuses a driver answers an ioctl with.
const ErrnoName kErrnoNames[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT},   {"EINTR", EINTR},         {"EIO", EIO},
    {"ENXIO", ENXIO},   {"EAGAIN", EAGAIN},   {"ENOMEM", ENOMEM},       {"EACCES", EACCES},
    {"EFAULT", EFAULT}, {"EBUSY", EBUSY},     {"EEXIST", EEXIST},       {"ENODEV", ENODEV},
    {"EINVAL", EINVAL}, {"ENOSPC", ENOSPC},   {"ENOTTY", ENOTTY},       {"ERANGE", ERANGE},
    {"ENOSYS", ENOSYS}, {"ENOTSUP", ENOTSUP}, {"ETIMEDOUT", ETIMEDOUT},
};

constexpr uint32_t kMaxErrno = 4095;

}  // namespace

void DeviceFaults::Arm(uint64_t count, uint32_t status) {
    pending_ = count;
    status_ = count == 0 ? 0 : status;
}

uint32_t DeviceFaults::Take() {
    if (pending_ == 0)
        return 0;
    --pending_;
    ++injected_;
    return status_;
}

nlohmann::json DeviceFaults::State() const {
    return {{"pending", pending_}, {"status", status_}, {"injected", injected_}};
}

bool ParseErrnoStatus(const std::string& text, uint32_t* status) {
    for (const ErrnoName& e : kErrnoNames) {
        if (text == e.name) {
            *status = e.value;
            return true;
        }
    }
    if (text.empty() || text.size() > 4 || text[0] == '0')
        return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v > kMaxErrno)
        return false;
    *status = v;
    return true;
}

std::string ErrnoStatusName(uint32_t status) {
    for (const ErrnoName& e : kErrnoNames) {
        if (e.value == status)
            return e.name;
    }
    return std::to_string(status);
}

}  // namespace ozy::dpemu

#include "platform/tarp/TarpDevicePool.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/tarp/TarpLog.h"
#include "platform/tarp/TarpWire.h"

namespace TarpFirewall::detail {

TarpDevicePool::TarpDevicePool(std::string path, ozy::device::IDeviceOpener& opener,
                               int maxConnections, std::function<void(uint64_t)> onInstance)
    : path_(std::move(path)),
      opener_(opener),
      max_(maxConnections),
      onInstance_(std::move(onInstance)) {}

TarpDevicePool::~TarpDevicePool() {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.clear();
}

std::unique_ptr<ozy::device::IDevice> TarpDevicePool::Open(int* err) {
    std::unique_ptr<ozy::device::IDevice> dev = opener_.Open(path_, err);
    if (!dev) {
        Log(3, "cannot open " + path_ + ": " + std::strerror(*err));
        return nullptr;
    }
    uint32_t status = 0;
    std::vector<uint8_t> reply;
    int rc = dev->Ioctl(ozy::tarp::kCmdHello, nullptr, 0, &status, &reply);
    if (rc == 0 && (status != 0 || reply.size() != ozy::tarp::kHelloReplySize))
        rc = EPROTO;
    if (rc != 0) {
        Log(3, "device " + path_ + " did not greet: " + std::strerror(rc));
        *err = rc;
        return nullptr;
    }
    uint64_t instance = 0;
    for (int i = 4; i < 12; ++i)
        instance = (instance << 8) | reply[i];
    onInstance_(instance);
    Verbose(kCompDevice, 1, "connected to " + path_);
    return dev;
}

std::unique_ptr<ozy::device::IDevice> TarpDevicePool::Take(int* err) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        freed_.wait(lock, [this] { return !idle_.empty() || open_ < max_; });
        if (!idle_.empty()) {
            auto dev = std::move(idle_.back());
            idle_.pop_back();
            return dev;
        }
        ++open_;
    }
    auto dev = Open(err);
    if (!dev)
        Forget();
    return dev;
}

void TarpDevicePool::Give(std::unique_ptr<ozy::device::IDevice> dev) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_.push_back(std::move(dev));
    }
    freed_.notify_one();
}

void TarpDevicePool::Forget() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --open_;
    }
    freed_.notify_one();
}

void TarpDevicePool::DropIdle() {
    std::vector<std::unique_ptr<ozy::device::IDevice>> dead;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ -= static_cast<int>(idle_.size());
        dead.swap(idle_);
    }
    freed_.notify_all();
}

TarpDevicePool::Lease::Lease(TarpDevicePool& pool) : pool_(pool) {}

TarpDevicePool::Lease::~Lease() {
    if (dev_)
        pool_.Give(std::move(dev_));
}

int TarpDevicePool::Lease::Reconnect() {
    if (dev_) {
        dev_.reset();
        pool_.Forget();
    }
    int err = 0;
    dev_ = pool_.Take(&err);
    return dev_ ? 0 : err;
}

int TarpDevicePool::Lease::Call(uint32_t command, const void* in, size_t size, uint32_t* status,
                                std::vector<uint8_t>* out) {
    if (!dev_) {
        int rc = Reconnect();
        if (rc != 0)
            return rc;
    }
    int rc = dev_->Ioctl(command, in, size, status, out);
    if (rc != 0) {
        Log(3, "ioctl on " + pool_.path_ + " failed: " + std::strerror(rc));
        dev_.reset();
        pool_.Forget();
        pool_.DropIdle();
    }
    return rc;
}

int TarpDevicePool::Lease::CallBatch(const ozy::device::IDevice::Request* requests, size_t count,
                                     ozy::device::IDevice::Reply* replies, size_t* answered) {
    *answered = 0;
    if (!dev_) {
        int rc = Reconnect();
        if (rc != 0)
            return rc;
    }
    int rc = dev_->IoctlBatch(requests, count, replies, answered);
    if (rc != 0) {
        Log(3, "ioctls on " + pool_.path_ + " failed after " + std::to_string(*answered) + " of " +
                   std::to_string(count) + ": " + std::strerror(rc));
        dev_.reset();
        pool_.Forget();
        pool_.DropIdle();
    }
    return rc;
}

int TarpDevicePool::CallRetry(uint32_t command, const void* in, size_t size, uint32_t* status,
                              std::vector<uint8_t>* out) {
    Lease lease(*this);
    int rc = lease.Call(command, in, size, status, out);
    // A device that is not there, or that took the request and did not answer in time (it may
    // have acted on it), is not asked again; a connection that the device closed (it restarted
    // since the connection was opened) is.
    if (rc == 0 || rc == ENOENT || rc == ECONNREFUSED || rc == ETIMEDOUT)
        return rc;
    return lease.Call(command, in, size, status, out);
}

}  // namespace TarpFirewall::detail

#pragma once
// The connections of one library handle to its device: at most FW_MAX_CONNECTIONS, one per
// concurrent caller, each greeted (kCmdHello) when opened so that the handle learns the device's
// instance id. A caller holds a Lease for the length of one operation (an upload and its apply go
// over one connection); a connection that failed is closed, and Reconnect gives the lease a fresh
// one. Thread-safe.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/device/DeviceClient.h"

namespace TarpFirewall::detail {

class TarpDevicePool {
  public:
    // `onInstance` is called with the instance id every new connection reports.
    TarpDevicePool(std::string path, ozy::device::IDeviceOpener& opener, int maxConnections,
                   std::function<void(uint64_t)> onInstance);
    ~TarpDevicePool();

    class Lease {
      public:
        explicit Lease(TarpDevicePool& pool);
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        // One ioctl: 0 with `status` (and `out`) set, or an errno (the connection is then gone;
        // Reconnect before trying again).
        int Call(uint32_t command, const void* in, size_t size, uint32_t* status,
                 std::vector<uint8_t>* out);
        // Several ioctls sent ahead of their replies (IDevice::IoctlBatch): 0, or an errno with
        // `*answered` replies come before it (the connection is then gone).
        int CallBatch(const ozy::device::IDevice::Request* requests, size_t count,
                      ozy::device::IDevice::Reply* replies, size_t* answered);
        // Opens a fresh connection: 0 or an errno.
        int Reconnect();

      private:
        TarpDevicePool& pool_;
        std::unique_ptr<ozy::device::IDevice> dev_;
    };

    // One ioctl with one reconnect when the connection failed (the device may have restarted);
    // not after a timeout, when the device may have acted on the request.
    int CallRetry(uint32_t command, const void* in, size_t size, uint32_t* status,
                  std::vector<uint8_t>* out);
    const std::string& Path() const { return path_; }

  private:
    // A connection: an idle one, a new one while below the maximum, else waits. Null and `err`
    // when a new one cannot be opened.
    std::unique_ptr<ozy::device::IDevice> Take(int* err);
    void Give(std::unique_ptr<ozy::device::IDevice> dev);
    void Forget();
    // After a failed exchange: the idle connections are most likely as dead as the failed one.
    void DropIdle();
    std::unique_ptr<ozy::device::IDevice> Open(int* err);

    std::string path_;
    ozy::device::IDeviceOpener& opener_;
    int max_;
    std::function<void(uint64_t)> onInstance_;
    std::mutex mutex_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<ozy::device::IDevice>> idle_;
    int open_ = 0;
};

}  // namespace TarpFirewall::detail

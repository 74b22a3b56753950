#pragma once
// The agent's side of a device: open, ioctl, close over the device socket (DeviceFrame.h).
//
// IDevice / IDeviceOpener are the seam unit tests replace; SystemDeviceOpener() connects to the
// real sockets. A device handle is used by one thread at a time. Every call returns 0 or an errno
// value; Ioctl's own result says whether the exchange happened, and `status` carries the driver's
// answer. Replies are awaited at most the handle's timeout (default 5 seconds), so a stuck peer
// cannot hang the caller.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ozy::device {

class IDevice {
  public:
    virtual ~IDevice() = default;
    // Sends one request and waits for its reply. Returns 0 when a well-formed reply arrived
    // (`status` set, `out` holding its payload when not null), EIO on a malformed reply or a
    // closed peer, ETIMEDOUT when none came in time, or the errno of the failed socket call; after
    // a failure the handle is closed.
    virtual int Ioctl(uint32_t command, const void* in, size_t inSize, uint32_t* status,
                      std::vector<uint8_t>* out) = 0;
    struct Request {
        uint32_t command = 0;
        const void* in = nullptr;
        size_t size = 0;
    };
    struct Reply {
        uint32_t status = 0;
        std::vector<uint8_t> payload;
    };
    // Several requests, answered in order: 0 when every reply came (`replies[i]` answers
    // `requests[i]`), else the error that ended the exchange, as Ioctl's (the handle is then
    // closed), with `*answered` replies come before it (the later requests may or may not have been
    // acted on). This one sends each request after the reply of the one before; the socket sends
    // them ahead of their replies.
    virtual int IoctlBatch(const Request* requests, size_t count, Reply* replies, size_t* answered);
    // 0 or the errno of close().
    virtual int Close() = 0;
};

class IDeviceOpener {
  public:
    virtual ~IDeviceOpener() = default;
    // Opens the device at its logical path; null and `*err` set on failure.
    virtual std::unique_ptr<IDevice> Open(const std::string& logicalPath, int* err) = 0;
};

IDeviceOpener& SystemDeviceOpener();

// The socket-backed device.
class DeviceSocket : public IDevice {
  public:
    // Connects to hostPath(logicalPath): 0 or errno.
    int Open(const std::string& logicalPath, int timeoutMs = 5000);
    ~DeviceSocket() override;
    int Ioctl(uint32_t command, const void* in, size_t inSize, uint32_t* status,
              std::vector<uint8_t>* out) override;
    // Requests are written while replies are read (one wait for many requests, not one each);
    // the timeout runs from the last progress either way.
    int IoctlBatch(const Request* requests, size_t count, Reply* replies,
                   size_t* answered) override;
    int Close() override;
    bool IsOpen() const { return fd_ >= 0; }

  private:
    int Exchange(uint32_t command, const void* in, size_t inSize, uint32_t* status,
                 std::vector<uint8_t>* out, std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    int timeoutMs_ = 5000;
};

// Opens the device, performs one ioctl and closes it. Returns like IDevice::Ioctl (or the open
// error).
int IoctlOnce(const std::string& logicalPath, uint32_t command, const void* in, size_t inSize,
              uint32_t* status, std::vector<uint8_t>* out = nullptr);

}  // namespace ozy::device

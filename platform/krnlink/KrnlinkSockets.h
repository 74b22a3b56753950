#pragma once
// The kernel-link socket layer.
//
// On the hypervisor a kernel link is a datagram socket of the kernel's link family bound to a
// named endpoint. Here it is an AF_UNIX stream socket connected to
// /var/run/orvane/ozy-krnlink/<endpoint name> under the host root (ozy::hostPath), where the
// dataplane emulator listens; stream semantics fit the link's read-the-header-then-the-rest
// receiver. Log lines keep naming the family "AF_KRNLINK".
//
// IKrnlinkSockets is the narrow interface DataplaneKrnlink calls; every operation behaves like the
// system call it stands for (-1 with errno on failure). Tests wrap the real implementation in a
// ForwardingKrnlinkSockets subclass to inject faults. Implementations are called concurrently
// from the link's sender, receiver and timer threads and must be thread-safe.
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace ozy::krnlink {

// The family name printed in log lines.
constexpr const char* kFamilyName = "AF_KRNLINK";
// Logical directory of the endpoints.
constexpr const char* kEndpointDir = "/var/run/orvane/ozy-krnlink";

// Endpoint names are plain file names: not empty, no '/', not "." or "..", at most 107 bytes.
bool IsValidEndpointName(const std::string& name);
// "/var/run/orvane/ozy-krnlink/<name>" and its place under the host root.
std::string EndpointLogicalPath(const std::string& name);
std::string EndpointPath(const std::string& name);

class IKrnlinkSockets {
  public:
    virtual ~IKrnlinkSockets() = default;

    // A new unconnected socket (close-on-exec).
    virtual int Socket() = 0;
    // Connects to the named endpoint. An invalid name fails with EINVAL, a path too long for a
    // socket address with ENAMETOOLONG.
    virtual int Connect(int fd, const std::string& endpointName) = 0;
    virtual int SetSendBufferSize(int fd, int bytes) = 0;
    virtual int SetReceiveBufferSize(int fd, int bytes) = 0;
    // Never raises SIGPIPE.
    virtual ssize_t Send(int fd, const void* data, size_t size) = 0;
    virtual ssize_t Recv(int fd, void* data, size_t size) = 0;
    // Waits for input (or hang-up, or error) on the socket: > 0 ready, 0 timeout, -1 error.
    virtual int PollIn(int fd, int timeoutMs) = 0;
    // Shuts both directions down, which wakes any thread blocked on the socket.
    virtual int Shutdown(int fd) = 0;
    virtual int Close(int fd) = 0;
};

// The process's real implementation.
IKrnlinkSockets& SystemKrnlinkSockets();

// Forwards every call to a target; fakes override only what they change.
class ForwardingKrnlinkSockets : public IKrnlinkSockets {
  public:
    explicit ForwardingKrnlinkSockets(IKrnlinkSockets& target) : target_(target) {}
    int Socket() override { return target_.Socket(); }
    int Connect(int fd, const std::string& endpointName) override {
        return target_.Connect(fd, endpointName);
    }
    int SetSendBufferSize(int fd, int bytes) override {
        return target_.SetSendBufferSize(fd, bytes);
    }
    int SetReceiveBufferSize(int fd, int bytes) override {
        return target_.SetReceiveBufferSize(fd, bytes);
    }
    ssize_t Send(int fd, const void* data, size_t size) override {
        return target_.Send(fd, data, size);
    }
    ssize_t Recv(int fd, void* data, size_t size) override { return target_.Recv(fd, data, size); }
    int PollIn(int fd, int timeoutMs) override { return target_.PollIn(fd, timeoutMs); }
    int Shutdown(int fd) override { return target_.Shutdown(fd); }
    int Close(int fd) override { return target_.Close(fd); }

  protected:
    IKrnlinkSockets& target_;
};

}  // namespace ozy::krnlink

#include "platform/krnlink/KrnlinkSockets.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/HostRoot.h"

namespace ozy::krnlink {

bool IsValidEndpointName(const std::string& name) {
    return !name.empty() && name.size() <= 107 && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos && name != "." && name != "..";
}

std::string EndpointLogicalPath(const std::string& name) {
    return std::string(kEndpointDir) + "/" + name;
}

std::string EndpointPath(const std::string& name) {
    return hostPath(EndpointLogicalPath(name));
}

namespace {

class SystemSockets : public IKrnlinkSockets {
  public:
    int Socket() override { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); }

    int Connect(int fd, const std::string& endpointName) override {
        if (!IsValidEndpointName(endpointName)) {
            errno = EINVAL;
            return -1;
        }
        std::string path = EndpointPath(endpointName);
        sockaddr_un addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(addr.sun_path, path.data(), path.size());
        int rc;
        do {
            rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        } while (rc < 0 && errno == EINTR);
        return rc;
    }

    int SetSendBufferSize(int fd, int bytes) override {
        return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }

    int SetReceiveBufferSize(int fd, int bytes) override {
        return ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }

    ssize_t Send(int fd, const void* data, size_t size) override {
        return ::send(fd, data, size, MSG_NOSIGNAL);
    }

    ssize_t Recv(int fd, void* data, size_t size) override { return ::recv(fd, data, size, 0); }

    int PollIn(int fd, int timeoutMs) override {
        pollfd p;
        p.fd = fd;
        p.events = POLLIN;
        p.revents = 0;
        return ::poll(&p, 1, timeoutMs);
    }

    int Shutdown(int fd) override { return ::shutdown(fd, SHUT_RDWR); }

    int Close(int fd) override { return ::close(fd); }
};

}  // namespace

IKrnlinkSockets& SystemKrnlinkSockets() {
    static SystemSockets* sockets = new SystemSockets();
    return *sockets;
}

}  // namespace ozy::krnlink

#include "tests/dataplane/TestEndpoint.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "platform/krnlink/KrnlinkSockets.h"

namespace CfgAgent::test {

TestEndpoint::TestEndpoint(const std::string& name) : path_(ozy::krnlink::EndpointPath(name)) {
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    ::unlink(path_.c_str());
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0) {
        throw std::runtime_error("cannot listen on " + path_ + ": " + std::strerror(errno));
    }
}

TestEndpoint::~TestEndpoint() {
    CloseListener();
}

void TestEndpoint::CloseListener() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(path_.c_str());
        listenFd_ = -1;
    }
}

int TestEndpoint::Accept(int timeoutMs) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return -1;
    return ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
}

bool TestEndpoint::Read(int fd, size_t n, std::vector<uint8_t>* out, int timeoutMs) {
    out->assign(n, 0);
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        ssize_t r = ::recv(fd, out->data() + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

DpMsg TestEndpoint::Next(int fd, int timeoutMs) {
    std::vector<uint8_t> msg, rest;
    if (!Read(fd, 4, &msg, timeoutMs) || DpMsgLength(msg.data()) < 4 ||
        !Read(fd, DpMsgLength(msg.data()) - 4, &rest, timeoutMs))
        return {};
    msg.insert(msg.end(), rest.begin(), rest.end());
    return msg;
}

bool TestEndpoint::WaitClosed(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    char c;
    return ::recv(fd, &c, 1, MSG_PEEK) == 0;
}

void TestEndpoint::Write(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("test endpoint write failed");
        done += static_cast<size_t>(n);
    }
}

}  // namespace CfgAgent::test

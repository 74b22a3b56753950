#include "tools/ozy-dpemu/StreamClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/HostRoot.h"
#include "runtime/Logger.h"

namespace ozy::dpemu {

StreamClient::StreamClient(EventLoop& loop, std::string logicalPath, StreamServer::FrameSizer sizer,
                           Callbacks callbacks, std::chrono::milliseconds retry)
    : loop_(loop),
      logicalPath_(std::move(logicalPath)),
      path_(hostPath(logicalPath_)),
      sizer_(std::move(sizer)),
      callbacks_(std::move(callbacks)),
      retry_(retry) {}

StreamClient::~StreamClient() {
    if (fd_ >= 0) {
        loop_.Unwatch(fd_);
        ::close(fd_);
    }
    if (timerFd_ >= 0) {
        loop_.Unwatch(timerFd_);
        ::close(timerFd_);
    }
}

bool StreamClient::Start() {
    timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (timerFd_ < 0) {
        CFG_ERROR("ozy-dpemu: client %1: timerfd: %2", logicalPath_, std::strerror(errno));
        return false;
    }
    loop_.Watch(timerFd_, POLLIN, [this](short) {
        uint64_t expirations;
        while (::read(timerFd_, &expirations, sizeof expirations) > 0) {
        }
        if (fd_ < 0)
            TryConnect();
    });
    TryConnect();
    return true;
}

void StreamClient::ArmRetry() {
    itimerspec when{};
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(retry_).count();
    when.it_value.tv_sec = ns / 1000000000;
    when.it_value.tv_nsec = ns % 1000000000;
    ::timerfd_settime(timerFd_, 0, &when, nullptr);
}

void StreamClient::TryConnect() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    bool fits = path_.size() < sizeof(addr.sun_path);
    if (fits)
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    if (fd < 0 || !fits || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = fd < 0 ? errno : (fits ? errno : ENAMETOOLONG);
        if (fd >= 0)
            ::close(fd);
        // One line per outage, not one per attempt.
        if (!lastAttemptFailed_) {
            CFG_INFO("ozy-dpemu: client %1: cannot connect (%2), retrying every %3 ms",
                     logicalPath_, std::strerror(err), retry_.count());
        }
        lastAttemptFailed_ = true;
        ArmRetry();
        return;
    }
    lastAttemptFailed_ = false;
    fd_ = fd;
    ++connects_;
    in_.clear();
    out_.clear();
    outPos_ = 0;
    loop_.Watch(fd_, POLLIN, [this](short revents) { OnEvent(revents); });
    CFG_INFO("ozy-dpemu: client %1: connected", logicalPath_);
    if (callbacks_.onConnect)
        callbacks_.onConnect();
}

bool StreamClient::Send(const uint8_t* data, size_t size) {
    if (fd_ < 0)
        return false;
    if (out_.size() - outPos_ + size > StreamServer::kMaxPendingOutput) {
        CloseConn("peer stopped reading");
        return false;
    }
    out_.insert(out_.end(), data, data + size);
    FlushOut();
    return fd_ >= 0;
}

bool StreamClient::Drop() {
    if (fd_ < 0)
        return false;
    CloseConn("dropped on request");
    return true;
}

void StreamClient::OnEvent(short revents) {
    if (revents & POLLOUT)
        FlushOut();
    if (fd_ >= 0 && (revents & (POLLIN | POLLHUP | POLLERR)))
        ReadIn();
}

void StreamClient::ReadIn() {
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            CloseConn(n == 0 ? "peer closed" : std::strerror(errno));
            return;
        }
        in_.insert(in_.end(), buf, buf + n);
    }
    size_t pos = 0;
    while (fd_ >= 0 && pos < in_.size()) {
        std::string error;
        long frame = sizer_(in_.data() + pos, in_.size() - pos, &error);
        if (frame < 0) {
            CloseConn("malformed frame: " + error);
            return;
        }
        if (frame == 0)
            break;
        if (callbacks_.onFrame)
            callbacks_.onFrame(in_.data() + pos, static_cast<size_t>(frame));
        pos += static_cast<size_t>(frame);
    }
    if (fd_ >= 0)
        in_.erase(in_.begin(), in_.begin() + static_cast<long>(pos));
}

void StreamClient::FlushOut() {
    while (outPos_ < out_.size()) {
        ssize_t n = ::send(fd_, out_.data() + outPos_, out_.size() - outPos_, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0) {
            CloseConn(std::strerror(errno));
            return;
        }
        outPos_ += static_cast<size_t>(n);
    }
    if (outPos_ == out_.size()) {
        out_.clear();
        outPos_ = 0;
    }
    loop_.SetEvents(fd_, outPos_ < out_.size() || !out_.empty() ? POLLIN | POLLOUT : POLLIN);
}

void StreamClient::CloseConn(const std::string& why) {
    CFG_INFO("ozy-dpemu: client %1: connection closed: %2", logicalPath_, why);
    loop_.Unwatch(fd_);
    ::close(fd_);
    fd_ = -1;
    in_.clear();
    out_.clear();
    outPos_ = 0;
    if (callbacks_.onClose)
        callbacks_.onClose();
    ArmRetry();
}

}  // namespace ozy::dpemu

#include "tools/ozy-dpemu/StreamServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dataplane/DpFraming.h"
#include "platform/HostRoot.h"
#include "platform/RunDirectory.h"
#include "platform/device/DeviceFrame.h"
#include "runtime/Logger.h"

namespace ozy::dpemu {

int MakeParentDirs(const std::string& path) {
    return MakeRunDirectoriesFor(path);
}

long DataplaneFrameSize(const uint8_t* data, size_t size, std::string* error) {
    if (size < CfgAgent::kDpMsgHeaderSize)
        return 0;
    size_t len = CfgAgent::DpMsgLength(data);
    if (len < CfgAgent::kDpMsgHeaderSize) {
        *error = "message length field " + std::to_string(len) + " is below the 4-byte header";
        return -1;
    }
    return size >= len ? static_cast<long>(len) : 0;
}

long DeviceFrameSize(const uint8_t* data, size_t size, std::string* error) {
    if (size < device::kFrameHeaderSize)
        return 0;
    device::FrameHeader h;
    switch (device::DecodeFrameHeader(data, &h)) {
        case device::HeaderStatus::kBadMagic:
            *error = "bad frame magic";
            return -1;
        case device::HeaderStatus::kTooLarge:
            *error = "payload length " + std::to_string(h.length) + " above the limit";
            return -1;
        case device::HeaderStatus::kOk:
            break;
    }
    size_t total = device::kFrameHeaderSize + h.length;
    return size >= total ? static_cast<long>(total) : 0;
}

StreamServer::StreamServer(EventLoop& loop, std::string logicalPath, std::string label,
                           FrameSizer sizer, Callbacks callbacks)
    : loop_(loop),
      logicalPath_(std::move(logicalPath)),
      path_(hostPath(logicalPath_)),
      label_(std::move(label)),
      sizer_(std::move(sizer)),
      callbacks_(std::move(callbacks)) {}

StreamServer::~StreamServer() {
    for (auto& [id, c] : conns_) {
        loop_.Unwatch(c->fd);
        ::close(c->fd);
    }
    conns_.clear();
    if (listenFd_ >= 0) {
        loop_.Unwatch(listenFd_);
        ::close(listenFd_);
        ::unlink(path_.c_str());
    }
}

int StreamServer::Listen() {
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path)
        return ENAMETOOLONG;
    std::memcpy(addr.sun_path, path_.data(), path_.size());
    if (int rc = MakeParentDirs(path_); rc != 0)
        return rc;
    struct stat st;
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return EEXIST;
        ::unlink(path_.c_str());
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return errno;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        int err = errno;
        ::close(fd);
        return err;
    }
    listenFd_ = fd;
    loop_.Watch(fd, POLLIN, [this](short) { OnListenReady(); });
    return 0;
}

void StreamServer::StopListening() {
    CloseAll();
    if (listenFd_ >= 0) {
        loop_.Unwatch(listenFd_);
        ::close(listenFd_);
        listenFd_ = -1;
        ::unlink(path_.c_str());
    }
}

void StreamServer::OnListenReady() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                CFG_ERROR("ozy-dpemu: %1: accept failed: %2", label_, std::strerror(errno));
            }
            return;
        }
        uint64_t id = nextId_++;
        auto conn = std::make_unique<Conn>();
        conn->id = id;
        conn->fd = fd;
        conns_[id] = std::move(conn);
        loop_.Watch(fd, POLLIN, [this, id](short revents) { OnConnEvent(id, revents); });
        CFG_INFO("ozy-dpemu: %1: connection %2 accepted", label_, id);
        if (callbacks_.onAccept)
            callbacks_.onAccept(id);
    }
}

void StreamServer::OnConnEvent(uint64_t id, short revents) {
    auto it = conns_.find(id);
    if (it == conns_.end())
        return;
    Conn& c = *it->second;
    if (revents & POLLOUT) {
        FlushOut(c);
        if (conns_.find(id) == conns_.end())
            return;
    }
    if (revents & (POLLIN | POLLHUP | POLLERR)) {
        ReadFrom(c);
    }
}

void StreamServer::ReadFrom(Conn& c) {
    const uint64_t id = c.id;
    uint8_t buf[65536];
    bool eof = false;
    // Bounded per wake-up, so that one busy peer cannot starve the others.
    size_t budget = 1u << 20;
    for (;;) {
        ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            c.in.insert(c.in.end(), buf, buf + n);
            budget -= std::min(budget, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof buf || budget == 0)
                break;
            continue;
        }
        if (n == 0) {
            eof = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        CFG_ERROR("ozy-dpemu: %1: connection %2 receive error: %3", label_, id,
                  std::strerror(errno));
        eof = true;
        break;
    }
    // Hand out every complete frame; a handler may close this connection (or all of them).
    size_t pos = 0;
    for (;;) {
        auto it = conns_.find(id);
        if (it == conns_.end())
            return;
        Conn& cur = *it->second;
        std::string error;
        long size = sizer_(cur.in.data() + pos, cur.in.size() - pos, &error);
        if (size < 0) {
            CFG_ERROR("ozy-dpemu: %1: connection %2 sent a malformed frame (%3); closing it",
                      label_, id, error);
            Close(id);
            return;
        }
        if (size == 0)
            break;
        std::vector<uint8_t> frame(cur.in.begin() + pos, cur.in.begin() + pos + size);
        pos += static_cast<size_t>(size);
        if (callbacks_.onFrame)
            callbacks_.onFrame(id, frame.data(), frame.size());
    }
    auto it = conns_.find(id);
    if (it == conns_.end())
        return;
    it->second->in.erase(it->second->in.begin(), it->second->in.begin() + pos);
    if (eof) {
        if (!it->second->in.empty()) {
            CFG_WARN("ozy-dpemu: %1: connection %2 closed with %3 bytes of an incomplete frame",
                     label_, id, it->second->in.size());
        }
        CFG_INFO("ozy-dpemu: %1: connection %2 closed by peer", label_, id);
        Close(id);
    }
}

bool StreamServer::Send(uint64_t id, const uint8_t* data, size_t size) {
    auto it = conns_.find(id);
    if (it == conns_.end())
        return false;
    Conn& c = *it->second;
    if (c.out.size() - c.outPos + size > kMaxPendingOutput) {
        CFG_ERROR("ozy-dpemu: %1: connection %2 does not read; closing it", label_, id);
        Close(id);
        return false;
    }
    c.out.insert(c.out.end(), data, data + size);
    FlushOut(c);
    return conns_.find(id) != conns_.end();
}

void StreamServer::FlushOut(Conn& c) {
    while (c.outPos < c.out.size()) {
        ssize_t n = ::send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.outPos += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        CFG_WARN("ozy-dpemu: %1: connection %2 send error: %3", label_, c.id,
                 n < 0 ? std::strerror(errno) : "no progress");
        Close(c.id);
        return;
    }
    if (c.outPos == c.out.size()) {
        c.out.clear();
        c.outPos = 0;
    }
    UpdateEvents(c);
}

void StreamServer::UpdateEvents(const Conn& c) {
    loop_.SetEvents(c.fd, c.outPos < c.out.size() ? (POLLIN | POLLOUT) : POLLIN);
}

bool StreamServer::Close(uint64_t id) {
    auto it = conns_.find(id);
    if (it == conns_.end())
        return false;
    std::unique_ptr<Conn> c = std::move(it->second);
    conns_.erase(it);
    loop_.Unwatch(c->fd);
    ::close(c->fd);
    if (callbacks_.onClose)
        callbacks_.onClose(id);
    return true;
}

size_t StreamServer::CloseAll() {
    std::vector<uint64_t> ids = Connections();
    for (uint64_t id : ids)
        Close(id);
    return ids.size();
}

std::vector<uint64_t> StreamServer::Connections() const {
    std::vector<uint64_t> ids;
    for (const auto& [id, c] : conns_)
        ids.push_back(id);
    return ids;
}

}  // namespace ozy::dpemu

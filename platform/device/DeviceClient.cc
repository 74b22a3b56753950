#include "platform/device/DeviceClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/HostRoot.h"
#include "platform/device/DeviceFrame.h"

namespace ozy::device {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `events` on fd until the deadline: 0 ready, ETIMEDOUT, or errno.
int WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, RemainingMs(deadline));
        if (rc > 0)
            return 0;
        if (rc == 0)
            return ETIMEDOUT;
        if (errno != EINTR)
            return errno;
    }
}

// The frame's header and its payload in one send (a gathered write): the payload is not copied
// behind the header first.
int WriteFrame(int fd, const uint8_t* header, const void* payload, size_t size,
               Clock::time_point deadline) {
    iovec parts[2] = {{const_cast<uint8_t*>(header), kFrameHeaderSize},
                      {const_cast<void*>(payload), size}};
    size_t first = 0;  // parts before it are sent
    while (first < 2) {
        if (parts[first].iov_len == 0) {
            ++first;
            continue;
        }
        msghdr m{};
        m.msg_iov = parts + first;
        m.msg_iovlen = 2 - first;
        ssize_t n = ::sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            for (size_t left = static_cast<size_t>(n); left > 0 && first < 2;) {
                const size_t used = std::min(left, parts[first].iov_len);
                parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + used;
                parts[first].iov_len -= used;
                left -= used;
                if (parts[first].iov_len == 0)
                    ++first;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int rc = WaitFor(fd, POLLOUT, deadline);
            if (rc != 0)
                return rc;
            continue;
        }
        // A peer that went away is a closed peer, whichever way the kernel says it.
        return n < 0 && errno != EPIPE && errno != ECONNRESET ? errno : EIO;
    }
    return 0;
}

int ReadAll(int fd, uint8_t* data, size_t size, Clock::time_point deadline) {
    size_t done = 0;
    while (done < size) {
        int rc = WaitFor(fd, POLLIN, deadline);
        if (rc != 0)
            return rc;
        ssize_t n = ::recv(fd, data + done, size - done, MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return EIO;  // peer closed
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            continue;
        return errno == ECONNRESET ? EIO : errno;
    }
    return 0;
}

class SystemOpener : public IDeviceOpener {
  public:
    std::unique_ptr<IDevice> Open(const std::string& logicalPath, int* err) override {
        auto dev = std::make_unique<DeviceSocket>();
        int rc = dev->Open(logicalPath);
        if (rc != 0) {
            if (err != nullptr)
                *err = rc;
            return nullptr;
        }
        if (err != nullptr)
            *err = 0;
        return dev;
    }
};

}  // namespace

int IDevice::IoctlBatch(const Request* requests, size_t count, Reply* replies, size_t* answered) {
    *answered = 0;
    for (size_t i = 0; i < count; ++i) {
        const Request& r = requests[i];
        int rc = Ioctl(r.command, r.in, r.size, &replies[i].status, &replies[i].payload);
        if (rc != 0)
            return rc;
        *answered = i + 1;
    }
    return 0;
}

IDeviceOpener& SystemDeviceOpener() {
    static SystemOpener* opener = new SystemOpener();
    return *opener;
}

DeviceSocket::~DeviceSocket() {
    Close();
}

int DeviceSocket::Open(const std::string& logicalPath, int timeoutMs) {
    if (fd_ >= 0)
        return EBUSY;
    timeoutMs_ = timeoutMs;
    std::string path = hostPath(logicalPath);
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return ENAMETOOLONG;
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int err = errno;
        ::close(fd);
        return err;
    }
    fd_ = fd;
    return 0;
}

int DeviceSocket::Ioctl(uint32_t command, const void* in, size_t inSize, uint32_t* status,
                        std::vector<uint8_t>* out) {
    if (fd_ < 0)
        return EBADF;
    if (inSize > kMaxPayload)
        return EINVAL;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    int rc = Exchange(command, in, inSize, status, out, deadline);
    if (rc != 0) {
        // A half-done exchange leaves the stream out of step; a later reply would answer the
        // wrong request.
        Close();
    }
    return rc;
}

int DeviceSocket::IoctlBatch(const Request* requests, size_t count, Reply* replies,
                             size_t* answered) {
    *answered = 0;
    if (fd_ < 0)
        return EBADF;
    for (size_t i = 0; i < count; ++i) {
        if (requests[i].size > kMaxPayload)
            return EINVAL;
    }
    // Every frame's header, then a gathered write of as many headers and payloads as fit.
    std::vector<uint8_t> headers(count * kFrameHeaderSize);
    for (size_t i = 0; i < count; ++i)
        EncodeFrameHeader(&headers[i * kFrameHeaderSize], requests[i].command,
                          static_cast<uint32_t>(requests[i].size));
    constexpr size_t kMaxParts = 64;  // iovecs of one send (below IOV_MAX)
    size_t next = 0;                  // the first request not wholly sent
    size_t sentOfNext = 0;            // its bytes sent (header first)
    std::vector<uint8_t> in;          // received bytes not yet taken as replies
    size_t taken = 0;
    uint8_t buf[65536];
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    auto fail = [this](int rc) {
        Close();
        return rc;
    };
    while (*answered < count) {
        pollfd p{fd_, static_cast<short>(POLLIN | (next < count ? POLLOUT : 0)), 0};
        int rc = ::poll(&p, 1, RemainingMs(deadline));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return fail(errno);
        if (rc == 0)
            return fail(ETIMEDOUT);
        bool progress = false;
        if ((p.revents & POLLOUT) != 0 && next < count) {
            iovec parts[kMaxParts];
            size_t n = 0;
            size_t skip = sentOfNext;
            for (size_t i = next; i < count && n + 2 <= kMaxParts; ++i) {
                const uint8_t* h = &headers[i * kFrameHeaderSize];
                size_t hs = kFrameHeaderSize, ps = requests[i].size;
                const uint8_t* pay = static_cast<const uint8_t*>(requests[i].in);
                if (skip >= hs) {
                    pay += skip - hs;
                    ps -= skip - hs;
                    hs = 0;
                } else {
                    h += skip;
                    hs -= skip;
                }
                skip = 0;
                if (hs > 0)
                    parts[n++] = {const_cast<uint8_t*>(h), hs};
                if (ps > 0)
                    parts[n++] = {const_cast<uint8_t*>(pay), ps};
            }
            msghdr m{};
            m.msg_iov = parts;
            m.msg_iovlen = n;
            ssize_t sent = ::sendmsg(fd_, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                return fail(errno != EPIPE && errno != ECONNRESET ? errno : EIO);
            for (size_t left = sent > 0 ? static_cast<size_t>(sent) : 0; left > 0;) {
                const size_t frame = kFrameHeaderSize + requests[next].size - sentOfNext;
                const size_t used = std::min(left, frame);
                sentOfNext += used;
                left -= used;
                if (used == frame) {
                    ++next;
                    sentOfNext = 0;
                }
            }
            progress = sent > 0;
        }
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0)
                return fail(EIO);  // peer closed
            if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                return fail(errno == ECONNRESET ? EIO : errno);
            if (n > 0) {
                in.insert(in.end(), buf, buf + n);
                progress = true;
            }
            // Every whole reply received; a reply before its request was sent is out of step.
            while (in.size() - taken >= kFrameHeaderSize) {
                FrameHeader h;
                if (DecodeFrameHeader(&in[taken], &h) != HeaderStatus::kOk || *answered >= next)
                    return fail(EIO);
                if (in.size() - taken - kFrameHeaderSize < h.length)
                    break;
                const uint8_t* body = &in[taken + kFrameHeaderSize];
                replies[*answered].status = h.code;
                replies[*answered].payload.assign(body, body + h.length);
                taken += kFrameHeaderSize + h.length;
                ++*answered;
            }
            if (taken == in.size()) {
                in.clear();
                taken = 0;
            }
        }
        if (progress)
            deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    }
    if (!in.empty())
        return fail(EIO);  // more than was asked for
    return 0;
}

int DeviceSocket::Exchange(uint32_t command, const void* in, size_t inSize, uint32_t* status,
                           std::vector<uint8_t>* out,
                           std::chrono::steady_clock::time_point deadline) {
    uint8_t header[kFrameHeaderSize];
    EncodeFrameHeader(header, command, static_cast<uint32_t>(inSize));
    int rc = WriteFrame(fd_, header, in, inSize, deadline);
    if (rc != 0)
        return rc;
    rc = ReadAll(fd_, header, sizeof header, deadline);
    if (rc != 0)
        return rc;
    FrameHeader h;
    if (DecodeFrameHeader(header, &h) != HeaderStatus::kOk) {
        return EIO;
    }
    std::vector<uint8_t> payload(h.length);
    rc = ReadAll(fd_, payload.data(), payload.size(), deadline);
    if (rc != 0)
        return rc;
    if (status != nullptr)
        *status = h.code;
    if (out != nullptr)
        *out = std::move(payload);
    return 0;
}

int DeviceSocket::Close() {
    if (fd_ < 0)
        return 0;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc < 0 && errno != EINTR ? errno : 0;
}

int IoctlOnce(const std::string& logicalPath, uint32_t command, const void* in, size_t inSize,
              uint32_t* status, std::vector<uint8_t>* out) {
    DeviceSocket dev;
    int rc = dev.Open(logicalPath);
    if (rc != 0)
        return rc;
    rc = dev.Ioctl(command, in, inSize, status, out);
    int closeRc = dev.Close();
    return rc != 0 ? rc : closeRc;
}

}  // namespace ozy::device

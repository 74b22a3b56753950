#include "platform/unixctl/UnixctlClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/jsonrpc/MessageFramer.h"
#include "platform/unixctl/SocketAddress.h"

namespace ozy::unixctl {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline` for poll(); -1 when there is no deadline.
int Remaining(bool limited, Clock::time_point deadline) {
    if (!limited) {
        return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `events` on `fd`; 0, ETIMEDOUT or the poll error.
int PollFor(int fd, short events, bool limited, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, Remaining(limited, deadline));
        if (n > 0) {
            return 0;
        }
        if (n == 0) {
            return ETIMEDOUT;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

}  // namespace

Client::Client() = default;

Client::~Client() {
    Close();
}

void Client::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    framer_.reset();
}

int Client::Fail(int err) {
    Close();
    return err;
}

int Client::Connect(const std::string& path, int timeoutMs) {
    Close();
    sockaddr_un addr;
    socklen_t len = 0;
    int err = MakeUnixAddress(path, &addr, &len);
    if (err != 0) {
        return err;
    }
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return Fail(errno);
    }
    // A blocking connect on a Unix socket waits only while the server's backlog is full, and
    // honours the send timeout.
    if (timeoutMs >= 0) {
        int ms = timeoutMs > 0 ? timeoutMs : 1;  // a zero timeout would mean none
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    }
    int rc;
    do {
        rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), len);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return Fail(errno == EAGAIN || errno == EINPROGRESS ? ETIMEDOUT : errno);
    }
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        return Fail(errno);
    }
    framer_ = std::make_unique<MessageFramer>(kMaxReplyBytes);
    return 0;
}

int Client::Transact(const std::string& method, const std::vector<std::string>& args, Reply* reply,
                     int timeoutMs) {
    if (fd_ < 0) {
        return ENOTCONN;
    }
    bool limited = timeoutMs >= 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    unsigned long id = nextId_++;
    std::string request = FormatRequest(method, args, id);
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (int err = PollFor(fd_, POLLOUT, limited, deadline)) {
                return Fail(err);
            }
        } else if (n < 0 && errno != EINTR) {
            return Fail(errno == EPIPE ? ECONNRESET : errno);
        }
    }
    const std::string expectedId = std::to_string(id);
    for (;;) {
        std::string message;
        MessageFramer::Status status = framer_->Next(&message);
        if (status == MessageFramer::Status::kMessage) {
            std::string reason;
            if (!ParseReply(message, reply, &reason) || reply->idJson != expectedId) {
                return Fail(EPROTO);
            }
            return 0;
        }
        if (status != MessageFramer::Status::kNeedMore) {
            return Fail(EPROTO);
        }
        char buf[16 * 1024];
        ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
        if (n > 0) {
            framer_->Append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            return Fail(ECONNRESET);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (int err = PollFor(fd_, POLLIN, limited, deadline)) {
                return Fail(err);
            }
        } else if (errno != EINTR) {
            return Fail(errno);
        }
    }
}

}  // namespace ozy::unixctl

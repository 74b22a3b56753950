#include "platform/unixctl/UnixctlServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "platform/FdReserve.h"
#include "platform/jsonrpc/MessageFramer.h"
#include "platform/unixctl/SocketAddress.h"
#include "platform/unixctl/UnixctlProtocol.h"
#include "runtime/AgentClock.h"
#include "runtime/LogRateLimit.h"
#include "runtime/Logger.h"

namespace ozy::unixctl {
namespace {

// Fairness bounds of one Run(): accepts, and requests answered per connection.
constexpr int kMaxAcceptsPerRun = 32;
constexpr int kMaxRequestsPerRun = 16;
constexpr size_t kReadChunk = 64 * 1024;
// Bad client input is logged with the CLI's bad-input code.
#define UNIXCTL_BAD_INPUT "LCP00703"

std::string Quoted(const std::string& name) {
    return "\"" + name + "\"";
}

// Client-chosen text in log lines is cut short: a request may be a megabyte long.
std::string Clip(const std::string& text) {
    constexpr size_t kMaxLogged = 200;
    return text.size() <= kMaxLogged ? text : text.substr(0, kMaxLogged) + "...";
}

std::string ErrnoText(int err) {
    return std::strerror(err);
}

// The server's wake-up pipe as deferred answers see it: it may be closed (server gone) while a
// worker still holds an answer.
class WakeSignal {
  public:
    explicit WakeSignal(int fd) : fd_(fd) {}
    void Wake() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0)
            return;
        char byte = 0;
        // A full pipe already wakes the poller, so EAGAIN needs no handling.
        ssize_t ignored = ::write(fd_, &byte, 1);
        (void)ignored;
    }
    // Closes the pipe's writing end; later wakes do nothing.
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    std::mutex mutex_;
    int fd_;
};

// One deferred answer, shared by the handle (which fills it) and the connection (which takes it).
struct PendingAnswer {
    std::mutex mutex;
    bool done = false;
    bool success = false;
    std::string text;
};

class DeferredHandle : public DeferredReply {
  public:
    DeferredHandle(std::shared_ptr<PendingAnswer> answer, std::shared_ptr<WakeSignal> wake,
                   std::string method)
        : answer_(std::move(answer)), wake_(std::move(wake)), method_(std::move(method)) {}
    ~DeferredHandle() override {
        if (!answered_.exchange(true)) {
            CFG_ERROR("unixctl: command %1 released its deferred reply without answering",
                      Clip(Quoted(method_)));
            Store(false, Quoted(method_) + " command did not reply");
        }
    }
    void Reply(const std::string& text) override { Answer(true, text); }
    void ReplyError(const std::string& text) override { Answer(false, text); }

  private:
    void Answer(bool success, const std::string& text) {
        if (answered_.exchange(true)) {
            CFG_WARN("unixctl: second reply to %1 dropped", Clip(Quoted(method_)));
            return;
        }
        Store(success, text);
    }
    void Store(bool success, const std::string& text) {
        {
            std::lock_guard<std::mutex> lock(answer_->mutex);
            answer_->done = true;
            answer_->success = success;
            answer_->text = text;
        }
        wake_->Wake();
    }

    std::shared_ptr<PendingAnswer> answer_;
    std::shared_ptr<WakeSignal> wake_;
    std::string method_;
    std::atomic<bool> answered_{false};
};

struct Command {
    std::string usage;
    int minArgs = 0;
    int maxArgs = 0;
    Handler handler;
};

struct Conn {
    explicit Conn(int socket) : fd(socket), framer(kMaxRequestBytes) {}
    ~Conn() { ::close(fd); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool HasBacklog() const { return outPos < out.size(); }

    int fd;
    CfgAgent::AgentClock::time_point lastActive = CfgAgent::AgentClock::now();
    MessageFramer framer;
    std::string out;  // reply bytes not yet written
    size_t outPos = 0;
    // A deferred reply not yet answered, the id of its request, and whether the client hung up
    // meanwhile (seen by Wait()).
    std::shared_ptr<PendingAnswer> pending;
    std::string pendingId;
    bool hungUp = false;
};

// Appends one reply message; a text that does not end in a newline gets one.
void AppendReply(Conn& conn, const std::string& idJson, bool success, const std::string& text) {
    if (!text.empty() && text.back() != '\n') {
        conn.out += FormatReply(idJson, success, text + "\n");
    } else {
        conn.out += FormatReply(idJson, success, text);
    }
}

// The Connection a handler sees: appends exactly one reply to its connection's output, or hands it
// to a deferred handle.
class RequestConnection : public Connection {
  public:
    RequestConnection(Conn* conn, const Request* request, std::shared_ptr<WakeSignal> wake)
        : conn_(conn), request_(request), wake_(std::move(wake)) {}

    void Reply(const std::string& text) override { Send(true, text); }
    void ReplyError(const std::string& text) override { Send(false, text); }
    std::shared_ptr<DeferredReply> Defer() override {
        if (replied_) {
            CFG_WARN("unixctl: %1 deferred after its reply; the deferred answer is dropped",
                     Clip(Quoted(request_->method)));
            // A handle whose answer nobody takes.
            return std::make_shared<DeferredHandle>(std::make_shared<PendingAnswer>(), wake_,
                                                    request_->method);
        }
        replied_ = true;
        conn_->pending = std::make_shared<PendingAnswer>();
        conn_->pendingId = request_->idJson;
        conn_->hungUp = false;
        CFG_DEBUG("unixctl: reply to %1 deferred, id=%2", Clip(Quoted(request_->method)),
                  Clip(request_->idJson));
        return std::make_shared<DeferredHandle>(conn_->pending, wake_, request_->method);
    }
    bool replied() const { return replied_; }

  private:
    void Send(bool success, const std::string& text) {
        if (replied_) {
            CFG_WARN("unixctl: second reply to %1 dropped", Clip(Quoted(request_->method)));
            return;
        }
        replied_ = true;
        CFG_DEBUG("unixctl: replying with %1 to %2, id=%3", success ? "success" : "error",
                  Clip(Quoted(request_->method)), Clip(request_->idJson));
        AppendReply(*conn_, request_->idJson, success, text);
    }

    Conn* conn_;
    const Request* request_;
    std::shared_ptr<WakeSignal> wake_;
    bool replied_ = false;
};

class ServerImpl : public Server {
  public:
    ServerImpl(std::string path, int listenFd, int wakeRead, int wakeWrite, dev_t dev, ino_t ino)
        : path_(std::move(path)),
          listenFd_(listenFd),
          wakeRead_(wakeRead),
          wake_(std::make_shared<WakeSignal>(wakeWrite)),
          dev_(dev),
          ino_(ino) {
        commands_["list-commands"] =
            Command{"", 0, 0, [this](Connection& c, const auto&) { c.Reply(ListCommands()); }};
        commands_["help"] =
            Command{"", 0, 0, [this](Connection& c, const auto&) { c.Reply(ListCommands()); }};
    }

    ~ServerImpl() override {
        conns_.clear();
        connCount_.store(0);
        ::close(listenFd_);
        // Remove the socket file only while it is still ours: a newer server may own the path.
        struct stat st;
        if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
            ::unlink(path_.c_str());
        }
        ::close(wakeRead_);
        wake_->Close();
    }

    void RegisterCommand(const std::string& name, const std::string& usage, int minArgs,
                         int maxArgs, Handler handler) override {
        if (minArgs < 0 || maxArgs < minArgs || !handler) {
            CFG_WARN("unixctl: command %1 not registered: bad argument range %2..%3 or no handler",
                     Quoted(name), minArgs, maxArgs);
            return;
        }
        std::lock_guard<std::mutex> lock(commandsMutex_);
        auto inserted =
            commands_.emplace(name, Command{usage, minArgs, maxArgs, std::move(handler)});
        if (!inserted.second) {
            CFG_WARN("unixctl: command %1 is already registered", Quoted(name));
        }
    }

    void Run() override {
        moreWork_ = false;
        AcceptNew();
        const auto now = CfgAgent::AgentClock::now();
        size_t idle = 0;
        for (auto it = conns_.begin(); it != conns_.end();) {
            bool keep = Service(**it);
            if (keep && !(*it)->pending && now - (*it)->lastActive >= kIdleTimeout) {
                ++idle;
                keep = false;
            }
            if (keep) {
                ++it;
            } else {
                it = conns_.erase(it);
                connCount_.store(conns_.size());
            }
        }
        if (idle > 0) {
            CFG_INFO("unixctl: closed %1 connection(s) idle for %2 s on %3", idle,
                     kIdleTimeout.count(), path_);
        }
    }

    void Wait(int timeoutMs) override {
        // Wakes in time for the first connection to go idle.
        auto first = CfgAgent::AgentClock::time_point::max();
        for (const auto& c : conns_) {
            if (!c->pending)
                first = std::min(first, c->lastActive);
        }
        if (first != CfgAgent::AgentClock::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            first + kIdleTimeout - CfgAgent::AgentClock::now())
                            .count() +
                        1;
            left = std::max<long long>(left, 0);
            if (timeoutMs < 0 || left < timeoutMs)
                timeoutMs = static_cast<int>(left);
        }
        std::vector<pollfd> fds;
        fds.reserve(conns_.size() + 2);
        fds.push_back(pollfd{wakeRead_, POLLIN, 0});
        fds.push_back(pollfd{listenFd_, POLLIN, 0});
        for (const auto& c : conns_) {
            // A connection waiting for its deferred reply is watched for a hang-up only.
            short events = c->pending ? 0 : c->HasBacklog() ? POLLOUT : POLLIN;
            fds.push_back(pollfd{c->fd, events, 0});
        }
        int n = ::poll(fds.data(), fds.size(), moreWork_ ? 0 : timeoutMs);
        if (n > 0 && fds[0].revents != 0) {
            char buf[64];
            while (::read(wakeRead_, buf, sizeof(buf)) > 0) {
            }
        }
        for (size_t i = 0; n > 0 && i < conns_.size(); ++i) {
            if (conns_[i]->pending && (fds[i + 2].revents & (POLLHUP | POLLERR)) != 0)
                conns_[i]->hungUp = true;
        }
    }

    void Wake() override { wake_->Wake(); }

    const std::string& Path() const override { return path_; }
    size_t ConnectionCount() const override { return connCount_.load(); }

  private:
    std::string ListCommands() {
        std::lock_guard<std::mutex> lock(commandsMutex_);
        std::string text = "The available commands are:\n";
        for (const auto& entry : commands_) {
            // "  %-23s %s\n": names are padded to 23 columns, longer ones are not cut.
            text += "  " + entry.first;
            text.append(entry.first.size() < 23 ? 23 - entry.first.size() : 0, ' ');
            text += " " + entry.second.usage + "\n";
        }
        return text;
    }

    void AcceptNew() {
        for (int i = 0; i < kMaxAcceptsPerRun; ++i) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) {
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    CFG_WARN("unixctl: accept failed on %1: %2", path_, ErrnoText(errno));
                }
                return;
            }
            const char* refusal = conns_.size() >= kMaxConnections ? "too many connections open"
                                  : ozy::FdInReserve(fd) ? "descriptors kept for the agent's own links"
                                                         : nullptr;
            if (refusal != nullptr) {
                ::close(fd);
                uint64_t count = 0;
                if (refusedLog_.Allow(&count)) {
                    CFG_WARN("unixctl: %1 connection(s) refused on %2: %3", count, path_, refusal);
                }
                continue;
            }
            conns_.push_back(std::make_unique<Conn>(fd));
            connCount_.store(conns_.size());
        }
        moreWork_ = true;
    }

    // Serves one connection; false when it is to be closed.
    bool Service(Conn& c) {
        if (c.pending && !TakeAnswer(c)) {
            if (c.hungUp) {
                CFG_DEBUG("unixctl: client on %1 left before its deferred reply", path_);
                return false;
            }
            return true;
        }
        if (!Flush(c)) {
            return false;
        }
        int handled = 0;
        while (!c.HasBacklog() && !c.pending) {
            if (handled == kMaxRequestsPerRun) {
                moreWork_ = true;
                return true;
            }
            std::string message;
            MessageFramer::Status status = c.framer.Next(&message);
            if (status == MessageFramer::Status::kMessage) {
                ++handled;
                if (!Handle(c, message) || !Flush(c)) {
                    return false;
                }
                continue;
            }
            if (status != MessageFramer::Status::kNeedMore) {
                CFG_WARN_CODE(UNIXCTL_BAD_INPUT, "unixctl: closing connection on %1: %2", path_,
                              MessageFramer::StatusText(status));
                return false;
            }
            ssize_t n = ::recv(c.fd, readBuf_.data(), readBuf_.size(), 0);
            if (n > 0) {
                c.lastActive = CfgAgent::AgentClock::now();
                c.framer.Append(readBuf_.data(), static_cast<size_t>(n));
            } else if (n == 0) {
                if (c.framer.HasPartialMessage()) {
                    CFG_WARN("unixctl: client on %1 disconnected mid-request", path_);
                }
                return false;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return true;
            } else if (errno != EINTR) {
                CFG_DEBUG("unixctl: read failed on %1: %2", path_, ErrnoText(errno));
                return false;
            }
        }
        return true;
    }

    // Moves an answered deferred reply to the connection's output; false while unanswered.
    bool TakeAnswer(Conn& c) {
        bool success = false;
        std::string text;
        {
            std::lock_guard<std::mutex> lock(c.pending->mutex);
            if (!c.pending->done)
                return false;
            success = c.pending->success;
            text.swap(c.pending->text);
        }
        c.pending.reset();
        c.lastActive = CfgAgent::AgentClock::now();
        AppendReply(c, c.pendingId, success, text);
        return true;
    }

    bool Flush(Conn& c) {
        while (c.HasBacklog()) {
            ssize_t n =
                ::send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL);
            if (n > 0) {
                c.outPos += static_cast<size_t>(n);
                c.lastActive = CfgAgent::AgentClock::now();
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return true;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                CFG_DEBUG("unixctl: write failed on %1: %2", path_, ErrnoText(errno));
                return false;
            }
        }
        c.out.clear();
        c.outPos = 0;
        return true;
    }

    // Answers one framed message; false when the connection is to be closed.
    bool Handle(Conn& c, const std::string& message) {
        Request request;
        std::string reason;
        if (!ParseRequest(message, &request, &reason)) {
            CFG_WARN_CODE(UNIXCTL_BAD_INPUT, "unixctl: closing connection on %1: %2", path_,
                          reason);
            return false;
        }
        CFG_DEBUG("unixctl: received %1 with %2 arguments, id=%3", Clip(Quoted(request.method)),
                  request.paramCount, Clip(request.idJson));
        RequestConnection conn(&c, &request, wake_);
        Command command;
        bool found = false;
        {
            std::lock_guard<std::mutex> lock(commandsMutex_);
            auto it = commands_.find(request.method);
            if (it != commands_.end()) {
                command = it->second;
                found = true;
            }
        }
        const std::string name = Quoted(request.method);
        std::string refusal;
        if (!found) {
            refusal =
                name +
                " is not a valid command (use \"list-commands\" to see a list of valid commands)";
        } else if (request.paramCount < static_cast<size_t>(command.minArgs)) {
            refusal = name + " command requires at least " + std::to_string(command.minArgs) +
                      " arguments";
        } else if (request.paramCount > static_cast<size_t>(command.maxArgs)) {
            refusal =
                name + " command takes at most " + std::to_string(command.maxArgs) + " arguments";
        } else if (request.nonStringParam) {
            refusal = name + " command has non-string argument";
        }
        if (!refusal.empty()) {
            CFG_WARN_CODE(UNIXCTL_BAD_INPUT, "unixctl: refused: %1", Clip(refusal));
            conn.ReplyError(refusal);
            return true;
        }
        try {
            command.handler(conn, request.args);
        } catch (const std::bad_alloc&) {
            CfgAgent::ExitOnAllocFailure();
        } catch (const std::exception& e) {
            CFG_ERROR_CODE(UNIXCTL_BAD_INPUT, "unixctl: command %1 failed: %2", Clip(name),
                           Clip(e.what()));
            if (!conn.replied()) {
                conn.ReplyError(name + " command failed");
            }
        } catch (...) {
            CFG_ERROR_CODE(UNIXCTL_BAD_INPUT, "unixctl: command %1 failed", Clip(name));
            if (!conn.replied()) {
                conn.ReplyError(name + " command failed");
            }
        }
        if (!conn.replied()) {
            CFG_ERROR("unixctl: command %1 returned without a reply", Clip(name));
            conn.ReplyError(name + " command did not reply");
        }
        return true;
    }

    const std::string path_;
    const int listenFd_;
    const int wakeRead_;
    const std::shared_ptr<WakeSignal> wake_;
    const dev_t dev_;
    const ino_t ino_;
    std::mutex commandsMutex_;
    std::map<std::string, Command> commands_;  // sorted, as list-commands prints them
    std::vector<std::unique_ptr<Conn>> conns_;
    std::atomic<size_t> connCount_{0};
    std::vector<char> readBuf_ = std::vector<char>(kReadChunk);
    bool moreWork_ = false;
    CfgAgent::LogRateLimit refusedLog_{std::chrono::seconds(10)};
};

// Clears the way for a new socket at `path`: nothing there, or a socket nobody listens on.
int RemoveStaleSocket(const std::string& path, const sockaddr_un& addr, socklen_t len) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISSOCK(st.st_mode)) {
        return EEXIST;
    }
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return errno;
    }
    int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), len);
    int err = rc == 0 ? 0 : errno;
    ::close(probe);
    if (rc == 0 || err == EAGAIN) {
        return EADDRINUSE;  // a live server answers there
    }
    if (err != ECONNREFUSED && err != ENOENT) {
        return err;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return errno;
    }
    CFG_INFO("unixctl: removed stale socket %1", path);
    return 0;
}

}  // namespace

int Server::Create(const std::string& path, std::unique_ptr<Server>* out) {
    out->reset();
    sockaddr_un addr;
    socklen_t len = 0;
    int err = MakeUnixAddress(path, &addr, &len);
    if (err == 0) {
        err = RemoveStaleSocket(path, addr, len);
    }
    if (err != 0) {
        CFG_WARN("unixctl: cannot listen on %1: %2", path, ErrnoText(err));
        return err;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = errno;
        CFG_WARN("unixctl: cannot listen on %1: %2", path, ErrnoText(err));
        return err;
    }
    bool bound = false;
    struct stat st;
    int pipeFds[2] = {-1, -1};
    // On Linux the mode of the socket inode, set before bind(), becomes the file's mode (less the
    // umask); this avoids changing the process-wide umask while other threads create files.
    if (::fchmod(fd, 0770) != 0) {
        err = errno;
    } else if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        err = errno;
    } else {
        bound = true;
        if (::lstat(path.c_str(), &st) != 0) {
            err = errno;
        } else if ((st.st_mode & 0007) != 0 && ::chmod(path.c_str(), st.st_mode & 0770) != 0) {
            err = errno;
        } else if (::listen(fd, 128) != 0) {
            err = errno;
        } else if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
            err = errno;
        }
    }
    if (err != 0) {
        ::close(fd);
        if (bound) {
            ::unlink(path.c_str());
        }
        CFG_WARN("unixctl: cannot listen on %1: %2", path, ErrnoText(err));
        return err;
    }
    CFG_DEBUG("unixctl: listening on %1", path);
    out->reset(new ServerImpl(path, fd, pipeFds[0], pipeFds[1], st.st_dev, st.st_ino));
    return 0;
}

}  // namespace ozy::unixctl

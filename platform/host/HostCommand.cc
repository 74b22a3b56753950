#include "platform/host/HostCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/HostRoot.h"

namespace ozy::host {

namespace {

using Clock = std::chrono::steady_clock;

// A descriptor closed on scope exit.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// A descriptor that becomes readable when the process ends (Linux 5.3+); -1 when unavailable.
int PidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Keeps what fits under the bound and notes what did not.
void Keep(HostCommandResult& r, const char* data, size_t n, size_t bound) {
    const size_t room = bound - std::min(bound, r.output.size());
    const size_t keep = std::min(room, n);
    r.output.append(data, keep);
    if (keep < n)
        r.truncated = true;
}

void Fill(HostCommandResult& r, int status) {
    if (WIFEXITED(status)) {
        r.outcome = HostCommandResult::Outcome::kExited;
        r.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.outcome = HostCommandResult::Outcome::kSignaled;
        r.signal = WTERMSIG(status);
    }
}

// Waits for the child, retrying on EINTR. False when it could not be waited for.
bool Reap(pid_t pid, int* status, int flags = 0) {
    for (;;) {
        pid_t r = ::waitpid(pid, status, flags);
        if (r == pid)
            return true;
        if (r == 0)
            return false;  // WNOHANG and still running
        if (errno != EINTR)
            return false;
    }
}

}  // namespace

HostCommandResult RunHostCommand(const std::string& program, const std::vector<std::string>& args,
                                 const HostCommandOptions& options) {
    HostCommandResult result;
    if (program.empty() || program.front() != '/') {
        result.error = "not an absolute path: " + program;
        return result;
    }
    const std::string path = ozy::hostPath(program);

    // Everything the child needs is prepared before fork: after it, the child only makes
    // async-signal-safe calls (another thread may hold the allocator's lock).
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.error = std::string("pipe: ") + strerror(errno);
        return result;
    }
    Fd outRead(out[0]);
    Fd outWrite(out[1]);
    if (::pipe2(err, O_CLOEXEC) != 0) {
        result.error = std::string("pipe: ") + strerror(errno);
        return result;
    }
    Fd errRead(err[0]);
    Fd errWrite(err[1]);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    Fd nullFd(devNull);

    const pid_t pid = ::fork();
    if (pid < 0) {
        result.error = std::string("fork: ") + strerror(errno);
        return result;
    }
    if (pid == 0) {
        // Child: its own process group, so that the limit kills whatever it started too.
        ::setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (devNull >= 0)
            ::dup2(devNull, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        ::execv(argv[0], argv.data());
        const int e = errno;
        ssize_t ignored = ::write(err[1], &e, sizeof(e));
        (void)ignored;
        ::_exit(127);
    }
    result.pid = pid;
    outWrite.reset();
    errWrite.reset();
    nullFd.reset();

    // An exec failure arrives on the error pipe; its closing (at exec) means the program runs.
    int execErrno = 0;
    ssize_t n;
    do {
        n = ::read(errRead.get(), &execErrno, sizeof(execErrno));
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof(execErrno))) {
        int status = 0;
        Reap(pid, &status);
        result.outcome = HostCommandResult::Outcome::kFailedToStart;
        result.error = program + ": " + strerror(execErrno);
        return result;
    }

    Fd pidFd(PidFd(pid));
    const bool limited = options.timeout.count() > 0;
    const Clock::time_point deadline = Clock::now() + options.timeout;
    bool outputOpen = true;
    bool exited = false;
    int status = 0;
    char buf[4096];
    while (!exited) {
        int waitMs = -1;
        if (limited) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                ::kill(-pid, SIGKILL);
                ::kill(pid, SIGKILL);
                Reap(pid, &status);
                result.outcome = HostCommandResult::Outcome::kTimedOut;
                return result;
            }
            waitMs = static_cast<int>(left.count());
        }
        // Without a process descriptor the end of the process is checked at least every 20 ms.
        if (pidFd.get() < 0 && (waitMs < 0 || waitMs > 20))
            waitMs = 20;
        pollfd fds[2];
        nfds_t nfds = 0;
        if (outputOpen)
            fds[nfds++] = pollfd{outRead.get(), POLLIN, 0};
        if (pidFd.get() >= 0)
            fds[nfds++] = pollfd{pidFd.get(), POLLIN, 0};
        int ready = ::poll(fds, nfds, waitMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (outputOpen && ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t got = ::read(outRead.get(), buf, sizeof(buf));
            if (got > 0) {
                Keep(result, buf, static_cast<size_t>(got), options.maxOutput);
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                outputOpen = false;
            }
            continue;  // read what is there before looking at the process
        }
        exited = Reap(pid, &status, WNOHANG);
    }
    if (!exited) {
        // poll failed: end the program rather than leave it behind.
        ::kill(-pid, SIGKILL);
        Reap(pid, &status);
        result.error = std::string("poll: ") + strerror(errno);
        Fill(result, status);
        return result;
    }
    // What the program wrote before it ended is still in the pipe; a descendant that keeps the
    // pipe open does not hold us.
    if (outputOpen) {
        ::fcntl(outRead.get(), F_SETFL, O_NONBLOCK);
        ssize_t got;
        while ((got = ::read(outRead.get(), buf, sizeof(buf))) > 0)
            Keep(result, buf, static_cast<size_t>(got), options.maxOutput);
    }
    Fill(result, status);
    return result;
}

std::string DescribeOutcome(const HostCommandResult& result, const HostCommandOptions& options) {
    switch (result.outcome) {
        case HostCommandResult::Outcome::kExited:
            return "exited with status " + std::to_string(result.exitStatus);
        case HostCommandResult::Outcome::kSignaled:
            return "killed by signal " + std::to_string(result.signal);
        case HostCommandResult::Outcome::kTimedOut:
            return "timed out after " + std::to_string(options.timeout.count()) + " ms";
        case HostCommandResult::Outcome::kFailedToStart:
            break;
    }
    return "failed to start: " + result.error;
}

}  // namespace ozy::host

#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "tests/support/Await.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace CfgAgent::test {

ChildProcess::ChildProcess(std::string program, std::vector<std::string> args, std::string logFile,
                           std::map<std::string, std::string> env, const std::string& errFile)
    : program_(std::move(program)), logFile_(std::move(logFile)) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string kv(*e);
        std::string key = kv.substr(0, kv.find('='));
        if (env.count(key) == 0)
            envStrings.push_back(kv);
    }
    for (const auto& [k, v] : env)
        envStrings.push_back(k + "=" + v);

    std::vector<char*> argv;
    argv.push_back(program_.data());
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int fd = open(logFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int errFd = errFile.empty() ? fd : open(errFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || errFd < 0)
        throw std::runtime_error("cannot open log file " + logFile_);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        close(fd);
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, STDIN_FILENO);
        // Own process group, so a signal sent to the test runner does not reach the child twice.
        setpgid(0, 0);
        // A test runner killed without its destructors running (a ctest timeout) takes its
        // processes with it rather than leaving whole systems behind. The signal follows the
        // thread that forked, so children are started from the test's own thread.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(program_.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (errFd != fd)
        close(errFd);
    close(fd);
}

ChildProcess::~ChildProcess() {
    if (Running()) {
        Signal(SIGKILL);
        WaitExit(std::chrono::seconds(10));
    }
}

std::string ChildProcess::Output() const {
    return ReadFile(logFile_);
}

bool ChildProcess::OutputContains(const std::string& text) const {
    return Output().find(text) != std::string::npos;
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                                 size_t from) {
    bool found = false;
    AwaitTrue(
        [&] {
            std::string out = Output();
            if (out.size() > from && out.find(text, from) != std::string::npos) {
                found = true;
                return true;
            }
            return !Running();
        },
        timeout, std::chrono::milliseconds(10));
    if (!found) {
        std::string out = Output();
        found = out.size() > from && out.find(text, from) != std::string::npos;
    }
    return found;
}

void ChildProcess::Signal(int sig) {
    if (pid_ > 0 && !status_)
        kill(pid_, sig);
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || status_)
        return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return r == 0;
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
    AwaitTrue([&] { return !Running(); }, timeout, std::chrono::milliseconds(5));
    return status_;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env,
                     std::chrono::milliseconds timeout, bool separateStderr) {
    TempDir dir("ozy-run");
    std::string err = separateStderr ? dir.path() + "/err.log" : "";
    ChildProcess p(program, args, dir.path() + "/out.log", env, err);
    auto st = p.WaitExit(timeout);
    if (!st) {
        p.Signal(SIGKILL);
        p.WaitExit();
    }
    return RunResult{st.value_or(-1), p.Output(), err.empty() ? "" : ReadFile(err)};
}

}  // namespace CfgAgent::test

#pragma once
// A `cairnctl watch` whose output the benchmark reads through a pipe, each line stamped with the
// time it arrived: a figure taken from a watch ends when the watch printed what it waited for, not
// at the next poll of a log file.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ozy::bench {

class WatchLines {
  public:
    using Clock = std::chrono::steady_clock;
    struct Line {
        Clock::time_point at;
        std::string text;
    };

    // Starts `program` with `args` (argv[0] excluded); its standard error is left alone.
    WatchLines(const std::string& program, const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid_ < 0) {
            ::close(fds[0]);
            return;
        }
        reader_ = std::thread([this, fd = fds[0]] { Read(fd); });
    }
    ~WatchLines() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable())
            reader_.join();
    }
    WatchLines(const WatchLines&) = delete;
    WatchLines& operator=(const WatchLines&) = delete;

    // Lines read so far.
    size_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }

    // Offers every line from `*from` on to `match` (in order, each once: `*from` moves past them)
    // until it returns true; the time that line arrived, or nothing after `timeout`.
    bool Await(size_t* from, const std::function<bool(const std::string&)>& match,
               std::chrono::milliseconds timeout, Clock::time_point* at) {
        const auto deadline = Clock::now() + timeout;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            while (*from < lines_.size()) {
                const Line& line = lines_[(*from)++];
                if (match(line.text)) {
                    *at = line.at;
                    return true;
                }
            }
            if (closed_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout)
                return false;
        }
    }

  private:
    void Read(int fd) {
        std::string pending;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof(buf));
            if (n <= 0)
                break;
            const auto now = Clock::now();
            pending.append(buf, static_cast<size_t>(n));
            size_t start = 0;
            std::lock_guard<std::mutex> lock(mutex_);
            for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1)
                lines_.push_back({now, pending.substr(start, nl - start)});
            pending.erase(0, start);
            changed_.notify_all();
        }
        ::close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Line> lines_;
    bool closed_ = false;
};

}  // namespace ozy::bench

#include "tools/ozy-dpemu/EventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "runtime/Logger.h"

namespace ozy::dpemu {

struct EventLoop::Task {
    std::function<void()> fn;
    bool done = false;
    bool ran = false;
};

EventLoop::EventLoop() {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }
}

EventLoop::~EventLoop() {
    ::close(wakeFd_);
}

void EventLoop::Watch(int fd, short events, FdCallback callback) {
    entries_[fd] = Entry{events, ++generation_, std::make_shared<FdCallback>(std::move(callback))};
}

void EventLoop::SetEvents(int fd, short events) {
    auto it = entries_.find(fd);
    if (it != entries_.end())
        it->second.events = events;
}

void EventLoop::Unwatch(int fd) {
    entries_.erase(fd);
}

void EventLoop::Wake() {
    uint64_t one = 1;
    ssize_t n = ::write(wakeFd_, &one, sizeof one);
    (void)n;  // a full counter already means "wake up"
}

void EventLoop::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    Wake();
}

bool EventLoop::Call(const std::function<void()>& fn) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (std::this_thread::get_id() == loopThread_) {
        lock.unlock();
        fn();
        return true;
    }
    if (stopping_) {
        return false;
    }
    auto task = std::make_shared<Task>();
    task->fn = fn;
    tasks_.push_back(task);
    Wake();
    taskDone_.wait(lock, [&] { return task->done; });
    return task->ran;
}

void EventLoop::RunTasks() {
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (tasks_.empty())
                return;
            task = tasks_.front();
            tasks_.pop_front();
        }
        try {
            task->fn();
            task->ran = true;
        } catch (const std::exception& e) {
            CFG_ERROR("ozy-dpemu: control task failed: %1", e.what());
        }
        std::lock_guard<std::mutex> lock(mutex_);
        task->done = true;
        taskDone_.notify_all();
    }
}

void EventLoop::Run() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loopThread_ = std::this_thread::get_id();
        running_ = true;
    }
    std::vector<pollfd> fds;
    std::vector<uint64_t> gens;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                break;
        }
        fds.clear();
        gens.clear();
        fds.push_back(pollfd{wakeFd_, POLLIN, 0});
        gens.push_back(0);
        for (const auto& [fd, e] : entries_) {
            fds.push_back(pollfd{fd, e.events, 0});
            gens.push_back(e.generation);
        }
        int rc = ::poll(fds.data(), fds.size(), -1);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            CFG_ERROR("ozy-dpemu: poll failed: %1", std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0) {
            uint64_t v;
            while (::read(wakeFd_, &v, sizeof v) > 0) {
            }
            RunTasks();
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            auto it = entries_.find(fds[i].fd);
            // Removed, or replaced by a new descriptor with the same number, during this round.
            if (it == entries_.end() || it->second.generation != gens[i])
                continue;
            std::shared_ptr<FdCallback> cb = it->second.callback;
            (*cb)(fds[i].revents);
        }
    }
    // Anyone still waiting in Call learns that its function did not run.
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    stopping_ = true;
    for (auto& t : tasks_)
        t->done = true;
    tasks_.clear();
    taskDone_.notify_all();
}

}  // namespace ozy::dpemu

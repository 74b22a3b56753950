#pragma once
// The emulator's single-threaded event loop: poll(2) over the registered descriptors, plus a wake
// descriptor through which other threads hand it work (Call) or stop it.
//
// Every descriptor callback and every Call function runs on the thread inside Run(), so the
// emulator's state needs no locks. Callbacks may add or remove descriptors, including their own.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace ozy::dpemu {

class EventLoop {
  public:
    using FdCallback = std::function<void(short revents)>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Loop thread only (or before Run).
    void Watch(int fd, short events, FdCallback callback);
    void SetEvents(int fd, short events);
    void Unwatch(int fd);

    // Runs until Stop().
    void Run();
    // Any thread.
    void Stop();
    // Runs `fn` on the loop thread and waits for it; runs it at once when called from the loop
    // thread. False (fn not run) when the loop has stopped or stops first.
    bool Call(const std::function<void()>& fn);

  private:
    struct Task;
    struct Entry {
        short events;
        uint64_t generation;
        std::shared_ptr<FdCallback> callback;
    };

    void Wake();
    void RunTasks();

    int wakeFd_ = -1;
    std::map<int, Entry> entries_;
    uint64_t generation_ = 0;

    std::mutex mutex_;  // guards everything below
    std::thread::id loopThread_;
    std::condition_variable taskDone_;
    std::deque<std::shared_ptr<Task>> tasks_;
    bool stopping_ = false;
    bool running_ = false;
};

}  // namespace ozy::dpemu

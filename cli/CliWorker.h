#pragma once
// The CLI server's worker thread, for pages that wait on an outside process
// (CliPages::Mode::kDeferred): jobs run one at a time, in the order posted, while the server
// thread goes on answering other commands.
//
// The queue is bounded: Post() refuses a job when kMaxQueued are already waiting, so a stalled
// outside process cannot gather requests without limit. Stop() lets the running job finish,
// destroys the jobs still queued without running them (each job's own clean-up answers its
// client) and joins the thread; Post() after Stop() refuses.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace CfgAgent {

class CliWorker {
  public:
    static constexpr size_t kMaxQueued = 32;
    using Job = std::function<void()>;

    CliWorker() = default;
    ~CliWorker();
    CliWorker(const CliWorker&) = delete;
    CliWorker& operator=(const CliWorker&) = delete;

    void Start();
    // False when the queue is full or the worker is not running; the job is then not kept.
    bool Post(Job job);
    void Stop();

  private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool running_ = false;
    std::thread thread_;
};

}  // namespace CfgAgent

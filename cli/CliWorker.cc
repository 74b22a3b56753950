#include "cli/CliWorker.h"

#include <utility>

namespace CfgAgent {

CliWorker::~CliWorker() {
    Stop();
}

void CliWorker::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_)
        return;
    running_ = true;
    thread_ = std::thread([this] { Loop(); });
}

bool CliWorker::Post(Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || jobs_.size() >= kMaxQueued)
            return false;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void CliWorker::Stop() {
    std::deque<Job> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        dropped.swap(jobs_);
    }
    wake_.notify_one();
    // Destroyed outside the lock (a job's clean-up may post elsewhere), and before waiting for
    // the running job, so that their clients are answered at once.
    dropped.clear();
    if (thread_.joinable())
        thread_.join();
}

void CliWorker::Loop() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return !running_ || !jobs_.empty(); });
            if (!running_)
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

}  // namespace CfgAgent

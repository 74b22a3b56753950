#pragma once
// A FIFO hand-over point between components, with an optional bound.
//
// put() and get() block according to the flags given at construction. stop() wakes every blocked
// producer and consumer, which then give up; a consumer that calls get() on an empty stopped queue
// returns at once instead of waiting for a wake-up that already happened. close() makes the queue
// refuse and deliver nothing.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace CfgAgent {

template <typename T>
class MsgQueue {
  public:
    static constexpr uint32_t kUnbounded = 0xFFFFFFFFu;

    MsgQueue(uint32_t maxSize, bool blockWhenFull, bool blockWhenEmpty)
        : maxSize_(maxSize), blockWhenFull_(blockWhenFull), blockWhenEmpty_(blockWhenEmpty) {}
    MsgQueue(const MsgQueue&) = delete;
    MsgQueue& operator=(const MsgQueue&) = delete;

    // False when the queue is closed or stopping, or full without blocking.
    bool put(T item) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!open_ || stopping_) {
            return false;
        }
        while (bounded() && queue_.size() >= maxSize_) {
            if (!blockWhenFull_) {
                return false;
            }
            ++producersWaiting_;
            notFull_.wait(lock);
            --producersWaiting_;
            if (stopping_ || !open_) {
                return false;
            }
        }
        queue_.push_back(std::move(item));
        if (consumersWaiting_ > 0) {
            notEmpty_.notify_all();
        }
        return true;
    }

    // The next item; nothing when closed, when empty without blocking, or when stopped while
    // waiting.
    std::optional<T> get() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!open_) {
            return std::nullopt;
        }
        while (queue_.empty()) {
            if (!blockWhenEmpty_ || stopping_) {
                return std::nullopt;
            }
            ++consumersWaiting_;
            notEmpty_.wait(lock);
            --consumersWaiting_;
            if (stopping_ && queue_.empty()) {
                return std::nullopt;
            }
        }
        return popLocked();
    }

    // Like get() but waits at most `timeout`.
    template <typename Rep, typename Period>
    std::optional<T> getFor(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!open_) {
            return std::nullopt;
        }
        if (queue_.empty()) {
            if (stopping_) {
                return std::nullopt;
            }
            ++consumersWaiting_;
            notEmpty_.wait_for(lock, timeout, [this] { return !queue_.empty() || stopping_; });
            --consumersWaiting_;
            if (queue_.empty()) {
                return std::nullopt;
            }
        }
        return popLocked();
    }

    // Never blocks.
    std::optional<T> tryGet() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!open_ || queue_.empty()) {
            return std::nullopt;
        }
        return popLocked();
    }

    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        notFull_.notify_all();
        notEmpty_.notify_all();
    }

    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
        notFull_.notify_all();
        notEmpty_.notify_all();
    }

    // Makes a stopped queue usable again (a component restarted in tests).
    void restart() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
        open_ = true;
    }

    // Waits until fewer than `n` items are queued (a producer that must not run ahead of its
    // consumer); false when the queue stopped or closed meanwhile, or after `timeout`.
    template <typename Rep, typename Period>
    bool waitForSizeBelow(size_t n, std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        ++producersWaiting_;
        bool below = notFull_.wait_for(lock, timeout,
                                       [&] { return queue_.size() < n || stopping_ || !open_; });
        --producersWaiting_;
        return below && !stopping_ && open_;
    }

    size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.size();
    }
    bool stopping() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }
    // Producers and consumers blocked in put() and get() right now (diagnostics and tests).
    uint32_t producersWaiting() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return producersWaiting_;
    }
    uint32_t consumersWaiting() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return consumersWaiting_;
    }

  private:
    bool bounded() const { return maxSize_ != kUnbounded; }

    T popLocked() {
        T item = std::move(queue_.front());
        queue_.pop_front();
        if (producersWaiting_ > 0) {
            notFull_.notify_all();
        }
        return item;
    }

    std::deque<T> queue_;
    const uint32_t maxSize_;
    const bool blockWhenFull_;
    uint32_t producersWaiting_ = 0;
    const bool blockWhenEmpty_;
    uint32_t consumersWaiting_ = 0;
    bool open_ = true;
    bool stopping_ = false;
    mutable std::mutex mutex_;
    std::condition_variable notFull_;
    std::condition_variable notEmpty_;
};

}  // namespace CfgAgent

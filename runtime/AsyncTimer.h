#pragma once
// A one-shot timer bound to a member function of its owner.
//
// Each start() arms the timer once (a new start replaces a pending one); owners that need a period
// start it again from the callback. The callback runs on an io thread of the given context. The
// timer holds a counted reference to its owner; owners hold their timers by shared pointer and call
// stop() at shutdown, which breaks that cycle. Handlers hold the timer's state only weakly, so one
// that fires after the timer is gone does nothing. Time is AgentClock, which tests move forward.
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>

#include "runtime/AgentClock.h"
#include "runtime/Logger.h"
#include "runtime/RefCounted.h"

namespace CfgAgent {

template <typename T>
class AsyncTimer {
  public:
    using Callback = void (T::*)();

    AsyncTimer(boost::asio::io_context& io, Callback callback, T* owner)
        : timer_(io), state_(std::make_shared<State>()) {
        state_->callback = callback;
        state_->owner = ozy::RefPtr<T>(owner);
        CFG_DEBUG("AsyncTimer construct, timerObj is %1, pObj is %2",
                  static_cast<const void*>(this), static_cast<const void*>(owner));
    }

    ~AsyncTimer() {
        CFG_DEBUG("AsyncTimer destruct, timerObj is %1, pObj is %2", static_cast<const void*>(this),
                  static_cast<const void*>(state_->owner.get()));
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopped = true;
        state_->owner.reset();
    }

    AsyncTimer(const AsyncTimer&) = delete;
    AsyncTimer& operator=(const AsyncTimer&) = delete;

    void start(uint64_t intervalMicros) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->stopped) {
            return;
        }
        state_->cancelled = false;
        uint64_t generation = ++state_->generation;
        try {
            timer_.expires_at(ExpiryAfter(intervalMicros));
            std::weak_ptr<State> weak = state_;
            timer_.async_wait([weak, generation](const boost::system::error_code& ec) {
                OnCompletion(weak, generation, ec);
            });
        } catch (const std::exception& e) {
            CFG_ERROR_CODE("LCP00113", "async_wait failed, interval %1 us, error : %2",
                           intervalMicros, e.what());
        }
    }

    void cancel() {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->cancelled = true;
            ++state_->generation;
            boost::system::error_code ignored;
            timer_.cancel(ignored);
        }
        CFG_DEBUG("Timer cancelled");
    }

    void stop() {
        bool wasCancelled;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stopped = true;
            wasCancelled = state_->cancelled;
        }
        if (!wasCancelled) {
            cancel();
        }
    }

  private:
    struct State {
        std::mutex mutex;
        bool cancelled = false;
        bool stopped = false;
        uint64_t generation = 0;
        Callback callback = nullptr;
        ozy::RefPtr<T> owner;
    };

    static AgentClock::time_point ExpiryAfter(uint64_t micros) {
        using Dur = AgentClock::duration;
        const uint64_t maxMicros =
            static_cast<uint64_t>(std::numeric_limits<Dur::rep>::max() / 1000) / 2;
        if (micros > maxMicros) {
            return AgentClock::time_point::max();
        }
        AgentClock::time_point now = AgentClock::now();
        Dur d = std::chrono::duration_cast<Dur>(std::chrono::microseconds(micros));
        if (now.time_since_epoch().count() > std::numeric_limits<Dur::rep>::max() - d.count()) {
            return AgentClock::time_point::max();
        }
        return now + d;
    }

    static void OnCompletion(const std::weak_ptr<State>& weak, uint64_t generation,
                             const boost::system::error_code& ec) {
        std::shared_ptr<State> state = weak.lock();
        if (!state) {
            return;
        }
        ozy::RefPtr<T> owner;
        Callback callback;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->cancelled || state->stopped) {
                CFG_DEBUG("Ignoring timer callback triggered for cancelled timer");
                return;
            }
            if (generation != state->generation) {
                return;  // replaced by a later start()
            }
            if (ec) {
                if (ec != boost::asio::error::operation_aborted) {
                    CFG_ERROR_CODE("LCP00113", "timer callback failed, Error code : %1, %2",
                                   ec.value(), ec.message());
                }
                return;
            }
            owner = state->owner;
            callback = state->callback;
        }
        if (owner && callback != nullptr) {
            ((*owner).*callback)();
        }
    }

    boost::asio::basic_waitable_timer<AgentClock, AgentWaitTraits> timer_;
    std::shared_ptr<State> state_;
};

}  // namespace CfgAgent

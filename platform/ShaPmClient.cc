#include "platform/ShaPmClient.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <chrono>

#include "platform/LibraryLogLevels.h"
#include "runtime/Logger.h"

namespace ozy::sha {

#define SHA_LOG(lvl, ...) CFG_LOG_AT(::ozy::sha::library_log_level, lvl, {}, __VA_ARGS__)

ShaPmClient::ShaPmClient(const std::string& name) : name_(name) {}

ShaPmClient::~ShaPmClient() {
    Stop();
}

void ShaPmClient::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_)
        return;
    running_ = true;
    thread_ = std::thread([this] { Loop(); });
}

void ShaPmClient::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_)
            return;
        running_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool ShaPmClient::RegisterCombinedMessageMetricCollection(const std::string& name,
                                                          CombinedMessageCallback cb, void* context,
                                                          int intervalSec) {
    if (!cb || intervalSec <= 0)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    collectionName_ = name;
    callback_ = std::move(cb);
    context_ = context;
    collectIntervalSec_ = intervalSec;
    return true;
}

void ShaPmClient::UnregisterMetricCollectionAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    collecting_ = false;
    callback_ = nullptr;
    context_ = nullptr;
}

void ShaPmClient::StartMetricCollection() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        collecting_ = true;
    }
    wake_.notify_all();
}

void ShaPmClient::StopMetricCollection() {
    std::lock_guard<std::mutex> lock(mutex_);
    collecting_ = false;
}

void ShaPmClient::StartProcessHeartbeat(int intervalSec, int /*timeoutSec*/) {
    sd_notify(0, "READY=1");
    uint64_t watchdogUsec = 0;
    int interval = std::max(1, intervalSec) * 1000;
    if (sd_watchdog_enabled(0, &watchdogUsec) > 0 && watchdogUsec > 0) {
        interval =
            std::min<int>(interval, static_cast<int>(std::max<uint64_t>(watchdogUsec / 2000, 1)));
    } else {
        interval = 0;  // no watchdog configured: readiness only
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        heartbeat_ = true;
        heartbeatIntervalMs_ = interval;
    }
    SHA_LOG(CfgAgent::kLogDebug, "%1: process heartbeat started, watchdog interval %2 ms", name_,
            interval);
    wake_.notify_all();
}

void ShaPmClient::StopProcessHeartbeat() {
    std::lock_guard<std::mutex> lock(mutex_);
    heartbeat_ = false;
}

std::string ShaPmClient::LastCombinedMessage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastMessage_;
}

int ShaPmClient::WatchdogCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return watchdogCount_;
}

void ShaPmClient::CollectNow() {
    CombinedMessageCallback cb;
    void* ctx;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cb = callback_;
        ctx = context_;
    }
    if (!cb)
        return;
    std::string msg = cb(ctx);
    std::lock_guard<std::mutex> lock(mutex_);
    lastMessage_ = std::move(msg);
}

void ShaPmClient::Loop() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point nextCollect = Clock::time_point::max();
    Clock::time_point nextBeat = Clock::time_point::max();
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_) {
        Clock::time_point now = Clock::now();
        if (collecting_ && callback_ && nextCollect == Clock::time_point::max())
            nextCollect = now;
        if (!collecting_)
            nextCollect = Clock::time_point::max();
        if (heartbeat_ && heartbeatIntervalMs_ > 0 && nextBeat == Clock::time_point::max()) {
            nextBeat = now + std::chrono::milliseconds(heartbeatIntervalMs_);
        }
        if (!heartbeat_)
            nextBeat = Clock::time_point::max();

        if (now >= nextCollect) {
            lock.unlock();
            CollectNow();
            lock.lock();
            nextCollect = Clock::now() + std::chrono::seconds(collectIntervalSec_);
            continue;
        }
        if (now >= nextBeat) {
            sd_notify(0, "WATCHDOG=1");
            ++watchdogCount_;
            nextBeat = now + std::chrono::milliseconds(heartbeatIntervalMs_);
            continue;
        }
        Clock::time_point next = std::min(nextCollect, nextBeat);
        if (next == Clock::time_point::max()) {
            wake_.wait(lock);
        } else {
            wake_.wait_until(lock, next);
        }
    }
}

}  // namespace ozy::sha

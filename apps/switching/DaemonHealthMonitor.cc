#include "apps/switching/DaemonHealthMonitor.h"

#include <chrono>

#include "platform/cairndb/CairnDbClientInterface.h"
#include "runtime/AsyncTimer.h"
#include "runtime/Logger.h"

namespace CfgAgent {

namespace {

class LibraryLiveness : public ICairndbLiveness {
  public:
    explicit LibraryLiveness(std::shared_ptr<ozy::cairndb::CairnDbClientInterface> library)
        : library_(std::move(library)) {}

    bool SendEcho(const std::string& text, EchoDone done) override {
        if (!library_)
            return false;
        library_->Echo(text, [done](const ozy::cairndb::Status& status, const std::string&) {
            done(status.ok, status.ok ? std::string("OK") : status.error);
        });
        return true;
    }

    int64_t LastExchangeSeconds() const override {
        if (!library_)
            return 0;
        int64_t steady = library_->LastExchangeSeconds();
        if (steady <= 0)
            return 0;
        // The library reads the steady clock; AgentClock may run ahead of it in tests.
        auto offset = AgentClock::now().time_since_epoch() -
                      std::chrono::steady_clock::now().time_since_epoch();
        return steady + std::chrono::duration_cast<std::chrono::seconds>(offset).count();
    }

  private:
    std::shared_ptr<ozy::cairndb::CairnDbClientInterface> library_;
};

}  // namespace

std::unique_ptr<ICairndbLiveness> MakeLibraryLiveness(
    std::shared_ptr<ozy::cairndb::CairnDbClientInterface> library) {
    return std::make_unique<LibraryLiveness>(std::move(library));
}

DaemonHealthMonitor::DaemonHealthMonitor(Owner owner, ICairndbLiveness* liveness,
                                         boost::asio::io_context& io)
    : owner_(std::move(owner)), liveness_(liveness), io_(io) {}

DaemonHealthMonitor::~DaemonHealthMonitor() = default;

void DaemonHealthMonitor::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || timer_)
        return;
    // The 60 seconds run from the start: no sign of life yet is not a lost database yet.
    lastSignOfLife_ = AgentClock::now();
    timer_ =
        std::make_shared<AsyncTimer<DaemonHealthMonitor>>(io_, &DaemonHealthMonitor::OnTimer, this);
    timer_->start(kIntervalMicros);
}

void DaemonHealthMonitor::Stop() {
    std::shared_ptr<AsyncTimer<DaemonHealthMonitor>> timer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        timer = std::move(timer_);
    }
    if (timer)
        timer->stop();
}

bool DaemonHealthMonitor::Connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_ == 1;
}

int DaemonHealthMonitor::echoState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return echoState_;
}

void DaemonHealthMonitor::OnTimer() {
    bool notify = false;
    bool nowConnected = false;
    bool sendEcho = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_)
            return;
        int64_t last = liveness_ != nullptr ? liveness_->LastExchangeSeconds() : 0;
        if (last > 0) {
            AgentClock::time_point exchange{std::chrono::seconds(last)};
            if (exchange > lastSignOfLife_)
                lastSignOfLife_ = exchange;
            signOfLife_ = true;
        }
        if (AgentClock::now() - lastSignOfLife_ > std::chrono::seconds(kTimeoutSeconds)) {
            CFG_WARN("DaemonHealthMonitor: cairndb echo timeout (%1 sec)", kTimeoutSeconds);
            if (connected_ == 1) {
                connected_ = 0;
                CFG_WARN("DaemonHealthMonitor: cairndb disconnected");
                notify = true;
            }
        } else if (connected_ == 0 && signOfLife_) {
            connected_ = 1;
            CFG_INFO("DaemonHealthMonitor: cairndb connected");
            notify = true;
        }
        nowConnected = connected_ == 1;
        if (echoState_ != kEchoOutstanding && liveness_ != nullptr) {
            // Marked before sending: the completion may run before SendEcho returns.
            echoState_ = kEchoOutstanding;
            sendEcho = true;
        }
    }
    if (notify && owner_)
        owner_(nowConnected);
    if (sendEcho) {
        ozy::RefPtr<DaemonHealthMonitor> self(this);
        bool sent = liveness_->SendEcho(
            "ping", [self](bool ok, const std::string& status) { self->OnEchoDone(ok, status); });
        if (sent) {
            CFG_DEBUG("DaemonHealthMonitor: ping cairndb sent");
        } else {
            std::lock_guard<std::mutex> lock(mutex_);
            if (echoState_ == kEchoOutstanding)
                echoState_ = kNoEcho;
            CFG_WARN("DaemonHealthMonitor: ping cairndb failed");
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || !timer_)
        return;
    CFG_DEBUG("DaemonHealthMonitor: reschedule");
    timer_->start(kIntervalMicros);
}

void DaemonHealthMonitor::OnEchoDone(bool ok, const std::string& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    echoState_ = kEchoReplied;
    if (ok) {
        lastSignOfLife_ = AgentClock::now();
        signOfLife_ = true;
    } else {
        CFG_WARN("DaemonHealthMonitor::CairndbEchoCB: status %1", status);
    }
}

}  // namespace CfgAgent

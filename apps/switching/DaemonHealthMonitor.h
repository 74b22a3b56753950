#pragma once
// DaemonHealthMonitor: watches the liveness of the configuration database (cairndb).
//
// Every 5 seconds it takes the database client library's time of last exchange as a sign of life,
// reports a transition to disconnected when more than 60 seconds passed without one (counted from
// the start until the first), or to connected on the first tick after a sign of life, and sends an OVSDB echo with the text "ping"
// when none is outstanding (a successful reply is a sign of life too). Transitions go to the owner
// (ConfigApp), which takes the global agent lock in its handler.
//
// Created and started by ConfigApp when its configuration asks for it; the timer runs on the io
// context it is given. Time is AgentClock (tests move it), and the library's last-exchange seconds
// are read on the same clock. The owner is called after the monitor's mutex is released (timer
// ticks never overlap, so transitions still arrive in order), so that no lock order exists
// between the monitor and the global agent lock.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/AgentClock.h"
#include "runtime/RefCounted.h"

namespace boost::asio {
class io_context;
}
namespace ozy::cairndb {
class CairnDbClientInterface;
}

namespace CfgAgent {

template <typename T>
class AsyncTimer;

// What the monitor needs of the database client library.
class ICairndbLiveness {
  public:
    using EchoDone = std::function<void(bool ok, const std::string& status)>;
    virtual ~ICairndbLiveness() = default;
    // Sends an echo; `done` is called exactly once, possibly before this returns. False when the
    // echo could not be sent at all (`done` is then never called).
    virtual bool SendEcho(const std::string& text, EchoDone done) = 0;
    // Seconds (AgentClock) of the last message received from the database; 0 when none yet.
    virtual int64_t LastExchangeSeconds() const = 0;
};

// The liveness of a library client (OVSDB echo, last exchange). Holds the client.
std::unique_ptr<ICairndbLiveness> MakeLibraryLiveness(
    std::shared_ptr<ozy::cairndb::CairnDbClientInterface> library);

class DaemonHealthMonitor : public ozy::RefCounted<DaemonHealthMonitor> {
  public:
    using Owner = std::function<void(bool connected)>;

    static constexpr uint64_t kIntervalMicros = 5'000'000;
    static constexpr int kTimeoutSeconds = 60;

    enum EchoState : int {
        kNoEcho = 0,
        kEchoOutstanding = 1,
        kEchoReplied = 2,
    };

    DaemonHealthMonitor(Owner owner, ICairndbLiveness* liveness, boost::asio::io_context& io);
    ~DaemonHealthMonitor() override;

    void Start();
    void Stop();

    bool Connected() const;
    int echoState() const;

    // The timer's callback (public for the timer).
    void OnTimer();

  private:
    void OnEchoDone(bool ok, const std::string& status);

    Owner owner_;
    ICairndbLiveness* liveness_;
    boost::asio::io_context& io_;

    mutable std::mutex mutex_;
    AgentClock::time_point lastSignOfLife_{};  // the start until the first sign of life
    bool signOfLife_ = false;                    // one was seen: "connected" may be reported
    int connected_ = 0;
    int echoState_ = kNoEcho;
    bool stopped_ = false;
    std::shared_ptr<AsyncTimer<DaemonHealthMonitor>> timer_;
};

}  // namespace CfgAgent

#pragma once
// DataplaneKrnlink: one kernel-link channel to a dataplane module.
//
// Owned (by counted reference) by one application, which gives it a receive handler, a
// link-status handler and optionally a link check. Three activities share it: a sender loop and a
// receiver loop (one work-group item each, for the life of the link) and the 5-second reopen timer
// on the io context; owners call Send from any thread.
//
// - Send queues the message; the sender writes queued messages in order while the link is up and
//   keeps them (including one it already took) while it is down.
// - The receiver reads header then body and hands each complete message to the receive handler,
//   which must copy what it keeps. Messages whose length field is below 4 close the link (the
//   stream can no longer be trusted).
// - Every failure closes the link; the timer reopens it within 5 seconds.
// - Stop clears both running flags, stops the timer and the queue, shuts the socket down and wakes
//   both loops, so that both work items return promptly and the work group can stop.
//
// Link-status events (0 up, 1 down) are delivered in the order they happened, without the link
// mutex held, on the thread that caused them or on a thread already delivering an earlier one.
// A handler may therefore take the global agent lock and may call Send or ScheduleReopen.
//
// The reopen timer and both work items hold counted references to the link: an owner calls Stop
// before it lets go of the link, or the link lives on.
//
// A connection is held by shared pointer: a loop that is still using a connection that another
// thread closed keeps its descriptor alive (shut down, not reused) until it lets go, and its
// failure can only close that connection, never a newer one.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "dataplane/DataplaneLink.h"
#include "runtime/MsgQueue.h"

namespace ozy::krnlink {
class IKrnlinkSockets;
}

namespace CfgAgent {

template <typename T>
class AsyncTimer;

class DataplaneKrnlink : public DataplaneLink {
  public:
    using ReceiveHandler = std::function<void(const uint8_t* msg, size_t length)>;
    using LinkStatusHandler = std::function<void(DataplaneLink* link, int status)>;
    using LinkCheck = std::function<bool(int socket)>;

    static constexpr uint64_t kReopenIntervalMicros = 5'000'000;

    // `sockets` defaults to the system's kernel-link sockets.
    DataplaneKrnlink(std::string name, ReceiveHandler receiveHandler,
                     LinkStatusHandler linkStatusHandler, LinkCheck linkCheck, int bufferSize,
                     ozy::krnlink::IKrnlinkSockets* sockets = nullptr);
    ~DataplaneKrnlink() override;

    bool Start() override;
    void Stop() override;
    void ScheduleReopen() override;
    bool Send(DpMsg msg) override;
    // Input is readable on the open connection, at once or within `waitMs` milliseconds (or it
    // hung up: the receiver finds out next). Stop and a close end the wait.
    bool ReceivePending(int waitMs) override;

    const std::string& Name() const { return name_; }
    bool Connected() const;
    size_t QueuedMessages() const { return queue_.size(); }

    // Loop and timer bodies (work items and the reopen timer bind to them).
    void SenderLoop();
    void ReceiverLoop();
    void OnReopenTimer();

  private:
    struct Conn;
    using ConnPtr = std::shared_ptr<Conn>;

    void Open();
    void OpenLocked();
    // Closes `expected` if it is still the current connection (any connection when null).
    void Close(const ConnPtr& expected);
    void CloseLocked(const ConnPtr& expected);
    void DeliverStatus();
    ConnPtr CurrentConn() const;
    // Waits (at most 5 seconds) for the link to come up or the loop to be stopped.
    void WaitForLink(const bool& running);
    bool RecvAll(const ConnPtr& conn, uint8_t* buf, size_t size);

    const std::string name_;
    const ReceiveHandler receiveHandler_;
    const LinkStatusHandler linkStatusHandler_;
    const LinkCheck linkCheck_;
    ozy::krnlink::IKrnlinkSockets& sockets_;
    const int bufferSize_;

    // Guards the connection state, the running flags and the pending status events.
    mutable std::mutex linkMutex_;
    std::condition_variable linkChanged_;
    ConnPtr conn_;
    int socket_ = -1;
    bool connected_ = false;
    bool receiverRunning_ = true;
    bool senderRunning_ = true;
    bool started_ = false;
    bool stopped_ = false;
    std::deque<int> pendingStatus_;
    bool delivering_ = false;

    MsgQueue<DpMsg> queue_;

    std::mutex timerMutex_;
    std::shared_ptr<AsyncTimer<DataplaneKrnlink>> timer_;
};

}  // namespace CfgAgent

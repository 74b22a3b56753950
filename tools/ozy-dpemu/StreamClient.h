#pragma once
// The client role of the emulator's transport: a Unix stream connection out to a socket at a host
// path (the agent's side of a link the host's daemons connect to), with the same framed,
// non-blocking reading and bounded output as StreamServer, that reconnects on its own: while not
// connected it tries again every retry interval, and after the peer closes (or Drop) it waits one
// interval and tries again. Loop thread only.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/ozy-dpemu/EventLoop.h"
#include "tools/ozy-dpemu/StreamServer.h"

namespace ozy::dpemu {

class StreamClient {
  public:
    struct Callbacks {
        std::function<void()> onConnect;
        std::function<void(const uint8_t* frame, size_t size)> onFrame;
        std::function<void()> onClose;
    };

    StreamClient(EventLoop& loop, std::string logicalPath, StreamServer::FrameSizer sizer,
                 Callbacks callbacks,
                 std::chrono::milliseconds retry = std::chrono::milliseconds(250));
    ~StreamClient();
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    // Tries to connect now and keeps trying; false when the retry timer cannot be created.
    bool Start();
    bool Connected() const { return fd_ >= 0; }
    // Queues bytes for the peer; false when not connected or the output is over its bound.
    bool Send(const uint8_t* data, size_t size);
    // Closes the connection (onClose runs); the next attempt follows after one interval.
    bool Drop();
    uint64_t Connects() const { return connects_; }
    const std::string& LogicalPath() const { return logicalPath_; }

  private:
    void TryConnect();
    void ArmRetry();
    void OnEvent(short revents);
    void ReadIn();
    void FlushOut();
    void CloseConn(const std::string& why);

    EventLoop& loop_;
    const std::string logicalPath_;
    const std::string path_;
    StreamServer::FrameSizer sizer_;
    Callbacks callbacks_;
    const std::chrono::milliseconds retry_;
    int fd_ = -1;
    int timerFd_ = -1;
    bool lastAttemptFailed_ = false;
    uint64_t connects_ = 0;
    std::vector<uint8_t> in_;
    std::vector<uint8_t> out_;
    size_t outPos_ = 0;
};

}  // namespace ozy::dpemu

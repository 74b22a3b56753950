#pragma once
// A listening Unix stream socket at a host path, with framed, non-blocking connections: the
// transport under every kernel-link endpoint and device socket of the emulator.
//
// The framing is given as a sizer: it looks at the bytes received so far and says how long the
// frame at their start is (0: not complete yet) or that it is malformed (then the connection is
// closed with a log line: a stream that lost its framing cannot be trusted). Outgoing bytes are
// buffered up to a limit; a peer that stops reading beyond it is disconnected. Loop thread only.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/ozy-dpemu/EventLoop.h"

namespace ozy::dpemu {

class StreamServer {
  public:
    // > 0: size of the complete frame at `data`; 0: need more; < 0: malformed (`error` says why).
    using FrameSizer = std::function<long(const uint8_t* data, size_t size, std::string* error)>;
    struct Callbacks {
        std::function<void(uint64_t conn)> onAccept;
        std::function<void(uint64_t conn, const uint8_t* frame, size_t size)> onFrame;
        std::function<void(uint64_t conn)> onClose;
    };

    static constexpr size_t kMaxPendingOutput = 64u * 1024u * 1024u;

    // `label` names the socket in log lines (an endpoint name or a device path).
    StreamServer(EventLoop& loop, std::string logicalPath, std::string label, FrameSizer sizer,
                 Callbacks callbacks);
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    // Creates the parent directories, replaces a stale socket file and listens. 0 or errno.
    int Listen();
    // Closes every connection and the listening socket, and removes the socket file.
    void StopListening();
    bool Listening() const { return listenFd_ >= 0; }
    bool Send(uint64_t conn, const uint8_t* data, size_t size);
    // Closes one connection (onClose runs); false when unknown.
    bool Close(uint64_t conn);
    size_t CloseAll();
    std::vector<uint64_t> Connections() const;
    const std::string& Label() const { return label_; }
    const std::string& LogicalPath() const { return logicalPath_; }

  private:
    struct Conn {
        uint64_t id;
        int fd;
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
        size_t outPos = 0;
    };

    void OnListenReady();
    void OnConnEvent(uint64_t id, short revents);
    void ReadFrom(Conn& c);
    void FlushOut(Conn& c);
    void UpdateEvents(const Conn& c);

    EventLoop& loop_;
    const std::string logicalPath_;
    const std::string path_;
    const std::string label_;
    FrameSizer sizer_;
    Callbacks callbacks_;
    int listenFd_ = -1;
    uint64_t nextId_ = 1;
    std::map<uint64_t, std::unique_ptr<Conn>> conns_;
};

// Sizers for the two framings the emulator speaks.
long DataplaneFrameSize(const uint8_t* data, size_t size, std::string* error);
long DeviceFrameSize(const uint8_t* data, size_t size, std::string* error);

// mkdir -p for the parent directory of `path`, each directory made 0755 whatever the umask: 0 or
// errno.
int MakeParentDirs(const std::string& path);

}  // namespace ozy::dpemu

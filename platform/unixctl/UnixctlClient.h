#pragma once
// A minimal unixctl client: connects to a server socket, sends one request at a time and reads its
// reply, each step bounded by a timeout. Used to wake a server at shutdown (connect, then close at
// once) and by tests; people use ovs-appctl. Not thread-safe; one request in flight at a time.
#include <memory>
#include <string>
#include <vector>

#include "platform/unixctl/UnixctlProtocol.h"

namespace ozy::unixctl {

class Client {
  public:
    static constexpr int kDefaultTimeoutMs = 5000;
    // Largest reply accepted (dumps can be large).
    static constexpr size_t kMaxReplyBytes = 64 * 1024 * 1024;

    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to the server socket at `path`. Returns 0 or an errno value (ETIMEDOUT when the
    // server's backlog stays full; ENAMETOOLONG for a path too long for a socket address).
    int Connect(const std::string& path, int timeoutMs = kDefaultTimeoutMs);
    // Sends `method` with `args` and waits for the reply. Returns 0 with `*reply` filled (a success
    // or an error reply), or an errno value: ENOTCONN, ETIMEDOUT, ECONNRESET when the server closed
    // the connection, EPROTO for a message that is not the reply to this request. After a failure
    // the connection is closed.
    int Transact(const std::string& method, const std::vector<std::string>& args, Reply* reply,
                 int timeoutMs = kDefaultTimeoutMs);
    void Close();
    bool connected() const { return fd_ >= 0; }

  private:
    int Fail(int err);

    int fd_ = -1;
    unsigned long nextId_ = 0;
    std::unique_ptr<MessageFramer> framer_;
};

}  // namespace ozy::unixctl

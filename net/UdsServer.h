#pragma once
// Common::UdsServer: a Unix-domain stream listener that accepts connections, numbers them, keeps
// the live ones by id and reports them to its listener.
//
// Start (caller's thread, before the io context carries it): an existing socket file at the path
// is removed (anything else there is left alone and start fails), then open, bind, chmod, listen;
// a failure throws boost::system::system_error whose text names the step. Accepting, reading and
// status reports then run on one strand of the given io context. A transient accept failure
// (descriptors or memory exhausted, a connection aborted before it was taken) is retried after a
// delay instead of ending accepting. Closed connections are forgotten; ids skip 0.
//
// Close() is for the owner's shutdown, once no thread runs the io context any more: it closes the
// acceptor and every connection without reporting and removes the socket file.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "net/UdsConnection.h"
#include "net/UdsConnectionListener.h"
#include "runtime/AgentClock.h"

namespace Common {

class UdsServer : public std::enable_shared_from_this<UdsServer> {
  public:
    using Socket = boost::asio::local::stream_protocol::socket;
    // Creates the connection object for an accepted socket (a CfgUdsServerConnection for the
    // operations-agent link).
    using ConnectionFactory = std::function<std::shared_ptr<UdsConnection>(
        Socket socket, ConnectionStrand strand, uint32_t id, UdsConnectionListener* listener)>;

    struct Options {
        // Permissions of the socket file; 0 leaves the process umask's.
        mode_t socketMode = 0;
        // Delay before accepting again after a transient failure.
        std::chrono::milliseconds acceptRetry{200};
    };

    // `path` is opened; `label` (the logical path) names the server in log lines.
    UdsServer(boost::asio::io_context& io, std::string path, std::string label,
              UdsConnectionListener* listener, ConnectionFactory factory, Options options);
    ~UdsServer();
    UdsServer(const UdsServer&) = delete;
    UdsServer& operator=(const UdsServer&) = delete;

    void Start();
    void Close();

    // Any thread.
    std::shared_ptr<UdsConnection> Find(uint32_t id) const;
    bool StopConnection(uint32_t id);
    size_t ConnectionCount() const;
    std::string Description() const { return description_; }

  private:
    void DoAccept();
    void OnAccept(const boost::system::error_code& ec, Socket socket);
    void OnRetryTimer(const boost::system::error_code& ec);
    void Forget(uint32_t id);
    uint32_t NextId();

    boost::asio::io_context& io_;
    ConnectionStrand strand_;
    const std::string path_;
    const std::string description_;
    UdsConnectionListener* const listener_;
    ConnectionFactory factory_;
    const Options options_;
    boost::asio::local::stream_protocol::acceptor acceptor_;
    boost::asio::basic_waitable_timer<CfgAgent::AgentClock, CfgAgent::AgentWaitTraits> retry_;
    uint32_t nextId_ = 0;  // strand only
    bool closed_ = false;  // strand only, or after the io context stopped
    dev_t boundDev_ = 0;
    ino_t boundIno_ = 0;

    mutable std::mutex mutex_;  // guards the table
    std::map<uint32_t, std::shared_ptr<UdsConnection>> connections_;
};

}  // namespace Common

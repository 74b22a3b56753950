#pragma once
// CfgUdsLink: the agent's end of the operations-agent link.
//
// The agent listens on a Unix-domain stream socket ("/var/run/orvane/ozy-agent/ozya_link" under
// the host root; directory 0750, socket 0660); the host's operations agent connects. Each frame
// (LcpFrameLayout.h) carries one LcpDpMsg; an incoming message is handed to the handler registered
// for its payload's type, on the link's own io thread, under the global agent lock. The last
// connection that connected or sent a message is the active one, to which Send writes.
//
// Lifecycle (main thread): created before the applications, which register their handlers and
// observers; Start once they all have (later registrations are refused); Stop stops the io
// context and joins its thread, then closes the socket. Send may be called from any thread.
//
// Bad input never ends the link: a short frame (LCP02002), a length that disagrees with the
// header (LCP02001), a frame announcing more than 16 MiB (LCP02004, that connection closed), a
// fragment or unknown frame type or an unparsable payload (LCP02005) is logged and dropped; a
// handler's exception is caught and logged (LCP02007).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "cli/udslink/ICfgUdsLink.h"
#include "net/UdsConnectionListener.h"

namespace boost::asio {
class io_context;
}
namespace Common {
class UdsServer;
}

namespace CfgAgent {

class CfgUdsLink : public Common::UdsConnectionListener,
                   public ICfgUdsLink,
                   public std::enable_shared_from_this<CfgUdsLink> {
  public:
    // `logicalPath` is placed under the host root.
    explicit CfgUdsLink(std::string logicalPath = std::string());
    ~CfgUdsLink() override;
    CfgUdsLink(const CfgUdsLink&) = delete;
    CfgUdsLink& operator=(const CfgUdsLink&) = delete;

    // Listener side (the link's io thread).
    void OnConnectionStatusChanged(uint32_t connId, int status) override;
    void OnMessageReceived(Common::StreamConnection& conn, const uint8_t* bytes,
                           size_t length) override;
    size_t MaxMessageSize() const override;
    void OnOversizedMessage(uint32_t connId, uint64_t announced) override;

    // False (logged with LCP02006) when the socket cannot be set up.
    bool Start();
    void Stop();
    bool Send(const orvane::ozy::lcp::LcpDpMsg& msg) override;
    bool SendPayload(const google::protobuf::Message& payload) override;
    bool RegisterHandler(const std::string& typeName, Handler handler) override;
    bool AddStatusObserver(StatusObserver observer) override;

    uint32_t ActiveConnection() const;
    const std::string& LogicalPath() const { return logicalPath_; }

  private:
    bool PrepareDirectory(const std::string& socketPath);
    void Dispatch(const uint8_t* payload, size_t size);
    void NotifyObservers(bool connected);

    const std::string logicalPath_;
    std::unique_ptr<boost::asio::io_context> io_;
    std::shared_ptr<Common::UdsServer> server_;
    std::thread thread_;
    std::atomic<bool> started_{false};

    mutable std::mutex mutex_;  // the link mutex: the active connection
    uint32_t activeConn_ = 0;

    // Written only before Start (main thread), read by the io thread afterwards.
    std::unordered_map<std::string, Handler> handlers_;
    std::vector<StatusObserver> observers_;
};

}  // namespace CfgAgent

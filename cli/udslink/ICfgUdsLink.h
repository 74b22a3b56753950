#pragma once
// The operations-agent link as applications see it: they register a handler per payload type
// before the link starts, send LcpDpMsg messages from any thread, and may watch the link's
// connection state. Implemented by CfgUdsLink; tests use a fake.
#include <functional>
#include <string>

namespace google::protobuf {
class Message;
}
namespace orvane::ozy::lcp {
class LcpDpMsg;
}

namespace CfgAgent {

class ICfgUdsLink {
  public:
    using Handler = std::function<void(const orvane::ozy::lcp::LcpDpMsg& msg)>;
    // true when an operations agent is connected, false when the last one left.
    using StatusObserver = std::function<void(bool connected)>;

    virtual ~ICfgUdsLink() = default;

    // Handlers are keyed by the payload's full type name ("orvane.ozy.lcp.LivetraceMsg"), run on
    // the link's thread under the global agent lock, and must not throw across (a throw is
    // caught and logged). Registration is refused (false, logged) once the link has started and
    // for a name already taken.
    virtual bool RegisterHandler(const std::string& typeName, Handler handler) = 0;
    virtual bool AddStatusObserver(StatusObserver observer) = 0;

    // One message to the connected operations agent: false (logged) when it is empty, too large,
    // or no operations agent is connected.
    virtual bool Send(const orvane::ozy::lcp::LcpDpMsg& msg) = 0;
    // Wraps `payload` in an LcpDpMsg and sends it.
    virtual bool SendPayload(const google::protobuf::Message& payload) = 0;
};

}  // namespace CfgAgent

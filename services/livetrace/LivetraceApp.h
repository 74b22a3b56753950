#pragma once
// LivetraceApp (application "livetrace"): live-trace sessions asked for by the operations agent.
//
// - Requests and deletes arrive on the operations-agent link (LivetraceMsg). A request is checked
//   field by field, its source port resolved through the state cache to its host switch, its
//   match fields compiled into a BPF program (LivetraceFilter), its capture files created
//   (PktcapFile), and only then sent as CREATE on "livetrace_ozyt_krnlink"; a refused request
//   sends nothing to the dataplane. Each gets a LivetraceStatusMsg.
// - Results of the dataplane (fragments reassembled by LivetraceFragments) go back as
//   LivetraceResultMsg: traces, counters and statistics as they come; packets into the session's
//   capture file of their direction (pcapng, one comment per packet); BARRIER and INVALIDATE end a
//   direction, close its files and report their names.
// - Sessions never outlive their welcome: when the kernel link goes down, or timeout plus grace
//   after the request, their files are closed and the invalidation reported. Fragment chains
//   that do not complete are freed on the same timer.
//
// Threads: link handlers on the link's thread, dataplane messages on the kernel link's receiver,
// the timer on an io thread; all state is under the global agent lock. Never blocks on the
// operations agent (its link queues) and never trusts a byte of the dataplane.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "dataplane/DataplaneLink.h"
#include "dataplane/KrnlinkFactory.h"
#include "runtime/AgentClock.h"
#include "runtime/RefCounted.h"
#include "services/livetrace/LivetraceFragments.h"

namespace boost::asio {
class io_context;
}
namespace google::protobuf {
class Message;
}
namespace orvane::ozy::lcp {
class LcpDpMsg;
class LivetraceRequestMsg;
class LivetraceDeleteMsg;
}  // namespace orvane::ozy::lcp

namespace CfgAgent {

class ICfgUdsLink;
class IStateCacheConfigTable;
template <typename T>
class AsyncTimer;

namespace livetrace {
class LivetraceFilter;
class PktcapFile;
struct Result;
}  // namespace livetrace

struct LivetraceAppOptions {
    IStateCacheConfigTable* configTable = nullptr;
    ICfgUdsLink* opsLink = nullptr;
    KrnlinkFactory makeLink;                          // default: the system's kernel links
    boost::asio::io_context* timerContext = nullptr;  // default: the process io context
    std::string captureDir = "/tmp/livetrace/pktcap/";
};

class LivetraceApp : public ozy::RefCounted<LivetraceApp> {
  public:
    static constexpr const char* kLinkName = "livetrace_ozyt_krnlink";
    static constexpr int kLinkBufferSize = 4096;
    static constexpr uint64_t kDefaultMaxCaptureBytes = 64ull << 20;
    static constexpr uint32_t kGraceSeconds = 30;
    static constexpr uint64_t kTimerMicros = 1000000;

    explicit LivetraceApp(LivetraceAppOptions options);
    ~LivetraceApp() override;

    // Keys: "krnlink.path" (default kLinkName), "pktcap.max_bytes" (per session and direction),
    // "fragment.timeout_ms".
    void Start(const boost::property_tree::ptree& config);
    void Stop();

    // Handlers (public for tests).
    void HandleOpsMessage(const orvane::ozy::lcp::LcpDpMsg& msg);
    void HandleDpMessage(const uint8_t* msg, size_t length);
    void HandleLinkStatus(DataplaneLink* link, int status);
    void OnTimer();

    // The sessions as JSON text (CLI page cfgagent/livetrace/sessions).
    std::string SessionsJson() const;
    size_t OpenChains() const;

  private:
    struct Session {
        uint64_t id = 0;
        uint8_t slot = 0;
        uint8_t directions = 0;  // kDirForward | kDirBackward
        uint8_t ended = 0;
        AgentClock::time_point deadline;
        std::unique_ptr<livetrace::PktcapFile> files[2];  // forward, backward
        bool capNoted = false;
    };

    void HandleRequest(const orvane::ozy::lcp::LivetraceRequestMsg& req);
    void HandleDelete(const orvane::ozy::lcp::LivetraceDeleteMsg& del);
    void HandleResult(const livetrace::Result& r);
    void HandlePktcap(const livetrace::Result& r);
    void EndDirection(uint64_t sessionId, uint8_t direction, bool invalidated, uint32_t reason);
    void InvalidateAll(uint32_t reason);
    bool SendToDataplane(std::vector<uint8_t> msg);
    bool SendToOps(const google::protobuf::Message& payload);
    void SendStatus(uint64_t session, bool ok, const char* code, const std::string& text);
    void ArmTimer();

    LivetraceAppOptions options_;
    ozy::RefPtr<DataplaneLink> link_;
    std::atomic<bool> linkDown_{true};
    bool stopped_ = false;
    bool started_ = false;
    uint64_t maxCaptureBytes_ = kDefaultMaxCaptureBytes;

    // Under the global agent lock.
    std::unique_ptr<livetrace::LivetraceFilter> filter_;
    livetrace::LivetraceFragments fragments_;
    std::map<uint64_t, Session> sessions_;
    std::shared_ptr<AsyncTimer<LivetraceApp>> timer_;
    bool timerArmed_ = false;
};

}  // namespace CfgAgent

#pragma once
// IDSEngine: the agent's channel to the host's IDS engine process
// (platform/ids/IdsEngineProtocol.h).
//
// Owns the command and monitor connections. A loop of its own (monitorProcess, posted on the work
// group by initialize) connects in the background with a growing pause between attempts, so an
// engine that is absent at start or goes away later is found again; each new connection (version
// exchange passed) calls the connected callback, which IDSApp takes as an engine restart. While
// connected, the loop waits on the monitor socket with poll(): readable or closed means the
// engine restarted.
//
// Requests (SendRecvTlv and the typed operations) run one at a time under the channel's mutex and
// never wait longer than the request deadline; the reply length is checked against the cap before
// anything is allocated. Any failure of framing, a short read or write, or the deadline closes the
// connection (a stream out of step is never reused) and the loop reconnects. Callers must not hold
// the global agent lock while calling in.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "proto/idps.pb.h"
#include "runtime/RefCounted.h"

namespace CfgAgent {

class IDSEngine : public ozy::RefCounted<IDSEngine> {
  public:
    struct Settings {
        std::string sockPath = "/var/run/ozy-idps/ozy-idps-command.socket";
        std::chrono::milliseconds requestTimeout{5000};
        std::chrono::milliseconds minBackoff{100};
        std::chrono::milliseconds maxBackoff{5000};
        // How long one wait on the monitor socket lasts before the loop looks at its flags.
        std::chrono::milliseconds monitorPoll{200};
    };

    enum class Result {
        kOk,
        kNotConnected,
        kIoError,       // write or read failed, end of stream, deadline, framing: connection closed
        kErrorReply,    // type 1
        kInvalidReply,  // another type, or a value that is not the response message
    };

    using ConnectedFn = std::function<void()>;

    IDSEngine(Settings settings, ConnectedFn onConnected);
    ~IDSEngine() override;

    // Checks the socket path and posts the loop; false (logged) when the path cannot be used.
    bool initialize();
    void stop();
    bool connected() const { return connected_.load(); }
    // Connections made so far (each one a version exchange passed).
    uint64_t connections() const { return connections_.load(); }

    // One request and its reply (`response` the reply's value on kOk, the error text's value on
    // kErrorReply).
    Result SendRecvTlv(uint32_t type, const std::string& request, std::string* response);

    bool UpdateRuleMap(const orvane::ozy::lcp::idps::RuleUpdateMsg& update);
    bool UpdateProfileMap(const orvane::ozy::lcp::idps::ProfileUpdateMsg& update);
    bool ReloadSignatures(uint64_t* sidsLoaded);
    bool listRules(orvane::ozy::lcp::idps::GetRulesResponseMsg* rules);
    bool listProfiles(orvane::ozy::lcp::idps::ListProfilesResponseMsg* profiles);
    bool getUptime(orvane::ozy::lcp::idps::GetUptimeResponseMsg* uptime);
    bool getLogLevel(std::string* level);
    bool setLogLevel(const std::string& level);
    bool getAlertLog(bool* enabled);
    bool setAlertLog(bool enabled);
    bool dumpCounters(orvane::ozy::lcp::idps::DumpCounterResponseMsg* counters);
    bool getSignAction(const std::string& profile, uint64_t sid, std::string* action);
    bool getProfileStatus(const std::string& profile,
                          orvane::ozy::lcp::idps::ProfileStatusResponseMsg* status);

    // The loop (posted by initialize).
    void monitorProcess();

    // Takes two connected descriptors as the engine's command and monitor connections without
    // the loop (fuzz targets and tests that play the engine themselves).
    void adoptConnection(int cmdFd, int monFd);

  private:
    // Connects both sockets and exchanges versions; true when connected.
    bool connectProcess();
    bool setupSocket(const std::string& path, int* fd);
    // Closes both connections; called with mutex_ held.
    void closeLocked(const char* why);
    Result exchangeLocked(uint32_t type, const std::string& request, uint32_t* replyType,
                          std::string* reply);
    bool writeAll(const char* fn, const void* data, size_t size,
                  std::chrono::steady_clock::time_point deadline);
    bool readAll(const char* fn, void* data, size_t size,
                 std::chrono::steady_clock::time_point deadline);
    // Runs one typed request: serialize, exchange, parse; logs as the format requires.
    bool Call(const char* fn, uint32_t type, const google::protobuf::Message& request,
              google::protobuf::Message* response, const char* invalidCode);

    Settings settings_;
    ConnectedFn onConnected_;
    std::string path_;  // host path of the command socket
    std::string monitorPath_;

    std::mutex mutex_;  // the connections and one request at a time
    int cmdFd_ = -1;
    int monFd_ = -1;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> connections_{0};

    std::mutex loopMutex_;
    std::condition_variable loopCv_;
    bool stopping_ = false;
    bool running_ = false;
};

}  // namespace CfgAgent

#include "ids/IDSEngine.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "ids/IdsLog.h"
#include "platform/HostRoot.h"
#include "platform/ids/IdsEngineProtocol.h"
#include "runtime/WorkGroup.h"

namespace CfgAgent {

namespace pb = orvane::ozy::lcp::idps;
using Clock = std::chrono::steady_clock;

namespace {

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
}

// Waits for `events` on `fd` until the deadline: > 0 ready, 0 deadline, < 0 error (errno set).
int WaitFd(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        struct pollfd p = {fd, events, 0};
        int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r;
    }
}

std::string Text(const char* a, const char* b, const char* c = "") {
    return std::string(a) + b + c;
}

}  // namespace

IDSEngine::IDSEngine(Settings settings, ConnectedFn onConnected)
    : settings_(std::move(settings)), onConnected_(std::move(onConnected)) {}

IDSEngine::~IDSEngine() {
    std::lock_guard<std::mutex> lock(mutex_);
    closeLocked(nullptr);
}

bool IDSEngine::initialize() {
    IDS_INFO("ids: IDSEngine::%1: Invoked with sockPath %2", "initialize", settings_.sockPath);
    path_ = ozy::hostPath(settings_.sockPath);
    monitorPath_ = ozy::hostPath(ozy::ids::MonitorSocketPath(settings_.sockPath));
    // A longer path would be cut short by sockaddr_un: refuse it instead of connecting elsewhere.
    const size_t limit = sizeof(sockaddr_un{}.sun_path);
    if (path_.size() >= limit || monitorPath_.size() >= limit) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSEngine::%1: Could not create socket %2",
                       "initialize", settings_.sockPath);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(loopMutex_);
        stopping_ = false;
        running_ = true;
    }
    if (!WorkGroups::Post(MakeWorkItem(&IDSEngine::monitorProcess, this, "IDSEngine"))) {
        std::lock_guard<std::mutex> lock(loopMutex_);
        running_ = false;
        return false;
    }
    return true;
}

void IDSEngine::stop() {
    IDS_INFO("ids: IDSEngine:: stop invoked");
    {
        std::unique_lock<std::mutex> lock(loopMutex_);
        stopping_ = true;
        loopCv_.notify_all();
        loopCv_.wait(lock, [this] { return !running_; });
    }
    std::lock_guard<std::mutex> lock(mutex_);
    closeLocked(nullptr);
}

void IDSEngine::closeLocked(const char* why) {
    if (why != nullptr && cmdFd_ >= 0) {
        IDS_WARN("ids: IDSEngine::%1: Closing the connection to the IDS engine", why);
    }
    if (cmdFd_ >= 0) {
        ::close(cmdFd_);
        cmdFd_ = -1;
    }
    if (monFd_ >= 0) {
        ::close(monFd_);
        monFd_ = -1;
    }
    connected_ = false;
}

void IDSEngine::adoptConnection(int cmdFd, int monFd) {
    std::lock_guard<std::mutex> lock(mutex_);
    closeLocked(nullptr);
    cmdFd_ = cmdFd;
    monFd_ = monFd;
    connected_ = true;
}

bool IDSEngine::setupSocket(const std::string& path, int* fd) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());  // length checked by initialize
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return false;
    }
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(s);
        return false;
    }
    *fd = s;
    return true;
}

bool IDSEngine::connectProcess() {
    std::lock_guard<std::mutex> lock(mutex_);
    closeLocked(nullptr);
    if (!setupSocket(path_, &cmdFd_)) {
        IDS_DEBUG("ids: IDSEngine::%1: Could not connect to IDS engine %2", "setupSocket",
                  settings_.sockPath);
        return false;
    }
    std::string hello = nlohmann::json{{"version", ozy::ids::kProtocolVersion}}.dump();
    uint32_t type = 0;
    std::string reply;
    if (exchangeLocked(ozy::ids::kTlvVersion, hello, &type, &reply) != Result::kOk) {
        IDS_ERROR_CODE("IDSERR_INTERNAL",
                       "ids: IDSEngine::%1: Failed to send version msg to IDS engine",
                       "setupSocket");
        closeLocked(nullptr);
        return false;
    }
    auto j = nlohmann::json::parse(reply, nullptr, false);
    if (type != ozy::ids::kTlvVersion || j.is_discarded() || !j.is_object() ||
        !j.contains("return") || !j["return"].is_string()) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSEngine::%1: Received error from IDS engine",
                       "setupSocket");
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSEngine::%1: Missing required key",
                       "setupSocket");
        closeLocked(nullptr);
        return false;
    }
    if (!setupSocket(monitorPath_, &monFd_)) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSEngine::%1: Could not connect to IDS engine %2",
                       "setupSocket", ozy::ids::MonitorSocketPath(settings_.sockPath));
        closeLocked(nullptr);
        return false;
    }
    connected_ = true;
    IDS_INFO("ids: IDSEngine::%1: Connected to the IDS engine at %2", "setupSocket",
             settings_.sockPath);
    return true;
}

void IDSEngine::monitorProcess() {
    auto backoff = settings_.minBackoff;
    uint64_t failures = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(loopMutex_);
            if (stopping_) {
                break;
            }
        }
        if (!connected_) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                closeLocked(nullptr);
            }
            if (connectProcess()) {
                backoff = settings_.minBackoff;
                failures = 0;
                ++connections_;
                if (onConnected_) {
                    onConnected_();
                }
                continue;
            }
            if (failures++ == 0) {
                IDS_WARN("ids: IDSEngine::%1: Connection with IDS Engine not yet established",
                         "monitorProcess");
            }
            std::unique_lock<std::mutex> lock(loopMutex_);
            loopCv_.wait_for(lock, backoff, [this] { return stopping_; });
            backoff = std::min(backoff * 2, settings_.maxBackoff);
            continue;
        }
        // Only this loop closes the sockets, so the descriptor stays valid while it waits.
        struct pollfd p = {monFd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(settings_.monitorPoll.count()));
        if (r < 0 && errno != EINTR) {
            IDS_ERROR_CODE("IDSERR_INTERNAL",
                           "ids: IDSEngine::%1: Error listening on monitor socket %2",
                           "monitorProcess", std::strerror(errno));
            std::lock_guard<std::mutex> lock(mutex_);
            closeLocked(nullptr);
        } else if (r > 0) {
            IDS_WARN(
                "ids: IDSEngine::%1: Detected IDS Engine restart. Re-establishing communication",
                "monitorProcess");
            std::lock_guard<std::mutex> lock(mutex_);
            closeLocked(nullptr);
        }
    }
    IDS_INFO("ids: IDSEngine::%1: Exiting task", "monitorProcess");
    std::lock_guard<std::mutex> lock(loopMutex_);
    running_ = false;
    loopCv_.notify_all();
}

bool IDSEngine::writeAll(const char* fn, const void* data, size_t size,
                         Clock::time_point deadline) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        int w = WaitFd(cmdFd_, POLLOUT, deadline);
        ssize_t n = w > 0 ? ::send(cmdFd_, p, size, MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
        if (n < 0 && w > 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            IDS_ERROR_CODE("IDSERR_INTERNAL",
                           "ids: IDSEngine::%1: Error communicating with IDS Engine %2", fn,
                           w == 0 ? "deadline passed" : std::strerror(errno));
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool IDSEngine::readAll(const char* fn, void* data, size_t size, Clock::time_point deadline) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        int w = WaitFd(cmdFd_, POLLIN, deadline);
        ssize_t n = w > 0 ? ::recv(cmdFd_, p, size, MSG_DONTWAIT) : -1;
        if (n < 0 && w > 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n == 0) {
            IDS_ERROR("ids: IDSEngine::%1: Received EOF (ret = 0)", fn);
            return false;
        }
        if (n < 0) {
            IDS_ERROR_CODE("IDSERR_INTERNAL",
                           "ids: IDSEngine::%1: Error communicating with IDS Engine %2", fn,
                           w == 0 ? "deadline passed" : std::strerror(errno));
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

IDSEngine::Result IDSEngine::exchangeLocked(uint32_t type, const std::string& request,
                                            uint32_t* replyType, std::string* reply) {
    const char* fn = "SendRecvTlv";
    if (cmdFd_ < 0) {
        return Result::kNotConnected;
    }
    if (request.size() > ozy::ids::kMaxValue) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSEngine::%1: Error sending command", fn);
        return Result::kIoError;
    }
    IDS_DEBUG("ids: IDSEngine::%1: Entering req size: type %2, len %3", fn, type, request.size());
    const Clock::time_point deadline = Clock::now() + settings_.requestTimeout;
    uint8_t head[ozy::ids::kFrameHeaderSize];
    ozy::ids::EncodeFrameHeader({type, static_cast<uint32_t>(request.size())}, head);
    if (!writeAll(fn, head, sizeof head, deadline) ||
        !writeAll(fn, request.data(), request.size(), deadline)) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSEngine::%1: Error sending command", fn);
        closeLocked(fn);
        return Result::kIoError;
    }
    if (!readAll(fn, head, sizeof head, deadline)) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSEngine::%1: ERROR receiving tlv", fn);
        closeLocked(fn);
        return Result::kIoError;
    }
    ozy::ids::FrameHeader h = ozy::ids::DecodeFrameHeader(head);
    IDS_DEBUG("ids: IDSEngine::%1: received TLV type %2, length %3 ", fn, h.type, h.length);
    const uint32_t cap =
        type == ozy::ids::kTlvVersion ? ozy::ids::kMaxVersionText : ozy::ids::kMaxValue;
    if (h.length > cap) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSEngine::%1: ERROR receiving tlv", fn);
        IDS_ERROR_CODE("IDSERR_INTERNAL",
                       "ids: IDSEngine::%1: Reply length %2 above the limit of %3 bytes", fn,
                       h.length, cap);
        closeLocked(fn);
        return Result::kIoError;
    }
    reply->resize(h.length);
    if (!readAll(fn, reply->data(), h.length, deadline)) {
        IDS_ERROR_CODE("IDSERR_INTERNAL", "ids: IDSEngine::%1: ERROR receiving value", fn);
        closeLocked(fn);
        return Result::kIoError;
    }
    *replyType = h.type;
    return Result::kOk;
}

IDSEngine::Result IDSEngine::SendRecvTlv(uint32_t type, const std::string& request,
                                         std::string* response) {
    const char* fn = "SendRecvTlv";
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) {
        IDS_ERROR("ids: IDSEngine::%1: Connection with IDS Engine not yet established", fn);
        return Result::kNotConnected;
    }
    uint32_t replyType = 0;
    Result r = exchangeLocked(type, request, &replyType, response);
    if (r != Result::kOk) {
        return r;
    }
    const char* name = ozy::ids::RequestTypeName(type);
    if (replyType == type) {
        IDS_DEBUG("ids: IDSEngine::%1: Returning success with response of size %2", fn,
                  response->size());
        return Result::kOk;
    }
    if (replyType == ozy::ids::kTlvError) {
        pb::GenericResponseMsg err;
        std::string text = err.ParseFromString(*response) ? err.message() : "(unreadable)";
        IDS_ERROR("ids: IDSEngine::%1: Received error response %2 from IDS engine for %3 message",
                  fn, text, name != nullptr ? name : "");
        return Result::kErrorReply;
    }
    IDS_ERROR("ids: IDSEngine::%1: Received invalid response from IDS engine for %2 message", fn,
              name != nullptr ? name : "");
    return Result::kInvalidReply;
}

bool IDSEngine::Call(const char* fn, uint32_t type, const google::protobuf::Message& request,
                     google::protobuf::Message* response, const char* invalidCode) {
    const char* name = ozy::ids::RequestTypeName(type);
    std::string bytes = request.SerializeAsString();
    IDS_DEBUG(Text("ids: IDSEngine::%1 sending ", name, " to idps, size: %2"), fn, bytes.size());
    std::string reply;
    Result r = SendRecvTlv(type, bytes, &reply);
    const std::string codeTag = std::string("errorCode:") + invalidCode;
    switch (r) {
        case Result::kOk:
            break;
        case Result::kErrorReply:
            IDS_ERROR(Text("ids: IDSEngine::%1: Received ", name, " error from IDS engine"), fn);
            return false;
        case Result::kInvalidReply:
            CFG_LOG_AT(g_idsLogLevel, kLogError, {codeTag},
                       Text("ids: IDSEngine::%1: Received invalid response from IDS engine for ",
                            name, " message"),
                       fn);
            return false;
        case Result::kNotConnected:
        case Result::kIoError:
            IDS_ERROR_CODE("IDSERR_INTERNAL",
                           Text("ids: IDSEngine::%1: Failed to send: ", name, " to IDS engine"),
                           fn);
            return false;
    }
    if (!response->ParseFromString(reply)) {
        if (type == ozy::ids::kTlvGetSignAction) {
            CFG_LOG_AT(g_idsLogLevel, kLogError, {codeTag},
                       "ids: IDSEngine::%1: Invalid resp from IDPS for TLV_GET_SIGN_ACTION msg",
                       fn);
        } else {
            CFG_LOG_AT(g_idsLogLevel, kLogError, {codeTag},
                       Text("ids: IDSEngine::%1: Received invalid response from IDS engine for ",
                            name, " message"),
                       fn);
        }
        return false;
    }
    IDS_DEBUG(Text("ids: IDSEngine::%1: ", name, " response: %2"), fn,
              response->ShortDebugString());
    return true;
}

bool IDSEngine::UpdateRuleMap(const pb::RuleUpdateMsg& update) {
    if (!update.full() && update.rules_size() == 0 && update.removed_rule_ids_size() == 0) {
        IDS_ERROR_CODE("IDSERR_SEND_RULE_UPDATE", "ids: IDSEngine::%1: no rule data to send",
                       "UpdateRuleMap");
        return false;
    }
    pb::RuleUpdateResponseMsg resp;
    return Call("UpdateRuleMap", ozy::ids::kTlvUpdateRuleMap, update, &resp,
                "IDSERR_SEND_RULE_UPDATE");
}

bool IDSEngine::UpdateProfileMap(const pb::ProfileUpdateMsg& update) {
    const bool full = update.sync_type() == pb::PROFILE_SYNC_FULL;
    if (!full && update.profiles_size() == 0 && update.removed_profiles_size() == 0) {
        IDS_ERROR_CODE("IDSERR_SEND_PROFILE_UPDATE", "ids: IDSEngine::%1: no profile data to send",
                       "UpdateProfileMap");
        return false;
    }
    IDS_DEBUG("ids: IDSEngine::%1: profiles: %2, sync type: %3", "UpdateProfileMap",
              update.profiles_size(), full ? "full" : "incremental");
    pb::ProfileInfoResponseMsg resp;
    return Call("UpdateProfileMap", ozy::ids::kTlvUpdateProfileMap, update, &resp,
                "IDSERR_SEND_PROFILE_UPDATE");
}

bool IDSEngine::ReloadSignatures(uint64_t* sidsLoaded) {
    pb::ReloadSignatureResponseMsg resp;
    if (!Call("ReloadSignatures", ozy::ids::kTlvReloadSignatures, pb::ReloadSignatureRequestMsg(),
              &resp, "IDSERR_SEND_RULE_UPDATE")) {
        return false;
    }
    if (sidsLoaded != nullptr) {
        *sidsLoaded = resp.sids_loaded();
    }
    return true;
}

bool IDSEngine::listRules(pb::GetRulesResponseMsg* rules) {
    return Call("listRules", ozy::ids::kTlvGetRules, pb::GetRulesRequestMsg(), rules,
                "IDSERR_SEND_RULE_UPDATE");
}

bool IDSEngine::listProfiles(pb::ListProfilesResponseMsg* profiles) {
    return Call("listProfiles", ozy::ids::kTlvListTenants, pb::ListProfilesRequestMsg(), profiles,
                "IDSERR_SEND_RULE_UPDATE");
}

bool IDSEngine::getUptime(pb::GetUptimeResponseMsg* uptime) {
    return Call("getUptime", ozy::ids::kTlvGetUptime, pb::GetUptimeRequestMsg(), uptime,
                "IDSERR_SEND_RULE_UPDATE");
}

bool IDSEngine::getLogLevel(std::string* level) {
    pb::GetLogLevelResponseMsg resp;
    if (!Call("getLogLevel", ozy::ids::kTlvGetLogLevel, pb::GetLogLevelRequestMsg(), &resp,
              "IDSERR_SEND_RULE_UPDATE")) {
        return false;
    }
    *level = resp.level();
    return true;
}

bool IDSEngine::setLogLevel(const std::string& level) {
    pb::SetLogLevelRequestMsg req;
    req.set_level(level);
    pb::SetLogLevelResponseMsg resp;
    return Call("setLogLevel", ozy::ids::kTlvSetLogLevel, req, &resp, "IDSERR_SEND_RULE_UPDATE");
}

bool IDSEngine::getAlertLog(bool* enabled) {
    pb::GetAlertLogResponseMsg resp;
    if (!Call("getAlertLog", ozy::ids::kTlvGetAlertLog, pb::GetAlertLogRequestMsg(), &resp,
              "IDSERR_SEND_RULE_UPDATE")) {
        return false;
    }
    *enabled = resp.enabled();
    return true;
}

bool IDSEngine::setAlertLog(bool enabled) {
    pb::SetAlertLogRequestMsg req;
    req.set_enabled(enabled);
    pb::SetAlertLogResponseMsg resp;
    return Call("setAlertLog", ozy::ids::kTlvSetAlertLog, req, &resp, "IDSERR_SEND_RULE_UPDATE");
}

bool IDSEngine::dumpCounters(pb::DumpCounterResponseMsg* counters) {
    return Call("dumpCounters", ozy::ids::kTlvDumpCounters, pb::DumpCounterRequestMsg(), counters,
                "IDSERR_SEND_RULE_UPDATE");
}

bool IDSEngine::getSignAction(const std::string& profile, uint64_t sid, std::string* action) {
    pb::GetSignActionRequestMsg req;
    req.set_profile(profile);
    req.set_sid(sid);
    pb::GetSignActionResponseMsg resp;
    if (!Call("getSignAction", ozy::ids::kTlvGetSignAction, req, &resp,
              "IDSERR_SEND_RULE_UPDATE")) {
        return false;
    }
    *action = resp.action();
    return true;
}

bool IDSEngine::getProfileStatus(const std::string& profile, pb::ProfileStatusResponseMsg* status) {
    pb::ProfileStatusRequestMsg req;
    req.set_profile(profile);
    return Call("getProfileStatus", ozy::ids::kTlvGetProfileStatus, req, status,
                "IDSERR_SEND_RULE_UPDATE");
}

}  // namespace CfgAgent

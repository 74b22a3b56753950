#include "tools/ozy-dpemu/IdpsService.h"

#include <cerrno>
#include <cstring>

#include "platform/HostRoot.h"
#include "platform/ids/IdsEngineProtocol.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/StreamServer.h"

namespace ozy::dpemu {

namespace {

// A request type by name or number.
bool ParseType(const std::string& text, uint32_t* type) {
    if (ozy::ids::RequestTypeFromName(text, type)) {
        return true;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || ozy::ids::RequestTypeName(v) == nullptr) {
        return false;
    }
    *type = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

IdpsService::IdpsService(EventLoop& loop)
    : engine_(ozy::hostPath(ozy::ids::kDefaultConfDir)),
      command_(std::make_unique<StreamServer>(
          loop, ozy::ids::kCommandSocketPath, "idps command", IdpsFrameSize,
          StreamServer::Callbacks{
              [this](uint64_t c) { sessions_[c] = IdpsEngine::Session{}; },
              [this](uint64_t c, const uint8_t* f, size_t n) { OnFrame(c, f, n); },
              [this](uint64_t c) { sessions_.erase(c); }})),
      monitor_(std::make_unique<StreamServer>(
          loop, ozy::ids::MonitorSocketPath(ozy::ids::kCommandSocketPath), "idps monitor",
          [](const uint8_t*, size_t size, std::string* error) -> long {
              if (size == 0) {
                  return 0;
              }
              *error = "the monitor socket carries no data";
              return -1;
          },
          StreamServer::Callbacks{})) {}

IdpsService::~IdpsService() = default;

int IdpsService::Listen() {
    if (int rc = command_->Listen(); rc != 0) {
        return rc;
    }
    return monitor_->Listen();
}

bool IdpsService::Start() {
    if (int rc = Listen(); rc != 0) {
        CFG_ERROR("ozy-dpemu: cannot listen on the IDS engine sockets %1: %2",
                  ozy::ids::kCommandSocketPath, std::strerror(rc));
        return false;
    }
    CFG_INFO("ozy-dpemu: idps listening on %1 and %2", ozy::ids::kCommandSocketPath,
             ozy::ids::MonitorSocketPath(ozy::ids::kCommandSocketPath));
    return true;
}

void IdpsService::OnFrame(uint64_t conn, const uint8_t* frame, size_t size) {
    std::vector<uint8_t> reply = engine_.OnFrame(sessions_[conn], frame, size);
    if (!reply.empty()) {
        command_->Send(conn, reply.data(), reply.size());
    }
}

CommandResult IdpsService::Restart(const std::vector<std::string>& args) {
    const std::string& what = args[0];
    if (what == "restart" || what == "stop") {
        command_->StopListening();
        monitor_->StopListening();
        sessions_.clear();
        engine_.Reset();
    }
    if (what == "restart" || what == "start") {
        if (command_->Listening()) {
            return CommandResult::Error("idps is running");
        }
        if (int rc = Listen(); rc != 0) {
            return CommandResult::Error(std::string("cannot listen: ") + std::strerror(rc));
        }
        engine_.Reset();
        ++restarts_;
    }
    CFG_INFO("ozy-dpemu: idps %1", what);
    return CommandResult::Ok("");
}

CommandResult IdpsService::Fail(const std::vector<std::string>& args) {
    uint32_t type = 0;
    if (!ParseType(args[0], &type)) {
        return CommandResult::Error("unknown request type \"" + args[0] + "\"");
    }
    unsigned long count = 1;
    if (args.size() > 1) {
        char* end = nullptr;
        count = std::strtoul(args[1].c_str(), &end, 10);
        if (args[1].empty() || *end != '\0' || count > 1000000) {
            return CommandResult::Error("bad count \"" + args[1] + "\"");
        }
    }
    engine_.FailNext(type, static_cast<uint32_t>(count));
    return CommandResult::Ok("");
}

CommandResult IdpsService::Reply(const std::vector<std::string>& args) {
    uint32_t type = 0;
    if (!ParseType(args[0], &type)) {
        return CommandResult::Error("unknown request type \"" + args[0] + "\"");
    }
    static const std::map<std::string, IdpsEngine::ReplyFault> kFaults = {
        {"wrong-type", IdpsEngine::ReplyFault::kWrongType},
        {"garbage", IdpsEngine::ReplyFault::kGarbage},
        {"truncated", IdpsEngine::ReplyFault::kTruncated},
        {"huge", IdpsEngine::ReplyFault::kHuge},
        {"stall", IdpsEngine::ReplyFault::kStall}};
    auto it = kFaults.find(args[1]);
    if (it == kFaults.end()) {
        return CommandResult::Error("unknown fault \"" + args[1] + "\"");
    }
    engine_.FaultNextReply(type, it->second);
    return CommandResult::Ok("");
}

void IdpsService::RegisterCommands(CommandTable& table) {
    for (const char* what : {"restart", "stop", "start"}) {
        std::string name = what;
        table.Add("dpemu/ids-" + name, "", 0, 0,
                  [this, name](const std::vector<std::string>&) { return Restart({name}); });
    }
    table.Add("dpemu/ids-fail", "TYPE [N]", 1, 2, [this](const auto& a) { return Fail(a); });
    table.Add("dpemu/ids-reply", "TYPE wrong-type|garbage|truncated|huge|stall", 2, 2,
              [this](const auto& a) { return Reply(a); });
    table.Add("dpemu/ids-version", "JSON|default", 1, 1, [this](const auto& a) {
        engine_.SetVersionReply(a[0] == "default" ? std::string() : a[0]);
        return CommandResult::Ok("");
    });
}

nlohmann::json IdpsService::Dump() const {
    nlohmann::json out = engine_.Dump();
    out["listening"] = command_->Listening();
    out["command_connections"] = command_->Connections().size();
    out["monitor_connections"] = monitor_->Connections().size();
    out["restarts"] = restarts_;
    return out;
}

}  // namespace ozy::dpemu

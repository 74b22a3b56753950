#include "tools/ozy-dpemu/TarpFamily.h"

#include <cctype>
#include <ctime>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "dataplane/DpFraming.h"
#include "platform/HostRoot.h"
#include "platform/device/DeviceFrame.h"
#include "platform/tarp/TarpWire.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/DeviceFaults.h"
#include "tools/ozy-dpemu/TarpEval.h"
#include "tools/ozy-dpemu/TarpRender.h"

namespace ozy::dpemu {

namespace w = ozy::tarp;

TarpFamily::TarpFamily() = default;

void TarpFamily::OnConnect(uint64_t) {
    ++connects_;
}

void TarpFamily::OnDisconnect(uint64_t) {}

void TarpFamily::OnMessage(uint64_t, const uint8_t* msg, size_t size) {
    // The agent sends nothing on this link; whatever arrives is counted and logged.
    ++received_;
    CFG_WARN("ozy-dpemu: filter: unexpected message type %1 of %2 bytes from the agent",
             CfgAgent::DpMsgType(msg), size);
}

SharedDevice TarpFamily::Device() {
    return SharedDevice{&device_, "tarp", device::kTarpDevice, "firewall filters (ioctls)"};
}

nlohmann::json TarpFamily::Dev::Dump() const {
    return state_.Dump();
}

nlohmann::json TarpFamily::Dump() const {
    nlohmann::json d = state_.Dump();
    d["link"] = {{"connects", connects_},
                 {"connections", channel_ ? channel_->Connections().size() : 0},
                 {"received", received_},
                 {"sent", sent_}};
    d["ntp"] = ntpMode_;
    return d;
}

bool TarpFamily::DumpPart(const std::string& name, nlohmann::json* out) const {
    if (name != "lb")
        return false;
    *out = state_.Lb().Dump();
    return true;
}

size_t TarpFamily::Broadcast(const CfgAgent::DpMsg& msg) {
    size_t n = 0;
    if (channel_ == nullptr || msg.empty())
        return 0;
    for (uint64_t c : channel_->Connections()) {
        if (channel_->Send(c, msg))
            ++n;
    }
    sent_ += n;
    return n;
}

void TarpFamily::RegisterCommands(CommandTable& table) {
    table.Add("dpemu/tarp-filter", "NAME", 1, 1, [this](const auto& a) { return FilterJson(a); });
    table.Add("dpemu/tarp-eval",
              "NAME in|out PROTO SRC[:PORT] DST[:PORT] [icmp T C] [smac=M] [dmac=M] "
              "[ethertype=N] [tcpflags=N] [attr K=V ...] [time=ISO8601]",
              5, 40, [this](const auto& a) { return Eval(a); });
    table.Add("dpemu/filter-create", "NAME VIF LSP [AGENT] [imported] [no-vif] [no-tag]", 3, 7,
              [this](const auto& a) { return FilterCreate(a); });
    table.Add("dpemu/filter-delete", "NAME", 1, 1,
              [this](const auto& a) { return FilterDelete(a); });
    table.Add("dpemu/tarp-hopover-fail", "NAME", 1, 1,
              [this](const auto& a) { return HopoverFail(a); });
    table.Add("dpemu/tarp-flood", "NAME PROTO warning|critical raise|clear", 4, 4,
              [this](const auto& a) { return Flood(a); });
    table.Add("dpemu/tarp-fail", "NAME STATUS [COUNT]", 2, 3,
              [this](const auto& a) { return TarpFail(a); });
    table.Add("dpemu/lb-fail", "STATUS [COUNT]", 1, 2, [this](const auto& a) { return LbFail(a); });
    table.Add("dpemu/vm-add", "VM_UUID WORLD_ID", 2, 2, [this](const auto& a) { return VmAdd(a); });
    table.Add("dpemu/vm-del", "VM_UUID", 1, 1, [this](const auto& a) { return VmDel(a); });
    table.Add("dpemu/ntp", "ok|bad|garbage|hang|missing", 1, 1,
              [this](const auto& a) { return Ntp(a); });
}

namespace {

bool IsUuidText(const std::string& s) {
    if (s.size() != 36)
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i])))
            return false;
    }
    return true;
}

}  // namespace

bool TarpFamily::WriteHostScript(const std::string& logicalPath, const std::string& body,
                                 std::string* why) {
    if (ozy::hostRoot().empty()) {
        *why = "no host root (OZY_HOST_ROOT): host scripts are written only under one";
        return false;
    }
    const std::string path = ozy::hostPath(logicalPath);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    // Written aside and renamed: the agent never runs half a script.
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << "#!/bin/sh\n" << body;
        if (!out.flush()) {
            *why = "cannot write " + tmp;
            return false;
        }
    }
    std::filesystem::permissions(tmp, std::filesystem::perms(0755),
                                 std::filesystem::perm_options::replace, ec);
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        *why = "cannot place " + path + ": " + ec.message();
        return false;
    }
    return true;
}

bool TarpFamily::WriteVmList(std::string* why) const {
    std::string text =
        "# Written by ozy-dpemu: the running VMs, one \"VM_UUID WORLD_ID\" a line.\n";
    text += "cat <<'EOF'\n";
    for (const auto& [vm, world] : vms_)
        text += vm + " " + std::to_string(world) + "\n";
    text += "EOF\n";
    return WriteHostScript("/bin/tarp_vm_list.sh", text, why);
}

CommandResult TarpFamily::Ntp(const std::vector<std::string>& args) {
    static const std::map<std::string, const char*> kBodies = {
        {"ok", "echo 0\n"},
        {"bad", "echo 1\n"},
        {"garbage", "printf 'ntp?\\001\\377\\n'\n"},
        // Killed with its process group by the agent's time limit.
        {"hang", "exec sleep 3600\n"},
    };
    const std::string& mode = args[0];
    std::string why;
    if (mode == "missing") {
        if (ozy::hostRoot().empty())
            return CommandResult::Error("no host root (OZY_HOST_ROOT)");
        std::error_code ec;
        std::filesystem::remove(ozy::hostPath("/bin/check_ntp_cfg.sh"), ec);
        if (ec)
            return CommandResult::Error("cannot remove the script: " + ec.message());
    } else {
        auto it = kBodies.find(mode);
        if (it == kBodies.end())
            return CommandResult::Error("usage: dpemu/ntp ok|bad|garbage|hang|missing");
        if (!WriteHostScript(
                "/bin/check_ntp_cfg.sh",
                std::string("# Written by ozy-dpemu: dpemu/ntp ") + mode + "\n" + it->second, &why))
            return CommandResult::Error(why);
    }
    ntpMode_ = mode;
    return CommandResult::Ok("ntp check script: " + mode);
}

CommandResult TarpFamily::VmAdd(const std::vector<std::string>& args) {
    const std::string& w = args[1];
    if (!IsUuidText(args[0]))
        return CommandResult::Error("VM id must be a uuid (8-4-4-4-12 hex)");
    if (w.empty() || w.size() > 10 || w.find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(w) == 0 || std::stoull(w) > UINT32_MAX)
        return CommandResult::Error("world id must be 1 to 4294967295");
    auto previous = vms_;
    vms_[args[0]] = static_cast<uint32_t>(std::stoull(w));
    std::string why;
    if (!WriteVmList(&why)) {
        vms_ = std::move(previous);
        return CommandResult::Error(why);
    }
    return CommandResult::Ok("VM " + args[0] + " of world " + w + " listed (" +
                             std::to_string(vms_.size()) + " VMs)");
}

CommandResult TarpFamily::VmDel(const std::vector<std::string>& args) {
    auto it = vms_.find(args[0]);
    if (it == vms_.end())
        return CommandResult::Error("no VM " + args[0]);
    const uint32_t world = it->second;
    vms_.erase(it);
    std::string why;
    if (!WriteVmList(&why)) {
        vms_[args[0]] = world;
        return CommandResult::Error(why);
    }
    return CommandResult::Ok("VM " + args[0] + " no longer listed (" + std::to_string(vms_.size()) +
                             " VMs)");
}

CommandResult TarpFamily::FilterJson(const std::vector<std::string>& args) {
    const tarp::Filter* f = state_.FindFilter(args[0]);
    if (f == nullptr)
        return CommandResult::Error("no filter " + args[0]);
    nlohmann::json j = tarp::RenderFilter(state_, args[0], *f);
    j["settings_ms"] = f->settingsMs;
    return CommandResult::Ok(j.dump(2));
}

CommandResult TarpFamily::Eval(const std::vector<std::string>& args) {
    const tarp::Filter* f = state_.FindFilter(args[0]);
    if (f == nullptr)
        return CommandResult::Error("no filter " + args[0]);
    tarp::Packet p;
    std::string why;
    if (!tarp::ParsePacket(std::vector<std::string>(args.begin() + 1, args.end()), &p, &why))
        return CommandResult::Error(why);
    tarp::Verdict v = tarp::Evaluate(state_, *f, p);
    nlohmann::json j = {{"verdict", v.verdict}};
    j["rule"] = v.matched ? nlohmann::json(v.rule) : nlohmann::json(nullptr);
    j["ruleset"] = v.matched ? nlohmann::json(v.ruleSet) : nlohmann::json(nullptr);
    if (v.matched)
        j["action"] = tarp::ActionName(v.action);
    return CommandResult::Ok(j.dump());
}

namespace {

CfgAgent::DpMsg Notification(const std::string& name, const tarp::Filter& f, bool gone) {
    CfgAgent::DpMsgWriter m(w::kMsgFilterNotify, w::kNotifySize);
    m.FixedString(name, w::kNotifyNameField).FixedString(f.agent, w::kNotifyNameField);
    m.FixedString(gone ? std::string() : f.vif, w::kRecVifField);
    m.FixedString(f.lsp, w::kRecLspField);
    m.Be32(f.flags).Be64(f.importTime);
    return m.Finish();
}

}  // namespace

CommandResult TarpFamily::FilterCreate(const std::vector<std::string>& args) {
    tarp::TarpState::NewFilter nf;
    nf.name = args[0];
    nf.vif = args[1];
    nf.lsp = args[2];
    nf.agent = w::kAgentFirewall;
    bool noVif = false;
    for (size_t i = 3; i < args.size(); ++i) {
        if (args[i] == "imported")
            nf.imported = true;
        else if (args[i] == "no-vif")
            noVif = true;
        else if (args[i] == "no-tag")
            nf.tagged = false;
        else if (i == 3)
            nf.agent = args[i];
        else
            return CommandResult::Error("unknown option " + args[i]);
    }
    if (noVif)
        nf.vif.clear();
    std::string why;
    if (!state_.CreateFilter(nf, &why))
        return CommandResult::Error(why);
    size_t reached = Broadcast(Notification(nf.name, *state_.FindFilter(nf.name), false));
    CFG_INFO("ozy-dpemu: tarp: filter %1 created (vif %2, lsp %3, agent %4), %5 notified", nf.name,
             nf.vif, nf.lsp, nf.agent, reached);
    return CommandResult::Ok("created filter " + nf.name);
}

CommandResult TarpFamily::FilterDelete(const std::vector<std::string>& args) {
    const tarp::Filter* f = state_.FindFilter(args[0]);
    if (f == nullptr || args[0] == w::kSharedAddrSetFilter)
        return CommandResult::Error("no filter " + args[0]);
    CfgAgent::DpMsg msg = Notification(args[0], *f, true);
    std::string why;
    if (!state_.DeleteFilter(args[0], &why))
        return CommandResult::Error(why);
    size_t reached = Broadcast(msg);
    CFG_INFO("ozy-dpemu: tarp: filter %1 deleted, %2 notified", args[0], reached);
    return CommandResult::Ok("deleted filter " + args[0]);
}

CommandResult TarpFamily::HopoverFail(const std::vector<std::string>& args) {
    const tarp::Filter* f = state_.FindFilter(args[0]);
    if (f == nullptr)
        return CommandResult::Error("no filter " + args[0]);
    CfgAgent::DpMsgWriter m(w::kMsgHopoverFailure, w::kHopoverSize);
    m.FixedString(args[0], w::kNotifyNameField).FixedString(f->vif, w::kRecVifField).Be32(1);
    size_t reached = Broadcast(m.Finish());
    return CommandResult::Ok("hopover failure of " + args[0] + " sent to " +
                             std::to_string(reached) + " connection(s)");
}

namespace {

// "STATUS [COUNT]" at args[first]: false with the error reply set.
bool StatusAndCount(const std::vector<std::string>& args, size_t first, uint32_t* status,
                    uint64_t* count, CommandResult* error) {
    if (!ParseErrnoStatus(args[first], status) || *status == 0) {
        *error = CommandResult::Error("bad status " + args[first] + " (an errno name or 1-4095)");
        return false;
    }
    *count = 1;
    if (args.size() == first + 2) {
        const std::string& c = args[first + 1];
        if (c.empty() || c.size() > 9 || c.find_first_not_of("0123456789") != std::string::npos) {
            *error = CommandResult::Error("bad count " + c + " (0-999999999)");
            return false;
        }
        *count = std::stoull(c);
    }
    return true;
}

}  // namespace

CommandResult TarpFamily::LbFail(const std::vector<std::string>& args) {
    uint32_t status = 0;
    uint64_t count = 0;
    CommandResult error = CommandResult::Ok("");
    if (!StatusAndCount(args, 0, &status, &count, &error))
        return error;
    state_.LbFaults().Arm(count, status);
    return CommandResult::Ok("the next " + std::to_string(count) +
                             " load-balancer update(s) fail with " + ErrnoStatusName(status));
}

CommandResult TarpFamily::TarpFail(const std::vector<std::string>& args) {
    uint32_t status = 0;
    uint64_t count = 1;
    CommandResult error = CommandResult::Ok("");
    if (!StatusAndCount(args, 1, &status, &count, &error))
        return error;
    std::string why;
    if (!state_.FailFilter(args[0], status, count, &why))
        return CommandResult::Error(why);
    if (count == 0)
        return CommandResult::Ok("no injected failure on " + args[0]);
    return CommandResult::Ok("the next " + std::to_string(count) + " applies and settings of " +
                             args[0] + " fail with " + ErrnoStatusName(status));
}

CommandResult TarpFamily::Flood(const std::vector<std::string>& args) {
    const tarp::Filter* f = state_.FindFilter(args[0]);
    if (f == nullptr)
        return CommandResult::Error("no filter " + args[0]);
    if (args[1].empty() || args[1].size() >= w::kFloodProtocolField)
        return CommandResult::Error("protocol name must have 1 to 15 characters");
    if ((args[2] != "warning" && args[2] != "critical") ||
        (args[3] != "raise" && args[3] != "clear"))
        return CommandResult::Error("usage: NAME PROTO warning|critical raise|clear");
    CfgAgent::DpMsgWriter m(w::kMsgFloodLimit, w::kFloodMsgSize);
    m.FixedString(args[0], w::kNotifyNameField).FixedString(f->vif, w::kRecVifField);
    m.FixedString(args[1], w::kFloodProtocolField);
    m.U8(args[2] == "critical" ? w::kFloodCritical : w::kFloodWarning);
    m.U8(args[3] == "raise" ? w::kFloodRaise : 0).Be16(0);
    size_t reached = Broadcast(m.Finish());
    return CommandResult::Ok("flood " + args[2] + " " + args[3] + " of " + args[0] + " sent to " +
                             std::to_string(reached) + " connection(s)");
}

}  // namespace ozy::dpemu

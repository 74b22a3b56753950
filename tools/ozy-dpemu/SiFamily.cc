#include "tools/ozy-dpemu/SiFamily.h"

#include <cstring>

#include <nlohmann/json.hpp>

#include "dataplane/SiProtocol.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/RecordingFamily.h"
#include "tools/ozy-dpemu/SiTables.h"
#include "tools/ozy-dpemu/TarpFamily.h"

namespace ozy::dpemu {

using namespace CfgAgent;

void SiFamily::FindPeers(const PeerLookup& lookup) {
    if (auto* tarp = dynamic_cast<TarpFamily*>(lookup("filter")))
        tables_ = &tarp->State().Si();
}

void SiFamily::OnConnect(uint64_t conn) {
    ++connects_;
    CFG_INFO("ozy-dpemu: si: agent connected (connection %1)", conn);
}

void SiFamily::OnMessage(uint64_t conn, const uint8_t* msg, size_t size) {
    ++received_;
    std::string why = "unexpected message type " + std::to_string(DpMsgType(msg)) + ", len " +
                      std::to_string(size) + " on connection " + std::to_string(conn);
    CFG_WARN("ozy-dpemu: si: %1", why);
    errors_.push_back(why);
    if (errors_.size() > kKeptErrors)
        errors_.pop_front();
}

CommandResult SiFamily::SendToAgent(const DpMsg& msg, const std::string& what) {
    std::vector<uint64_t> conns =
        channel_ != nullptr ? channel_->Connections() : std::vector<uint64_t>{};
    if (conns.empty())
        return CommandResult::Error("no agent connected on ozy_tarp_si_krnlink");
    if (!channel_->Send(conns.back(), msg))
        return CommandResult::Error("could not send " + what);
    ++sent_;
    return CommandResult::Ok("sent " + what);
}

CommandResult SiFamily::Endpoint(const std::vector<std::string>& args) {
    const std::string& vif = args[0];
    if (vif.empty() || vif.size() >= si::kVifIdField)
        return CommandResult::Error("VIF ids take 1 to 39 characters");
    DpMsg msg(si::kInstanceEndpointSize, 0);
    StoreBe16(msg.data(), si::kMsgInstanceEndpoint);
    StoreBe16(msg.data() + 2, static_cast<uint16_t>(msg.size()));
    std::memcpy(msg.data() + kDpMsgHeaderSize, vif.data(), vif.size());
    return SendToAgent(msg, "instance endpoint of VIF " + vif);
}

CommandResult SiFamily::Raw(const std::vector<std::string>& args) {
    std::vector<uint8_t> bytes;
    if (!ParseHex(args[0], &bytes))
        return CommandResult::Error("not hexadecimal bytes");
    return SendToAgent(bytes, std::to_string(bytes.size()) + " raw bytes");
}

CommandResult SiFamily::Status(const std::vector<std::string>& args) {
    if (args[0] != "down" && args[0] != "up")
        return CommandResult::Error("usage: dpemu/si-status down|up");
    if (tables_ == nullptr)
        return CommandResult::Error("the firewall device is not served");
    tables_->SetDown(args[0] == "down");
    return CommandResult::Ok("service insertion " + args[0]);
}

void SiFamily::RegisterCommands(CommandTable& table) {
    table.Add("dpemu/si-endpoint", "VIF_ID", 1, 1,
              [this](const std::vector<std::string>& a) { return Endpoint(a); });
    table.Add("dpemu/si-raw", "HEX", 1, 1,
              [this](const std::vector<std::string>& a) { return Raw(a); });
    table.Add("dpemu/si-status", "down|up", 1, 1,
              [this](const std::vector<std::string>& a) { return Status(a); });
    table.Add("dpemu/si-summary", "", 0, 0, [this](const std::vector<std::string>&) {
        if (tables_ == nullptr)
            return CommandResult::Error("the firewall device is not served");
        size_t slots = 0;
        for (const auto& [uuid, c] : tables_->Chains())
            slots += c.slots.size();
        return CommandResult::Ok(nlohmann::json{{"chains", tables_->Chains().size()},
                                                {"slots", slots},
                                                {"nsh", tables_->Nsh().size()},
                                                {"failed_spis", tables_->FailedSpis().size()}}
                                     .dump());
    });
}

nlohmann::json SiFamily::Dump() const {
    nlohmann::json d = tables_ != nullptr ? tables_->Dump() : nlohmann::json::object();
    d["family"] = "si";
    d["endpoint"] = channel_ != nullptr ? channel_->Endpoint() : std::string();
    d["connections"] = channel_ != nullptr ? channel_->Connections().size() : 0;
    d["connects"] = connects_;
    d["received"] = received_;
    d["sent"] = sent_;
    d["link_errors"] = errors_;
    return d;
}

}  // namespace ozy::dpemu

#include "tools/ozy-dpemu/SwsecFamily.h"

#include <nlohmann/json.hpp>

#include "dataplane/KcpWalk.h"
#include "runtime/Logger.h"

namespace ozy::dpemu {

using namespace CfgAgent;

void SwsecFamily::Error(uint64_t conn, const std::string& text) {
    ++malformed_;
    CFG_ERROR("ozy-dpemu: swsec: connection %1: %2", conn, text);
    errors_.push_back(text);
    if (errors_.size() > kKeptErrors)
        errors_.pop_front();
}

void SwsecFamily::OnConnect(uint64_t conn) {
    ++connects_;
    CFG_INFO("ozy-dpemu: swsec: agent connected (connection %1)", conn);
}

void SwsecFamily::OnDisconnect(uint64_t conn) {
    CFG_INFO("ozy-dpemu: swsec: agent disconnected (connection %1)", conn);
}

void SwsecFamily::OnMessage(uint64_t conn, const uint8_t* msg, size_t size) {
    ++messages_;
    uint16_t type = DpMsgType(msg);
    if (type != swsec::kMsgVmToolsBindings) {
        Error(conn,
              "unsupported message type " + std::to_string(type) + ", len " + std::to_string(size));
        return;
    }
    std::string vifId;
    std::vector<swsec::BindingEntry> entries;
    if (!swsec::ParseVmToolsBindings(msg, size, &vifId, &entries)) {
        Error(conn,
              "VM-tools bindings of " + std::to_string(size) + " bytes do not fit their layout");
        return;
    }
    ++replies_;
    CFG_INFO("ozy-dpemu: swsec: %1 VM-tools binding(s) for VIF %2", entries.size(), vifId);
    bindings_[vifId] = std::move(entries);
}

CommandResult SwsecFamily::Solicit(const std::vector<std::string>& args) {
    DpMsg msg = swsec::BuildBindingSolicitation(args[0]);
    if (msg.empty())
        return CommandResult::Error("VIF IDs take 1 to 47 characters");
    std::vector<uint64_t> conns =
        channel_ != nullptr ? channel_->Connections() : std::vector<uint64_t>{};
    if (conns.empty()) {
        return CommandResult::Error("no agent connected on " + (channel_ != nullptr
                                                                    ? channel_->Endpoint()
                                                                    : std::string("swsec")));
    }
    if (!channel_->Send(conns.back(), msg))
        return CommandResult::Error("could not send the solicitation");
    ++solicitations_;
    CFG_INFO("ozy-dpemu: swsec: sent VM-tools binding solicitation for VIF %1", args[0]);
    return CommandResult::Ok("sent VM-tools binding solicitation for VIF " + args[0]);
}

void SwsecFamily::RegisterCommands(CommandTable& table) {
    table.Add("dpemu/swsec-solicit", "VIF_ID", 1, 1,
              [this](const std::vector<std::string>& a) { return Solicit(a); });
}

nlohmann::json SwsecFamily::Dump() const {
    nlohmann::json bindings = nlohmann::json::object();
    for (const auto& [vif, entries] : bindings_) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& e : entries) {
            list.push_back({{"ip", kcp::AddressText(e.ipv4, e.address.data())},
                            {"mac", kcp::MacText(e.mac.data())}});
        }
        bindings[vif] = list;
    }
    return {{"family", "swsec"},
            {"endpoint", channel_ != nullptr ? channel_->Endpoint() : std::string()},
            {"connections", channel_ != nullptr ? channel_->Connections().size() : 0},
            {"connects", connects_},
            {"messages", messages_},
            {"solicitations", solicitations_},
            {"replies", replies_},
            {"bindings", bindings},
            {"stats", {{"errors", malformed_}}},
            {"errors", errors_}};
}

}  // namespace ozy::dpemu

#include "tools/ozy-dpemu/VdrFamily.h"

#include <arpa/inet.h>
#include <strings.h>

#include <nlohmann/json.hpp>

#include "dataplane/VdrBuilders.h"
#include "dataplane/VdrDump.h"
#include "dataplane/VdrWalk.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/RecordingFamily.h"

namespace ozy::dpemu {

using namespace CfgAgent;
using namespace CfgAgent::vdr;

namespace {

bool ParseUint32(const std::string& text, uint32_t* out) {
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFu)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool ParseIp(const std::string& text, IpAddr* out) {
    uint8_t buf[16];
    if (inet_pton(AF_INET, text.c_str(), buf) == 1) {
        out->size = 4;
        out->bytes.fill(0);
        std::copy(buf, buf + 4, out->bytes.begin());
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), buf) == 1) {
        *out = IpV6(buf);
        return true;
    }
    return false;
}

bool ParseDadStatus(const std::string& text, uint8_t* out) {
    for (uint8_t s = kDadTentative; s <= kDadDuplicated; ++s) {
        if (text == std::to_string(s) || strcasecmp(text.c_str(), DadStatusName(s)) == 0) {
            *out = s;
            return true;
        }
    }
    return false;
}

}  // namespace

void VdrFamily::Error(uint64_t conn, const std::string& text) {
    ++errorCount_;
    CFG_ERROR("ozy-dpemu: vdr: connection %1: %2", conn, text);
    errors_.push_back(text);
    if (errors_.size() > kKeptErrors)
        errors_.pop_front();
}

void VdrFamily::OnConnect(uint64_t conn) {
    ++connects_;
    conn_ = conn;
    tables_.Reset();
    CFG_INFO("ozy-dpemu: vdr: agent connected (connection %1), tables reset", conn);
}

void VdrFamily::OnDisconnect(uint64_t conn) {
    if (conn == conn_)
        conn_ = 0;
    CFG_INFO("ozy-dpemu: vdr: agent disconnected (connection %1)", conn);
}

void VdrFamily::OnMessage(uint64_t conn, const uint8_t* msg, size_t size) {
    ++messages_;
    if (Logger::enabled(kLogDebug)) {
        CFG_DEBUG("ozy-dpemu: vdr: received from connection %1: %2", conn,
                  DumpVdrMessage(msg, size));
    }
    std::string why;
    auto error = [&](const std::string& text) { Error(conn, text); };
    switch (DpMsgType(msg)) {
        case kMsgUpdate: {
            UpdateMsg u;
            if (!ParseUpdate(msg, size, &u, &why)) {
                Error(conn, "Update dropped: " + why);
                return;
            }
            ++updates_;
            elements_ += u.elements.size();
            tables_.ApplyUpdate(u, error);
            for (const UpdateElement& e : u.elements) {
                if (e.type != kElemDadStatus)
                    continue;
                ++dadUpdateCount_;
                dadUpdates_.push_back(DadUpdate{u.vdrId, e.dadLif, e.dadVersion, e.dadEntries});
                if (dadUpdates_.size() > kKeptDadUpdates)
                    dadUpdates_.pop_front();
            }
            return;
        }
        case kMsgArpTableUpdate: {
            ArpTableMsg a;
            if (!ParseArpTableUpdate(msg, size, &a, &why)) {
                Error(conn, "ARP table update dropped: " + why);
                return;
            }
            ++arpUpdates_;
            tables_.ApplyArp(a, error);
            return;
        }
        case kMsgFullSyncEnd:
            if (!IsFullSyncEnd(msg, size)) {
                Error(conn, "Full Sync End of " + std::to_string(size) + " bytes");
                return;
            }
            ++fullSyncEnds_;
            CFG_INFO("ozy-dpemu: vdr: Full Sync End from connection %1 (%2 routes)", conn,
                     tables_.RouteCount());
            return;
        default:
            Error(conn, "unsupported message type " + std::to_string(DpMsgType(msg)) + ", len " +
                            std::to_string(size));
            return;
    }
}

CommandResult VdrFamily::SendToAgent(const DpMsg& msg, const std::string& what) {
    if (msg.empty())
        return CommandResult::Error("cannot build the " + what);
    if (channel_ == nullptr || conn_ == 0)
        return CommandResult::Error("the agent is not connected");
    if (!channel_->Send(conn_, msg))
        return CommandResult::Error("sending the " + what + " failed");
    return CommandResult::Ok("sent " + what + " (" + std::to_string(msg.size()) + " bytes)");
}

CommandResult VdrFamily::FullSyncRequest(const std::vector<std::string>& args) {
    if (args[0] == "all") {
        CommandResult r = SendToAgent(BuildFullSyncRequest(kScopeAll, 0), "full sync request");
        if (r.ok)
            tables_.Reset();
        return r;
    }
    uint32_t vdrId = 0;
    if (!ParseUint32(args[0], &vdrId))
        return CommandResult::Error("not a VDR ID: " + args[0]);
    CommandResult r = SendToAgent(BuildFullSyncRequest(kScopeVdr, vdrId), "full sync request");
    if (r.ok)
        tables_.vdrs.erase(vdrId);
    return r;
}

CommandResult VdrFamily::DadReport(const std::vector<std::string>& args) {
    DadReportSpec s;
    if (!ParseUint32(args[0], &s.vdrId))
        return CommandResult::Error("not a VDR ID: " + args[0]);
    s.lifName = args[1];
    s.versionUuid = args[2] == "-" ? std::string() : args[2];
    s.lsUuid = args[3];
    for (size_t i = 4; i < args.size(); ++i) {
        size_t eq = args[i].find('=');
        DadEntry e;
        if (eq == std::string::npos || !ParseIp(args[i].substr(0, eq), &e.ip) ||
            !ParseDadStatus(args[i].substr(eq + 1), &e.status))
            return CommandResult::Error("not IP=STATUS (STATUS 1-3 or a name): " + args[i]);
        s.entries.push_back(e);
    }
    return SendToAgent(BuildDadReport(s), "DAD report");
}

CommandResult VdrFamily::Raw(const std::vector<std::string>& args) {
    DpMsg bytes;
    if (!ParseHex(args[0], &bytes))
        return CommandResult::Error("not hex bytes: " + args[0]);
    return SendToAgent(bytes, "raw message");
}

CommandResult VdrFamily::Summary() const {
    nlohmann::json out = {{"vdrs", tables_.vdrs.size()},
                          {"lifs", tables_.LifCount()},
                          {"routes", tables_.RouteCount()},
                          {"mcast_routes", tables_.McastRouteCount()},
                          {"arp_entries", tables_.ArpEntryCount()},
                          {"prefix_lists", tables_.prefixLists.size()},
                          {"bridge_endpoints", tables_.bridgeEndpoints.size()},
                          {"full_sync_ends", fullSyncEnds_},
                          {"dad_updates", dadUpdateCount_},
                          {"errors", errorCount_},
                          {"connected", conn_ != 0}};
    return CommandResult::Ok(out.dump());
}

CommandResult VdrFamily::RouteOf(const std::vector<std::string>& args) const {
    uint32_t vdrId = 0;
    if (!ParseUint32(args[0], &vdrId))
        return CommandResult::Error("not a VDR ID: " + args[0]);
    auto vdr = tables_.vdrs.find(vdrId);
    if (vdr == tables_.vdrs.end())
        return CommandResult::Error("no vdr " + args[0]);
    auto route = vdr->second.routes.find(args[1]);
    if (route == vdr->second.routes.end())
        return CommandResult::Error("no route " + args[1] + " in vdr " + args[0]);
    return CommandResult::Ok(VdrTables::RouteJson(route->second).dump());
}

void VdrFamily::RegisterCommands(CommandTable& table) {
    table.Add("dpemu/vdr-fullsync-request", "all|VDR_ID", 1, 1,
              [this](const std::vector<std::string>& a) { return FullSyncRequest(a); });
    table.Add("dpemu/vdr-dad-report", "VDR LIF VERSION_UUID|- LS_UUID [IP=STATUS...]", 4, 1000,
              [this](const std::vector<std::string>& a) { return DadReport(a); });
    table.Add("dpemu/vdr-raw", "HEX", 1, 1,
              [this](const std::vector<std::string>& a) { return Raw(a); });
    table.Add("dpemu/vdr-summary", "", 0, 0,
              [this](const std::vector<std::string>&) { return Summary(); });
    table.Add("dpemu/vdr-route", "VDR PREFIX", 2, 2,
              [this](const std::vector<std::string>& a) { return RouteOf(a); });
}

nlohmann::json VdrFamily::Dump() const {
    nlohmann::json dad = nlohmann::json::array();
    for (const DadUpdate& d : dadUpdates_) {
        nlohmann::json entries = nlohmann::json::object();
        for (const DadEntry& e : d.entries)
            entries[IpText(e.ip)] = DadStatusName(e.status);
        dad.push_back(
            {{"vdr", d.vdrId}, {"lif", d.lif}, {"version", d.version}, {"entries", entries}});
    }
    return {{"family", "vdr"},
            {"endpoint", channel_ != nullptr ? channel_->Endpoint() : std::string()},
            {"session",
             {{"connected", conn_ != 0},
              {"connection", conn_},
              {"connects", connects_},
              {"full_sync_ends", fullSyncEnds_}}},
            {"vdrs", tables_.ToJson()},
            {"global", tables_.GlobalJson()},
            {"dad_updates", dad},
            {"stats",
             {{"messages", messages_},
              {"updates", updates_},
              {"elements", elements_},
              {"arp_updates", arpUpdates_},
              {"dad_updates", dadUpdateCount_},
              {"errors", errorCount_}}},
            {"errors", errors_}};
}

}  // namespace ozy::dpemu

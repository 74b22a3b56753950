#include "tools/ozy-dpemu/TraceflowFamily.h"

#include <arpa/inet.h>

#include <cstring>

#include "dataplane/DpFraming.h"
#include "dataplane/TraceflowProtocol.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/KcpFamily.h"
#include "tools/ozy-dpemu/KcpTables.h"
#include "tools/ozy-dpemu/OpsAgent.h"
#include "tools/ozy-dpemu/RecordingFamily.h"

namespace ozy::dpemu {

namespace tf = CfgAgent::traceflow;
using CfgAgent::DpBytesWriter;

namespace {

std::vector<uint8_t> Message(uint16_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> m(4 + body.size());
    CfgAgent::StoreBe16(m.data(), type);
    CfgAgent::StoreBe16(m.data() + 2, static_cast<uint16_t>(m.size()));
    if (!body.empty())
        std::memcpy(m.data() + 4, body.data(), body.size());
    return m;
}

bool ParseIp(const std::string& text, std::vector<uint8_t>* out) {
    uint8_t buf[16];
    if (inet_pton(AF_INET, text.c_str(), buf) == 1) {
        out->assign(buf, buf + 4);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), buf) == 1) {
        out->assign(buf, buf + 16);
        return true;
    }
    return false;
}

}  // namespace

bool TraceflowFamily::BuildObservation(const nlohmann::json& obs, std::vector<uint8_t>* out,
                                       std::string* error) {
    if (!obs.is_object() || !obs.contains("type") || !obs["type"].is_number_integer() ||
        obs["type"].get<int64_t>() < 0) {
        *error = "an observation needs a numeric \"type\"";
        return false;
    }
    uint64_t type = obs["type"].get<uint64_t>();
    if (type > 0xFFFF) {
        *error = "type out of range";
        return false;
    }
    std::vector<uint8_t> body;
    DpBytesWriter w(body);
    auto number = [&](const char* key, uint64_t max, uint64_t* v) {
        if (!obs.contains(key))
            return false;
        const nlohmann::json& j = obs[key];
        bool nonNegative =
            j.is_number_unsigned() || (j.is_number_integer() && j.get<int64_t>() >= 0);
        if (!nonNegative || j.get<uint64_t>() > max)
            throw std::invalid_argument(std::string("\"") + key + "\" is not a number up to " +
                                        std::to_string(max));
        *v = obs[key].get<uint64_t>();
        return true;
    };
    auto text = [&](const char* key, std::string* v) {
        if (!obs.contains(key))
            return false;
        if (!obs[key].is_string())
            throw std::invalid_argument(std::string("\"") + key + "\" is not a string");
        *v = obs[key].get<std::string>();
        return true;
    };
    try {
        uint64_t v;
        std::string s;
        uint8_t b8[8];
        if (number("round_id", UINT64_MAX, &v)) {
            CfgAgent::StoreBe64(b8, v);
            w.Tlv(tf::kObsRoundId, b8, 8);
        }
        if (number("timestamp", UINT64_MAX, &v)) {
            CfgAgent::StoreBe64(b8, v);
            w.Tlv(tf::kObsTimestamp, b8, 8);
        }
        uint64_t obsType = type;
        number("obs_type", 255, &obsType);
        uint8_t code = static_cast<uint8_t>(obsType);
        w.Tlv(tf::kObsType, &code, 1);
        const std::pair<const char*, uint16_t> codes[] = {
            {"component", tf::kObsComponent},     {"peer_type", tf::kObsPeerType},
            {"drop_reason", tf::kObsDropReason},  {"resolution", tf::kObsResolution},
            {"replication", tf::kObsReplication}, {"resend", tf::kObsResend}};
        for (const auto& [key, tlv] : codes) {
            if (number(key, 255, &v)) {
                code = static_cast<uint8_t>(v);
                w.Tlv(tlv, &code, 1);
            }
        }
        const std::pair<const char*, uint16_t> words[] = {{"sequence", tf::kObsSequence},
                                                          {"vtep_label", tf::kObsVtepLabel},
                                                          {"vni", tf::kObsVni},
                                                          {"rule_id", tf::kObsRuleId}};
        for (const auto& [key, tlv] : words) {
            if (number(key, UINT32_MAX, &v)) {
                uint8_t b4[4];
                CfgAgent::StoreBe32(b4, static_cast<uint32_t>(v));
                w.Tlv(tlv, b4, 4);
            }
        }
        if (number("vlan", 4095, &v)) {
            uint8_t b2[2];
            CfgAgent::StoreBe16(b2, static_cast<uint16_t>(v));
            w.Tlv(tf::kObsVlan, b2, 2);
        }
        if (text("uplink", &s)) {
            if (s.empty() || s.size() > tf::kMaxUplinkName)
                throw std::invalid_argument("\"uplink\" takes 1 to 32 characters");
            w.Tlv(tf::kObsUplink, s.data(), s.size());
        }
        for (const auto& [key, tlv] :
             {std::pair<const char*, uint16_t>{"local_ip", tf::kObsLocalIp},
              {"remote_ip", tf::kObsRemoteIp}}) {
            std::vector<uint8_t> ip;
            if (text(key, &s)) {
                if (!ParseIp(s, &ip))
                    throw std::invalid_argument(std::string("\"") + key + "\" is not an address");
                w.Tlv(tlv, ip.data(), ip.size());
            }
        }
        for (const auto& [key, tlv] :
             {std::pair<const char*, uint16_t>{"dvport", tf::kObsDvport}, {"vif", tf::kObsVif}}) {
            if (text(key, &s)) {
                if (s.empty() || s.size() >= tf::kIdSize)
                    throw std::invalid_argument(std::string("\"") + key +
                                                "\" takes 1 to 47 characters");
                w.Be16(tlv)
                    .Be16(static_cast<uint16_t>(4 + tf::kIdSize))
                    .FixedString(s, tf::kIdSize);
            }
        }
        if (text("mac", &s)) {
            CfgAgent::kcp::MacAddr mac;
            if (!ParseMac(s, &mac))
                throw std::invalid_argument("\"mac\" is not a MAC address");
            w.Tlv(tf::kObsMac, mac.data(), mac.size());
        }
    } catch (const std::invalid_argument& e) {
        *error = e.what();
        return false;
    }
    if (4 + body.size() > CfgAgent::kDpMaxMsgSize) {
        *error = "observation too large";
        return false;
    }
    *out = Message(static_cast<uint16_t>(type), body);
    return true;
}

void TraceflowFamily::FindPeers(const PeerLookup& lookup) {
    kcp_ = dynamic_cast<KcpFamily*>(lookup("kcp"));
}

void TraceflowFamily::Error(const std::string& text) {
    CFG_WARN("ozy-dpemu: traceflow: %1", text);
    errors_.push_back(text);
    if (errors_.size() > kKept)
        errors_.pop_front();
}

void TraceflowFamily::OnConnect(uint64_t conn) {
    ++connects_;
    CFG_INFO("ozy-dpemu: traceflow: agent connected (connection %1)", conn);
}

void TraceflowFamily::OnMessage(uint64_t conn, const uint8_t* msg, size_t size) {
    switch (CfgAgent::DpMsgType(msg)) {
        case tf::kMsgInject:
            HandleInject(conn, msg, size);
            break;
        case tf::kMsgIntConfig:
            HandleIntConfig(msg, size);
            break;
        case tf::kMsgInternal:
            ++internalReplies_;
            break;
        default:
            Error("unexpected message type " + std::to_string(CfgAgent::DpMsgType(msg)));
    }
}

void TraceflowFamily::HandleInject(uint64_t conn, const uint8_t* msg, size_t size) {
    uint64_t round = 0;
    std::string dvport;
    std::vector<uint8_t> packet;
    int seen = 0;
    CfgAgent::DpTlvWalker walker = CfgAgent::DpTlvWalker::OverMessage(msg, size, 4);
    CfgAgent::DpTlv t;
    while (walker.Next(&t)) {
        if (t.type < tf::kInjRoundId || t.type > tf::kInjPacket)
            return Error("INJECT: unexpected element " + std::to_string(t.type));
        int bit = 1 << t.type;
        if ((seen & bit) != 0)
            return Error("INJECT: repeated element " + std::to_string(t.type));
        seen |= bit;
        if (t.type == tf::kInjRoundId) {
            if (t.valueSize != 8)
                return Error("INJECT: round ID of " + std::to_string(t.valueSize) + " bytes");
            round = CfgAgent::LoadBe64(t.value);
        } else if (t.type == tf::kInjDvport) {
            if (t.valueSize != tf::kIdSize || t.value[tf::kIdSize - 1] != 0)
                return Error("INJECT: DVS port element of " + std::to_string(t.valueSize) +
                             " bytes or not NUL-terminated");
            dvport = CfgAgent::DpFixedString(t.value, tf::kIdSize);
        } else {
            if (t.valueSize == 0 || t.valueSize > tf::kMaxPacketSize)
                return Error("INJECT: packet of " + std::to_string(t.valueSize) + " bytes");
            packet.assign(t.value, t.value + t.valueSize);
        }
    }
    if (walker.Malformed() || seen != 0xE)
        return Error("INJECT: element list malformed or incomplete");
    injections_.push_back({{"round_id", round},
                           {"dvport", dvport},
                           {"packet_length", packet.size()},
                           {"packet", HexText(packet.data(), packet.size())}});
    if (injections_.size() > kKept)
        injections_.pop_front();
    CFG_INFO("ozy-dpemu: traceflow: injection round %1 at port %2, %3 bytes", round, dvport,
             packet.size());
    if (auto_)
        AutoAnswer(conn, round, dvport);
}

void TraceflowFamily::HandleIntConfig(const uint8_t* msg, size_t size) {
    if (size != tf::kIntConfigSize)
        return Error("INT_CONFIG of " + std::to_string(size) + " bytes, expected 10");
    uint32_t mode;
    std::memcpy(&mode, msg + 4, sizeof mode);  // host byte order
    if (mode > tf::kIntDscpValue)
        return Error("INT_CONFIG mode " + std::to_string(mode));
    intConfig_ = {
        {"mode", mode}, {"dscp", CfgAgent::LoadBe16(msg + 8)}, {"bytes", HexText(msg, size)}};
}

void TraceflowFamily::AutoAnswer(uint64_t, uint64_t round, const std::string& dvport) {
    nlohmann::json common = {{"round_id", round}, {"timestamp", 1}, {"component", 1}};
    if (kcp_ != nullptr) {
        auto port = kcp_->Tables().ports.find(dvport);
        if (port != kcp_->Tables().ports.end()) {
            nlohmann::json props = KcpTables::PropertiesJson(port->second);
            if (props.contains("vni") && props["vni"].contains("vni"))
                common["vni"] = props["vni"]["vni"];
        }
    }
    std::string vif = kcp_ != nullptr ? kcp_->VifOfPort(dvport) : std::string();
    std::vector<nlohmann::json> steps = {common, common, common};
    steps[0]["type"] = tf::kMsgLogicalForward;
    steps[1]["type"] = tf::kMsgLogicalReceive;
    steps[2]["type"] = tf::kMsgDeliver;
    steps[2]["dvport"] = dvport;
    if (!vif.empty())
        steps[2]["vif"] = vif;
    for (auto& step : steps) {
        std::vector<uint8_t> m;
        std::string error;
        if (!BuildObservation(step, &m, &error))
            return Error("auto observation: " + error);
        SendAll(m);
    }
}

bool TraceflowFamily::SendAll(const std::vector<uint8_t>& msg) {
    bool any = false;
    for (uint64_t c : channel_->Connections())
        any = channel_->Send(c, msg) || any;
    if (any)
        ++observationsSent_;
    return any;
}

CommandResult TraceflowFamily::Observe(const std::vector<std::string>& args) {
    nlohmann::json obs = nlohmann::json::parse(args[0], nullptr, false);
    std::vector<uint8_t> m;
    std::string error;
    if (obs.is_discarded())
        return CommandResult::Error("not JSON: " + args[0]);
    if (!BuildObservation(obs, &m, &error))
        return CommandResult::Error(error);
    if (!SendAll(m))
        return CommandResult::Error("the agent is not connected to the traceflow endpoint");
    return CommandResult::Ok("sent " + HexText(m.data(), m.size()));
}

CommandResult TraceflowFamily::Raw(const std::vector<std::string>& args) {
    std::vector<uint8_t> bytes;
    if (!ParseHex(args[0], &bytes) || bytes.size() < 4 ||
        CfgAgent::DpMsgLength(bytes.data()) != bytes.size())
        return CommandResult::Error("not a framed message in hex: " + args[0]);
    if (!SendAll(bytes))
        return CommandResult::Error("the agent is not connected to the traceflow endpoint");
    return CommandResult::Ok("sent");
}

CommandResult TraceflowFamily::Auto(const std::vector<std::string>& args) {
    if (args[0] != "on" && args[0] != "off")
        return CommandResult::Error("on or off");
    auto_ = args[0] == "on";
    return CommandResult::Ok("auto " + args[0]);
}

CommandResult TraceflowFamily::Internal(const std::vector<std::string>&) {
    if (!SendAll(Message(tf::kMsgInternal, {0, 0, 0, 1})))
        return CommandResult::Error("the agent is not connected to the traceflow endpoint");
    return CommandResult::Ok("sent");
}

void TraceflowFamily::RegisterCommands(CommandTable& table) {
    table.Add("dpemu/traceflow-observe", "JSON", 1, 1,
              [this](const auto& a) { return Observe(a); });
    table.Add("dpemu/traceflow-raw", "HEX", 1, 1, [this](const auto& a) { return Raw(a); });
    table.Add("dpemu/traceflow-auto", "on|off", 1, 1, [this](const auto& a) { return Auto(a); });
    table.Add("dpemu/traceflow-internal", "", 0, 0, [this](const auto& a) { return Internal(a); });
}

nlohmann::json TraceflowFamily::Dump() const {
    return {{"family", "traceflow"},
            {"endpoint", channel_ != nullptr ? channel_->Endpoint() : std::string()},
            {"connections", channel_ != nullptr ? channel_->Connections().size() : 0},
            {"connects", connects_},
            {"auto", auto_},
            {"injections", injections_},
            {"int_config", intConfig_},
            {"observations_sent", observationsSent_},
            {"internal_replies", internalReplies_},
            {"errors", errors_}};
}

}  // namespace ozy::dpemu

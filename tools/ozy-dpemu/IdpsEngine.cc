#include "tools/ozy-dpemu/IdpsEngine.h"

#include <filesystem>
#include <fstream>
#include <set>

#include <google/protobuf/message.h>
#include <google/protobuf/unknown_field_set.h>

#include "platform/ids/IdsEngineProtocol.h"
#include "runtime/Logger.h"

namespace ozy::dpemu {

namespace pb = orvane::ozy::lcp::idps;
namespace fs = std::filesystem;
using google::protobuf::Message;

namespace {

constexpr size_t kKeptErrors = 32;

// Unknown fields anywhere in the message: bytes the request type does not have.
bool HasUnknownFields(const Message& m) {
    const auto* refl = m.GetReflection();
    if (!refl->GetUnknownFields(m).empty()) {
        return true;
    }
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    refl->ListFields(m, &fields);
    for (const auto* f : fields) {
        if (f->cpp_type() != google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) {
            continue;
        }
        if (f->is_repeated()) {
            for (int i = 0; i < refl->FieldSize(m, f); ++i) {
                if (HasUnknownFields(refl->GetRepeatedMessage(m, f, i))) {
                    return true;
                }
            }
        } else if (HasUnknownFields(refl->GetMessage(m, f))) {
            return true;
        }
    }
    return false;
}

bool ParseStrict(Message* m, std::string_view value) {
    return m->ParseFromArray(value.data(), static_cast<int>(value.size())) && !HasUnknownFields(*m);
}

std::vector<uint8_t> Frame(uint32_t type, const std::string& value) {
    return ozy::ids::EncodeFrame(type, value);
}

// Distinct "sid:NNN" ids of the lines of `path` that are not comments.
void CollectSids(const fs::path& path, std::set<uint64_t>* sids) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        for (size_t pos = line.find("sid:"); pos != std::string::npos;
             pos = line.find("sid:", pos + 4)) {
            if (pos > 0 &&
                (std::isalnum(static_cast<unsigned char>(line[pos - 1])) || line[pos - 1] == '_')) {
                continue;  // "gid:"-like words ending in "sid" are not the option
            }
            size_t d = line.find_first_not_of(' ', pos + 4);
            uint64_t v = 0;
            size_t digits = 0;
            for (; d < line.size() && std::isdigit(static_cast<unsigned char>(line[d])) &&
                   digits < 19;
                 ++d, ++digits) {
                v = v * 10 + static_cast<uint64_t>(line[d] - '0');
            }
            if (digits > 0) {
                sids->insert(v);
            }
        }
    }
}

bool HasSuffix(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

long IdpsFrameSize(const uint8_t* data, size_t size, std::string* error) {
    if (size < ozy::ids::kFrameHeaderSize) {
        return 0;
    }
    ozy::ids::FrameHeader h = ozy::ids::DecodeFrameHeader(data);
    if (h.length > ozy::ids::kMaxValue) {
        *error = "value length " + std::to_string(h.length) + " above the limit";
        return -1;
    }
    size_t total = ozy::ids::kFrameHeaderSize + h.length;
    return size >= total ? static_cast<long>(total) : 0;
}

IdpsEngine::IdpsEngine(std::string confDir)
    : confDir_(std::move(confDir)), started_(std::chrono::steady_clock::now()) {}

void IdpsEngine::Reset() {
    started_ = std::chrono::steady_clock::now();
    rules_.clear();
    profiles_.clear();
    logLevel_ = "info";
    alertLog_ = true;
    reloads_ = 0;
    sidsLoaded_ = 0;
}

void IdpsEngine::Note(const std::string& text) {
    CFG_WARN("ozy-dpemu: idps: %1", text);
    errors_.push_back(text);
    if (errors_.size() > kKeptErrors) {
        errors_.pop_front();
    }
}

std::vector<uint8_t> IdpsEngine::Error(uint32_t type, int code, const std::string& text) {
    ++errorReplies_;
    Note(std::string(ozy::ids::RequestTypeName(type) ? ozy::ids::RequestTypeName(type)
                                                     : "type " + std::to_string(type)) +
         ": " + text);
    pb::GenericResponseMsg g;
    g.set_code(code);
    g.set_message(text);
    return Frame(ozy::ids::kTlvError, g.SerializeAsString());
}

std::vector<uint8_t> IdpsEngine::Version(Session& session, std::string_view value) {
    if (value.size() > ozy::ids::kMaxVersionText) {
        return Error(ozy::ids::kTlvVersion, 22, "version text too long");
    }
    auto j = nlohmann::json::parse(value.begin(), value.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("version") || !j["version"].is_string()) {
        return Error(ozy::ids::kTlvVersion, 22, "version text is not {\"version\": string}");
    }
    lastVersion_ = j["version"].get<std::string>();
    session.versionDone = true;
    std::string reply =
        versionReply_.empty()
            ? nlohmann::json{{"return", "ok"}, {"version", ozy::ids::kProtocolVersion}}.dump()
            : versionReply_;
    return Frame(ozy::ids::kTlvVersion, reply);
}

std::vector<uint8_t> IdpsEngine::OnFrame(Session& session, const uint8_t* frame, size_t size) {
    ozy::ids::FrameHeader h = ozy::ids::DecodeFrameHeader(frame);
    std::string_view value(reinterpret_cast<const char*>(frame) + ozy::ids::kFrameHeaderSize,
                           size - ozy::ids::kFrameHeaderSize);
    ++requests_[h.type];
    if (h.type == ozy::ids::kTlvVersion) {
        return Version(session, value);
    }
    if (!session.versionDone) {
        return Error(h.type, 1, "request before the version exchange");
    }
    if (ozy::ids::RequestTypeName(h.type) == nullptr) {
        return Error(h.type, 95, "unknown request type");
    }
    if (auto f = failNext_.find(h.type); f != failNext_.end() && f->second > 0) {
        --f->second;
        return Error(h.type, 5, "injected failure");
    }
    std::string reply;
    std::string error;
    if (!Apply(h.type, value, &reply, &error)) {
        return Error(h.type, 22, error);
    }
    ReplyFault fault = ReplyFault::kNone;
    if (auto f = replyFault_.find(h.type); f != replyFault_.end()) {
        fault = f->second;
        replyFault_.erase(f);
    }
    switch (fault) {
        case ReplyFault::kNone:
            return Frame(h.type, reply);
        case ReplyFault::kWrongType:
            return Frame(
                h.type == ozy::ids::kTlvGetRules ? ozy::ids::kTlvGetUptime : ozy::ids::kTlvGetRules,
                reply);
        case ReplyFault::kGarbage:
            return Frame(h.type, std::string("\xff\xff\xff\xff\xff", 5));
        case ReplyFault::kTruncated: {
            std::vector<uint8_t> out = Frame(h.type, reply + std::string(16, 'x'));
            out.resize(out.size() - 16);
            return out;
        }
        case ReplyFault::kHuge: {
            std::vector<uint8_t> out(ozy::ids::kFrameHeaderSize);
            ozy::ids::EncodeFrameHeader(ozy::ids::FrameHeader{h.type, 0xfffffff0u}, out.data());
            return out;
        }
        case ReplyFault::kStall:
            return {};
    }
    return {};
}

bool IdpsEngine::Apply(uint32_t type, std::string_view value, std::string* reply,
                       std::string* error) {
    auto refuse = [error](const std::string& why) {
        *error = why;
        return false;
    };
    switch (type) {
        case ozy::ids::kTlvDumpCounters: {
            pb::DumpCounterRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode DumpCounterRequestMsg");
            }
            pb::DumpCounterResponseMsg resp;
            for (const auto& [t, n] : requests_) {
                const char* name = ozy::ids::RequestTypeName(t);
                (*resp.mutable_counters())[name ? name : "type_" + std::to_string(t)] = n;
            }
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvGetUptime: {
            pb::GetUptimeRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode GetUptimeRequestMsg");
            }
            pb::GetUptimeResponseMsg resp;
            resp.set_uptime_seconds(
                static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::steady_clock::now() - started_)
                                          .count()));
            resp.set_reloads(reloads_);
            resp.set_sids_loaded(sidsLoaded_);
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvListTenants: {
            pb::ListProfilesRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode ListProfilesRequestMsg");
            }
            pb::ListProfilesResponseMsg resp;
            for (const auto& [name, p] : profiles_) {
                *resp.add_profiles() = p;
            }
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvGetLogLevel: {
            pb::GetLogLevelRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode GetLogLevelRequestMsg");
            }
            pb::GetLogLevelResponseMsg resp;
            resp.set_level(logLevel_);
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvSetLogLevel: {
            pb::SetLogLevelRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode SetLogLevelRequestMsg");
            }
            static const std::set<std::string> kLevels = {"error", "warning", "notice",
                                                          "info",  "debug",   "trace"};
            if (kLevels.count(req.level()) == 0) {
                return refuse("unknown log level \"" + req.level() + "\"");
            }
            logLevel_ = req.level();
            pb::SetLogLevelResponseMsg resp;
            resp.set_level(logLevel_);
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvGetAlertLog: {
            pb::GetAlertLogRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode GetAlertLogRequestMsg");
            }
            pb::GetAlertLogResponseMsg resp;
            resp.set_enabled(alertLog_);
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvSetAlertLog: {
            pb::SetAlertLogRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode SetAlertLogRequestMsg");
            }
            alertLog_ = req.enabled();
            pb::SetAlertLogResponseMsg resp;
            resp.set_enabled(alertLog_);
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvUpdateRuleMap: {
            pb::RuleUpdateMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode RuleUpdateMsg");
            }
            for (const auto& r : req.rules()) {
                if (r.rule_id().empty() || (r.action() != 21 && r.action() != 24)) {
                    return refuse("rule \"" + r.rule_id() + "\" with action " +
                                  std::to_string(r.action()));
                }
            }
            if (req.full()) {
                rules_.clear();
            }
            for (const auto& id : req.removed_rule_ids()) {
                rules_.erase(id);
            }
            for (const auto& r : req.rules()) {
                rules_[r.rule_id()] = r.action();
            }
            pb::RuleUpdateResponseMsg resp;
            resp.set_rule_count(static_cast<uint32_t>(rules_.size()));
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvUpdateProfileMap: {
            pb::ProfileUpdateMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode ProfileUpdateMsg");
            }
            for (const auto& p : req.profiles()) {
                if (p.name().empty()) {
                    return refuse("profile without a name");
                }
                for (const auto& s : p.signs()) {
                    if (s.action() != "alert" && s.action() != "reject") {
                        return refuse("profile \"" + p.name() + "\" sid " +
                                      std::to_string(s.sid()) + " action \"" + s.action() + "\"");
                    }
                }
            }
            if (req.sync_type() == pb::PROFILE_SYNC_FULL) {
                profiles_.clear();
            }
            for (const auto& name : req.removed_profiles()) {
                profiles_.erase(name);
            }
            for (const auto& p : req.profiles()) {
                profiles_[p.name()] = p;
            }
            pb::ProfileInfoResponseMsg resp;
            resp.set_profile_count(static_cast<uint32_t>(profiles_.size()));
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvReloadSignatures: {
            pb::ReloadSignatureRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode ReloadSignatureRequestMsg");
            }
            ++reloads_;
            sidsLoaded_ = CountSids();
            CFG_INFO("ozy-dpemu: idps: reload %1: %2 signatures", reloads_, sidsLoaded_);
            pb::ReloadSignatureResponseMsg resp;
            resp.set_sids_loaded(sidsLoaded_);
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvGetSignAction: {
            pb::GetSignActionRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode GetSignActionRequestMsg");
            }
            auto it = profiles_.find(req.profile());
            if (it == profiles_.end()) {
                return refuse("unknown profile \"" + req.profile() + "\"");
            }
            pb::GetSignActionResponseMsg resp;
            resp.set_action("alert");
            for (const auto& s : it->second.signs()) {
                if (s.sid() == req.sid()) {
                    resp.set_action(s.action());
                }
            }
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvGetRules: {
            pb::GetRulesRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode GetRulesRequestMsg");
            }
            pb::GetRulesResponseMsg resp;
            for (const auto& [id, action] : rules_) {
                auto* r = resp.add_rules();
                r->set_rule_id(id);
                r->set_action(action);
            }
            *reply = resp.SerializeAsString();
            return true;
        }
        case ozy::ids::kTlvGetProfileStatus: {
            pb::ProfileStatusRequestMsg req;
            if (!ParseStrict(&req, value)) {
                return refuse("cannot decode ProfileStatusRequestMsg");
            }
            pb::ProfileStatusResponseMsg resp;
            auto it = profiles_.find(req.profile());
            resp.set_present(it != profiles_.end());
            if (it != profiles_.end()) {
                *resp.mutable_profile() = it->second;
            }
            *reply = resp.SerializeAsString();
            return true;
        }
        default:
            return refuse("unknown request type");
    }
}

uint64_t IdpsEngine::CountSids() const {
    std::set<uint64_t> sids;
    std::error_code ec;
    fs::path conf(confDir_);
    for (auto it = fs::directory_iterator(conf / "bundles/system/rules", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec) && HasSuffix(it->path().filename().string(), ".rules")) {
            CollectSids(it->path(), &sids);
        }
    }
    for (auto b = fs::directory_iterator(conf / "bundles", ec);
         !ec && b != fs::directory_iterator(); b.increment(ec)) {
        if (b->path().filename().string().rfind("custom_", 0) != 0 || !b->is_directory(ec)) {
            continue;
        }
        std::error_code rec;
        for (auto it = fs::recursive_directory_iterator(b->path(), rec);
             !rec && it != fs::recursive_directory_iterator(); it.increment(rec)) {
            if (it->is_regular_file(rec) && HasSuffix(it->path().filename().string(), ".rules")) {
                CollectSids(it->path(), &sids);
            }
        }
    }
    if (fs::is_regular_file(conf / "threshold.config", ec)) {
        CollectSids(conf / "threshold.config", &sids);
    }
    return sids.size();
}

nlohmann::json IdpsEngine::Dump() const {
    nlohmann::json rules = nlohmann::json::object();
    for (const auto& [id, action] : rules_) {
        rules[id] = action;
    }
    nlohmann::json profiles = nlohmann::json::object();
    for (const auto& [name, p] : profiles_) {
        nlohmann::json signs = nlohmann::json::object();
        for (const auto& s : p.signs()) {
            signs[std::to_string(s.sid())] = s.action();
        }
        profiles[name] = {{"signs", signs},
                          {"pcap_enabled", p.pcap_enabled()},
                          {"pcap_byte_count", p.pcap_byte_count()},
                          {"pcap_packet_count", p.pcap_packet_count()}};
    }
    nlohmann::json requests = nlohmann::json::object();
    for (const auto& [t, n] : requests_) {
        const char* name =
            t == ozy::ids::kTlvVersion ? "TLV_VERSION" : ozy::ids::RequestTypeName(t);
        requests[name ? name : "type_" + std::to_string(t)] = n;
    }
    return {{"rules", rules},          {"profiles", profiles}, {"log_level", logLevel_},
            {"alert_log", alertLog_},  {"reloads", reloads_},  {"sids_loaded", sidsLoaded_},
            {"version", lastVersion_}, {"requests", requests}, {"error_replies", errorReplies_},
            {"errors", errors_}};
}

}  // namespace ozy::dpemu

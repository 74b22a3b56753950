// IDSApp's CLI pages: the "ids/..." commands of the CLI's fixed table. None takes the global agent
// lock (the cache and the engine have their own); the pages that ask the engine run on the CLI
// server's worker and wait at most the request deadline, so a stalled engine never holds up the
// other commands.
#include <nlohmann/json.hpp>

#include "ids/IDSApp.h"
#include "ids/IdsLog.h"

namespace CfgAgent {

namespace idps = orvane::ozy::lcp::idps;

namespace {

const char* ActionName(uint32_t action) {
    return action == IDSMsgCache::kActionDetect    ? "Detect"
           : action == IDSMsgCache::kActionPrevent ? "Prevent"
                                                   : "Unknown";
}

nlohmann::json ProfileJson(const idps::ProfileInfoMsg& p) {
    nlohmann::json signs = nlohmann::json::object();
    for (const auto& s : p.signs())
        signs[std::to_string(s.sid())] = s.action();
    return {{"name", p.name()},
            {"signs", signs},
            {"pcap_enabled", p.pcap_enabled()},
            {"pcap_byte_count", p.pcap_byte_count()},
            {"pcap_packet_count", p.pcap_packet_count()}};
}

CliReply Result(const char* key, nlohmann::json result) {
    nlohmann::json out;
    out[key]["result"] = std::move(result);
    return CliReply::Ok(out.dump(2));
}

CliReply EngineFailed(const char* key) {
    return Result(key, "failed to query the IDS engine");
}

const char* kLevelNames[] = {"off", "fatal", "error", "warn", "info", "debug", "trace"};

}  // namespace

CliReply IDSApp::Page(const std::string& name, const CliPages::Args& a) {
    const bool enabled = cache_->IdsMode();
    IDSEngine* e = engine_.get();
    if (name == "ids/get/status") {
        return Result("ids_status", {{"status", enabled ? "Enabled" : "Disabled"},
                                     {"engine_connected", e != nullptr && e->connected()},
                                     {"primed", cache_->primed()},
                                     {"barrier", cache_->Barrier()},
                                     {"rules", cache_->Rules().size()},
                                     {"profiles", cache_->Profiles().size()},
                                     {"sids_loaded", lastSidsLoaded()}});
    }
    if (name == "ids/get/rules" || name == "ids/get/profiles") {
        const bool rules = name == "ids/get/rules";
        IDS_INFO("ids: IDSApp::%1: Invoked", rules ? "getRules" : "getProfiles");
        if (!enabled) {
            IDS_INFO("ids: IDSApp::%1: IDS Status: Disabled, not returning rules",
                     rules ? "getRules" : "getProfiles");
            return Result(rules ? "ids_rules" : "ids_profiles", "IDS Status: Disabled");
        }
        nlohmann::json out = nlohmann::json::object();
        if (rules) {
            for (const auto& [id, action] : cache_->Rules())
                out[id] = ActionName(action);
            return Result("ids_rules", out);
        }
        for (const auto& [pname, rec] : cache_->Profiles()) {
            nlohmann::json signs = nlohmann::json::object();
            for (const auto& [sid, action] : rec.sidActions)
                signs[std::to_string(sid)] = action;
            out[pname] = {{"signs", signs},
                          {"pcap_enabled", rec.pcapEnabled},
                          {"pcap_byte_count", rec.pcapByteCount},
                          {"pcap_packet_count", rec.pcapPacketCount}};
        }
        return Result("ids_profiles", out);
    }
    if (name == "ids/get/loglevel") {
        int level = g_idsLogLevel.load();
        return Result("ids_loglevel", level >= 0 && level <= 6 ? kLevelNames[level] : "unknown");
    }
    if (name == "ids/set/loglevel") {
        for (int i = 0; i <= 6; ++i) {
            if (a[0] == kLevelNames[i]) {
                g_idsLogLevel.store(i);
                return Result("ids_setloglevel_status", "success");
            }
        }
        return Result("ids_setloglevel_status", "invalid input");
    }
    if (name == "ids/dump/profiles") {
        std::string error;
        bool ok = cache_->DumpProfiles(a.empty() ? std::string() : a[0], &error);
        return Result("ids_dumpprofile_status", ok ? "success" : error);
    }
    if (name == "ids/dump/signatures") {
        return Result("ids_dumpsignatures_status", cache_->DumpSignatures() ? "success" : "failed");
    }
    // The engine's pages.
    if (e == nullptr)
        return Result("ids_engine_status", "not initialized");
    if (name == "ids/get/engine/status") {
        idps::GetUptimeResponseMsg up;
        if (!e->getUptime(&up)) {
            IDS_ERROR_CODE("IDSERR_ERROR_LIST_TENANTS", "ids: IDSApp::%1: Failed to get uptime",
                           "getStatus");
            return EngineFailed("ids_engine_status");
        }
        return Result("ids_engine_status", {{"uptime_seconds", up.uptime_seconds()},
                                            {"reloads", up.reloads()},
                                            {"sids_loaded", up.sids_loaded()}});
    }
    if (name == "ids/get/engine/rules") {
        idps::GetRulesResponseMsg r;
        if (!e->listRules(&r))
            return EngineFailed("ids_rules");
        nlohmann::json out = nlohmann::json::object();
        for (const auto& rule : r.rules())
            out[rule.rule_id()] = ActionName(rule.action());
        return Result("ids_rules", out);
    }
    if (name == "ids/get/engine/profiles") {
        idps::ListProfilesResponseMsg r;
        if (!e->listProfiles(&r))
            return EngineFailed("ids_engine_profiles");
        nlohmann::json out = nlohmann::json::array();
        for (const auto& p : r.profiles())
            out.push_back(ProfileJson(p));
        return Result("ids_engine_profiles", out);
    }
    if (name == "ids/get/engine/globalstats") {
        idps::DumpCounterResponseMsg r;
        if (!e->dumpCounters(&r))
            return EngineFailed("ids_engine_globalstats");
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [k, v] : r.counters())
            if (a.empty() || k == a[0])
                out[k] = v;
        return Result("ids_engine_globalstats", out);
    }
    if (name == "ids/get/engine/loglevel" || name == "ids/set/engine/loglevel") {
        const bool set = name == "ids/set/engine/loglevel";
        const char* key = set ? "ids_setengineloglevel_status" : "ids_engine_loglevel";
        std::string level;
        bool ok = set ? e->setLogLevel(a[0]) : e->getLogLevel(&level);
        IDS_INFO("ids: IDSApp::%1: engine: %2, level: %3", set ? "setLogLevel" : "getLogLevel",
                 ok ? "ok" : "failed", set ? a[0] : level);
        if (!ok)
            return EngineFailed(key);
        return Result(key, set ? std::string("success") : level);
    }
    if (name == "ids/get/engine/alertlog" || name == "ids/set/engine/alertlog") {
        const bool set = name == "ids/set/engine/alertlog";
        const char* key = set ? "ids_setenginealertlog_status" : "ids_engine_alertlog";
        if (set && a[0] != "enable" && a[0] != "disable")
            return Result(key, "invalid input");
        bool enabled = false;
        bool ok = set ? e->setAlertLog(a[0] == "enable") : e->getAlertLog(&enabled);
        if (!ok)
            return EngineFailed(key);
        return Result(key, set ? "success" : (enabled ? "enabled" : "disabled"));
    }
    if (name == "ids/get/engine/signaction") {
        // PROFILE SID GID
        uint64_t sid = 0;
        try {
            size_t used = 0;
            sid = std::stoull(a[1], &used);
            if (used != a[1].size())
                return Result("sign_action", "invalid input");
        } catch (const std::exception&) {
            return Result("sign_action", "invalid input");
        }
        std::string action;
        if (!e->getSignAction(a[0], sid, &action))
            return EngineFailed("sign_action");
        return Result("sign_action", action);
    }
    if (name == "ids/get/engine/profilestatus" || name == "ids/get/engine/profilestats") {
        const char* key = name == "ids/get/engine/profilestatus" ? "ids_engine_profilestatus"
                                                                 : "ids_getengineprofile_stats";
        idps::ProfileStatusResponseMsg r;
        if (!e->getProfileStatus(a[0], &r))
            return EngineFailed(key);
        if (!r.present())
            return Result(key, "profile not present");
        return Result(key, ProfileJson(r.profile()));
    }
    return CliReply::Error("unknown ids command");
}

void IDSApp::RegisterCliPages(CliPages& pages) {
    struct PageDef {
        const char* name;
        int minArgs;
        int maxArgs;
    };
    static const PageDef kPages[] = {
        {"ids/get/status", 0, 0},
        {"ids/get/profiles", 0, 0},
        {"ids/get/rules", 0, 0},
        {"ids/get/loglevel", 0, 0},
        {"ids/get/engine/status", 0, 0},
        {"ids/get/engine/globalstats", 0, 1},
        {"ids/get/engine/loglevel", 0, 0},
        {"ids/get/engine/alertlog", 0, 0},
        {"ids/get/engine/profiles", 0, 0},
        {"ids/get/engine/rules", 0, 0},
        {"ids/get/engine/signaction", 3, 3},
        {"ids/get/engine/profilestats", 1, 1},
        {"ids/get/engine/profilestatus", 1, 1},
        {"ids/set/loglevel", 1, 1},
        {"ids/set/engine/loglevel", 1, 1},
        {"ids/set/engine/alertlog", 1, 1},
        {"ids/dump/profiles", 0, 1},
        {"ids/dump/signatures", 0, 0},
    };
    ozy::RefPtr<IDSApp> self(this);
    for (const PageDef& s : kPages) {
        std::string name = s.name;
        const bool asksEngine =
            name.rfind("ids/get/engine/", 0) == 0 || name.rfind("ids/set/engine/", 0) == 0;
        pages.Add(
            name, "", s.minArgs, s.maxArgs,
            [self, name](const CliPages::Args& args) { return self->Page(name, args); },
            asksEngine ? CliPages::Mode::kDeferred : CliPages::Mode::kUnlocked);
    }
}

}  // namespace CfgAgent

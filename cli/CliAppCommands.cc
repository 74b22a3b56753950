// Commands answered by applications (firewall, service insertion, intrusion detection, SmartNIC,
// L2, BFD, IPFIX). A running application answers them through its page of the same name
// (CliPages.h); otherwise the command answers as that application's absence requires.
#include <nlohmann/json.hpp>

#include "cli/CliServer.h"
#include "platform/unixctl/UnixctlServer.h"
#include "runtime/Logger.h"

namespace CfgAgent {

using ozy::unixctl::Connection;

namespace {

struct CommandSpec {
    const char* name;
    const char* usage;
    int minArgs;
    int maxArgs;
    // Reply key of the command (intrusion-detection commands answer {key: {"result": ...}}).
    const char* key;
};

const CommandSpec kDfwCommands[] = {
    {"dfw/vif", "", 0, 1, "dfw_vif_list"},
    {"dfw/exclude", "", 0, 1, "dfw_vif_exclude"},
    {"dfw/switch", "", 0, 1, "dfw_switch"},
    {"dfw/rules", "", 1, 2, "dfw_vif_rules"},
    {"dfw/addrsets", "", 1, 2, "dfw_vif_addrsets"},
    {"dfw/profiles", "", 1, 2, "dfw_vif_profiles"},
    {"dfw/vifcontainers", "[all|<vif>]", 1, 2, "dfw_vif_containers"},
    {"dfw/containers", "", 0, 0, "dfw_containers"},
    {"dfw/counters", "", 0, 0, "dfw_counters"},
    {"dfw/intdbgflag", "[set|unset]", 1, 1, ""},
    {"dfw/hostMaxRules", "MAX_HOST_RULES", 1, 1, ""},
    {"dfw/vnicMaxRules", "MAX_VNIC_RULES", 1, 1, ""},
    {"dfw/vnicRuleCountTable", "", 0, 1, "dfw_vnic_rule_count"},
    {"dfw/vnicRuleAlarmState", "", 0, 1, "dfw_vnic_rule_alarm_data"},
    {"dfw/hostRuleAlarmState", "", 0, 1, "dfw_host_rule_alarm_data"},
    {"dfw/ruleAlarmConfigData", "", 0, 1, "dfw_rule_alarm_config_data"},
    {"dfw/tnMetrics", "", 0, 0, ""},
    {"dfw/lspMetrics", "", 0, 0, "lsp_metrics_list"},
    {"dfw/getloglevel", "", 0, 0, "dfwLogLevel"},
    {"dfw/setloglevel", "LOG_LEVEL", 1, 1, ""},
    {"dfw/getlibloglevel", "COMPONENT", 1, 1, "libLogLevel"},
    {"dfw/setlibloglevel", "COMPONENT", 2, 2, ""},
    {"dfw/getL2MacOptFlag", "", 0, 0, ""},
    {"dfw/setL2MacOptFlag", "[true|false]", 1, 1, ""},
};

const CommandSpec kSiCommands[] = {
    {"si/get-ordered-service-paths", "", 1, 2, ""},
    {"si/get-selected-service-paths", "", 1, 1, "si_selected_service_paths"},
};

const CommandSpec kIdsCommands[] = {
    {"ids/get/status", "", 0, 0, "ids_status"},
    {"ids/get/profiles", "", 0, 0, "ids_profiles"},
    {"ids/get/rules", "", 0, 0, "ids_rules"},
    {"ids/get/loglevel", "", 0, 0, "ids_loglevel"},
    {"ids/get/engine/status", "", 0, 0, "ids_engine_status"},
    {"ids/get/engine/globalstats", "", 0, 1, "ids_engine_globalstats"},
    {"ids/get/engine/loglevel", "", 0, 0, "ids_engine_loglevel"},
    {"ids/get/engine/alertlog", "", 0, 0, "ids_engine_alertlog"},
    {"ids/get/engine/profiles", "", 0, 0, "ids_engine_profiles"},
    {"ids/get/engine/rules", "", 0, 0, "ids_rules"},
    {"ids/get/engine/signaction", "", 3, 3, "sign_action"},
    {"ids/get/engine/profilestats", "", 1, 1, "ids_getengineprofile_stats"},
    {"ids/get/engine/profilestatus", "", 1, 1, "ids_engine_profilestatus"},
    {"ids/set/loglevel", "LOG_LEVEL", 1, 1, "ids_setloglevel_status"},
    {"ids/set/engine/loglevel", "LOG_LEVEL", 1, 1, "ids_setengineloglevel_status"},
    {"ids/set/engine/alertlog", "enable/disable", 1, 1, "ids_setenginealertlog_status"},
    {"ids/dump/profiles", "", 0, 1, "ids_dumpprofile_status"},
    {"ids/dump/signatures", "", 0, 0, "ids_dumpsignatures_status"},
};

// Application dumps without a firewall-style answer: error text when the application is absent.
struct DumpSpec {
    const char* name;
    const char* usage;
    int minArgs;
    int maxArgs;
    const char* absent;
};

const DumpSpec kAppDumps[] = {
    {"cfgagent/smartnic/demuxbyid", "", 2, 2, "SmartNIC demux is not running on this node"},
    {"cfgagent/smartnic/demuxbytype", "", 1, 1, "SmartNIC demux is not running on this node"},
    {"cfgagent/smartnic/demuxinfo", "", 0, 0, "SmartNIC demux is not running on this node"},
    {"cfgagent/smartnic/muxconfig", "", 0, 0, "SmartNIC mux is not running on this node"},
    {"cfgagent/smartnic/muxl2", "", 0, 0, "SmartNIC mux is not running on this node"},
    {"cfgagent/smartnic/muxglobalvtep", "", 0, 0, "SmartNIC mux is not running on this node"},
    {"cfgagent/smartnic/hostswitch", "", 0, 0, "SmartNIC table is not running on this node"},
    {"cfgagent/smartnic/rtf", "", 0, 0, "Realization tracking is not running on this node"},
    {"cfgagent/l2/routingdomain", "", 0, 0, "L2 application is not enabled"},
    {"cfgagent/bfd", "", 0, 0, "BFD application is not enabled"},
    {"cfgagent/ipfix-switch/profile/all", "", 0, 0, "IPFIX is not enabled"},
    {"cfgagent/ipfix-switch/profile/lport", "NODE_UUID", 1, 1, "IPFIX is not enabled"},
};

}  // namespace

bool CliServer::AnswerFromPage(Connection& conn, const Args& args, const std::string& name) {
    const CliPages::Page* page = context_.pages.Find(name);
    if (page == nullptr)
        return false;
    if (page->mode == CliPages::Mode::kDeferred) {
        AnswerOnWorker(conn, args, name, *page);
        return true;
    }
    CliReply reply = page->handler(args);
    if (reply.ok) {
        Reply(conn, reply.text);
    } else {
        conn.ReplyError(reply.text);
    }
    return true;
}

void CliServer::AnswerOnWorker(Connection& conn, const Args& args, const std::string& name,
                               const CliPages::Page& page) {
    std::shared_ptr<ozy::unixctl::DeferredReply> reply = conn.Defer();
    // The page lives as long as the server, and the worker stops before the server goes.
    auto job = [reply, args, name, &page] {
        try {
            CliReply r = page.handler(args);
            if (r.ok) {
                reply->Reply(r.text);
            } else {
                reply->ReplyError(r.text);
            }
        } catch (const std::bad_alloc&) {
            ExitOnAllocFailure();
        } catch (const std::exception& e) {
            CFG_ERROR_CODE("LCP00703", "failed to process command");
            CFG_DEBUG("CliServer: command %1 failure: %2", name, e.what());
            reply->ReplyError("failed to process command");
        }
    };
    if (!worker_.Post(std::move(job))) {
        CFG_WARN_CODE("LCP00703", "CliServer: %1 refused: %2 requests are already waiting", name,
                      CliWorker::kMaxQueued);
        reply->ReplyError("too many requests waiting, try again later");
    }
}

void CliServer::AppDump(Connection& conn, const Args& args, const std::string& name) {
    if (AnswerFromPage(conn, args, name))
        return;
    for (const auto& d : kAppDumps) {
        if (name == d.name) {
            conn.ReplyError(d.absent);
            return;
        }
    }
    conn.ReplyError("command not available");
}

void CliServer::RegisterPages() {
    for (const auto& [name, page] : context_.pages.All()) {
        if (registered_.count(name) != 0)
            continue;
        std::string command = name;
        Register(
            name.c_str(), page.usage.c_str(), page.minArgs, page.maxArgs,
            [this, command](Connection& c, const Args& a) { AnswerFromPage(c, a, command); },
            page.mode == CliPages::Mode::kLocked);
    }
}

void CliServer::RegisterDumps() {
    for (const auto& d : kAppDumps) {
        std::string name = d.name;
        Register(d.name, d.usage, d.minArgs, d.maxArgs,
                 [this, name](Connection& c, const Args& a) { AppDump(c, a, name); });
    }
    Register("cfgagent/get-wft/stats", "", 0, 0,
             [this](Connection& c, const Args& a) { GetWftStats(c, a); });
}

void CliServer::RegisterApplicationCommands() {
    for (const auto& d : kDfwCommands) {
        std::string name = d.name;
        Register(d.name, d.usage, d.minArgs, d.maxArgs, [this, name](Connection& c, const Args& a) {
            if (AnswerFromPage(c, a, name))
                return;
            Reply(c, "{\"result\" : \"not initialized\"}");
        });
    }
    for (const auto& d : kSiCommands) {
        std::string name = d.name;
        Register(d.name, d.usage, d.minArgs, d.maxArgs, [this, name](Connection& c, const Args& a) {
            if (AnswerFromPage(c, a, name))
                return;
            c.ReplyError("Query Service Path fail");
        });
    }
    for (const auto& d : kIdsCommands) {
        std::string name = d.name;
        std::string key = d.key;
        Register(
            d.name, d.usage, d.minArgs, d.maxArgs,
            [this, name, key](Connection& c, const Args& a) {
                if (AnswerFromPage(c, a, name))
                    return;
                nlohmann::json out;
                out[key]["result"] = "invalid input";
                Reply(c, out.dump(2));
            },
            !PageUnlocked(name));
    }
}

}  // namespace CfgAgent

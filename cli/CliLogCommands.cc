// Log-level, workflow-tracing and tracing-statistics commands of the CLI server.
#include <nlohmann/json.hpp>

#include "cli/CliServer.h"
#include "platform/LibraryLogLevels.h"
#include "platform/WorkflowUtil.h"
#include "platform/cairndb/LibraryLog.h"
#include "platform/unixctl/UnixctlServer.h"
#include "runtime/Logger.h"

namespace CfgAgent {

using ozy::unixctl::Connection;

namespace {

// One log-level family: a setter and a getter over one level variable.
struct LevelFamily {
    const char* setCommand;
    const char* getCommand;
    std::atomic<int>* level;
    const char* setPrefix;
    const char* getPrefix;
    const char* setLog;
    const char* getLog;
};

const std::vector<LevelFamily>& Families() {
    static const std::vector<LevelFamily> families = {
        {"cfgagent/set/loglevel", "cfgagent/get/loglevel", &g_agentLogLevel,
         "Setting cfgagent logging level from ", "Current cfgagent logging level is: ",
         "CliServer: setting log level from %1 to %2", "CliServer: getting log level %1 aux %2"},
        {"cfgagent/set-metrics/loglevel", "cfgagent/get-metrics/loglevel",
         &ozy::metrics::library_log_level, "Setting cfgagent metrics logging level from ",
         "Current cfgagent metrics logging level is: ",
         "CliServer: setting metrics log level from %1 to %2",
         "CliServer: getting metrics log level %1"},
        {"cfgagent/set-net/loglevel", "cfgagent/get-net/loglevel", &ozy::net::library_log_level,
         "Setting cfgagent net logging level from ", "Current cfgagent net logging level is: ",
         "CliServer: setting net log level from %1 to %2", "CliServer: getting net log level %1"},
        {"cfgagent/set-rpc/loglevel", "cfgagent/get-rpc/loglevel", &ozy::rpc::library_log_level,
         "Setting cfgagent rpc logging level from ", "Current cfgagent rpc logging level is: ",
         "CliServer: setting rpc log level from %1 to %2", "CliServer: getting rpc log level %1"},
        {"cfgagent/set-cairndb/loglevel", "cfgagent/get-cairndb/loglevel",
         &ozy::cairndb::library_log_level, "Setting cfgagent cairnDb logging level from ",
         "Current cfgagent cairnDb logging level is: ",
         "CliServer: setting cairnDb log level from %1 to %2",
         "CliServer: getting cairnDb log level %1"},
        {"cfgagent/set-wft/loglevel", "cfgagent/get-wft/loglevel", &ozy::wft::library_log_level,
         "Setting cfgagent workflow tracing logging level from ",
         "Current cfgagent workflow tracing logging level is: ",
         "CliServer: setting workflow tracing log level from %1 to %2",
         "CliServer: getting workflow tracing log level %1"},
        {"cfgagent/set-sha/loglevel", "cfgagent/get-sha/loglevel", &ozy::sha::library_log_level,
         "Setting Cfgagent SHA client lib logging level from ",
         "Current Cfgagent SHA client lib logging level is: ",
         "CliServer: setting SHA client lib log level from %1 to %2",
         "CliServer: getting SHA client lib log level %1"},
        {"cfgagent/set-conduit/loglevel", "cfgagent/get-conduit/loglevel", &g_conduitLogLevel,
         "Setting Cfgagent conduit logging level from ",
         "Current Cfgagent conduit logging level is: ",
         "CliServer: setting conduit log level from %1 to %2",
         "CliServer: getting conduit log level %1"},
        {"cfgagent/set-upm/loglevel", "cfgagent/get-upm/loglevel", &ozy::upm::library_log_level,
         "Setting Cfgagent upm logging level from ", "Current Cfgagent upm logging level is: ",
         "CliServer: setting upm log level from %1 to %2", "CliServer: getting upm log level %1"},
    };
    return families;
}

const LevelFamily* FindFamily(const std::string& command) {
    for (const auto& f : Families()) {
        if (command == f.setCommand || command == f.getCommand)
            return &f;
    }
    return nullptr;
}

// A level given by name or by its number (0 to `highest`, as the configuration file gives levels);
// -1 for anything else.
int ParseLevel(const std::string& text, int highest, int (*fromName)(const std::string&)) {
    int byName = fromName(text);
    if (byName >= 0)
        return byName;
    if (text.empty() || text.size() > 2 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    int n = std::stoi(text);
    return n <= highest ? n : -1;
}

// Workflow tracing: off 0, warn 1, info 2, debug 3, trace 4.
constexpr int kHighestTraceLevel = 4;

int AgentLevelFromName(const std::string& name) {
    return LogLevelFromName(name);
}

std::string NameOf(int level) {
    const char* n = LogLevelName(level);
    return n != nullptr ? n : std::to_string(level);
}

}  // namespace

void CliServer::RegisterLogLevelCommands() {
    for (const auto& f : Families()) {
        std::string set = f.setCommand;
        std::string get = f.getCommand;
        Register(f.setCommand, "LOG_LEVEL", 1, 1,
                 [this, set](Connection& c, const Args& a) { SetLevel(c, a, set); });
        Register(f.getCommand, "", 0, 0,
                 [this, get](Connection& c, const Args& a) { GetLevel(c, a, get); });
    }
    Register("cfgagent/set-wft/tracelevel", "TRACE_LEVEL", 1, 1,
             [this](Connection& c, const Args& a) { SetTraceLevel(c, a); });
    Register("cfgagent/get-wft/tracelevel", "", 0, 0,
             [this](Connection& c, const Args& a) { GetTraceLevel(c, a); });
}

void CliServer::SetLevel(Connection& conn, const Args& args, const std::string& command) {
    const LevelFamily* f = FindFamily(command);
    const std::string& wanted = args.at(0);
    std::string old = NameOf(f->level->load());
    CFG_INFO(f->setLog, old, wanted);
    int level = ParseLevel(wanted, kLogTrace, AgentLevelFromName);
    if (level < 0) {
        CFG_WARN("CliServer: log level %1 refused: give off, fatal, error, warn, info, debug, "
                 "trace or 0 to 6",
                 wanted);
        conn.ReplyError(std::string(f->setPrefix) + old + " to " + wanted + " failed");
        return;
    }
    if (f->level == &g_agentLogLevel) {
        Logger::setLevel(level);
    } else {
        f->level->store(level);
    }
    Reply(conn, std::string(f->setPrefix) + old + " to " + NameOf(level) + " successfully");
}

void CliServer::GetLevel(Connection& conn, const Args& /*args*/, const std::string& command) {
    const LevelFamily* f = FindFamily(command);
    std::string current = NameOf(f->level->load());
    if (f->level == &g_agentLogLevel) {
        CFG_INFO(f->getLog, current, static_cast<const void*>(this));
    } else {
        CFG_INFO(f->getLog, current);
    }
    Reply(conn, std::string(f->getPrefix) + current);
}

void CliServer::SetTraceLevel(Connection& conn, const Args& args) {
    using ozy::wft::WorkflowUtil;
    const std::string& wanted = args.at(0);
    const char* oldName = WorkflowUtil::TraceLevelName(WorkflowUtil::GetTraceLevel());
    std::string text = std::string("Setting cfgagent trace level from ") +
                       (oldName != nullptr ? oldName : "unknown") + " to ";
    int level = ParseLevel(wanted, kHighestTraceLevel, WorkflowUtil::TraceLevelFromName);
    if (level < 0) {
        CFG_WARN("CliServer: trace level %1 refused: give off, warn, info, debug, trace or 0 to 4",
                 wanted);
        conn.ReplyError(text + wanted + " failed");
        return;
    }
    WorkflowUtil::SetTraceLevel(static_cast<uint8_t>(level));
    Reply(conn, text + WorkflowUtil::TraceLevelName(level) + " successfully");
}

void CliServer::GetTraceLevel(Connection& conn, const Args& /*args*/) {
    using ozy::wft::WorkflowUtil;
    const char* name = WorkflowUtil::TraceLevelName(WorkflowUtil::GetTraceLevel());
    std::string current = name != nullptr ? name : std::to_string(WorkflowUtil::GetTraceLevel());
    CFG_INFO("CliServer: getting trace level %1", current);
    Reply(conn, "Current cfgagent trace level is: " + current);
}

void CliServer::GetWftStats(Connection& conn, const Args& /*args*/) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& [name, value] : ozy::wft::WorkflowUtil::Stats()) {
        out.push_back({{"StatsName", name}, {"Num", value}});
    }
    Reply(conn, out.dump(2));
}

}  // namespace CfgAgent

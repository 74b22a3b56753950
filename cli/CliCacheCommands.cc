// State-cache dumps and queries of the CLI server: registration and dispatch. What each command
// shows is built in CliCacheViews.cc and CliStateCacheQueries.cc.
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CliCacheViews.h"
#include "cli/CliServer.h"
#include "platform/unixctl/UnixctlServer.h"
#include "runtime/MemoryAccounts.h"
#include "statecache/StateCache.h"
#include "statecache/StateCacheConfigTable.h"
#include "statecache/StateCacheL2Table.h"
#include "statecache/StateCacheL3Table.h"

namespace CfgAgent {

using ozy::unixctl::Connection;

namespace {

using View = std::function<bool(const StateCache&, const std::vector<std::string>&, std::string*)>;

// A view that takes no arguments.
View Plain(bool (*fn)(const StateCache&, std::string*)) {
    return [fn](const StateCache& c, const std::vector<std::string>&, std::string* out) {
        return fn(c, out);
    };
}

View Objects(ObjectType type) {
    return [type](const StateCache& c, const std::vector<std::string>&, std::string* out) {
        return cli::ConfigObjects(c, type, out);
    };
}

// Kinds the state cache does not hold (application state): an empty list until the application
// registers its dump.
View EmptyList() {
    return [](const StateCache&, const std::vector<std::string>&, std::string* out) {
        *out = "[]";
        return true;
    };
}

struct CacheCommandEntry {
    const char* name;
    int minArgs;
    int maxArgs;
    View view;
};

std::vector<CacheCommandEntry> StateDumps() {
    return {
        {"cfgagent/lport/status", 0, 0, Plain(cli::LportStatus)},
        {"cfgagent/l2/local", 0, 0,
         [](const StateCache& c, const std::vector<std::string>&, std::string* out) {
             *out = c.L2Table()->DumpJson(L2Store::kRuntime);
             return true;
         }},
        {"cfgagent/l2/remote", 0, 0,
         [](const StateCache& c, const std::vector<std::string>&, std::string* out) {
             *out = c.L2Table()->DumpJson(L2Store::kDesired);
             return true;
         }},
        {"cfgagent/l3/remote", 0, 0,
         [](const StateCache& c, const std::vector<std::string>&, std::string* out) {
             *out = c.L3Table()->DumpJson();
             return true;
         }},
        {"cfgagent/config/local", 0, 0,
         [](const StateCache& c, const std::vector<std::string>&, std::string* out) {
             *out = c.ConfigTable()->DumpJson(ConfigStore::kRuntime);
             return true;
         }},
        {"cfgagent/config/remote", 0, 0,
         [](const StateCache& c, const std::vector<std::string>&, std::string* out) {
             *out = c.ConfigTable()->DumpJson(ConfigStore::kDesired);
             return true;
         }},
        {"cfgagent/cache/table", 0, 0,
         [](const StateCache& c, const std::vector<std::string>&, std::string* out) {
             *out = c.DumpTablesJson();
             return true;
         }},
        {"cfgagent/config/lswitch", 0, 0, Objects(ObjectType::LOG_SWITCH_CONFIG)},
        {"cfgagent/config/lport", 0, 0, Objects(ObjectType::LOG_SWITCH_PORT_CONFIG)},
        {"cfgagent/config/tnode", 0, 0, Objects(ObjectType::TRANSPORT_NODE_CONFIG)},
        {"cfgagent/config/bcluster", 0, 0, Objects(ObjectType::BRIDGE_CLUSTER_CONFIG)},
        {"cfgagent/config/mirror", 0, 0, Objects(ObjectType::PORT_MIRROR_SESSION)},
        {"cfgagent/config/ipfix", 0, 0, Objects(ObjectType::IPFIX_CONFIGURATION)},
        {"cfgagent/config/profile", 0, 0, Objects(ObjectType::PROFILE)},
        {"cfgagent/config/grelation", 0, 0, Objects(ObjectType::ENTITY_GROUP_RELATION)},
        {"cfgagent/config/container", 0, 0, Objects(ObjectType::CONTAINER)},
        // Container-bus kernel interfaces, uplinks and CIFs are kept by the configuration
        // application, not by the state cache.
        {"cfgagent/config/conduitkrn", 0, 0, EmptyList()},
        {"cfgagent/config/uplink", 0, 0, EmptyList()},
        {"cfgagent/config/lsportlist", 0, 0, Plain(cli::SwitchPortLists)},
        {"cfgagent/config/ciflist", 0, 0, EmptyList()},
        {"cfgagent/config/mirrorsession", 0, 0, Plain(cli::MirrorSessions)},
        {"cfgagent/lsp/extracfg", 0, 0, Plain(cli::PortExtraConfigs)},
        {"cfgagent/ls/extracfg", 0, 0, Plain(cli::SwitchExtraConfigs)},
        {"cfgagent/ls/attachmentcfg", 0, 0, Plain(cli::SwitchAttachments)},
    };
}

std::vector<CacheCommandEntry> StateQueries() {
    using Args = std::vector<std::string>;
    return {
        {"cfgagent/statecache/logicalswitches", 0, 0, Plain(cli::LogicalSwitches)},
        {"cfgagent/statecache/logicalswitch", 2, 2,
         [](const StateCache& c, const Args& a, std::string* out) {
             return cli::LogicalSwitch(c, a[0], a[1], out);
         }},
        {"cfgagent/statecache/L2arp", 1, 1,
         [](const StateCache& c, const Args& a, std::string* out) {
             return cli::SwitchArpTable(c, a[0], out);
         }},
        {"cfgagent/statecache/L2mac", 1, 1,
         [](const StateCache& c, const Args& a, std::string* out) {
             return cli::SwitchMacTable(c, a[0], out);
         }},
        {"cfgagent/statecache/L2vtep", 2, 2,
         [](const StateCache& c, const Args& a, std::string* out) {
             return cli::SwitchVtepTable(c, a[0], a[1], out);
         }},
        {"cfgagent/statecache/L2ND", 1, 1,
         [](const StateCache& c, const Args& a, std::string* out) {
             return cli::SwitchNdTable(c, a[0], out);
         }},
        {"cfgagent/statecache/routing-domains", 0, 0, Plain(cli::RoutingDomains)},
        {"cfgagent/statecache/routing-domain-uuid", 1, 1,
         [](const StateCache& c, const Args& a, std::string* out) {
             return cli::RoutingDomain(c, a[0], out);
         }},
        {"cfgagent/statecache/dr-vtep", 0, 0, Plain(cli::DrVtep)},
        {"cfgagent/statecache/tn-tep-group", 0, 0, Plain(cli::TnTepGroups)},
        {"cfgagent/cache/size", 0, 0,
         [](const StateCache& c, const Args&, std::string* out) {
             *out = c.DumpSizesJson();
             return true;
         }},
        // Where the memory goes: the allocator, the state-cache tables (as "cfgagent/cache/size"
        // names them) and every registered account.
        {"cfgagent/cache/memory", 0, 0,
         [](const StateCache& c, const Args&, std::string* out) {
             std::vector<std::pair<std::string, size_t>> tables;
             for (const nlohmann::json& t : nlohmann::json::parse(c.DumpSizesJson()))
                 tables.emplace_back(t["TableName"].get<std::string>(), t["Size"].get<size_t>());
             *out = ozy::MemoryAccounts::ReportJson(tables);
             return true;
         }},
    };
}

}  // namespace

void CliServer::CacheCommand(Connection& conn, const Args& args, const std::string& name,
                             const View& view) {
    if (AnswerFromPage(conn, args, name))
        return;
    if (!context_.stateCache) {
        conn.ReplyError("State cache is not available");
        return;
    }
    std::string text;
    if (view(*context_.stateCache, args, &text)) {
        Reply(conn, text);
    } else {
        conn.ReplyError(text);
    }
}

void CliServer::RegisterCacheCommand(const char* name, int minArgs, int maxArgs, CacheView view) {
    std::string command = name;
    Register(name, "", minArgs, maxArgs,
             [this, command, view = std::move(view)](Connection& c, const Args& a) {
                 CacheCommand(c, a, command, view);
             });
}

void CliServer::RegisterStateCacheDumps() {
    for (auto& entry : StateDumps())
        RegisterCacheCommand(entry.name, entry.minArgs, entry.maxArgs, std::move(entry.view));
}

void CliServer::RegisterStateCacheQueries() {
    for (auto& entry : StateQueries())
        RegisterCacheCommand(entry.name, entry.minArgs, entry.maxArgs, std::move(entry.view));
}

}  // namespace CfgAgent

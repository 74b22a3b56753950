#include "runtime/daemon/AppLauncher.h"

#include <set>

#include <boost/property_tree/ptree.hpp>

#include "runtime/Logger.h"
#include "runtime/daemon/AppContext.h"

namespace CfgAgent {

AppLauncher::AppLauncher(std::vector<AppEntry> table, AppContext& context)
    : table_(std::move(table)), context_(context) {}

AppLauncher::~AppLauncher() = default;

const std::vector<std::string>& AppLauncher::StopOrder() {
    static const std::vector<std::string> order = {"config",    "vxlan", "vdrb", "dfw", "livetrace",
                                                   "traceflow", "bfd",   "si",   "ids"};
    return order;
}

const AppEntry* AppLauncher::Find(const std::string& name) const {
    for (const auto& e : table_) {
        if (e.name == name)
            return &e;
    }
    return nullptr;
}

AgentApp* AppLauncher::Get(const std::string& name) const {
    auto it = apps_.find(name);
    return it == apps_.end() ? nullptr : it->second.get();
}

std::vector<std::string> AppLauncher::Names() const {
    std::vector<std::string> names;
    for (const auto& [name, app] : apps_)
        names.push_back(name);
    return names;
}

void AppLauncher::Launch(const std::string& key, const std::string& message,
                         const AppFactory& factory, const boost::property_tree::ptree& config) {
    if (!factory) {
        CFG_INFO("Application %1 is enabled but not part of this build", key);
        return;
    }
    CFG_INFO("%1", message);
    std::unique_ptr<AgentApp> app = factory(context_);
    auto it = apps_.find(key);
    if (it != apps_.end()) {
        // A second entry with the same name replaces the first; the first is stopped rather than
        // left running unowned.
        CFG_WARN("Application %1 listed twice; the later entry replaces the earlier one", key);
        it->second->Stop();
        apps_.erase(it);
    }
    AgentApp* raw = app.get();
    apps_[key] = std::move(app);
    raw->Start(config);
}

void AppLauncher::StartAll(const boost::property_tree::ptree& apps) {
    for (const auto& child : apps) {
        const boost::property_tree::ptree& entry = child.second;
        const boost::property_tree::ptree& config = entry.get_child("config");
        std::string name = entry.get<std::string>("name", "");
        boost::optional<bool> enabled = entry.get_optional<bool>("enabled");
        if (!enabled || !*enabled)
            continue;
        const AppEntry* app = Find(name);
        if (app == nullptr)
            continue;

        if (name == "traceflow" && !Has("config")) {
            CFG_ERROR("Cannot start traceflowApp as the configApp is NULL");
            continue;
        }
        if (name == "bfd" && !Has("vxlan")) {
            continue;
        }
        if (name == "livetrace" && !Has("traceflow")) {
            CFG_ERROR_CODE("LCP02104", "traceflowApp is not initialized");
            continue;
        }
        Launch(name, app->startMessage, app->factory, config);
        if (!app->companion.empty()) {
            Launch(app->companion, app->companionMessage, app->companionFactory, config);
        }
    }
    if (!apps.empty() && !Has("livetrace")) {
        if (!Has("traceflow")) {
            CFG_ERROR_CODE("LCP02104", "traceflowApp is not initialized");
        } else if (const AppEntry* live = Find("livetrace")) {
            Launch("livetrace", live->startMessage, live->factory, boost::property_tree::ptree());
        }
    }
}

unsigned AppLauncher::LoopsOf(const boost::property_tree::ptree& apps) const {
    std::set<std::string> names;
    for (const auto& child : apps) {
        const boost::property_tree::ptree& entry = child.second;
        boost::optional<bool> enabled = entry.get_optional<bool>("enabled");
        if (enabled && *enabled)
            names.insert(entry.get<std::string>("name", ""));
    }
    if (!apps.empty() && names.count("traceflow") != 0)
        names.insert("livetrace");
    unsigned loops = 0;
    for (const std::string& name : names) {
        if (const AppEntry* e = Find(name))
            loops += e->loops + (e->companion.empty() ? 0 : e->companionLoops);
    }
    return loops;
}

void AppLauncher::PostStartAll() {
    for (const char* name : {"config", "vxlan"}) {
        if (AgentApp* app = Get(name))
            app->PostStart();
    }
}

void AppLauncher::RegisterCliPages(CliPages& pages) {
    for (const AppEntry& entry : table_) {
        for (const std::string* name : {&entry.name, &entry.companion}) {
            if (AgentApp* app = name->empty() ? nullptr : Get(*name))
                app->RegisterCliPages(pages);
        }
    }
}

void AppLauncher::StopAll() {
    for (const auto& name : StopOrder()) {
        if (AgentApp* app = Get(name))
            app->Stop();
    }
}

}  // namespace CfgAgent

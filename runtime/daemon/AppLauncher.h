#pragma once
// Creates, starts and stops the applications that the configuration file enables.
//
// The application list (children of "config.cfgAgent.apps") is walked in file order; each entry
// has "name", "enabled" and a "config" subtree (looked up first: an entry without it ends
// start-up). Preconditions: "traceflow" needs the configuration application, "bfd" the L2
// application, "livetrace" the traceflow application, each created by an earlier entry. After the
// walk a live-trace application is created with an empty subtree if no entry created one. "dfw"
// also brings the load balancer. Runs on the main thread only.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

class CliPages;
struct AppContext;

using AppFactory = std::function<std::unique_ptr<AgentApp>(AppContext&)>;

struct AppEntry {
    std::string name;          // the "name" value of the configuration file
    std::string startMessage;  // logged when the application starts
    AppFactory factory;        // empty when the application is not part of this build
    // A second application that this entry always brings along ("dfw" brings the load balancer).
    std::string companion;
    std::string companionMessage;
    AppFactory companionFactory;
    // Long-running loops the application (and its companion) post on the work group when they
    // start; each holds a work-group thread for the life of the process, so start-up refuses
    // thread settings that leave none for the other work.
    unsigned loops = 0;
    unsigned companionLoops = 0;
};

class AppLauncher {
  public:
    AppLauncher(std::vector<AppEntry> table, AppContext& context);
    ~AppLauncher();

    // Walks the list; throws (boost::property_tree::ptree_bad_path) when an entry has no "config".
    void StartAll(const boost::property_tree::ptree& apps);
    // Post-start steps of the configuration and L2 applications, in that order.
    void PostStartAll();
    // Stops the applications in the shutdown order; the load balancer has no stop step.
    void StopAll();
    // Asks every started application, in table order, for its CLI pages.
    void RegisterCliPages(CliPages& pages);

    // The long-running loops of the applications that `apps` (the application list) enables:
    // each enabled name counted once, with its companion, and the live-trace application that the
    // walk adds. Counts the preconditions as met, so it never counts too few.
    unsigned LoopsOf(const boost::property_tree::ptree& apps) const;

    AgentApp* Get(const std::string& name) const;
    bool Has(const std::string& name) const { return Get(name) != nullptr; }
    std::vector<std::string> Names() const;

    // Shutdown order of the applications by configuration name.
    static const std::vector<std::string>& StopOrder();

  private:
    const AppEntry* Find(const std::string& name) const;
    void Launch(const std::string& key, const std::string& message, const AppFactory& factory,
                const boost::property_tree::ptree& config);

    std::vector<AppEntry> table_;
    AppContext& context_;
    std::map<std::string, std::unique_ptr<AgentApp>> apps_;
};

// The applications this build knows, in the order of the configuration file's table.
std::vector<AppEntry> BuiltinApps();

}  // namespace CfgAgent

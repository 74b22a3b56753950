#pragma once
// An application as start-up and shutdown see it: started with its "config" subtree, optionally
// given a post-start step once the database client runs, asked for its CLI pages before the CLI
// server starts, and stopped in the fixed shutdown order. Each application adapts its own class to
// this interface in its factory (AppFactories.h, AppTable.cc).
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

namespace CfgAgent {

class CliPages;

class AgentApp {
  public:
    virtual ~AgentApp() = default;
    virtual void Start(const boost::property_tree::ptree& config) = 0;
    virtual void PostStart() {}
    virtual void Stop() {}
    // Registers the application's CLI commands (cli/CliPages.h); called on the main thread after
    // Start and PostStart, before the CLI server starts. Handlers must not outlive the
    // application: the CLI server stops before the applications are released.
    virtual void RegisterCliPages(CliPages& pages) { (void)pages; }
    // "UP", "DOWN" or "UNKNOWN": this application's view of the database connection (reported in
    // the process-health status message; only the configuration application has one).
    virtual std::string CairndbConnectionStatus() const { return "UNKNOWN"; }
};

}  // namespace CfgAgent

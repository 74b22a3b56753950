#pragma once
// An application as start-up and shutdown see it: started with its "config" subtree, optionally
// given a post-start step once the database client runs, and stopped in the fixed shutdown order.
// Each application adapts its own class to this interface in its factory (AppTable.cc).
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

namespace CfgAgent {

class AgentApp {
  public:
    virtual ~AgentApp() = default;
    virtual void Start(const boost::property_tree::ptree& config) = 0;
    virtual void PostStart() {}
    virtual void Stop() {}
    // "UP", "DOWN" or "UNKNOWN": this application's view of the database connection (reported in
    // the process-health status message; only the configuration application has one).
    virtual std::string CairndbConnectionStatus() const { return "UNKNOWN"; }
};

}  // namespace CfgAgent

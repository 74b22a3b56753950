#pragma once
// The daemon's start-up and shutdown, in their fixed order.
//
// Start-up: command line, configuration file and log levels, SIGPIPE and core dumps, node persona,
// platform provider and daemon-health RPC server, work group, container-interface bus, state
// cache, update queue, database client and its observer, dispatcher, applications, database
// client start, CLI server, dispatcher start, process-health client; then the provider's run loop
// until SIGTERM or SIGINT. Shutdown stops the database client, the applications, the CLI server
// and the observers, then the work group and the process-health client, and releases everything in
// reverse order. All of it runs on the main thread.
#include <memory>
#include <string>

namespace CfgAgent {

// The process entry point behind main(): returns the exit status (0, 255) or exits with 1 on
// memory exhaustion.
int AgentMain(int argc, char** argv);

}  // namespace CfgAgent

// State-cache dumps and queries of the CLI server.
#include "cli/CliServer.h"
#include "platform/unixctl/UnixctlServer.h"

namespace CfgAgent {

using ozy::unixctl::Connection;

void CliServer::RegisterStateCacheQueries() {}

}  // namespace CfgAgent

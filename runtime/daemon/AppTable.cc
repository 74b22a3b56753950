// The applications of this build, keyed by the "name" values of the configuration file. An entry
// without a factory is known to the configuration file but not built into this agent yet.
#include "runtime/daemon/AppLauncher.h"

#include "apps/switching/ConfigAppEntry.h"
#include "services/traceflow/TraceflowAppEntry.h"

namespace CfgAgent {

std::vector<AppEntry> BuiltinApps() {
    std::vector<AppEntry> table;
    table.push_back({"config", "Config application starts", MakeConfigAppEntry, "", "", nullptr});
    table.push_back({"vxlan", "L2 application starts", nullptr, "", "", nullptr});
    table.push_back({"vdrb", "L3 application starts", nullptr, "", "", nullptr});
    table.push_back(
        {"dfw", "DFW application starts", nullptr, "lb", "LB application starts", nullptr});
    table.push_back(
        {"traceflow", "Traceflow application starts", MakeTraceflowAppEntry, "", "", nullptr});
    table.push_back({"bfd", "BFD application starts", nullptr, "", "", nullptr});
    table.push_back({"si", "Service insertion application starts", nullptr, "", "", nullptr});
    table.push_back(
        {"ids", "Intrusion Detection Service application starts", nullptr, "", "", nullptr});
    table.push_back({"livetrace", "Livetrace application starts", nullptr, "", "", nullptr});
    return table;
}

}  // namespace CfgAgent

// The application slots, keyed by the "name" values of the configuration file, in the order of
// the configuration file's table. Each slot names its factory (AppFactories.h) once the
// application is built; until then it holds nullptr and start-up logs "Application %1 is enabled
// but not part of this build". Rows are kept apart by blank lines so that applications filling
// their slots at the same time do not touch each other's lines.
#include "runtime/daemon/AppFactories.h"
#include "runtime/daemon/AppLauncher.h"

namespace CfgAgent {

std::vector<AppEntry> BuiltinApps() {
    std::vector<AppEntry> table;

    // The configuration application: sender and receiver of the KCP and IP-discovery links, and
    // the loop of the IPFIX export it brings.
    table.push_back(
        {"config", "Config application starts", MakeConfigAppEntry, "", "", nullptr, 5});

    table.push_back({"vxlan", "L2 application starts", MakeL2AppEntry, "", "", nullptr});

    // The L3 application: receiver and sender of its kernel link.
    table.push_back({"vdrb", "L3 application starts", MakeL3AppEntry, "", "", nullptr, 2});

    // The firewall: its process loop, filter repository, filter configuration and NTP checker,
    // and the repository's kernel link (receiver and sender); then the load balancer (batches on
    // the dispatcher's thread, no loop of its own).
    table.push_back({"dfw", "DFW application starts", MakeDfwAppEntry,  //
                     "lb", "LB application starts", MakeLbAppEntry, 6});

    // The traceflow application: receiver and sender of its kernel link.
    table.push_back(
        {"traceflow", "Traceflow application starts", MakeTraceflowAppEntry, "", "", nullptr, 2});

    // The BFD sessions, sent through the L2 application.
    table.push_back({"bfd", "BFD application starts", MakeBfdAppEntry, "", "", nullptr});

    // Service insertion: its process loop, and its kernel link's receiver and sender.
    table.push_back(
        {"si", "Service insertion application starts", MakeSiAppEntry, "", "", nullptr, 3});

    // Intrusion detection: its request loop and the engine channel's connection loop.
    table.push_back({"ids", "Intrusion Detection Service application starts", MakeIdsAppEntry, "",
                     "", nullptr, 2});

    // The live-trace application: receiver and sender of its kernel link.
    table.push_back(
        {"livetrace", "Livetrace application starts", MakeLivetraceAppEntry, "", "", nullptr, 2});

    return table;
}

}  // namespace CfgAgent

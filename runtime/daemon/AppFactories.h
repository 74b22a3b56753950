#pragma once
// The factory of every application slot of the application table (AppTable.cc). Each application
// defines its factory in its own library (an `...Entry.cc` beside the application, linked into the
// daemon by ozy_add_app_library) and names it in its row of the table; a row whose application is
// not built yet holds nullptr and start-up logs that the application is not part of this build.
//
// A factory builds the application's AgentApp adapter from the shared infrastructure; it does not
// start it (AppLauncher calls Start with the application's "config" subtree).
#include <memory>

#include "runtime/daemon/AgentApp.h"

namespace CfgAgent {

struct AppContext;

std::unique_ptr<AgentApp> MakeConfigAppEntry(AppContext& context);     // "config"
std::unique_ptr<AgentApp> MakeL2AppEntry(AppContext& context);         // "vxlan"
std::unique_ptr<AgentApp> MakeL3AppEntry(AppContext& context);         // "vdrb"
std::unique_ptr<AgentApp> MakeDfwAppEntry(AppContext& context);        // "dfw"
std::unique_ptr<AgentApp> MakeLbAppEntry(AppContext& context);         // "dfw" brings "lb"
std::unique_ptr<AgentApp> MakeTraceflowAppEntry(AppContext& context);  // "traceflow"
std::unique_ptr<AgentApp> MakeBfdAppEntry(AppContext& context);        // "bfd"
std::unique_ptr<AgentApp> MakeSiAppEntry(AppContext& context);         // "si"
std::unique_ptr<AgentApp> MakeIdsAppEntry(AppContext& context);        // "ids"
std::unique_ptr<AgentApp> MakeLivetraceAppEntry(AppContext& context);  // "livetrace"

}  // namespace CfgAgent

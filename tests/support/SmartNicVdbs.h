#pragma once
// Checks shared by the SmartNIC-host system tests: what a vdb holds (as "TYPE id" lines read with
// cairnctl --vdb), awaited; and the host agent's view of one binding (cfgagent/smartnic/hostswitch
// and demuxinfo).
#include <set>
#include <string>
#include <vector>

namespace CfgAgent::test {

class AgentSystem;

// The objects of `types` in `vdb`, as "TYPE id" (types that cannot be read add nothing).
std::set<std::string> VdbObjects(AgentSystem& sys, int vdb, const std::vector<std::string>& types);
// Awaits VdbObjects(...) == expected; on timeout adds a failure naming what the vdb holds.
bool AwaitVdbObjects(AgentSystem& sys, int vdb, const std::vector<std::string>& types,
                     const std::set<std::string>& expected);
// "TYPE id".
std::string TypedId(const std::string& type, const std::string& id);
// Expects the host agent to show `hostSwitch` bound to `vdb` (active and current active `sn`) as
// the only bound vdb, monitored, with `objects` objects demuxed into it.
void ExpectOneBinding(AgentSystem& sys, const std::string& hostSwitch, const std::string& sn,
                      int vdb, int objects);

}  // namespace CfgAgent::test

#pragma once
// The code tables of traceflow observations: the name of each code the dataplane sends. A code
// outside its table has no name (false): the caller logs the field's own line and leaves the
// field unset.
#include <cstdint>
#include <string>

namespace CfgAgent::traceflow {

bool ComponentName(uint32_t code, std::string* name);
bool ObservationName(uint32_t code, std::string* name);
bool DropReasonName(uint32_t code, std::string* name);
bool ResolutionName(uint32_t code, std::string* name);
bool ReplicationName(uint32_t code, std::string* name);
bool ResendName(uint32_t code, std::string* name);

}  // namespace CfgAgent::traceflow

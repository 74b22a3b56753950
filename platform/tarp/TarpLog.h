#pragma once
// The firewall library's own log statements: delivered to the callback of FW_RegisterLogger when
// their level is within its maximum; verbose statements of a component only when its verbosity
// (FW_SetLibVerboseLevel) reaches theirs.
#include <string>

namespace TarpFirewall::detail {

enum Component : int {
    kCompConfig = 1,
    kCompDevice = 2,
    kCompSegment = 3,
    kCompQuery = 4,
    kCompSettings = 5,
};

// `level` of runtime/Logger.h (2 error, 3 warn, 4 info, ...).
void Log(int level, const std::string& text);
bool VerboseOn(int component, int verbosity);
// Delivered at info level when VerboseOn.
void Verbose(int component, int verbosity, const std::string& text);

}  // namespace TarpFirewall::detail

// Fuzz targets still format their log statements (the formatting of hostile input is code under
// test) but print nothing: no console, no syslog.
#pragma once

#include "runtime/Logger.h"

namespace CfgAgent::test {

// Silences the log sinks and sets the agent level, once per process.
inline void QuietLogs(LogLevel level) {
    static const bool done = [level] {
        Logger::setConsole(false);
        Logger::setSyslog(false);
        Logger::setLevel(level);
        return true;
    }();
    (void)done;
}

}  // namespace CfgAgent::test

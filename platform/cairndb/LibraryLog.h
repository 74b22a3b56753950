#pragma once
// Log level of the database client library (0 off .. 6 trace, default 4 info). The library logs
// through CFG_LOG_AT with this level, so the agent's sinks and tests see its records; its error
// codes are "LCP030xx".
#include <atomic>

#include "runtime/Logger.h"

namespace ozy::cairndb {

extern std::atomic<int> library_log_level;

}  // namespace ozy::cairndb

#define CAIRNDB_LOG(lvl, ...) CFG_LOG_AT(::ozy::cairndb::library_log_level, lvl, {}, __VA_ARGS__)
#define CAIRNDB_LOG_CODE(lvl, code, ...) \
    CFG_LOG_AT(::ozy::cairndb::library_log_level, lvl, {"errorCode:" code}, __VA_ARGS__)

#pragma once
// The local-connection classes log printf-style ("%s start") at the network library's level
// ("config.log.net"), each line prefixed with the object's description:
//   NET_LOG(CfgAgent::kLogDebug).put("%s start", Description().c_str());
#include "platform/LibraryLogLevels.h"
#include "runtime/Logger.h"
#include "runtime/OzyLogger.h"

#define NET_LOG(lvl) OZY_LIB_LOG(::ozy::net::library_log_level, lvl)

#pragma once
// Log statements of the distributed firewall, at the firewall's own level ("config.log.dfw", the
// CLI's dfw/setloglevel). Lines start with "dfw: ".
#include "runtime/Logger.h"

#define DFW_LOG(lvl, ...) CFG_LOG_AT(::CfgAgent::g_dfwLogLevel, lvl, {}, __VA_ARGS__)
#define DFW_ERROR(...) DFW_LOG(::CfgAgent::kLogError, __VA_ARGS__)
#define DFW_WARN(...) DFW_LOG(::CfgAgent::kLogWarn, __VA_ARGS__)
#define DFW_INFO(...) DFW_LOG(::CfgAgent::kLogInfo, __VA_ARGS__)
#define DFW_DEBUG(...) DFW_LOG(::CfgAgent::kLogDebug, __VA_ARGS__)
// With an error code: DFW_ERROR_CODE("LCP01153", "dfw: Unable to parse the container").
#define DFW_ERROR_CODE(code, ...) \
    CFG_LOG_AT(::CfgAgent::g_dfwLogLevel, ::CfgAgent::kLogError, {"errorCode:" code}, __VA_ARGS__)

#pragma once
// Log statements of intrusion detection, at its own level ("config.log.ids", the CLI's
// ids/setloglevel). Lines start with "ids: ".
#include "runtime/Logger.h"

#define IDS_LOG(lvl, ...) CFG_LOG_AT(::CfgAgent::g_idsLogLevel, lvl, {}, __VA_ARGS__)
#define IDS_ERROR(...) IDS_LOG(::CfgAgent::kLogError, __VA_ARGS__)
#define IDS_WARN(...) IDS_LOG(::CfgAgent::kLogWarn, __VA_ARGS__)
#define IDS_INFO(...) IDS_LOG(::CfgAgent::kLogInfo, __VA_ARGS__)
#define IDS_DEBUG(...) IDS_LOG(::CfgAgent::kLogDebug, __VA_ARGS__)
#define IDS_TRACE(...) IDS_LOG(::CfgAgent::kLogTrace, __VA_ARGS__)
// With an error code: IDS_ERROR_CODE("IDSERR_UNTAR", "ids: IDSUntar: Checksum failure").
#define IDS_ERROR_CODE(code, ...) \
    CFG_LOG_AT(::CfgAgent::g_idsLogLevel, ::CfgAgent::kLogError, {"errorCode:" code}, __VA_ARGS__)

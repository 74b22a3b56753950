// The calls of TarpFw.h before the device transfer exists: every call that needs the device
// answers "device unreachable".
#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpWire.h"

namespace {
constexpr int kUnreachable = static_cast<int>(ozy::tarp::kStatusIoError);
}

void FW_AgentLogger(int, const char*) {}
int FW_RegisterLogger(FW_LogCallback, int) {
    return 0;
}
int FW_Initialize(uint32_t, uint32_t*, int, int, const char* const*, FW_Handle** handle) {
    if (handle != nullptr)
        *handle = nullptr;
    return kUnreachable;
}
void FW_Terminate(FW_Handle*) {}
const char* FW_StatusToString(int) {
    return "device unreachable";
}
int FW_EvaluateConfigFile(FW_Handle*, TarpFirewall::CTarpFWCmdList*, const char*, int) {
    return kUnreachable;
}
void FW_FreeConfigFile(TarpFirewall::CTarpFWCmdList* list) {
    if (list != nullptr)
        list->clear();
}
void FW_FilterChanged(FW_Handle*, const char*) {}
int FW_SetFloodCfg(FW_Handle*, const char*, int, const FW_FloodCfg*) {
    return kUnreachable;
}
int FW_SetTimeout(FW_Handle*, const char*, int, const FW_TimeoutCfg*) {
    return kUnreachable;
}
int FW_SetDnsConfigProfile(FW_Handle*, const char*, int, const FW_DnsCfg*) {
    return kUnreachable;
}
int FW_SetHopoverExportver(FW_Handle*, const char*, int, uint32_t) {
    return kUnreachable;
}
int FW_FpFlag(FW_Handle*, const char*, int, uint32_t) {
    return kUnreachable;
}
int FW_DeleteSpoofGuard(FW_Handle*, const char*, int, const uint8_t (*)[6]) {
    return kUnreachable;
}
int FW_ConfigSharedAddrSet(FW_Handle*, const char*, int, uint32_t) {
    return kUnreachable;
}
int FW_SetIDSMode(FW_Handle*, const char*, int, uint32_t) {
    return kUnreachable;
}
int FW_SetOversubscription(FW_Handle*, const char*, int, uint32_t) {
    return kUnreachable;
}
int FW_ActivateAddrSets(FW_Handle*, uint32_t*, uint32_t*, uint32_t*, uint32_t*) {
    return kUnreachable;
}
int FW_CleanupAddrSets(FW_Handle*, uint32_t*) {
    return kUnreachable;
}
int FW_GetRuleSetCount(FW_Handle*, const char*, uint32_t*) {
    return kUnreachable;
}
int FW_GetRuleSetList(FW_Handle*, const char*, FW_RuleSetName*, uint32_t, uint32_t*) {
    return kUnreachable;
}
int FW_GetAddrSetCount(FW_Handle*, const char*, uint32_t*) {
    return kUnreachable;
}
int FW_GetAddrSetList(FW_Handle*, const char*, FW_AddrSetName*, uint32_t, uint32_t*) {
    return kUnreachable;
}
int FW_GetAddrSetStatList(FW_Handle*, const char*, uint8_t*, uint32_t, uint32_t*) {
    return kUnreachable;
}
int FW_Ioctl(uint32_t, FW_IoctlReq*) {
    return kUnreachable;
}
int DVF_Ioctl(uint32_t, FW_IoctlReq*) {
    return kUnreachable;
}
int SI_Ioctl(uint32_t, SI_IoctlReq*) {
    return kUnreachable;
}
int FW_GetLibVerboseLevel(int, int* level) {
    if (level != nullptr)
        *level = 0;
    return 0;
}
int FW_SetLibVerboseLevel(int, int) {
    return 0;
}
const char* FW_ComponentToString(int) {
    return nullptr;
}
int FW_StringToComponent(const char*) {
    return -1;
}
const char* FW_VerboseLevelToString(int) {
    return nullptr;
}
int FW_StringToVerboseLevel(const char*) {
    return -1;
}

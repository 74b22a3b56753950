#pragma once
// The firewall library's calls (libozy_tarpfw). Filters live in the dataplane behind the device
// "/dev/ozy-tarp" (a socket under the host root, DeviceFrame.h); the library checks, renders and
// transfers their configuration and answers queries, with statuses of TarpWire.h:
// 0 ok, 21 applied with no change (also success), 8 out of memory, 19 no such filter, 65 invalid
// configuration, 5 device unreachable; FW_StatusToString names them. A status the device gives
// (an injected fault, say) comes back unchanged.
//
// Threads: every call may be made from any thread. A handle keeps a small pool of device
// connections (one per concurrent caller, at most kMaxConnections), so a long pass over a thousand
// filters never holds up a query from another thread.
//
// Transfer: a rule set travels as the hashes of its segments (CTarpFWSegment). The library keeps
// the hashes the device acknowledged in the current device epoch and uploads, before the apply,
// the ones it has not; if the device still lacks some (it answers "unknown segment"), the library
// uploads those (pieces of at most 8 MiB) and retries once. A new device epoch (the device
// restarted) forgets every acknowledgement and every per-filter record.
//
// Per-filter record: for each filter the names of its rule sets and address sets, learnt from the
// device once per epoch and kept current by successful applies; FW_GetRuleSet* and FW_GetAddrSet*
// answer from it unless the epoch changed or FW_FilterChanged was called for the filter since.
#include <cstddef>
#include <cstdint>

namespace TarpFirewall {
class CTarpFWCmdList;
}

struct FW_Handle;

constexpr uint32_t FW_LIB_VERSION = 0x10000;
constexpr int FW_MAX_CONNECTIONS = 4;

// Log sink: a level of runtime/Logger.h (1 fatal .. 6 trace) and the text. FW_AgentLogger bridges
// to the agent's logger (firewall level, prefix "tarpfw: ").
using FW_LogCallback = void (*)(int level, const char* text);
void FW_AgentLogger(int level, const char* text);
// Statements above `maxLevel` are not delivered; verbose statements of the library's components
// (FW_SetLibVerboseLevel) are delivered at level 4. Returns 0.
int FW_RegisterLogger(FW_LogCallback callback, int maxLevel);

// Options are name/value pairs: optionCount texts, "FWIODeviceName", "/dev/ozy-tarp". Checks the
// version (FW_LIB_VERSION), reaches the device and learns its epoch. `libVersion` receives the
// library's version. 0, 22 for bad arguments, or the device's error (5 when unreachable).
int FW_Initialize(uint32_t version, uint32_t* libVersion, int mode, int optionCount,
                  const char* const* options, FW_Handle** handle);
// Closes the handle's connections and frees it.
void FW_Terminate(FW_Handle* handle);
const char* FW_StatusToString(int status);

// Applies `list` to the filter, whole or not at all (flags 0). FW_FreeConfigFile(list) must
// follow on every path; TarpFirewall::ScopedConfigFile does it.
int FW_EvaluateConfigFile(FW_Handle* handle, TarpFirewall::CTarpFWCmdList* list,
                          const char* filterName, int flags);
void FW_FreeConfigFile(TarpFirewall::CTarpFWCmdList* list);
// Applies lists[i] to filterNames[i] for each i below `count`, as FW_EvaluateConfigFile would one
// after the other, but with the applies sent together on one device connection (the device
// answers them in order): one wait for many filters instead of one each. statuses[i] receives
// list i's status. An apply the device refused for a segment it lacks, or that a failed
// connection left unanswered, is evaluated again alone. FW_FreeConfigFile must follow for every
// list. 0, or 22 for bad arguments (then no list was sent).
int FW_EvaluateConfigFiles(FW_Handle* handle, TarpFirewall::CTarpFWCmdList* const* lists,
                           const char* const* filterNames, uint32_t count, int flags,
                           int* statuses);

namespace TarpFirewall {
// Calls FW_FreeConfigFile when it goes out of scope.
class ScopedConfigFile {
  public:
    explicit ScopedConfigFile(CTarpFWCmdList* list) : list_(list) {}
    ~ScopedConfigFile() { FW_FreeConfigFile(list_); }
    ScopedConfigFile(const ScopedConfigFile&) = delete;
    ScopedConfigFile& operator=(const ScopedConfigFile&) = delete;

  private:
    CTarpFWCmdList* list_;
};
}  // namespace TarpFirewall

// The filter's record is stale (a notification named it): the next query asks the device.
void FW_FilterChanged(FW_Handle* handle, const char* filterName);

// Per-filter settings (flags 0). Layouts of the values: TarpWire.h.
struct FW_FloodCfg {
    uint32_t tcpHalfOpenLimit = 0;
    uint32_t udpFlowLimit = 0;
    uint32_t icmpFlowLimit = 0;
    uint32_t otherFlowLimit = 0;
    bool synCache = false;
    bool rstSpoofing = false;
    bool natLimits = false;
};
struct FW_TimeoutCfg {
    // Seconds, in the order of TarpWire.h (tcp first packet .. other multiple).
    uint32_t seconds[14] = {};
};
struct FW_DnsCfg {
    bool ttlFlag = false;
    uint32_t ttl = 0;
};
int FW_SetFloodCfg(FW_Handle* handle, const char* filterName, int flags, const FW_FloodCfg* cfg);
int FW_SetTimeout(FW_Handle* handle, const char* filterName, int flags, const FW_TimeoutCfg* cfg);
int FW_SetDnsConfigProfile(FW_Handle* handle, const char* filterName, int flags,
                           const FW_DnsCfg* cfg);
// The same kind of setting for several filters: cfgs[i] on filterNames[i] for each i below
// `count` (one value may serve many filters), as the single call would set them one after the
// other, but sent together on one device connection (the device answers them in order): one wait
// for many filters instead of one each. statuses[i] receives filter i's status, the single call's;
// a setting that a failed connection left unanswered is sent again alone. 0, or 22 for bad
// arguments (then nothing was sent).
int FW_SetFloodCfgs(FW_Handle* handle, const char* const* filterNames, uint32_t count, int flags,
                    const FW_FloodCfg* const* cfgs, int* statuses);
int FW_SetTimeouts(FW_Handle* handle, const char* const* filterNames, uint32_t count, int flags,
                   const FW_TimeoutCfg* const* cfgs, int* statuses);
int FW_SetDnsConfigProfiles(FW_Handle* handle, const char* const* filterNames, uint32_t count,
                            int flags, const FW_DnsCfg* const* cfgs, int* statuses);
int FW_SetHopoverExportver(FW_Handle* handle, const char* filterName, int flags, uint32_t version);
int FW_FpFlag(FW_Handle* handle, const char* filterName, int flags, uint32_t mode);
int FW_DeleteSpoofGuard(FW_Handle* handle, const char* filterName, int flags,
                        const uint8_t (*mac)[6]);
int FW_ConfigSharedAddrSet(FW_Handle* handle, const char* filterName, int flags, uint32_t enable);
int FW_SetIDSMode(FW_Handle* handle, const char* filterName, int flags, uint32_t mode);
int FW_SetOversubscription(FW_Handle* handle, const char* filterName, int flags, uint32_t value);

// Global address sets of the shared filter.
int FW_ActivateAddrSets(FW_Handle* handle, uint32_t* activated, uint32_t* created,
                        uint32_t* replaced, uint32_t* obsoleted);
int FW_CleanupAddrSets(FW_Handle* handle, uint32_t* deleted);

// Queries. A list call fills at most `capacity` entries and sets `*total` to how many there are;
// when *total > capacity the caller grows its buffer and asks again (filters may appear between
// a count and a list).
struct FW_RuleSetName {
    char name[65];
};
struct FW_AddrSetName {
    char name[37];
};
int FW_GetRuleSetCount(FW_Handle* handle, const char* filterName, uint32_t* count);
int FW_GetRuleSetList(FW_Handle* handle, const char* filterName, FW_RuleSetName* names,
                      uint32_t capacity, uint32_t* total);
int FW_GetAddrSetCount(FW_Handle* handle, const char* filterName, uint32_t* count);
int FW_GetAddrSetList(FW_Handle* handle, const char* filterName, FW_AddrSetName* names,
                      uint32_t capacity, uint32_t* total);
// A token of what the library's record says the filter holds (its rule-set and address-set
// names), so that a caller that lists them before every apply need not: a token equal to one
// read earlier (non-zero) means the record has not changed since (no apply, no notification of
// the filter, no new device epoch). 0 when the record does not hold both lists (never learnt in
// this epoch, stale, or none): the names are to be listed. Answered from the record alone.
// Status 0, or 22 for bad arguments.
int FW_GetNamesToken(FW_Handle* handle, const char* filterName, uint64_t* token);
// Records of ozy::tarp::kAddrSetStatSize bytes into `records` (capacity of them).
int FW_GetAddrSetStatList(FW_Handle* handle, const char* filterName, uint8_t* records,
                          uint32_t capacity, uint32_t* total);

// The IP-reputation chunks the device holds (they live on the shared filter): id, capacity, entry
// count, bucket and content hash (Hash64 with seed ozy::tarp::kIpRepSeed over the entries as on the
// wire). Answered, like the name lists, from the shared filter's record when it holds: learnt from
// the device once per epoch and kept current by successful applies. The list is in id order.
struct FW_IpRepChunkStat {
    uint32_t id = 0;
    uint32_t capacity = 0;
    uint32_t count = 0;
    uint32_t bucket = 0;
    uint64_t hash = 0;
};
int FW_GetIpRepChunkCount(FW_Handle* handle, uint32_t* count);
int FW_GetIpRepChunkList(FW_Handle* handle, FW_IpRepChunkStat* chunks, uint32_t capacity,
                         uint32_t* total);

// Raw ioctls on the device of the last FW_Initialize ("/dev/ozy-tarp" before any). The buffer is
// sent and comes back as the device left it (`used` bytes of `size`); layouts in TarpWire.h.
struct FW_IoctlReq {
    void* buf = nullptr;
    uint32_t size = 0;
    uint32_t used = 0;
};
// 20 filter count, 21 read filters, 30 update filter configuration, 43 load-balancer update.
int FW_Ioctl(uint32_t command, FW_IoctlReq* request);
// 1 write a table, 3 exclude-table size, 4 read the exclude table, 6 reset a table.
int DVF_Ioctl(uint32_t command, FW_IoctlReq* request);
// Service insertion: `count` entries of `entrySize` bytes at `entries` (layouts in
// platform/device/SiIoctls.h). A command that answers (the status) fills at most `replySize` bytes
// at `reply` and sets `replyUsed`; a longer answer is an I/O error (5).
struct SI_IoctlReq {
    uint32_t count = 0;
    uint32_t entrySize = 0;
    const void* entries = nullptr;
    void* reply = nullptr;
    uint32_t replySize = 0;
    uint32_t replyUsed = 0;
};
int SI_Ioctl(uint32_t command, SI_IoctlReq* request);

// Verbosity of the library's components: 0 off, 1 debug, 2 verbose, 3 noise, 4 trace.
// Components: 0 "all", 1 "config", 2 "device", 3 "segment", 4 "query", 5 "settings".
constexpr int FW_COMPONENT_ALL = 0;
constexpr int FW_COMPONENT_COUNT = 6;
constexpr int FW_VERBOSE_MAX = 4;
// For "all": the highest level of any component. 0, or 22 for an unknown component.
int FW_GetLibVerboseLevel(int component, int* level);
// For "all": every component. 0, or 22 for an unknown component or level.
int FW_SetLibVerboseLevel(int component, int level);
const char* FW_ComponentToString(int component);  // nullptr when unknown
int FW_StringToComponent(const char* name);       // -1 when unknown
const char* FW_VerboseLevelToString(int level);   // nullptr when unknown
int FW_StringToVerboseLevel(const char* name);    // -1 when unknown

// The FW_, DVF_ and SI_ calls: argument checks, then the handle (TarpHandle.h).
#include "platform/tarp/TarpFw.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device/DeviceFrame.h"
#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/TarpEncoding.h"
#include "platform/tarp/TarpHandle.h"
#include "platform/tarp/TarpLog.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"

namespace w = ozy::tarp;
using TarpFirewall::detail::Log;
using TarpFirewall::detail::WireWriter;

namespace {

constexpr int kBadArgument = 22;
constexpr int kInvalid = static_cast<int>(w::kStatusInvalidConfig);

std::mutex g_mutex;
ozy::device::IDeviceOpener* g_opener = nullptr;
std::string g_rawPath = ozy::device::kTarpDevice;
std::shared_ptr<FW_Handle> g_raw;

ozy::device::IDeviceOpener& Opener() {
    return g_opener != nullptr ? *g_opener : ozy::device::SystemDeviceOpener();
}

// The handle of the raw ioctls: the device of the last FW_Initialize. Shared, so that a call in
// flight keeps its handle while another thread moves the raw ioctls to a new device.
std::shared_ptr<FW_Handle> Raw() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_raw == nullptr || g_raw->Path() != g_rawPath)
        g_raw = std::make_shared<FW_Handle>(g_rawPath, Opener());
    return g_raw;
}

bool FilterNameOk(const char* name) {
    if (name == nullptr)
        return false;
    size_t n = strnlen(name, w::kMaxFilterName + 1);
    if (n == 0 || n > w::kMaxFilterName) {
        Log(3, std::string("filter name of ") + std::to_string(n) + " characters refused");
        return false;
    }
    return true;
}

int RawIoctl(uint32_t device, uint32_t command, FW_IoctlReq* req) {
    if (req == nullptr || (req->buf == nullptr && req->size != 0) ||
        req->size > ozy::device::kMaxPayload - 4)
        return kBadArgument;
    std::vector<uint8_t> payload;
    payload.reserve(4 + req->size);
    WireWriter(payload).U32(command).Bytes(req->buf, req->size);
    std::vector<uint8_t> reply;
    int st = Raw()->Simple(device, payload, 0, &reply);
    if (st != 0)
        return st;
    if (reply.size() > req->size) {
        Log(2, "device returned " + std::to_string(reply.size()) + " bytes for a buffer of " +
                   std::to_string(req->size));
        return static_cast<int>(w::kStatusIoError);
    }
    if (!reply.empty())
        std::memcpy(req->buf, reply.data(), reply.size());
    req->used = static_cast<uint32_t>(reply.size());
    return 0;
}

}  // namespace

namespace TarpFirewall::detail {
void SetDeviceOpenerForTest(ozy::device::IDeviceOpener* opener) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_opener = opener;
    g_raw.reset();
}
uint64_t HandleEpoch(FW_Handle* handle) {
    return handle->Epoch();
}
size_t HandleAckedSegments(FW_Handle* handle) {
    return handle->AckedSegments();
}
size_t HandleRecords(FW_Handle* handle) {
    return handle->Records();
}
void SetAckedLimitForTest(FW_Handle* handle, size_t limit) {
    handle->SetAckedLimit(limit);
}
}  // namespace TarpFirewall::detail

int FW_Initialize(uint32_t version, uint32_t* libVersion, int mode, int optionCount,
                  const char* const* options, FW_Handle** handle) {
    (void)mode;
    if (handle == nullptr)
        return kBadArgument;
    *handle = nullptr;
    if (libVersion != nullptr)
        *libVersion = FW_LIB_VERSION;
    if (version != FW_LIB_VERSION) {
        Log(2, "library version " + std::to_string(version) + " requested, this is " +
                   std::to_string(FW_LIB_VERSION));
        return kBadArgument;
    }
    if (optionCount < 0 || optionCount % 2 != 0 || (optionCount > 0 && options == nullptr))
        return kBadArgument;
    std::string path = ozy::device::kTarpDevice;
    for (int i = 0; i < optionCount; i += 2) {
        if (options[i] == nullptr || options[i + 1] == nullptr)
            return kBadArgument;
        if (std::strcmp(options[i], "FWIODeviceName") != 0) {
            Log(2, std::string("unknown option ") + options[i]);
            return kBadArgument;
        }
        path = options[i + 1];
    }
    auto h = std::make_unique<FW_Handle>(path, Opener());
    int st = h->Connect();
    if (st != 0)
        return st;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_rawPath = path;
    }
    Log(4, "initialized on " + path);
    *handle = h.release();
    return 0;
}

void FW_Terminate(FW_Handle* handle) {
    delete handle;
}

const char* FW_StatusToString(int status) {
    switch (status) {
        case 0:
            return "ok";
        case 5:
            return "device unreachable";
        case 8:
            return "out of memory";
        case 19:
            return "no such filter";
        case 21:
            return "applied with no change";
        case 22:
            return "bad argument";
        case 25:
            return "unknown device command";
        case 65:
            return "invalid configuration";
        default:
            return "unknown status";
    }
}

int FW_EvaluateConfigFile(FW_Handle* handle, TarpFirewall::CTarpFWCmdList* list,
                          const char* filterName, int flags) {
    (void)flags;
    if (handle == nullptr || list == nullptr)
        return kBadArgument;
    if (!FilterNameOk(filterName))
        return kInvalid;
    try {
        return handle->Evaluate(*list, filterName);
    } catch (const std::bad_alloc&) {
        Log(2, std::string("out of memory applying to filter ") + filterName);
        return static_cast<int>(w::kStatusNoMemory);
    }
}

int FW_EvaluateConfigFiles(FW_Handle* handle, TarpFirewall::CTarpFWCmdList* const* lists,
                           const char* const* filterNames, uint32_t count, int flags,
                           int* statuses) {
    (void)flags;
    if (handle == nullptr ||
        (count != 0 && (lists == nullptr || filterNames == nullptr || statuses == nullptr)))
        return kBadArgument;
    for (uint32_t i = 0; i < count; ++i) {
        if (lists[i] == nullptr)
            return kBadArgument;
    }
    // Lists whose filter name is refused go no further; the others go together.
    std::vector<TarpFirewall::CTarpFWCmdList*> good;
    std::vector<const char*> names;
    std::vector<uint32_t> where;
    for (uint32_t i = 0; i < count; ++i) {
        if (!FilterNameOk(filterNames[i])) {
            statuses[i] = kInvalid;
            continue;
        }
        good.push_back(lists[i]);
        names.push_back(filterNames[i]);
        where.push_back(i);
    }
    std::vector<int> got(good.size(), 0);
    try {
        handle->EvaluateBatch(good.data(), names.data(), static_cast<uint32_t>(good.size()),
                              got.data());
    } catch (const std::bad_alloc&) {
        Log(2, "out of memory applying to " + std::to_string(good.size()) + " filters");
        got.assign(good.size(), static_cast<int>(w::kStatusNoMemory));
    }
    for (size_t k = 0; k < good.size(); ++k)
        statuses[where[k]] = got[k];
    return 0;
}

void FW_FreeConfigFile(TarpFirewall::CTarpFWCmdList* list) {
    if (list != nullptr)
        list->clear();
}

void FW_FilterChanged(FW_Handle* handle, const char* filterName) {
    if (handle != nullptr && filterName != nullptr)
        handle->FilterChanged(filterName);
}

namespace {

// One setting of a filter: `put` writes its value. The request is written into a buffer of the
// calling thread that the next setting reuses: a pass setting a thousand filters allocates
// nothing per filter.
template <typename Put>
int SetValue(FW_Handle* h, const char* filter, uint32_t id, const Put& put) {
    if (h == nullptr)
        return kBadArgument;
    if (!FilterNameOk(filter))
        return kInvalid;
    thread_local std::vector<uint8_t> request;
    request.clear();
    WireWriter wr(request);
    wr.Fixed(std::string_view(filter), w::kFilterNameField).U32(id);
    const size_t value = wr.Begin32();
    put(wr);
    wr.End32(value);
    return h->Setting(filter, id, request.data(), request.size());
}

// One setting of several filters, sent together: `put(wr, *values[i])` writes filter i's value.
// The requests are written one after the other into a buffer of the calling thread that the next
// batch reuses.
template <typename Value, typename Put>
int SetValues(FW_Handle* h, const char* const* filters, uint32_t count, uint32_t id,
              const Value* const* values, int* statuses, const Put& put) {
    if (h == nullptr ||
        (count != 0 && (filters == nullptr || values == nullptr || statuses == nullptr)))
        return kBadArgument;
    for (uint32_t i = 0; i < count; ++i) {
        if (values[i] == nullptr)
            return kBadArgument;
    }
    try {
        thread_local std::vector<uint8_t> buffer;
        buffer.clear();
        std::vector<size_t> starts;
        std::vector<uint32_t> where;
        std::vector<const char*> names;
        for (uint32_t i = 0; i < count; ++i) {
            // A filter name the single call refuses goes no further.
            if (!FilterNameOk(filters[i])) {
                statuses[i] = kInvalid;
                continue;
            }
            starts.push_back(buffer.size());
            WireWriter wr(buffer);
            wr.Fixed(std::string_view(filters[i]), w::kFilterNameField).U32(id);
            const size_t value = wr.Begin32();
            put(wr, *values[i]);
            wr.End32(value);
            where.push_back(i);
            names.push_back(filters[i]);
        }
        if (where.empty())
            return 0;
        starts.push_back(buffer.size());
        std::vector<ozy::device::IDevice::Request> requests(where.size());
        for (size_t k = 0; k < where.size(); ++k)
            requests[k] = {w::kCmdFilterSetting, buffer.data() + starts[k],
                           starts[k + 1] - starts[k]};
        std::vector<int> got(where.size(), 0);
        h->SettingBatch(id, names.data(), requests.data(), static_cast<uint32_t>(requests.size()),
                        got.data());
        for (size_t k = 0; k < where.size(); ++k)
            statuses[where[k]] = got[k];
    } catch (const std::bad_alloc&) {
        Log(2, "out of memory setting " + std::to_string(count) + " filters");
        for (uint32_t i = 0; i < count; ++i)
            statuses[i] = static_cast<int>(w::kStatusNoMemory);
    }
    return 0;
}

void PutFlood(WireWriter& wr, const FW_FloodCfg& cfg) {
    wr.U32(cfg.tcpHalfOpenLimit)
        .U32(cfg.udpFlowLimit)
        .U32(cfg.icmpFlowLimit)
        .U32(cfg.otherFlowLimit)
        .U8(cfg.synCache)
        .U8(cfg.rstSpoofing)
        .U8(cfg.natLimits)
        .U8(0);
}

void PutTimeout(WireWriter& wr, const FW_TimeoutCfg& cfg) {
    for (uint32_t s : cfg.seconds)
        wr.U32(s);
}

void PutDns(WireWriter& wr, const FW_DnsCfg& cfg) {
    wr.U8(cfg.ttlFlag).U8(0).U8(0).U8(0).U32(cfg.ttl);
}

int SetU32(FW_Handle* h, const char* filter, uint32_t id, uint32_t v) {
    return SetValue(h, filter, id, [v](WireWriter& wr) { wr.U32(v); });
}

}  // namespace

int FW_SetFloodCfg(FW_Handle* h, const char* filter, int, const FW_FloodCfg* cfg) {
    if (cfg == nullptr)
        return kBadArgument;
    return SetValue(h, filter, w::kSetFlood, [cfg](WireWriter& wr) { PutFlood(wr, *cfg); });
}

int FW_SetTimeout(FW_Handle* h, const char* filter, int, const FW_TimeoutCfg* cfg) {
    if (cfg == nullptr)
        return kBadArgument;
    return SetValue(h, filter, w::kSetTimeout, [cfg](WireWriter& wr) { PutTimeout(wr, *cfg); });
}

int FW_SetDnsConfigProfile(FW_Handle* h, const char* filter, int, const FW_DnsCfg* cfg) {
    if (cfg == nullptr)
        return kBadArgument;
    return SetValue(h, filter, w::kSetDns, [cfg](WireWriter& wr) { PutDns(wr, *cfg); });
}

int FW_SetFloodCfgs(FW_Handle* h, const char* const* filters, uint32_t count, int,
                    const FW_FloodCfg* const* cfgs, int* statuses) {
    return SetValues(h, filters, count, w::kSetFlood, cfgs, statuses, PutFlood);
}

int FW_SetTimeouts(FW_Handle* h, const char* const* filters, uint32_t count, int,
                   const FW_TimeoutCfg* const* cfgs, int* statuses) {
    return SetValues(h, filters, count, w::kSetTimeout, cfgs, statuses, PutTimeout);
}

int FW_SetDnsConfigProfiles(FW_Handle* h, const char* const* filters, uint32_t count, int,
                            const FW_DnsCfg* const* cfgs, int* statuses) {
    return SetValues(h, filters, count, w::kSetDns, cfgs, statuses, PutDns);
}

int FW_SetHopoverExportver(FW_Handle* h, const char* filter, int, uint32_t version) {
    return SetU32(h, filter, w::kSetExportVersion, version);
}

int FW_FpFlag(FW_Handle* h, const char* filter, int, uint32_t mode) {
    return SetU32(h, filter, w::kSetFastPath, mode);
}

int FW_DeleteSpoofGuard(FW_Handle* h, const char* filter, int, const uint8_t (*mac)[6]) {
    if (mac == nullptr)
        return kBadArgument;
    return SetValue(h, filter, w::kSetDeleteSpoofGuard,
                    [mac](WireWriter& wr) { wr.Bytes(*mac, 6); });
}

int FW_ConfigSharedAddrSet(FW_Handle* h, const char* filter, int, uint32_t enable) {
    return SetU32(h, filter, w::kSetSharedAddrSet, enable);
}

int FW_SetIDSMode(FW_Handle* h, const char* filter, int, uint32_t mode) {
    return SetU32(h, filter, w::kSetIdsMode, mode);
}

int FW_SetOversubscription(FW_Handle* h, const char* filter, int, uint32_t value) {
    return SetU32(h, filter, w::kSetOversubscription, value);
}

int FW_ActivateAddrSets(FW_Handle* h, uint32_t* activated, uint32_t* created, uint32_t* replaced,
                        uint32_t* obsoleted) {
    if (h == nullptr)
        return kBadArgument;
    std::vector<uint8_t> reply;
    int st = h->Simple(w::kCmdActivateAddrSets, {}, 16, &reply);
    if (st != 0)
        return st;
    uint32_t* out[4] = {activated, created, replaced, obsoleted};
    for (int i = 0; i < 4; ++i) {
        if (out[i] != nullptr)
            *out[i] = (uint32_t(reply[4 * i]) << 24) | (uint32_t(reply[4 * i + 1]) << 16) |
                      (uint32_t(reply[4 * i + 2]) << 8) | reply[4 * i + 3];
    }
    return 0;
}

int FW_CleanupAddrSets(FW_Handle* h, uint32_t* deleted) {
    if (h == nullptr)
        return kBadArgument;
    std::vector<uint8_t> reply;
    int st = h->Simple(w::kCmdCleanupAddrSets, {}, 4, &reply);
    if (st == 0 && deleted != nullptr)
        *deleted = (uint32_t(reply[0]) << 24) | (uint32_t(reply[1]) << 16) |
                   (uint32_t(reply[2]) << 8) | reply[3];
    return st;
}

namespace {

template <typename Entry>
int NameList(FW_Handle* h, const char* filter, bool ruleSets, Entry* names, uint32_t capacity,
             uint32_t* total) {
    if (h == nullptr || total == nullptr || (names == nullptr && capacity != 0))
        return kBadArgument;
    if (!FilterNameOk(filter))
        return kInvalid;
    return h->Names(
        filter, ruleSets, capacity,
        [names](uint32_t i, const std::string& n) {
            const size_t len = std::min(n.size(), sizeof names[i].name - 1);
            std::memcpy(names[i].name, n.data(), len);
            std::memset(names[i].name + len, 0, sizeof names[i].name - len);
        },
        total);
}

}  // namespace

int FW_GetRuleSetCount(FW_Handle* h, const char* filter, uint32_t* count) {
    return NameList<FW_RuleSetName>(h, filter, true, nullptr, 0, count);
}

int FW_GetRuleSetList(FW_Handle* h, const char* filter, FW_RuleSetName* names, uint32_t capacity,
                      uint32_t* total) {
    return NameList(h, filter, true, names, capacity, total);
}

int FW_GetAddrSetCount(FW_Handle* h, const char* filter, uint32_t* count) {
    return NameList<FW_AddrSetName>(h, filter, false, nullptr, 0, count);
}

int FW_GetAddrSetList(FW_Handle* h, const char* filter, FW_AddrSetName* names, uint32_t capacity,
                      uint32_t* total) {
    return NameList(h, filter, false, names, capacity, total);
}

int FW_GetNamesToken(FW_Handle* h, const char* filter, uint64_t* token) {
    if (h == nullptr || token == nullptr)
        return kBadArgument;
    *token = 0;
    if (!FilterNameOk(filter))
        return kInvalid;
    *token = h->NamesToken(filter);
    return 0;
}

int FW_GetAddrSetStatList(FW_Handle* h, const char* filter, uint8_t* records, uint32_t capacity,
                          uint32_t* total) {
    if (h == nullptr || total == nullptr || (records == nullptr && capacity != 0))
        return kBadArgument;
    if (!FilterNameOk(filter))
        return kInvalid;
    std::vector<uint8_t> out;
    int st = h->Stats(filter, capacity, &out, total);
    if (st == 0 && !out.empty())
        std::memcpy(records, out.data(), out.size());
    return st;
}

int FW_GetIpRepChunkCount(FW_Handle* h, uint32_t* count) {
    return FW_GetIpRepChunkList(h, nullptr, 0, count);
}

int FW_GetIpRepChunkList(FW_Handle* h, FW_IpRepChunkStat* chunks, uint32_t capacity,
                         uint32_t* total) {
    if (h == nullptr || total == nullptr || (chunks == nullptr && capacity != 0))
        return kBadArgument;
    std::vector<FW_IpRepChunkStat> list;
    int st = h->Chunks(capacity, &list, total);
    if (st == 0 && !list.empty())
        std::copy(list.begin(), list.end(), chunks);
    return st;
}

int FW_Ioctl(uint32_t command, FW_IoctlReq* request) {
    return RawIoctl(w::kCmdFwIoctl, command, request);
}

int DVF_Ioctl(uint32_t command, FW_IoctlReq* request) {
    return RawIoctl(w::kCmdDvfIoctl, command, request);
}

int SI_Ioctl(uint32_t command, SI_IoctlReq* request) {
    if (request == nullptr || (request->entries == nullptr && request->count != 0))
        return kBadArgument;
    uint64_t bytes = uint64_t(request->count) * request->entrySize;
    if (bytes > ozy::device::kMaxPayload - 12)
        return kBadArgument;
    std::vector<uint8_t> payload;
    WireWriter(payload)
        .U32(command)
        .U32(request->count)
        .U32(request->entrySize)
        .Bytes(request->entries, static_cast<size_t>(bytes));
    request->replyUsed = 0;
    std::vector<uint8_t> reply;
    int st = Raw()->Simple(w::kCmdSiIoctl, payload, 0, &reply);
    if (st != 0)
        return st;
    if (reply.size() > request->replySize || (reply.size() != 0 && request->reply == nullptr)) {
        Log(2, "device returned " + std::to_string(reply.size()) + " bytes for an SI reply of " +
                   std::to_string(request->replySize));
        return static_cast<int>(w::kStatusIoError);
    }
    if (!reply.empty())
        std::memcpy(request->reply, reply.data(), reply.size());
    request->replyUsed = static_cast<uint32_t>(reply.size());
    return 0;
}

#include "dfw/DfwGlobalAddrSets.h"

#include <algorithm>
#include <cstring>

#include "dfw/DfwApplyStatus.h"
#include "dfw/DfwLog.h"
#include "platform/tarp/CTarpFWAddrSet.h"
#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/CTarpFWContainer.h"
#include "platform/tarp/CTarpFWException.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpWire.h"

namespace CfgAgent {

namespace w = ozy::tarp;

namespace {

const void* Identity(const DfwGlobalAddrSets::Object& o) {
    return o.set ? static_cast<const void*>(o.set.get())
                 : static_cast<const void*>(o.container.get());
}

// Evaluates `list` on the shared filter; the device status.
int EvaluateShared(FW_Handle* handle, TarpFirewall::CTarpFWCmdList& list) {
    try {
        return FW_EvaluateConfigFile(handle, &list, w::kSharedAddrSetFilter, 0);
    } catch (const TarpFirewall::CTarpFWException& e) {
        DFW_ERROR("dfw: global address config refused by the library: %1", e.what());
        return static_cast<int>(e.retcode());
    }
}

}  // namespace

std::vector<DfwGlobalAddrSets::Stat> DfwGlobalAddrSets::ParseStats(const uint8_t* records,
                                                                   size_t size, uint32_t total) {
    std::vector<Stat> out;
    const size_t n = std::min<size_t>(total, size / w::kAddrSetStatSize);
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* r = records + i * w::kAddrSetStatSize;
        Stat s;
        s.name.assign(reinterpret_cast<const char*>(r),
                      strnlen(reinterpret_cast<const char*>(r), w::kAddrSetNameField));
        const uint8_t* a = r + w::kStatAnchorOffset;
        s.anchors = uint32_t(a[0]) << 24 | uint32_t(a[1]) << 16 | uint32_t(a[2]) << 8 | a[3];
        if (!s.name.empty())
            out.push_back(std::move(s));
    }
    return out;
}

int DfwGlobalAddrSets::Apply(const Objects& wanted, bool force) {
    if (force)
        applied_.clear();
    TarpFirewall::CTarpFWCmdList list;
    TarpFirewall::ScopedConfigFile guard(&list);
    size_t changed = 0;
    // Sets first: containers name them.
    for (const bool sets : {true, false}) {
        for (const auto& [name, o] : wanted) {
            if (bool(o.set) != sets)
                continue;
            auto it = applied_.find(name);
            if (it != applied_.end() && it->second == Identity(o))
                continue;
            if (o.set)
                list.addCreateAddrSet(o.set);
            else if (o.container)
                list.addCreateContainer(o.container);
            ++changed;
        }
    }
    if (changed == 0)
        return 0;
    DFW_INFO("dfw: %1 global address set config (checkRef: %2)", "Apply", false);
    const int rc = EvaluateShared(handle_, list);
    if (!DfwApplied(rc)) {
        DFW_ERROR_CODE("LCP01106", "dfw: Failed to apply global address config %1",
                       FW_StatusToString(rc));
        applied_.clear();  // what the shared filter holds is not known: all again next time
        return rc;
    }
    DFW_INFO("dfw: Applied global address config");
    for (const auto& [name, o] : wanted)
        applied_[name] = Identity(o);
    DFW_INFO("dfw: Activating global address set config: current mode (%1)", 1);
    uint32_t activated = 0, created = 0, replaced = 0, obsoleted = 0;
    const int act = FW_ActivateAddrSets(handle_, &activated, &created, &replaced, &obsoleted);
    if (act != 0) {
        DFW_ERROR_CODE("LCP01106", "dfw: Failed to activate global address set config: %1",
                       FW_StatusToString(act));
        applied_.clear();
        return act;
    }
    DFW_INFO(
        "dfw: Activate global address set config result: num_activated(%1), num_new(%2), "
        "num_replaced(%3), num_obsoleted(%4)",
        activated, created, replaced, obsoleted);
    return rc;
}

int DfwGlobalAddrSets::Clean(const Objects& wanted, bool modeOff) {
    // The shared filter's statistics: a second read when it grew between the two.
    std::vector<Stat> stats;
    uint32_t capacity = static_cast<uint32_t>(std::max<size_t>(applied_.size() + 16, 64));
    int rc = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<uint8_t> buf(size_t(capacity) * w::kAddrSetStatSize, 0);
        uint32_t total = 0;
        rc = FW_GetAddrSetStatList(handle_, w::kSharedAddrSetFilter, buf.data(), capacity, &total);
        if (rc != 0)
            break;
        if (total <= capacity) {
            stats = ParseStats(buf.data(), buf.size(), total);
            break;
        }
        capacity = std::min<uint32_t>(total, 1u << 20);
        rc = static_cast<int>(w::kStatusIoError);
    }
    if (rc != 0) {
        DFW_ERROR_CODE("LCP01108", "dfw: Failed to get kernel addrset list: %1",
                       FW_StatusToString(rc));
        return rc;
    }
    TarpFirewall::CTarpFWCmdList list;
    TarpFirewall::ScopedConfigFile guard(&list);
    std::vector<std::string> gone;
    for (const Stat& s : stats) {
        if (s.anchors != 0 || wanted.count(s.name) != 0)
            continue;
        DFW_DEBUG("dfw: Find anchor ref 0 kernel addrset: %1", s.name);
        list.addDestroyAddrSet(s.name);
        gone.push_back(s.name);
    }
    if (!gone.empty()) {
        DFW_INFO("dfw: %1 global address set config (checkRef: %2)", "Clean", true);
        rc = EvaluateShared(handle_, list);
        if (!DfwApplied(rc)) {
            DFW_ERROR_CODE("LCP01106", "dfw: Failed to apply global address config %1",
                           FW_StatusToString(rc));
            applied_.clear();
            return rc;
        }
        DFW_INFO("dfw: Applied global address config");
        for (const std::string& g : gone)
            applied_.erase(g);
    }
    if (modeOff) {
        DFW_INFO("dfw: Cleaning up global address set config: current mode (%1)", 0);
        uint32_t deleted = 0;
        rc = FW_CleanupAddrSets(handle_, &deleted);
        if (rc != 0) {
            DFW_ERROR_CODE("LCP01106", "dfw: Failed to clean up global address set config: %1",
                           FW_StatusToString(rc));
            return rc;
        }
        DFW_INFO("dfw: Clean up global address set config result: deleted(%1)", deleted);
        applied_.clear();
    }
    return 0;
}

}  // namespace CfgAgent

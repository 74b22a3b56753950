#include "conduit/IPManager.h"

#include <cstdio>

#include "conduit/ConduitLog.h"

namespace ozy::Conduit {

using CfgAgent::kLogDebug;
using CfgAgent::kLogError;
using CfgAgent::kLogInfo;

namespace {

std::string Hex(uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

}  // namespace

const char* UpdateMsgTypeName(uint32_t type) {
    switch (type) {
        case kUpdateLspVifAttachment:
            return "UPDATE_MSG_TYPE_LSP_VIF_ATTACHMENT";
        case kUpdateLspAddrBinding:
            return "UPDATE_MSG_TYPE_LSP_ADDR_BINDING";
        case kUpdateLspLinkAttachment:
            return "UPDATE_MSG_TYPE_LSP_LINK_ATTACHMENT";
        case kUpdateLspSwitchId:
            return "UPDATE_MSG_TYPE_LSP_SWITCH_ID";
        case kUpdateLrpSubnet:
            return "UPDATE_MSG_TYPE_LRP_SUBNET";
        case kUpdateVifState:
            return "UPDATE_MSG_TYPE_VIF_STATE";
        case kUpdateConduitParentVif:
            return "UPDATE_MSG_TYPE_CONDUIT_PARENT_VIF";
        default:
            ConduitLog(kLogError, "Invalid update message type %1", type);
            return "INVALID";
    }
}

std::string LipText(uint32_t lip) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", lip >> 24, (lip >> 16) & 255, (lip >> 8) & 255,
                  lip & 255);
    return buf;
}

bool IPManager::PoolRange(uint32_t ip, uint32_t mask, uint32_t* first, uint32_t* last,
                          std::string* why) {
    const uint32_t host = ~mask;
    // A netmask is ones then zeros: its host part plus one is a power of two (or zero for /0).
    if ((host & (host + 1)) != 0) {
        *why = "mask " + LipText(mask) + " is not a netmask";
        return false;
    }
    const uint32_t broadcast = (ip & mask) | host;
    // The pool starts nine addresses above the kernel NIC's and ends at the subnet's last address
    // ((A AND M) - M - 1 in 32-bit arithmetic); the start must stay in the subnet.
    if (uint64_t{ip} + 9 > broadcast) {
        *why = "address " + LipText(ip) + "/" + LipText(mask) +
               " leaves no address 9 above it in its subnet";
        return false;
    }
    *first = ip + 9;
    *last = broadcast;
    return true;
}

void IPManager::HandleMsgUpdate(uint32_t type, const IPUpdate& msg, bool add) {
    ConduitLog(kLogDebug, "Conduit::IPManager::HandleMsgUpdate updateType %1 VIF %2 add %3",
               UpdateMsgTypeName(type), msg.vifId, add);
    Notices notices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        switch (type) {
            case kUpdateLspVifAttachment:
                if (add) {
                    SetBit(msg, kAttached, "IP manager: Add a new VIF %1 for LSP attachment",
                           &notices);
                } else {
                    ClearBits(msg.vifId, kAttached | kEnabled,
                              "IP manager: Delete VIF %1(host switch %2) LIP after receiving LSP "
                              "detachment message",
                              &notices);
                }
                break;
            case kUpdateVifState:
                if (!msg.krnnicName.empty()) {
                    KrnnicUpdate(msg, add, &notices);
                } else if (add) {
                    SetBit(msg, kConnected,
                           "IP manager: Add a new VIF %1(host switch %2) for VIF connection",
                           &notices);
                } else {
                    ClearBits(msg.vifId, kConnected,
                              "IP manager: Delete VIF %1(host switch %2) LIP after receiving VIF "
                              "disconnect message",
                              &notices);
                }
                break;
            case kUpdateConduitParentVif:
                if (add) {
                    SetBit(msg, kEnabled, "IP manager: Add a new VIF %1 for VIF enable", &notices);
                } else {
                    ClearBits(msg.vifId, kEnabled,
                              "IP manager: Delete VIF %1(host switch %2) LIP after receiving VIF "
                              "Conduit disable message",
                              &notices);
                }
                break;
            default:
                break;
        }
    }
    Notify(notices);
}

void IPManager::SetBit(const IPUpdate& msg, unsigned bit, const char* newLine, Notices* out) {
    auto it = vifs_.find(msg.vifId);
    if (it == vifs_.end()) {
        ConduitLog(kLogInfo, newLine, msg.vifId, msg.hostSwitchId);
        it = vifs_.emplace(msg.vifId, Vif{}).first;
    }
    Vif& vif = it->second;
    // The dataplane's VIF state names the host switch; the other updates only fill it in.
    const bool reported = bit == kConnected || vif.hostSwitchId.empty();
    if (reported && !msg.hostSwitchId.empty() && vif.hostSwitchId != msg.hostSwitchId) {
        // A VIF that moved to another host switch gives back what the old pool gave it (its
        // address, or its place in the queue).
        if (pools_.count(vif.hostSwitchId) != 0)
            Release(msg.vifId, vif, out);
        vif.hostSwitchId = msg.hostSwitchId;
    }
    vif.state |= bit;
    if (vif.state == kEligible && vif.lip == 0)
        Allocate(msg.vifId, vif, out);
}

void IPManager::ClearBits(const std::string& vifId, unsigned bits, const char* releaseLine,
                          Notices* out) {
    auto it = vifs_.find(vifId);
    if (it == vifs_.end())
        return;
    Vif& vif = it->second;
    vif.state &= ~bits;
    ConduitLog(kLogInfo, releaseLine, vifId, vif.hostSwitchId);
    Release(vifId, vif, out);
    if (vif.state == 0)
        vifs_.erase(it);
}

void IPManager::KrnnicUpdate(const IPUpdate& msg, bool connect, Notices* out) {
    auto it = pools_.find(msg.hostSwitchId);
    if (!connect) {
        if (it != pools_.end())
            RemovePool(msg.hostSwitchId, out);
        return;
    }
    if (it != pools_.end()) {
        if (it->second.krnnicIp == msg.krnnicIp && it->second.krnnicMask == msg.krnnicMask)
            return;
        // The kernel NIC's address changed: every LIP of the old pool goes, the new pool hands
        // them out again.
        RemovePool(msg.hostSwitchId, out);
    }
    CreatePool(msg, out);
}

void IPManager::CreatePool(const IPUpdate& msg, Notices* out) {
    uint32_t first = 0, last = 0;
    std::string why;
    if (!PoolRange(msg.krnnicIp, msg.krnnicMask, &first, &last, &why)) {
        ConduitLog(kLogError,
                   "IP manager: conduit krnnic %1(host switch %2) IP %3 gives no IP pool: %4",
                   msg.krnnicName, msg.hostSwitchId, Hex(msg.krnnicIp), why);
        return;
    }
    Pool& pool = pools_[msg.hostSwitchId];
    pool.krnnicName = msg.krnnicName;
    pool.krnnicIp = msg.krnnicIp;
    pool.krnnicMask = msg.krnnicMask;
    pool.first = first;
    pool.last = last;
    pool.next = first;
    ConduitLog(
        kLogInfo,
        "IP manager: conduit krnnic %1(host switch %2) IP %3 to alloc a new IP pool (%4 - %5)",
        msg.krnnicName, msg.hostSwitchId, Hex(msg.krnnicIp), Hex(first), Hex(last));
    for (auto& [id, vif] : vifs_) {
        if (vif.hostSwitchId == msg.hostSwitchId && vif.state == kEligible && vif.lip == 0)
            Allocate(id, vif, out);
    }
}

void IPManager::RemovePool(const std::string& hostSwitchId, Notices* out) {
    auto it = pools_.find(hostSwitchId);
    Pool& pool = it->second;
    ConduitLog(kLogInfo,
               "IP manager: conduit krnnic %1(host switch %2) IP %3 to remove a IP pool (%4 - %5)",
               pool.krnnicName, hostSwitchId, Hex(pool.krnnicIp), Hex(pool.first), Hex(pool.last));
    // The queue goes first: the addresses released below belong to the dying pool and must not
    // be handed to the queued VIFs (they keep their bits and get addresses when a pool returns).
    pool.pending.clear();
    pool.pendingSet.clear();
    for (auto& [id, vif] : vifs_) {
        if (vif.hostSwitchId == hostSwitchId && vif.lip != 0)
            Release(id, vif, out);
    }
    pools_.erase(it);
}

uint32_t IPManager::Allocate(const std::string& vifId, Vif& vif, Notices* out) {
    auto it = pools_.find(vif.hostSwitchId);
    if (it == pools_.end()) {
        ConduitLog(kLogError, "Alloc LIP: IP pool is not created for host switch %1",
                   vif.hostSwitchId);
        return 0;
    }
    Pool& pool = it->second;
    const uint64_t size = uint64_t{pool.last} - pool.first + 1;
    if (pool.used.size() >= size) {
        // Used up: no probing. A VIF is queued once.
        if (pool.pendingSet.insert(vifId).second) {
            pool.pending.push_back(vifId);
            ConduitLog(kLogInfo,
                       "IPPool is used up on host switch %1, no free LIP. Put VIF %2 into pending "
                       "request list.",
                       vif.hostSwitchId, vifId);
        }
        return 0;
    }
    // A free address exists: the walk from the next candidate ends on it.
    uint32_t c = pool.next;
    while (pool.used.count(c) != 0)
        c = c == pool.last ? pool.first : c + 1;
    pool.next = c == pool.last ? pool.first : c + 1;
    pool.used.insert(c);
    vif.lip = c;
    vifByLip_[c] = vifId;
    ConduitLog(kLogInfo, "Allocate a LIP %1 for VIF %2 on host switch %3", LipText(c), vifId,
               vif.hostSwitchId);
    out->push_back({vifId, c, 1});
    return c;
}

void IPManager::Release(const std::string& vifId, Vif& vif, Notices* out) {
    auto it = pools_.find(vif.hostSwitchId);
    if (it == pools_.end()) {
        if (vif.lip != 0 || !vif.hostSwitchId.empty())
            ConduitLog(kLogError, "Release LIP: IP pool is not created for host switch %1",
                       vif.hostSwitchId);
        vif.lip = 0;
        return;
    }
    Pool& pool = it->second;
    const uint32_t lip = vif.lip;
    if (lip != 0 && pool.used.erase(lip) != 0) {
        vif.lip = 0;
        vifByLip_.erase(lip);
        ConduitLog(kLogInfo, "Release LIP %1 for VIF %2", LipText(lip), vifId);
        out->push_back({vifId, lip, 0});
        // The freed address goes to the first queued VIF still waiting for one.
        while (!pool.pending.empty()) {
            std::string next = pool.pending.front();
            pool.pending.pop_front();
            pool.pendingSet.erase(next);
            auto w = vifs_.find(next);
            if (w == vifs_.end() || w->second.lip != 0 || w->second.state != kEligible ||
                w->second.hostSwitchId != vif.hostSwitchId)
                continue;
            pool.used.insert(lip);
            w->second.lip = lip;
            vifByLip_[lip] = next;
            ConduitLog(kLogInfo, "Allocate a LIP %1 for pending VIF %2", LipText(lip), next);
            out->push_back({next, lip, 1});
            break;
        }
        return;
    }
    vif.lip = 0;
    if (pool.pendingSet.erase(vifId) != 0) {
        pool.pending.remove(vifId);
        ConduitLog(kLogInfo, "Remove VIF %1 from pending request list.", vifId);
    }
}

int IPManager::RegisterListener(Listener listener) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    const int id = nextListener_++;
    auto slot = std::make_shared<ListenerSlot>();
    slot->fn = std::move(listener);
    listeners_[id] = std::move(slot);
    return id;
}

void IPManager::UnregisterListener(int id) {
    std::shared_ptr<ListenerSlot> slot;
    {
        std::lock_guard<std::mutex> lock(listenerMutex_);
        auto it = listeners_.find(id);
        if (it == listeners_.end())
            return;
        slot = it->second;
        listeners_.erase(it);
    }
    // Waits for a call in progress on another thread; from within the listener itself the lock is
    // already held by this thread.
    std::lock_guard<std::recursive_mutex> lock(slot->calling);
    slot->active = false;
}

void IPManager::Notify(const Notices& notices) {
    if (notices.empty())
        return;
    std::vector<std::shared_ptr<ListenerSlot>> slots;
    {
        std::lock_guard<std::mutex> lock(listenerMutex_);
        for (const auto& [id, slot] : listeners_)
            slots.push_back(slot);
    }
    for (const Notice& n : notices) {
        for (const auto& slot : slots) {
            std::lock_guard<std::recursive_mutex> lock(slot->calling);
            if (slot->active)
                slot->fn(n.vif, n.lip, n.assigned);
        }
    }
}

uint32_t IPManager::QueryLip(const std::string& vif) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = vifs_.find(vif);
    if (it == vifs_.end() || it->second.lip == 0) {
        ConduitLog(kLogInfo, "IP Manager: currently no LIP is assigned to this VIF %1", vif);
        return 0;
    }
    return it->second.lip;
}

bool IPManager::QueryLip(const std::string& vif, uint32_t* lip, std::string* hostSwitchId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = vifs_.find(vif);
    if (it == vifs_.end() || it->second.lip == 0) {
        ConduitLog(kLogInfo,
                   "Failed to get host switch ID, IP Manager:currently no LIP is assigned to this "
                   "VIF %1",
                   vif);
        return false;
    }
    *lip = it->second.lip;
    *hostSwitchId = it->second.hostSwitchId;
    return true;
}

std::string IPManager::QueryVif(uint32_t lip) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = vifByLip_.find(lip);
    if (it == vifByLip_.end()) {
        ConduitLog(kLogInfo, "IP Manager: Query for VIFID failed: LIP %1 not found", LipText(lip));
        return std::string();
    }
    return it->second;
}

unsigned IPManager::VifState(const std::string& vif) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = vifs_.find(vif);
    return it == vifs_.end() ? 0 : it->second.state;
}

std::vector<IPManager::PoolInfo> IPManager::Pools() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PoolInfo> out;
    for (const auto& [sw, pool] : pools_) {
        PoolInfo info;
        info.hostSwitchId = sw;
        info.krnnicName = pool.krnnicName;
        info.krnnicIp = pool.krnnicIp;
        info.krnnicMask = pool.krnnicMask;
        info.first = pool.first;
        info.last = pool.last;
        info.used = pool.used.size();
        info.pending.assign(pool.pending.begin(), pool.pending.end());
        for (const auto& [id, vif] : vifs_) {
            if (vif.hostSwitchId == sw && vif.lip != 0)
                info.lips[id] = vif.lip;
        }
        out.push_back(std::move(info));
    }
    return out;
}

}  // namespace ozy::Conduit

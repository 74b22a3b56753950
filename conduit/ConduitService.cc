#include "conduit/ConduitService.h"

#include "conduit/ConduitLog.h"

namespace ozy::Conduit {

using CfgAgent::kLogInfo;

void ConduitService::SetGlobalConfig(const std::optional<GlobalSettings>& settings) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (global_ == settings)
            return;
        global_ = settings;
    }
    if (!settings) {
        ConduitLog(kLogInfo, "Clear conduit global monitor message");
        return;
    }
    ConduitLog(kLogInfo,
               "Set conduit global monitor message CIP %1, vip %2, vlanTag %3, txLimit %4, "
               "serverPort %5",
               LipText(settings->cip), LipText(settings->vip), settings->vlanTag, settings->txLimit,
               kServerPort);
}

std::optional<GlobalSettings> ConduitService::GlobalConfig() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return global_;
}

bool ConduitService::SetVif(uint32_t type, const std::string& vifId,
                            const std::string& hostSwitchId, bool on) {
    if (vifId.empty())
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unsigned& bits = vifBits_[vifId];
        if (((bits & type) != 0) == on) {
            if (bits == 0)
                vifBits_.erase(vifId);
            return false;
        }
        bits = on ? bits | type : bits & ~type;
        // The manager clears the parent flag with a detach: so does the cache, and the flag is
        // passed on again when it is set after the next attach.
        if (type == kUpdateLspVifAttachment && !on)
            bits &= ~static_cast<unsigned>(kUpdateConduitParentVif);
        if (bits == 0)
            vifBits_.erase(vifId);
    }
    IPUpdate msg;
    msg.vifId = vifId;
    msg.hostSwitchId = hostSwitchId;
    Send(type, msg, on);
    return true;
}

bool ConduitService::KrnnicUp(const std::string& name, const std::string& hostSwitchId, uint32_t ip,
                              uint32_t mask) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = krnnics_.find(name);
        if (it != krnnics_.end() && it->second.hostSwitchId == hostSwitchId &&
            it->second.ip == ip && it->second.mask == mask)
            return false;
        krnnics_[name] = Krnnic{hostSwitchId, ip, mask};
    }
    IPUpdate msg;
    msg.vifId = name;
    msg.hostSwitchId = hostSwitchId;
    msg.krnnicName = name;
    msg.krnnicIp = ip;
    msg.krnnicMask = mask;
    Send(kUpdateVifState, msg, true);
    return true;
}

bool ConduitService::KrnnicDown(const std::string& name) {
    IPUpdate msg;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = krnnics_.find(name);
        if (it == krnnics_.end())
            return false;
        msg.hostSwitchId = it->second.hostSwitchId;
        msg.krnnicIp = it->second.ip;
        msg.krnnicMask = it->second.mask;
        krnnics_.erase(it);
    }
    msg.vifId = name;
    msg.krnnicName = name;
    Send(kUpdateVifState, msg, false);
    return true;
}

void ConduitService::Send(uint32_t type, const IPUpdate& msg, bool add) {
    ConduitLog(kLogInfo, "Conduit: send VIF %1 host switch %2 IP %3 mask %4 type %5, update %6",
               msg.vifId, msg.hostSwitchId, LipText(msg.krnnicIp), LipText(msg.krnnicMask),
               UpdateMsgTypeName(type), add ? "add" : "delete");
    manager_.HandleMsgUpdate(type, msg, add);
}

unsigned ConduitService::VifBits(const std::string& vifId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = vifBits_.find(vifId);
    return it == vifBits_.end() ? 0 : it->second;
}

std::map<std::string, ConduitService::Krnnic> ConduitService::Krnnics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return krnnics_;
}

}  // namespace ozy::Conduit

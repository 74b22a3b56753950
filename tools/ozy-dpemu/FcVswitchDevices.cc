#include "tools/ozy-dpemu/FcVswitchDevices.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <optional>

#include <nlohmann/json.hpp>

#include "runtime/Logger.h"

namespace ozy::dpemu {

using namespace ozy::device;

namespace {

void Keep(std::deque<std::string>& kept, size_t max, std::string text) {
    kept.push_back(std::move(text));
    if (kept.size() > max)
        kept.pop_front();
}

std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

std::string Dotted(uint32_t v) {
    in_addr a{htonl(v)};
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

}  // namespace

IoctlResult FlowCacheDevice::Reject(uint32_t status, const std::string& why) {
    CFG_WARN("ozy-dpemu: fc: %1", why);
    Keep(rejections_, kKeptRejections, why);
    return IoctlResult{status, {}};
}

IoctlResult FlowCacheDevice::Ioctl(uint32_t command, const uint8_t* payload, size_t size) {
    ++ioctls_;
    auto flag = [&](const char* what, bool* field) {
        std::optional<bool> v = ParseIoctlFlag(payload, size);
        if (!v)
            return Reject(EINVAL, std::string(what) + ": payload is not one byte 0 or 1");
        *field = *v;
        ++applied_;
        CFG_INFO("ozy-dpemu: fc: %1 set to %2", what, *v);
        return IoctlResult{};
    };
    auto seconds = [&](const char* what, uint32_t min, uint32_t max, uint32_t* field) {
        std::optional<uint32_t> v = ParseIoctlU32(payload, size);
        if (!v)
            return Reject(EINVAL, std::string(what) + ": payload of " + std::to_string(size) +
                                      " bytes, expected 4");
        if (*v < min || *v > max) {
            return Reject(EINVAL, std::string(what) + " " + std::to_string(*v) + " out of range " +
                                      std::to_string(min) + "-" + std::to_string(max));
        }
        *field = *v;
        ++applied_;
        CFG_INFO("ozy-dpemu: fc: %1 set to %2 s", what, *v);
        return IoctlResult{};
    };
    switch (command) {
        case kFcSetEnabled:
            return flag("enabled", &config_.enabled);
        case kFcSetMcastEnabled:
            return flag("mcast_enabled", &config_.mcastEnabled);
        case kFcSetFlowExprTime:
            return seconds("flow_expr_time", kFcFlowExprTimeMin, kFcFlowExprTimeMax,
                           &config_.flowExprTime);
        case kFcSetFlowAgingInterval:
            return seconds("flow_aging_interval", kFcFlowAgingMin, kFcFlowAgingMax,
                           &config_.flowAgingInterval);
        case kFcGetConfig:
            if (size != 0)
                return Reject(EINVAL, "get config: payload of " + std::to_string(size) + " bytes");
            return IoctlResult{0, EncodeFcConfig(config_)};
        default:
            return Reject(ENOTTY, "unknown command " + Hex32(command));
    }
}

nlohmann::json FlowCacheDevice::Dump() const {
    return {{"device", "fc"},
            {"enabled", config_.enabled},
            {"mcast_enabled", config_.mcastEnabled},
            {"flow_expr_time", config_.flowExprTime},
            {"flow_aging_interval", config_.flowAgingInterval},
            {"ioctls", ioctls_},
            {"applied", applied_},
            {"rejected", rejections_}};
}

IoctlResult VswitchDevice::Reject(uint32_t status, const std::string& why) {
    CFG_WARN("ozy-dpemu: vswitch: %1", why);
    Keep(rejections_, kKeptRejections, why);
    return IoctlResult{status, {}};
}

IoctlResult VswitchDevice::Ioctl(uint32_t command, const uint8_t* payload, size_t size) {
    ++ioctls_;
    switch (command) {
        case kVswitchSetNetqHandling: {
            std::optional<bool> v = ParseIoctlFlag(payload, size);
            if (!v)
                return Reject(EINVAL, "netq_handling: payload is not one byte 0 or 1");
            netqHandling_ = *v;
            ++applied_;
            CFG_INFO("ozy-dpemu: vswitch: netq_handling set to %1", *v);
            return IoctlResult{};
        }
        case kVswitchGetNetqHandling:
            if (size != 0)
                return Reject(EINVAL,
                              "get netq_handling: payload of " + std::to_string(size) + " bytes");
            return IoctlResult{0, IoctlFlag(netqHandling_)};
        case kVswitchGetKrnnicAddr: {
            std::optional<std::string> name = DecodeKrnnicName(payload, size);
            if (!name) {
                return Reject(EINVAL, "get krnnic address: payload of " + std::to_string(size) +
                                          " bytes is not a NUL-padded 16-byte name");
            }
            ++krnnicQueries_;
            auto it = krnnics_.find(*name);
            if (it == krnnics_.end()) {
                ++krnnicUnknown_;
                CFG_INFO("ozy-dpemu: vswitch: no address for krnnic %1", *name);
                return IoctlResult{ENOENT, {}};
            }
            return IoctlResult{0, EncodeKrnnicAddr(it->second.addr)};
        }
        default:
            return Reject(ENOTTY, "unknown command " + Hex32(command));
    }
}

bool VswitchDevice::AddKrnnic(const std::string& name, const Krnnic& nic, std::string* why) {
    if (!EncodeKrnnicName(name)) {
        *why = "kernel NIC names take 1 to 15 characters";
        return false;
    }
    krnnics_[name] = nic;
    CFG_INFO("ozy-dpemu: vswitch: krnnic %1 address %2/%3 on switch %4", name, Dotted(nic.addr.ip),
             Dotted(nic.addr.mask), nic.switchId);
    return true;
}

nlohmann::json VswitchDevice::Dump() const {
    nlohmann::json nics = nlohmann::json::object();
    for (const auto& [name, nic] : krnnics_) {
        nics[name] = {{"ip", Dotted(nic.addr.ip)},
                      {"mask", Dotted(nic.addr.mask)},
                      {"switch_id", nic.switchId}};
    }
    return {{"device", "vswitch"},
            {"netq_handling", netqHandling_},
            {"krnnics", nics},
            {"krnnic_queries", krnnicQueries_},
            {"krnnic_unknown", krnnicUnknown_},
            {"ioctls", ioctls_},
            {"applied", applied_},
            {"rejected", rejections_}};
}

}  // namespace ozy::dpemu

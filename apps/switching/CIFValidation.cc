#include "apps/switching/CIFValidation.h"

#include <cctype>

#include "runtime/Logger.h"

namespace CfgAgent {

namespace {

bool IsUuidText(const std::string& s) {
    if (s.size() != 36)
        return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i])))
            return false;
    }
    return true;
}

}  // namespace

bool ValidateCifVif(const std::string& hostVifId, std::optional<uint32_t> vlan) {
    if (hostVifId.empty()) {
        CFG_ERROR_CODE("LCP00514", "No host VIF ID provided in CIF VIF message");
        return false;
    }
    if (!vlan) {
        CFG_ERROR_CODE("LCP00514", "No vlan ID provided in CIF VIF message");
        return false;
    }
    if (*vlan < kMinCifVlan || *vlan > kMaxCifVlan) {
        CFG_ERROR_CODE("LCP00514", "Invalid CIF vlan ID %1", *vlan);
        return false;
    }
    return true;
}

bool ValidateCifMac(const std::vector<std::optional<uint64_t>>& macs, uint64_t* mac) {
    for (const auto& m : macs) {
        if (!m)
            continue;
        const bool group = ((*m >> 40) & 1) != 0;
        if (*m == 0 || (*m >> 48) != 0 || group) {
            CFG_ERROR_CODE("LCP00514", "Invalid unicast MAC provided in address binding message");
            return false;
        }
        *mac = *m;
        return true;
    }
    CFG_ERROR_CODE("LCP00514", "No valid MAC provided in address binding message");
    return false;
}

std::optional<ChildPortId> ParseChildPortId(const std::string& id) {
    const size_t sep = id.find('_');
    const std::string prefix = id.substr(0, sep);
    const std::string suffix = sep == std::string::npos ? std::string() : id.substr(sep + 1);
    if (!IsUuidText(prefix)) {
        CFG_ERROR_CODE("LCP00514", "Child segment port %1 has invalid prefix %2", id, prefix);
        return std::nullopt;
    }
    uint64_t index = 0;
    bool ok = !suffix.empty() && suffix.size() <= 10;
    for (size_t i = 0; ok && i < suffix.size(); ++i) {
        ok = std::isdigit(static_cast<unsigned char>(suffix[i])) != 0;
        index = index * 10 + static_cast<uint64_t>(suffix[i] - '0');
    }
    if (!ok || index > UINT32_MAX) {
        CFG_ERROR_CODE("LCP00514", "Child segment port %1 has invalid suffix %2", id, suffix);
        return std::nullopt;
    }
    return ChildPortId{prefix, static_cast<uint32_t>(index)};
}

}  // namespace CfgAgent

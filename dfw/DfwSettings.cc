#include "dfw/DfwSettings.h"

#include <climits>
#include <optional>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "dfw/DfwLog.h"

namespace CfgAgent {

namespace {

std::optional<bool> Flag(const boost::property_tree::ptree& config, const char* key) {
    auto text = config.get_optional<std::string>(key);
    if (!text)
        return std::nullopt;
    if (*text == "true" || *text == "1")
        return true;
    if (*text == "false" || *text == "0")
        return false;
    DFW_ERROR_CODE("LCP00001", "dfw: %1 \"%2\" is not a flag, default used", key, *text);
    return std::nullopt;
}

std::optional<int64_t> Number(const boost::property_tree::ptree& config, const char* key,
                              int64_t low, int64_t high) {
    auto text = config.get_optional<std::string>(key);
    if (!text)
        return std::nullopt;
    size_t used = 0;
    int64_t v = 0;
    try {
        v = std::stoll(*text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text->size() || v < low || v > high) {
        DFW_ERROR_CODE("LCP00001", "dfw: %1 \"%2\" is not a number in %3-%4, default used", key,
                       *text, low, high);
        return std::nullopt;
    }
    return v;
}

}  // namespace

DfwSettings DfwSettings::Read(const boost::property_tree::ptree& config) {
    DfwSettings s;
    if (auto v = Number(config, kFilterQueryIntervalKey, 1, 86400))
        s.filterQueryInterval = static_cast<uint32_t>(*v);
    if (auto v = Flag(config, kConfigOptimizationKey))
        s.configOptimization = *v;
    if (auto v = Flag(config, kSkipNtpCheckKey))
        s.skipNtpCheck = *v;
    DFW_INFO("dfw: skip ntp check is enabled: %1", s.skipNtpCheck);
    if (auto v = Number(config, kNtpCheckIntervalKey, 1, 1440))
        s.ntpCheckInterval = static_cast<uint32_t>(*v);
    if (auto v = Number(config, kIpRepMaxEntriesKey, 0, 1 << 26))
        s.ipRepMaxEntries = static_cast<uint32_t>(*v);
    // Negative and zero values leave the built-in 0.
    if (auto v = Number(config, kImportClearTimeoutKey, INT32_MIN, 86400 * 365)) {
        if (*v > 0)
            s.importClearTimeout = static_cast<uint32_t>(*v);
    }
    DFW_INFO("dfw: Filter import clear timeout: %1", s.importClearTimeout);
    return s;
}

}  // namespace CfgAgent

#include "platform/SNUtil.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

#include "platform/HostRoot.h"

namespace SNUtil {

namespace {

struct Settings {
    std::mutex mutex;
    std::map<std::string, std::string> values;
};

Settings& settings() {
    static Settings* s = new Settings();
    return *s;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string lookup(const std::string& key, const char* envName) {
    if (envName != nullptr) {
        const char* v = std::getenv(envName);
        if (v != nullptr && *v != '\0')
            return v;
    }
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.values.find(key);
    return it == s.values.end() ? std::string() : it->second;
}

}  // namespace

void Init() {
    std::map<std::string, std::string> values;
    std::ifstream in(ozy::hostPath(kSettingsFile));
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        values[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.values = std::move(values);
}

int GetNodePersona() {
    std::string v = lookup("persona", "OZY_NODE_PERSONA");
    if (v.empty())
        return 3;
    char* end = nullptr;
    long p = std::strtol(v.c_str(), &end, 10);
    if (end == v.c_str() || *end != '\0' || p < INT32_MIN || p > INT32_MAX)
        return 0;
    return static_cast<int>(p);
}

std::string GetSNHostMgmtIPOnSN() {
    return lookup("host_mgmt_ip", "OZY_SN_HOST_MGMT_IP");
}

std::string GetSNMgmtIPOnSN() {
    return lookup("sn_mgmt_ip", "OZY_SN_MGMT_IP");
}

std::string GetSNUUIDFromIP(const std::string& ip) {
    std::string specific = lookup("sn_uuid." + ip, nullptr);
    if (!specific.empty())
        return specific;
    if (!ip.empty() && ip == GetSNMgmtIPOnSN())
        return lookup("sn_uuid", "OZY_SN_UUID");
    return {};
}

}  // namespace SNUtil

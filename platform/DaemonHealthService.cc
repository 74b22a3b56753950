#include "platform/DaemonHealthService.h"

#include <nlohmann/json.hpp>

namespace ozy {

namespace {
const char* const kStatusNames[] = {"STARTING", "RUNNING", "STOPPING"};
}

DaemonHealthService::DaemonHealthService(const ProductVersion& version)
    : version_(version), started_(std::chrono::steady_clock::now()) {}

bool DaemonHealthService::Handles(const std::string& method) const {
    return method == "echo" || method == "health";
}

void DaemonHealthService::SetStatus(const std::string& status) {
    for (int i = 0; i < 3; ++i) {
        if (status == kStatusNames[i])
            status_.store(i);
    }
}

void DaemonHealthService::SetSubStatusSource(std::function<SubStatus()> source) {
    std::lock_guard<std::mutex> lock(sourceMutex_);
    source_ = std::move(source);
}

bool DaemonHealthService::Call(const std::string& method, const std::string& paramsJson,
                               std::string& resultJson, std::string& error) {
    nlohmann::json params = nlohmann::json::parse(paramsJson, nullptr, false);
    if (method == "echo") {
        if (params.is_array() && !params.empty()) {
            resultJson = params[0].dump();
        } else {
            resultJson = "\"\"";
        }
        return true;
    }
    if (method == "health") {
        nlohmann::json r;
        r["product_version"] = std::to_string(version_.major) + "." +
                               std::to_string(version_.minor) + "." +
                               std::to_string(version_.patch);
        r["build"] = version_.build;
        r["status"] = kStatusNames[status_.load()];
        r["uptime_sec"] = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::steady_clock::now() - started_)
                              .count();
        nlohmann::json sub = nlohmann::json::array();
        {
            std::lock_guard<std::mutex> lock(sourceMutex_);
            if (source_) {
                for (const auto& [name, status] : source_())
                    sub.push_back({{"name", name}, {"status", status}});
            }
        }
        r["sub_status"] = std::move(sub);
        resultJson = r.dump();
        return true;
    }
    error = "unknown method: " + method;
    return false;
}

}  // namespace ozy

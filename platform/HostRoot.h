#pragma once
// Resolution of fixed host paths.
//
// Every fixed path the agent and its tools use (configuration file, sockets, devices, data files)
// goes through hostPath(). When OZY_HOST_ROOT is set, the path is placed under that directory so
// that the whole system can run unprivileged inside a temporary root; otherwise it is used as it
// stands. Log lines keep printing the logical path.
#include <cstdlib>
#include <string>
#include <string_view>

namespace ozy {

// The host root in effect ("" when unset). Read from the environment on every call: it is set once
// before start-up, and reading it fresh keeps tests that change it simple.
inline std::string hostRoot() {
    const char* root = std::getenv("OZY_HOST_ROOT");
    if (root == nullptr || *root == '\0') {
        return std::string();
    }
    std::string r(root);
    while (r.size() > 1 && r.back() == '/') {
        r.pop_back();
    }
    return r;
}

// Maps an absolute logical host path to the path to open.
inline std::string hostPath(std::string_view logicalPath) {
    std::string root = hostRoot();
    if (root.empty() || logicalPath.empty() || logicalPath.front() != '/') {
        return std::string(logicalPath);
    }
    return root + std::string(logicalPath);
}

}  // namespace ozy

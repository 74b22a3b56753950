#pragma once
// A process's resident and peak resident memory, read from /proc.
#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>

namespace ozy::bench {

// VmRSS and VmHWM of `pid` in KiB; zeros when the process is gone.
inline std::pair<long, long> ProcessMemoryKb(pid_t pid) {
    long rss = 0, hwm = 0;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            rss = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0)
            hwm = std::atol(line.c_str() + 6);
    }
    return {rss, hwm};
}

}  // namespace ozy::bench

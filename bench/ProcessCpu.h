#pragma once
// A process's CPU time, summed over its threads from /proc (nanoseconds each): beside a
// wall-clock figure on a machine shared with other work, it tells the work from the waiting.
#include <dirent.h>
#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace ozy::bench {

// Milliseconds of CPU the threads `pid` has now have used; 0 when the process is gone. A thread
// that ended took its time with it.
inline double ProcessCpuMs(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return 0;
    unsigned long long ns = 0;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        // schedstat: time on the CPU (ns), time waiting to run (ns), time slices.
        std::ifstream stat(tasks + "/" + e->d_name + "/schedstat");
        unsigned long long run = 0;
        if (stat >> run)
            ns += run;
    }
    closedir(dir);
    return static_cast<double>(ns) / 1e6;
}

// Waits until `pid` has used less than `share` of one CPU over a whole `window` (its work done, not
// merely paused for a moment), at most `timeout`; whether it did.
inline bool AwaitProcessIdle(pid_t pid, std::chrono::milliseconds window, double share,
                             std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    double before = ProcessCpuMs(pid);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(window);
        const double now = ProcessCpuMs(pid);
        if (now - before < share * static_cast<double>(window.count()))
            return true;
        before = now;
    }
    return false;
}

}  // namespace ozy::bench

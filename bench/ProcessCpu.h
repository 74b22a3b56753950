#pragma once
// A process's CPU time, summed over its threads from /proc (nanoseconds each): beside a
// wall-clock figure on a machine shared with other work, it tells the work from the waiting.
#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>

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

}  // namespace ozy::bench

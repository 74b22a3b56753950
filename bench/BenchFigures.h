#pragma once
// What the in-process benchmarks share: milliseconds of a steady-clock span, the calling thread's
// CPU time, the median and a percentile of a round's figures, a step that must succeed (else the
// run ends, naming the step), and a wait for a condition polled at an interval.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace ozy::bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// CPU time of the calling thread in milliseconds: two sides timed this way stay comparable on a
// machine shared with other work.
inline double ThreadMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The value at fraction `p` (0..1) of the sorted figures (nearest index); 0 without figures.
inline double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

inline void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "benchmark step failed: %s\n", what);
        std::exit(1);
    }
}

// True once `pred` holds, polled every `poll` until `timeout` has passed (then one last try).
inline bool Await(const std::function<bool()>& pred, std::chrono::seconds timeout,
                  std::chrono::milliseconds poll) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(poll);
    }
    return pred();
}

}  // namespace ozy::bench

#pragma once
// What the in-process benchmarks share: milliseconds of a steady-clock span, the median of a
// round's figures, and a step that must succeed (else the run ends, naming the step).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace ozy::bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "benchmark step failed: %s\n", what);
        std::exit(1);
    }
}

}  // namespace ozy::bench

#pragma once
// Names the system benchmarks give their objects: a uuid text numbered by kind and index, and a
// locally administered MAC numbered by index.
#include <cstdio>
#include <string>

namespace ozy::bench {

// "KKKKKKKK-0000-4000-8000-IIIIIIIIIIII" with `kind` and `i` in hexadecimal.
inline std::string Uuid(unsigned kind, unsigned i) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012x", kind, i);
    return buf;
}

// "02:00:" and the four bytes of `i`.
inline std::string Mac(unsigned i) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "02:00:%02x:%02x:%02x:%02x", (i >> 24) & 255, (i >> 16) & 255,
                  (i >> 8) & 255, i & 255);
    return buf;
}

}  // namespace ozy::bench

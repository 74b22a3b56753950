#pragma once
// The descriptors a process keeps in reserve for its own links (the database session, the kernel
// links, files it must open) when local peers connect to its servers: a server refuses a new
// connection whose descriptor falls into the last kFdReserve below the soft RLIMIT_NOFILE. The
// kernel hands out the lowest free descriptor, so a connection's number tells how close to the
// limit the process is.
#include <sys/resource.h>

namespace ozy {

constexpr long kFdReserve = 64;

// True when `fd` (just accepted) lies in the reserve and is to be closed at once.
inline bool FdInReserve(int fd) {
    struct rlimit lim;
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY)
        return false;
    long limit = static_cast<long>(lim.rlim_cur);
    return limit > kFdReserve && fd >= limit - kFdReserve;
}

}  // namespace ozy

#pragma once
// Unix-domain socket addresses for the unixctl server and client (internal to this directory).
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace ozy::unixctl {

// Fills `*addr` for a filesystem socket at `path`. Returns 0, EINVAL for an empty path or one with
// a NUL byte, or ENAMETOOLONG when the path does not fit sun_path with its terminating NUL.
inline int MakeUnixAddress(const std::string& path, sockaddr_un* addr, socklen_t* len) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        return EINVAL;
    }
    std::memset(addr, 0, sizeof(*addr));
    if (path.size() >= sizeof(addr->sun_path)) {
        return ENAMETOOLONG;
    }
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path, path.data(), path.size());
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return 0;
}

}  // namespace ozy::unixctl

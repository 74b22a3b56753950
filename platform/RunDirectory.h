#pragma once
// Creation of the directories that hold the agent's and the emulator's sockets.
//
// A socket directory that others can write to lets them replace the socket, so the directories
// created here get exactly the mode asked for (0755 by default), whatever the process umask:
// mkdir(2) applies the umask (0777 under umask 000, 0700 under 077), so each directory created is
// made private first and then set with chmod(2). Directories that already exist are left as they are (they belong
// to whoever made them, /var/run for one).
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <string>

namespace ozy {

// mkdir -p of `dir` with `mode` on every directory created; 0 or an errno.
inline int MakeRunDirectories(const std::string& dir, mode_t mode = 0755) {
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string part = dir.substr(0, pos);
        // Private while it is being made, then opened to `mode`.
        if (::mkdir(part.c_str(), 0700) == 0) {
            if (::chmod(part.c_str(), mode) != 0)
                return errno;
        } else if (errno != EEXIST) {
            return errno;
        }
    }
    return 0;
}

// The same for the directory of a socket `path`.
inline int MakeRunDirectoriesFor(const std::string& path, mode_t mode = 0755) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return 0;
    return MakeRunDirectories(path.substr(0, slash), mode);
}

}  // namespace ozy

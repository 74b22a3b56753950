#include "tests/support/TestEnv.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace CfgAgent::test {

std::string BinDir() {
    const char* d = getenv("OZY_BIN_DIR");
    return d != nullptr ? d : "build/bin";
}

std::string BinPath(const std::string& program) {
    return BinDir() + "/" + program;
}

void UseOwnBinDir() {
    if (getenv("OZY_BIN_DIR") != nullptr)
        return;
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, static_cast<size_t>(n));
        setenv("OZY_BIN_DIR", dir.substr(0, dir.rfind('/')).c_str(), 1);
    }
}

std::string SourceDir() {
    const char* d = getenv("OZY_SOURCE_DIR");
    return d != nullptr ? d : ".";
}

int FreeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        throw std::runtime_error("bind failed");
    }
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace CfgAgent::test

#include "tests/support/TestEnv.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <vector>

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

namespace {

// Binds a listening-capable socket to 127.0.0.1:port; -1 when the port is taken.
int BindLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int FreeTcpPortRun(int count) {
    // Below the range the kernel hands out for outgoing connections, so that the connections of
    // tests running beside this one cannot take a port of the run before its server binds it.
    int ephemeralLow = 32768;
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    range >> ephemeralLow;
    const int low = 10000;
    const int high = ephemeralLow - count;
    if (count < 1 || high <= low)
        throw std::runtime_error("no room for a run of free ports");
    std::mt19937 pick{std::random_device{}()};
    std::uniform_int_distribution<int> base(low, high);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int first = base(pick);
        std::vector<int> held;
        for (int port = first; port < first + count; ++port) {
            int fd = BindLoopback(port);
            if (fd < 0)
                break;
            held.push_back(fd);
        }
        const bool free = static_cast<int>(held.size()) == count;
        for (int fd : held)
            close(fd);
        if (free)
            return first;
    }
    throw std::runtime_error("no run of free ports found");
}

int FreeTcpPort() {
    // Not one the kernel would hand to a listener bound to port 0: a test peer beside this test
    // could take it before its server binds it, and answer the server's readiness probes.
    return FreeTcpPortRun(1);
}

}  // namespace CfgAgent::test

#include "tests/support/CuttingProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace CfgAgent::test {

namespace {

int Listen(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0)
        throw std::runtime_error("CuttingProxy: cannot listen");
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

int ConnectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, data, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

CuttingProxy::CuttingProxy(int serverPort) : serverPort_(serverPort) {
    listenFd_ = Listen(&port_);
    thread_ = std::thread([this] { Run(); });
}

CuttingProxy::~CuttingProxy() {
    stop_ = true;
    shutdown(listenFd_, SHUT_RDWR);
    thread_.join();
    close(listenFd_);
}

void CuttingProxy::Arm(std::string trigger, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    trigger_ = std::move(trigger);
    action_ = std::move(action);
}

void CuttingProxy::Run() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        int client = accept(listenFd_, nullptr, nullptr);
        if (client < 0)
            continue;
        Relay(client);
        close(client);
    }
}

// One connection at a time: the client library holds one session.
void CuttingProxy::Relay(int client) {
    int server = ConnectTo(serverPort_);
    if (server < 0)
        return;
    char buf[65536];
    bool awaitingAnswer = false;
    std::string seen;  // client bytes since the last check, for a trigger split across reads
    while (!stop_) {
        pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (poll(p, 2, 100) <= 0)
            continue;
        if (p[0].revents != 0) {
            ssize_t n = recv(client, buf, sizeof(buf), 0);
            if (n <= 0 || !SendAll(server, buf, static_cast<size_t>(n)))
                break;
            std::lock_guard<std::mutex> lock(mutex_);
            if (!trigger_.empty()) {
                seen.append(buf, static_cast<size_t>(n));
                awaitingAnswer = awaitingAnswer || seen.find(trigger_) != std::string::npos;
                if (seen.size() > trigger_.size())
                    seen.erase(0, seen.size() - trigger_.size());
            }
        }
        if (p[1].revents != 0) {
            ssize_t n = recv(server, buf, sizeof(buf), 0);
            if (n <= 0)
                break;
            if (awaitingAnswer) {
                std::function<void()> action;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    action = std::move(action_);
                    trigger_.clear();
                }
                cut_ = true;
                if (action)
                    action();
                break;
            }
            if (!SendAll(client, buf, static_cast<size_t>(n)))
                break;
        }
    }
    close(server);
}

}  // namespace CfgAgent::test

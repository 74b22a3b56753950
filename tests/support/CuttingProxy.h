#pragma once
// A TCP relay on a free loopback port in front of a server, for tests of what a client does when
// the server goes away at the worst moment: once armed, the first client message that holds a
// trigger text is relayed, the server's answer awaited (so the request took effect), the action
// run (e.g. kill the server) and the client's connection closed without that answer.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace CfgAgent::test {

class CuttingProxy {
  public:
    explicit CuttingProxy(int serverPort);
    ~CuttingProxy();
    CuttingProxy(const CuttingProxy&) = delete;
    CuttingProxy& operator=(const CuttingProxy&) = delete;

    std::string Endpoint() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    void Arm(std::string trigger, std::function<void()> action);
    // Whether an armed cut happened.
    bool Cut() const { return cut_.load(); }

  private:
    void Run();
    void Relay(int client);

    int serverPort_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
    std::mutex mutex_;
    std::string trigger_;
    std::function<void()> action_;
    std::thread thread_;
};

}  // namespace CfgAgent::test

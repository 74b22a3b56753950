#pragma once
// ozy-dpemu: plays the host's dataplane for the agent. Listens on the kernel-link endpoint of every
// registered family and on every registered device socket under the host root, hands their
// traffic to the handlers (Registry.h), and serves the unixctl control socket
// "/var/run/orvane/ozy-dpemu/dpemu-ctl" (ovs-appctl -t SOCKET COMMAND).
//
// Threads: the event loop runs on the thread that calls Run() and owns all state; the control
// socket is served on a thread of its own, whose command handlers run on the loop through
// EventLoop::Call. SIGTERM, SIGINT and the "exit" command stop both.
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/ozy-dpemu/EventLoop.h"
#include "tools/ozy-dpemu/Handlers.h"

namespace ozy::unixctl {
class Server;
}

namespace ozy::dpemu {

class IdpsService;
class OpsAgent;

constexpr const char* kControlSocket = "/var/run/orvane/ozy-dpemu/dpemu-ctl";

struct EmulatorOptions {
    // Endpoint names by family name, replacing the registry's defaults.
    std::map<std::string, std::string> endpoints;
};

class Emulator : public CommandTable {
  public:
    explicit Emulator(EmulatorOptions options);
    ~Emulator() override;

    // Creates the handlers and every socket, then logs the "ready" line; false (logged) when a
    // socket cannot be created. Call before Run, on the thread that will call Run.
    bool Start();
    void Run();
    // Any thread.
    void Stop();

    void Add(const std::string& name, const std::string& usage, int minArgs, int maxArgs,
             CommandFn fn) override;

  private:
    class FamilyEndpoint;
    class DeviceEndpoint;

    void ControlThread();
    CommandResult Dump(const std::vector<std::string>& args);
    CommandResult OutOfSync(const std::vector<std::string>& args);
    CommandResult LinkDrop(const std::vector<std::string>& args);
    CommandResult List(const std::vector<std::string>& args);
    CommandResult DeviceFail(const std::vector<std::string>& args);

    EmulatorOptions options_;
    EventLoop loop_;
    std::vector<std::unique_ptr<FamilyEndpoint>> endpoints_;
    std::vector<std::unique_ptr<DeviceEndpoint>> devices_;
    // The operations agent: a client of the agent's link socket.
    std::unique_ptr<OpsAgent> opsAgent_;
    // The IDS engine's command and monitor sockets.
    std::unique_ptr<IdpsService> idps_;
    std::unique_ptr<unixctl::Server> control_;
    std::thread controlThread_;
    std::atomic<bool> stopping_{false};
    int signalFd_ = -1;
};

}  // namespace ozy::dpemu

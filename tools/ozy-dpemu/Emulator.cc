#include "tools/ozy-dpemu/Emulator.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform/HostRoot.h"
#include "platform/device/DeviceFrame.h"
#include "platform/krnlink/KrnlinkSockets.h"
#include "platform/unixctl/UnixctlServer.h"
#include "runtime/Logger.h"
#include "tools/ozy-dpemu/DeviceFaults.h"
#include "tools/ozy-dpemu/IdpsService.h"
#include "tools/ozy-dpemu/OpsAgent.h"
#include "tools/ozy-dpemu/Registry.h"
#include "tools/ozy-dpemu/StreamServer.h"

namespace ozy::dpemu {

// One family's endpoint: the listening socket and the handler behind it.
class Emulator::FamilyEndpoint : public LinkChannel {
  public:
    FamilyEndpoint(EventLoop& loop, const FamilyInfo& info, std::string endpoint)
        : info_(info),
          endpoint_(std::move(endpoint)),
          handler_(info.create()),
          server_(loop, krnlink::EndpointLogicalPath(endpoint_), endpoint_, DataplaneFrameSize,
                  StreamServer::Callbacks{[this](uint64_t c) { handler_->OnConnect(c); },
                                          [this](uint64_t c, const uint8_t* m, size_t n) {
                                              handler_->OnMessage(c, m, n);
                                          },
                                          [this](uint64_t c) { handler_->OnDisconnect(c); }}) {
        handler_->Attach(this);
    }
    int Listen() { return server_.Listen(); }
    const std::string& Endpoint() const override { return endpoint_; }
    bool Send(uint64_t conn, const CfgAgent::DpMsg& msg) override {
        return server_.Send(conn, msg.data(), msg.size());
    }
    bool Drop(uint64_t conn) override { return server_.Close(conn); }
    std::vector<uint64_t> Connections() const override { return server_.Connections(); }
    size_t DropAll() { return server_.CloseAll(); }
    const FamilyInfo& Info() const { return info_; }
    FamilyHandler& Handler() { return *handler_; }

  private:
    const FamilyInfo& info_;
    std::string endpoint_;
    std::unique_ptr<FamilyHandler> handler_;
    StreamServer server_;
};

// One device socket: every request frame is answered with one reply frame.
class Emulator::DeviceEndpoint {
  public:
    DeviceEndpoint(EventLoop& loop, const DeviceInfo& info)
        : DeviceEndpoint(loop, info, info.create()) {}
    // A device whose handler belongs to a family handler.
    DeviceEndpoint(EventLoop& loop, const SharedDevice& shared)
        : DeviceEndpoint(loop, DeviceInfo{shared.name, shared.path, shared.description, nullptr},
                         nullptr, shared.handler) {}
    int Listen() { return server_.Listen(); }
    const DeviceInfo& Info() const { return info_; }
    DeviceHandler& Handler() { return *handler_; }
    DeviceFaults& Faults() { return faults_; }

  private:
    void OnFrame(uint64_t conn, const uint8_t* frame, size_t size) {
        device::FrameHeader h;
        device::DecodeFrameHeader(frame, &h);  // checked by the sizer
        IoctlResult r;
        if (uint32_t injected = faults_.Take(); injected != 0) {
            CFG_INFO("ozy-dpemu: device %1: ioctl %2 failed with injected %3 (%4 more pending)",
                     info_.name, h.code, ErrnoStatusName(injected), faults_.pending());
            r.status = injected;
        } else {
            r = handler_->Ioctl(h.code, frame + device::kFrameHeaderSize,
                                size - device::kFrameHeaderSize);
        }
        std::vector<uint8_t> reply =
            device::EncodeFrame(r.status, r.payload.data(), r.payload.size());
        server_.Send(conn, reply.data(), reply.size());
    }

    DeviceEndpoint(EventLoop& loop, DeviceInfo info, std::unique_ptr<DeviceHandler> owned,
                   DeviceHandler* borrowed = nullptr)
        : info_(std::move(info)),
          owned_(std::move(owned)),
          handler_(owned_ ? owned_.get() : borrowed),
          server_(loop, info_.path, info_.path, DeviceFrameSize,
                  StreamServer::Callbacks{
                      nullptr, [this](uint64_t c, const uint8_t* f, size_t n) { OnFrame(c, f, n); },
                      nullptr}) {}

    DeviceInfo info_;
    std::unique_ptr<DeviceHandler> owned_;
    DeviceHandler* handler_;
    DeviceFaults faults_;
    StreamServer server_;
};

Emulator::Emulator(EmulatorOptions options) : options_(std::move(options)) {}

Emulator::~Emulator() {
    Stop();
    if (controlThread_.joinable())
        controlThread_.join();
    control_.reset();
    if (signalFd_ >= 0)
        ::close(signalFd_);
}

void Emulator::Add(const std::string& name, const std::string& usage, int minArgs, int maxArgs,
                   CommandFn fn) {
    control_->RegisterCommand(
        name, usage, minArgs, maxArgs,
        [this, name, fn](unixctl::Connection& conn, const std::vector<std::string>& args) {
            CommandResult result = CommandResult::Error("ozy-dpemu is stopping");
            loop_.Call([&] { result = fn(args); });
            CFG_INFO("ozy-dpemu: control: %1 -> %2", name, result.ok ? "ok" : result.text);
            if (result.ok) {
                conn.Reply(result.text);
            } else {
                conn.ReplyError(result.text);
            }
        });
}

bool Emulator::Start() {
    // Signals become events of the loop; blocked before the control thread exists, so that it
    // inherits the mask.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signalFd_ = ::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd_ >= 0) {
        loop_.Watch(signalFd_, POLLIN, [this](short) {
            signalfd_siginfo si;
            while (::read(signalFd_, &si, sizeof si) == sizeof si) {
                CFG_INFO("ozy-dpemu: signal %1 received, stopping", si.ssi_signo);
            }
            Stop();
        });
    }

    std::string ctlPath = hostPath(kControlSocket);
    if (int rc = MakeParentDirs(ctlPath); rc != 0) {
        CFG_ERROR("ozy-dpemu: cannot create the directory of %1: %2", kControlSocket,
                  std::strerror(rc));
        return false;
    }
    if (int rc = unixctl::Server::Create(ctlPath, &control_); rc != 0) {
        CFG_ERROR("ozy-dpemu: cannot create control socket %1: %2", kControlSocket,
                  std::strerror(rc));
        return false;
    }

    std::map<std::string, std::string> used;
    for (const FamilyInfo& info : BuiltinFamilies()) {
        auto it = options_.endpoints.find(info.name);
        std::string endpoint = it != options_.endpoints.end() ? it->second : info.defaultEndpoint;
        if (!krnlink::IsValidEndpointName(endpoint)) {
            CFG_ERROR("ozy-dpemu: invalid endpoint name \"%1\" for family %2", endpoint, info.name);
            return false;
        }
        if (!used.emplace(endpoint, info.name).second) {
            CFG_ERROR("ozy-dpemu: endpoint %1 given to both %2 and %3", endpoint, used[endpoint],
                      info.name);
            return false;
        }
        auto ep = std::make_unique<FamilyEndpoint>(loop_, info, endpoint);
        if (int rc = ep->Listen(); rc != 0) {
            CFG_ERROR("ozy-dpemu: cannot listen on endpoint %1 (%2): %3",
                      krnlink::EndpointLogicalPath(endpoint), info.name, std::strerror(rc));
            return false;
        }
        CFG_INFO("ozy-dpemu: family %1 listening on %2", info.name,
                 krnlink::EndpointLogicalPath(endpoint));
        endpoints_.push_back(std::move(ep));
    }
    for (auto& ep : endpoints_) {
        ep->Handler().FindPeers([this](const std::string& name) -> FamilyHandler* {
            for (auto& other : endpoints_) {
                if (other->Info().name == name)
                    return &other->Handler();
            }
            return nullptr;
        });
    }
    std::vector<std::unique_ptr<DeviceEndpoint>> devices;
    for (const DeviceInfo& info : BuiltinDevices())
        devices.push_back(std::make_unique<DeviceEndpoint>(loop_, info));
    for (auto& ep : endpoints_) {
        SharedDevice shared = ep->Handler().Device();
        if (shared.handler != nullptr)
            devices.push_back(std::make_unique<DeviceEndpoint>(loop_, shared));
    }
    for (auto& dev : devices) {
        if (int rc = dev->Listen(); rc != 0) {
            CFG_ERROR("ozy-dpemu: cannot listen on device %1: %2", dev->Info().path,
                      std::strerror(rc));
            return false;
        }
        CFG_INFO("ozy-dpemu: device %1 listening on %2", dev->Info().name, dev->Info().path);
        devices_.push_back(std::move(dev));
    }

    opsAgent_ = std::make_unique<OpsAgent>(loop_);
    if (!opsAgent_->Start())
        return false;
    opsAgent_->RegisterCommands(*this);
    idps_ = std::make_unique<IdpsService>(loop_);
    if (!idps_->Start())
        return false;
    idps_->RegisterCommands(*this);

    Add("dpemu/dump", "FAMILY", 1, 1, [this](const auto& a) { return Dump(a); });
    Add("dpemu/out-of-sync", "FAMILY [ARGS...]", 1, 4,
        [this](const auto& a) { return OutOfSync(a); });
    Add("dpemu/link-drop", "ENDPOINT", 1, 1, [this](const auto& a) { return LinkDrop(a); });
    Add("dpemu/list", "", 0, 0, [this](const auto& a) { return List(a); });
    Add("dpemu/device-fail", "DEVICE COUNT STATUS", 3, 3,
        [this](const auto& a) { return DeviceFail(a); });
    Add("exit", "", 0, 0, [this](const std::vector<std::string>&) {
        CFG_INFO("ozy-dpemu: exit requested");
        stopping_ = true;
        loop_.Stop();
        return CommandResult::Ok("");
    });
    for (auto& ep : endpoints_)
        ep->Handler().RegisterCommands(*this);
    for (auto& dev : devices_)
        dev->Handler().RegisterCommands(*this);

    controlThread_ = std::thread([this] { ControlThread(); });
    CFG_INFO("ozy-dpemu: ready: %1 endpoints, %2 devices, control socket %3", endpoints_.size(),
             devices_.size(), kControlSocket);
    return true;
}

void Emulator::ControlThread() {
    while (!stopping_.load()) {
        control_->Run();
        if (stopping_.load())
            break;
        control_->Wait(-1);
    }
    // Answer what is already pending (the "exit" reply) before the socket goes.
    control_->Run();
}

void Emulator::Run() {
    loop_.Run();
    Stop();
    if (controlThread_.joinable())
        controlThread_.join();
    CFG_INFO("ozy-dpemu: stopped");
}

void Emulator::Stop() {
    stopping_ = true;
    loop_.Stop();
    if (control_)
        control_->Wake();
}

CommandResult Emulator::Dump(const std::vector<std::string>& args) {
    for (auto& ep : endpoints_) {
        if (ep->Info().name == args[0])
            return CommandResult::Ok(ep->Handler().Dump().dump(2));
    }
    for (auto& dev : devices_) {
        if (dev->Info().name == args[0])
            return CommandResult::Ok(dev->Handler().Dump().dump(2));
    }
    for (auto& ep : endpoints_) {
        nlohmann::json part;
        if (ep->Handler().DumpPart(args[0], &part))
            return CommandResult::Ok(part.dump(2));
    }
    if (args[0] == "opsagent" && opsAgent_)
        return CommandResult::Ok(opsAgent_->Dump().dump(2));
    if (args[0] == "idps" && idps_)
        return CommandResult::Ok(idps_->Dump().dump(2));
    std::string known = " opsagent idps";
    for (auto& ep : endpoints_)
        known += " " + ep->Info().name;
    for (auto& dev : devices_)
        known += " " + dev->Info().name;
    for (auto& ep : endpoints_) {
        for (const std::string& part : ep->Handler().PartNames())
            known += " " + part;
    }
    return CommandResult::Error("unknown family \"" + args[0] + "\"; known:" + known);
}

CommandResult Emulator::OutOfSync(const std::vector<std::string>& args) {
    for (auto& ep : endpoints_) {
        if (ep->Info().name == args[0]) {
            return ep->Handler().OutOfSync(std::vector<std::string>(args.begin() + 1, args.end()));
        }
    }
    return CommandResult::Error("unknown family \"" + args[0] + "\"");
}

CommandResult Emulator::LinkDrop(const std::vector<std::string>& args) {
    for (auto& ep : endpoints_) {
        if (ep->Endpoint() == args[0] || ep->Info().name == args[0]) {
            size_t n = ep->DropAll();
            if (n == 0)
                return CommandResult::Error("no connection on " + ep->Endpoint());
            CFG_INFO("ozy-dpemu: dropped %1 connection(s) on %2", n, ep->Endpoint());
            return CommandResult::Ok("dropped " + std::to_string(n) + " connection(s) on " +
                                     ep->Endpoint());
        }
    }
    return CommandResult::Error("unknown endpoint \"" + args[0] + "\"");
}

CommandResult Emulator::DeviceFail(const std::vector<std::string>& args) {
    DeviceEndpoint* dev = nullptr;
    for (auto& d : devices_) {
        if (d->Info().name == args[0] || d->Info().path == args[0])
            dev = d.get();
    }
    if (dev == nullptr)
        return CommandResult::Error("unknown device \"" + args[0] + "\"");
    const std::string& countText = args[1];
    uint64_t count = 0;
    if (countText.empty() || countText.size() > 9 ||
        countText.find_first_not_of("0123456789") != std::string::npos)
        return CommandResult::Error("bad count \"" + countText + "\" (0-999999999)");
    count = std::stoull(countText);
    uint32_t status = 0;
    if (!ParseErrnoStatus(args[2], &status) || status == 0)
        return CommandResult::Error("bad status \"" + args[2] +
                                    "\" (an errno name such as EIO, or a value 1-4095)");
    dev->Faults().Arm(count, status);
    CFG_INFO("ozy-dpemu: device %1: the next %2 ioctl(s) fail with %3", dev->Info().name, count,
             ErrnoStatusName(status));
    return CommandResult::Ok("next " + std::to_string(count) + " ioctl(s) of " + dev->Info().name +
                             " fail with " + ErrnoStatusName(status));
}

CommandResult Emulator::List(const std::vector<std::string>&) {
    nlohmann::json families = nlohmann::json::array();
    for (auto& ep : endpoints_) {
        families.push_back({{"name", ep->Info().name},
                            {"endpoint", ep->Endpoint()},
                            {"description", ep->Info().description},
                            {"connections", ep->Connections().size()}});
    }
    nlohmann::json devices = nlohmann::json::array();
    for (auto& dev : devices_) {
        devices.push_back({{"name", dev->Info().name},
                           {"path", dev->Info().path},
                           {"description", dev->Info().description},
                           {"faults", dev->Faults().State()}});
    }
    return CommandResult::Ok(nlohmann::json{{"families", families}, {"devices", devices}}.dump(2));
}

}  // namespace ozy::dpemu

// The firewall library's transfer to ozy-dpemu ("/dev/ozy-tarp"), each figure beside a baseline
// measured in the same run:
//
//   1. FW_EvaluateConfigFile of a 3,000-rule list whose segment the device does not hold yet
//      (encode, upload, apply), beside a raw write of the same bytes (the segment, then the
//      configuration) over the device socket. Target ratio <= 2.
//   2. The same list applied to 1,000 filters (segments present), beside 1,000 empty ioctl round
//      trips. Target ratio <= 3.
//
//   build-rel/bench/bench_tarp [ROUNDS]
//
// Both sides pay the emulator's own work (parsing the segment, applying the configuration); the
// ratios are what the library adds. Medians of ROUNDS (default 5) rounds are printed.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchFigures.h"
#include "platform/HostRoot.h"
#include "platform/device/DeviceClient.h"
#include "platform/device/DeviceFrame.h"
#include "platform/tarp/CTarpFWCmdList.h"
#include "platform/tarp/CTarpFWRuleBuilder.h"
#include "platform/tarp/TarpFw.h"
#include "platform/tarp/TarpTestSeam.h"
#include "platform/tarp/TarpWire.h"
#include "platform/unixctl/UnixctlClient.h"

namespace {

using ozy::bench::Check;
using ozy::bench::Clock;
using ozy::bench::Median;
using ozy::bench::Ms;
using namespace TarpFirewall;
namespace w = ozy::tarp;

constexpr int kRules = 3000;
constexpr int kFilters = 1000;

class Emulator {
  public:
    Emulator() {
        char tmpl[] = "/tmp/ozy-tarp-bench-XXXXXX";
        root_ = mkdtemp(tmpl);
        setenv("OZY_HOST_ROOT", root_.c_str(), 1);
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open((root_ + "/dpemu.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(OZY_DPEMU_PATH, OZY_DPEMU_PATH, "--host-root", root_.c_str(), "--log-level",
                  "warn", static_cast<char*>(nullptr));
            _exit(127);
        }
        std::string dev = ozy::hostPath("/dev/ozy-tarp");
        for (int i = 0; i < 3000 && access(dev.c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::string ctl = ozy::hostPath("/var/run/orvane/ozy-dpemu/dpemu-ctl");
        if (control_.Connect(ctl) != 0) {
            std::fprintf(stderr, "cannot reach the emulator's control socket\n");
            std::exit(1);
        }
    }
    ~Emulator() {
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
        std::string cmd = "rm -rf '" + root_ + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", root_.c_str());
    }
    void Command(const std::string& method, const std::vector<std::string>& args) {
        ozy::unixctl::Reply reply;
        if (control_.Transact(method, args, &reply) != 0 || !reply.success) {
            std::fprintf(stderr, "%s failed: %s\n", method.c_str(), reply.text.c_str());
            std::exit(1);
        }
    }

  private:
    std::string root_;
    pid_t pid_ = -1;
    ozy::unixctl::Client control_;
};

// 3,000 rules: tcp/udp to a port range, sources and destinations from two address sets.
std::shared_ptr<const CTarpFWSegment> Rules(uint32_t variant) {
    std::vector<std::shared_ptr<const CTarpFWRule>> rules;
    rules.reserve(kRules);
    for (uint32_t i = 0; i < kRules; ++i) {
        CTarpFWRuleBuilder b;
        b.setId(i + 1);
        b.setAction(i % 7 == 0 ? w::kActionDrop : w::kActionAllow, "");
        b.setDirection(i % 3);
        b.setProtocol(i % 2 ? 6 : 17, false);
        b.setDestPort(1000 + i % 5000, 1000 + i % 5000 + i % 10, false);
        b.setContainer(RuleSide::kSource, "clients");
        b.setContainer(RuleSide::kDest, "servers");
        b.setTag("variant-" + std::to_string(variant));
        auto r = b.buildRule();
        r->setTCPStrict(i % 2 == 1);
        rules.emplace_back(r.release());
    }
    return std::make_shared<const CTarpFWSegment>(std::move(rules));
}

void Fill(CTarpFWCmdList& list, const std::shared_ptr<const CTarpFWSegment>& seg) {
    static auto clients = [] {
        auto s = std::make_shared<CTarpFWAddrSet>("clients");
        for (int i = 0; i < 64; ++i)
            s->addAddress(CTarpFWAddress::IPv4(0x0A000000u + (uint32_t(i) << 8), 24));
        return std::shared_ptr<const CTarpFWAddrSet>(s);
    }();
    static auto servers = [] {
        auto s = std::make_shared<CTarpFWAddrSet>("servers");
        s->addAddress(CTarpFWAddress::IPv4(0xC0A80000u, 16));
        return std::shared_ptr<const CTarpFWAddrSet>(s);
    }();
    list.addCreateAddrSet(clients);
    list.addCreateAddrSet(servers);
    list.addCreateRuleSet("mainrs", {seg});
    list.addSetRootRuleSets({"mainrs"});
}

// A device that answers every request well and keeps what the library sent (not the greeting).
class Recorder : public ozy::device::IDeviceOpener {
  public:
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> frames;

    std::unique_ptr<ozy::device::IDevice> Open(const std::string&, int* err) override {
        *err = 0;
        return std::make_unique<Dev>(*this);
    }

  private:
    class Dev : public ozy::device::IDevice {
      public:
        explicit Dev(Recorder& r) : r_(r) {}
        int Ioctl(uint32_t command, const void* in, size_t size, uint32_t* status,
                  std::vector<uint8_t>* out) override {
            *status = 0;
            if (command == w::kCmdHello) {
                if (out != nullptr)
                    out->assign(w::kHelloReplySize, 1);
                return 0;
            }
            const uint8_t* p = static_cast<const uint8_t*>(in);
            r_.frames.emplace_back(command, std::vector<uint8_t>(p, p + size));
            if (out != nullptr)
                out->clear();
            return 0;
        }
        int Close() override { return 0; }

      private:
        Recorder& r_;
    };
};

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    Emulator emu;
    for (int i = 0; i < kFilters; ++i)
        emu.Command("dpemu/filter-create", {"vm" + std::to_string(i), "vif", "lsp"});
    const char* options[] = {"FWIODeviceName", "/dev/ozy-tarp"};
    FW_Handle* h = nullptr;
    Check(FW_Initialize(FW_LIB_VERSION, nullptr, 1, 2, options, &h) == 0, "initialize");
    ozy::device::DeviceSocket raw;
    Check(raw.Open("/dev/ozy-tarp") == 0, "open the device");

    // 1. A 3,000-rule list that the device has not seen, through the library and raw. The raw
    // side replays the frames the library produced for another variant (recorded off-device).
    Recorder recorder;
    TarpFirewall::detail::SetDeviceOpenerForTest(&recorder);
    FW_Handle* rec = nullptr;
    Check(FW_Initialize(FW_LIB_VERSION, nullptr, 1, 2, options, &rec) == 0, "recorder");
    TarpFirewall::detail::SetDeviceOpenerForTest(nullptr);
    std::vector<double> lib, rawMs;
    size_t bytes = 0;
    uint32_t variant = 0;
    for (int r = 0; r < rounds; ++r) {
        auto seg = Rules(++variant);
        Clock::time_point t0 = Clock::now();
        {
            CTarpFWCmdList list;
            ScopedConfigFile guard(&list);
            Fill(list, seg);
            Check(FW_EvaluateConfigFile(h, &list, "vm0", 0) == 0, "library apply");
        }
        lib.push_back(Ms(Clock::now() - t0));

        recorder.frames.clear();
        {
            CTarpFWCmdList list;
            ScopedConfigFile guard(&list);
            Fill(list, Rules(++variant));
            Check(FW_EvaluateConfigFile(rec, &list, "vm1", 0) == 0, "recording");
        }
        bytes = 0;
        for (const auto& f : recorder.frames)
            bytes += f.second.size();
        t0 = Clock::now();
        for (const auto& [command, payload] : recorder.frames) {
            uint32_t st = 1;
            Check(raw.Ioctl(command, payload.data(), payload.size(), &st, nullptr) == 0 &&
                      (st == 0 || st == 21),
                  "raw write");
        }
        rawMs.push_back(Ms(Clock::now() - t0));
    }
    FW_Terminate(rec);

    // 2. The same list to 1,000 filters, segments present, beside 1,000 empty round trips.
    auto seg = Rules(++variant);
    std::vector<double> pass, trips;
    for (int r = 0; r < rounds; ++r) {
        Clock::time_point t0 = Clock::now();
        for (int i = 0; i < kFilters; ++i) {
            CTarpFWCmdList list;
            ScopedConfigFile guard(&list);
            Fill(list, seg);
            std::string name = "vm" + std::to_string(i);
            int st = FW_EvaluateConfigFile(h, &list, name.c_str(), 0);
            Check(st == 0 || st == 21, "pass apply");
        }
        pass.push_back(Ms(Clock::now() - t0));
        t0 = Clock::now();
        for (int i = 0; i < kFilters; ++i) {
            uint32_t st = 1;
            std::vector<uint8_t> out;
            Check(raw.Ioctl(w::kCmdHello, nullptr, 0, &st, &out) == 0 && st == 0, "round trip");
        }
        trips.push_back(Ms(Clock::now() - t0));
    }
    FW_Terminate(h);

    double a = Median(lib), b = Median(rawMs), c = Median(pass), d = Median(trips);
    std::printf(
        "3,000-rule list, new segment (%zu bytes): library %.2f ms, raw writes %.2f ms, "
        "ratio %.2f (target <= 2)\n",
        bytes, a, b, a / b);
    std::printf(
        "1,000 filters, segments present: library %.2f ms, 1,000 empty round trips %.2f "
        "ms, ratio %.2f (target <= 3)\n",
        c, d, c / d);
    return 0;
}

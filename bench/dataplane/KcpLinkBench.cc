// KCP Update messages built by KCPMsgConvertor and sent over the agent's kernel link to ozy-dpemu,
// against a plain write loop of the same bytes over a stream socket to the same emulator endpoint.
//
//   build-rel/bench/bench_kcp_link [--benchmark_filter=...]
//
// Each benchmark iteration sends a batch of Port Property Updates and ends with a DP Status Query
// whose answer proves that the emulator has read and applied the whole batch, so the figures are
// end to end: built, queued, written, framed and applied. Compare bytes_per_second of
// BM_LinkToEmulator with BM_PlainWritesToEmulator for the ratio. BM_PlainWritesDiscarded gives the
// transport's own ceiling (a socket pair whose reader discards).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "dataplane/DataplaneKrnlink.h"
#include "dataplane/KCPMsgConvertor.h"
#include "dataplane/KcpBuilders.h"
#include "dataplane/KcpPropertyTable.h"
#include "platform/HostRoot.h"
#include "platform/krnlink/KrnlinkSockets.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "runtime/WorkGroup.h"

namespace {

using namespace CfgAgent;

constexpr int kBatch = 2000;

// The emulator in a private host root for the whole run.
class Emulator {
  public:
    Emulator() {
        char tmpl[] = "/tmp/ozy-bench-XXXXXX";
        root_ = mkdtemp(tmpl);
        setenv("OZY_HOST_ROOT", root_.c_str(), 1);
        log_ = root_ + "/dpemu.log";
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(OZY_DPEMU_PATH, OZY_DPEMU_PATH, "--host-root", root_.c_str(), "--log-level",
                  "warn", static_cast<char*>(nullptr));
            _exit(127);
        }
        // The ready line is at info level, which is off here: wait for the endpoint instead.
        std::string ep = ozy::krnlink::EndpointPath("ozy_kcp_krnlink");
        for (int i = 0; i < 3000 && access(ep.c_str(), F_OK) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // The control socket is created before the endpoints, the devices after them.
        std::string last = ozy::hostPath("/dev/vswitch");
        for (int i = 0; i < 3000 && access(last.c_str(), F_OK) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Emulator() {
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
        std::string cmd = "rm -rf '" + root_ + "'";
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "could not remove %s\n", root_.c_str());
        }
    }

  private:
    std::string root_;
    std::string log_;
    pid_t pid_ = -1;
};

std::unique_ptr<Emulator> g_emulator;

Emulator& TheEmulator() {
    if (!g_emulator)
        g_emulator = std::make_unique<Emulator>();
    return *g_emulator;
}

// The agent side: link, convertor, and a counter of DP Status answers.
class Agent : public IConfigApp {
  public:
    Agent() {
        link_ = new DataplaneKrnlink(
            "ozy_kcp_krnlink",
            [this](const uint8_t* m, size_t n) {
                if (n >= 4 && DpMsgType(m) == kcp::kMsgNotification) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++answers_;
                    cv_.notify_all();
                }
            },
            [this](DataplaneLink*, int s) {
                std::lock_guard<std::mutex> lock(mutex_);
                up_ = s == DataplaneLink::kLinkUp;
                cv_.notify_all();
            },
            nullptr, 10240);
        link_->Start();
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(30), [this] { return up_; });
        convertor_ = new KCPMsgConvertor(this);
    }
    ~Agent() override { link_->Stop(); }
    bool SendKcpMessage(DpMsg msg) override { return link_->Send(std::move(msg)); }
    KCPMsgConvertor& Convertor() { return *convertor_; }
    DataplaneLink& Link() { return *link_; }
    bool Up() {
        std::lock_guard<std::mutex> lock(mutex_);
        return up_;
    }
    // Sends a DP Status Query and waits for its answer.
    void Fence() {
        uint64_t want;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            want = answers_ + 1;
        }
        link_->Send(kcp::BuildDpStatusQuery());
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(60), [&] { return answers_ >= want; });
    }

  private:
    ozy::RefPtr<DataplaneKrnlink> link_;
    ozy::RefPtr<KCPMsgConvertor> convertor_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool up_ = false;
    uint64_t answers_ = 0;
};

std::unique_ptr<Agent> g_agent;

Agent& TheAgent() {
    TheEmulator();
    if (!g_agent) {
        Logger::setLevel(kLogWarn);
        Logger::setSyslog(false);
        SetThreadCounts(1, 4);
        WorkGroups::Start(nullptr);
        g_agent = std::make_unique<Agent>();
    }
    return *g_agent;
}

std::vector<std::vector<uint8_t>> PortProperties(int i) {
    std::vector<uint8_t> vni = {0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    return {kcp::MakeKcpProperty(kcp::kPropVni, vni), kcp::MakeKcpProperty(kcp::kPropVlan, {0, 10}),
            kcp::MakeKcpProperty(kcp::kPropBlock, {0}),
            kcp::MakeKcpProperty(kcp::kPropMacManagement, {1, 0, 0, 16, 0, 1, 0})};
}

std::string PortId(int i) {
    return "port-" + std::to_string(i % 512);
}

// Built, queued and sent by the agent's link; applied by the emulator.
void BM_LinkToEmulator(benchmark::State& state) {
    Agent& agent = TheAgent();
    if (!agent.Up()) {
        state.SkipWithError("link to ozy-dpemu is not up");
        return;
    }
    int64_t bytes = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            kcp::KcpUpdateBuilder u;
            u.AddPortProperties(kcp::kOpUpdate, {{PortId(i), PortProperties(i)}});
            bytes += static_cast<int64_t>(u.UnfragmentedSize());
            agent.Convertor().SendUpdate(u);
        }
        agent.Fence();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.SetBytesProcessed(bytes);
    state.counters["msgs_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kBatch), benchmark::Counter::kIsRate);
}

int ConnectEndpoint() {
    std::string path = ozy::krnlink::EndpointPath("ozy_kcp_krnlink");
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The same messages, built once, written in a plain loop to the same emulator endpoint.
void BM_PlainWritesToEmulator(benchmark::State& state) {
    TheAgent();  // same process set-up as the link benchmark
    int fd = ConnectEndpoint();
    if (fd < 0) {
        state.SkipWithError("cannot connect to ozy-dpemu");
        return;
    }
    std::vector<DpMsg> msgs;
    for (int i = 0; i < kBatch; ++i) {
        kcp::KcpUpdateBuilder u;
        u.AddPortProperties(kcp::kOpUpdate, {{PortId(i), PortProperties(i)}});
        msgs.push_back(u.Build().at(0));
    }
    DpMsg query = kcp::BuildDpStatusQuery();
    int64_t bytes = 0;
    for (auto _ : state) {
        for (const DpMsg& m : msgs) {
            if (!WriteAll(fd, m.data(), m.size())) {
                state.SkipWithError("write failed");
                break;
            }
            bytes += static_cast<int64_t>(m.size());
        }
        WriteAll(fd, query.data(), query.size());
        uint8_t answer[9];
        if (recv(fd, answer, sizeof answer, MSG_WAITALL) != sizeof answer) {
            state.SkipWithError("no answer");
            break;
        }
    }
    close(fd);
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.SetBytesProcessed(bytes);
    state.counters["msgs_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kBatch), benchmark::Counter::kIsRate);
}

// The transport alone: a socket pair whose other end discards what it reads.
void BM_PlainWritesDiscarded(benchmark::State& state) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    std::thread reader([&] {
        std::vector<uint8_t> buf(65536);
        while (recv(sv[1], buf.data(), buf.size(), 0) > 0) {
        }
    });
    kcp::KcpUpdateBuilder u;
    u.AddPortProperties(kcp::kOpUpdate, {{PortId(1), PortProperties(1)}});
    DpMsg m = u.Build().at(0);
    int64_t bytes = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            WriteAll(sv[0], m.data(), m.size());
            bytes += static_cast<int64_t>(m.size());
        }
    }
    shutdown(sv[0], SHUT_WR);
    reader.join();
    close(sv[0]);
    close(sv[1]);
    state.SetBytesProcessed(bytes);
    state.counters["msgs_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kBatch), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_LinkToEmulator)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainWritesToEmulator)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainWritesDiscarded)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_agent.reset();
    WorkGroups::Stop();
    g_emulator.reset();
    return 0;
}

// The operations-agent link's round trip: 1 KiB LcpDpMsg frames sent by a client over the link's
// Unix socket, echoed by a handler registered on CfgUdsLink (parse, dispatch under the agent lock,
// serialise, queue the write), beside the same frames echoed over a raw socket pair by a thread
// that only reads and writes the bytes back. Target ratio <= 2.
//
//   build-rel/bench/bench_lcp_link [ROUND_TRIPS [ROUNDS]]   (default 5000 round trips, 5 rounds)
//
// Each round trip is one frame written and its echo read whole by a blocking client, so both
// sides pay the same client work and the same kernel socket; the ratio is what the link adds.
// Medians of the rounds are printed.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <google/protobuf/wrappers.pb.h>

#include "bench/BenchFigures.h"
#include "cli/udslink/CfgUdsLink.h"
#include "cli/udslink/LcpFrameLayout.h"
#include "platform/HostRoot.h"
#include "platform/LibraryLogLevels.h"
#include "proto/lcp.pb.h"
#include "runtime/Logger.h"

namespace {

using ozy::bench::Check;
using ozy::bench::Clock;
using ozy::bench::Median;
using ozy::bench::Ms;
using Bytes = std::vector<uint8_t>;
namespace lcp = CfgAgent::lcp;

constexpr size_t kPayloadBytes = 1024;
constexpr const char* kLinkPath = "/run/bench/ozya_link";

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// One whole frame (header, then the length it announces) into `frame`.
bool ReadFrame(int fd, Bytes* frame) {
    frame->resize(lcp::kFrameHeaderSize);
    if (!ReadAll(fd, frame->data(), lcp::kFrameHeaderSize))
        return false;
    const uint8_t* h = frame->data();
    size_t total = (size_t(h[2]) << 24) | (size_t(h[3]) << 16) | (size_t(h[4]) << 8) | h[5];
    if (total < lcp::kFrameHeaderSize || total > lcp::kMaxFrameSize)
        return false;
    frame->resize(total);
    return ReadAll(fd, frame->data() + lcp::kFrameHeaderSize, total - lcp::kFrameHeaderSize);
}

// A frame carrying an LcpDpMsg whose payload holds kPayloadBytes bytes.
Bytes EchoFrame() {
    google::protobuf::BytesValue value;
    std::string data(kPayloadBytes, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + 1);
    value.set_value(data);
    orvane::ozy::lcp::LcpDpMsg msg;
    msg.mutable_payload()->PackFrom(value);
    std::string body = msg.SerializeAsString();
    uint32_t total = static_cast<uint32_t>(body.size() + lcp::kFrameHeaderSize);
    Bytes f = {0,
               lcp::kMsgTypeDpMsg,
               uint8_t(total >> 24),
               uint8_t(total >> 16),
               uint8_t(total >> 8),
               uint8_t(total)};
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

// `count` round trips of `frame` on `fd`; every echo must equal the frame.
double RoundTrips(int fd, const Bytes& frame, int count) {
    Bytes echo;
    Clock::time_point t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        Check(WriteAll(fd, frame.data(), frame.size()), "write a frame");
        Check(ReadFrame(fd, &echo), "read the echo");
    }
    double ms = Ms(Clock::now() - t0);
    Check(echo == frame, "the echo equals the frame");
    return ms;
}

int ConnectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Check(fd >= 0, "socket");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    Check(path.size() < sizeof addr.sun_path, "socket path length");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    Check(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "connect");
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    CfgAgent::Logger::setLevel(CfgAgent::kLogWarn);
    CfgAgent::Logger::setSyslog(false);
    ozy::net::library_log_level = CfgAgent::kLogWarn;
    char tmpl[] = "/tmp/ozy-bench-lcp-XXXXXX";
    Check(::mkdtemp(tmpl) != nullptr, "mkdtemp");
    const std::string root = tmpl;
    ::setenv("OZY_HOST_ROOT", root.c_str(), 1);

    // The link, with a handler that sends every message it gets back as it came.
    auto link = std::make_shared<CfgAgent::CfgUdsLink>(kLinkPath);
    CfgAgent::CfgUdsLink* raw = link.get();
    Check(link->RegisterHandler(google::protobuf::BytesValue::descriptor()->full_name(),
                                [raw](const orvane::ozy::lcp::LcpDpMsg& m) { raw->Send(m); }),
          "register the echo handler");
    Check(link->Start(), "start the link");
    int client = ConnectTo(ozy::hostPath(kLinkPath));

    // The baseline: a thread echoing whole frames over a socket pair.
    int pair[2];
    Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    std::thread echo([fd = pair[1]] {
        Bytes f;
        while (ReadFrame(fd, &f) && WriteAll(fd, f.data(), f.size())) {
        }
    });

    const Bytes frame = EchoFrame();
    // Warm both paths (first connection, allocations) before measuring.
    RoundTrips(client, frame, std::min(trips, 200));
    RoundTrips(pair[0], frame, std::min(trips, 200));
    std::vector<double> viaLink, viaPair;
    for (int r = 0; r < rounds; ++r) {
        viaLink.push_back(RoundTrips(client, frame, trips));
        viaPair.push_back(RoundTrips(pair[0], frame, trips));
    }

    ::close(client);
    ::shutdown(pair[0], SHUT_RDWR);
    echo.join();
    ::close(pair[0]);
    ::close(pair[1]);
    link->Stop();
    std::string cmd = "rm -rf '" + root + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", root.c_str());

    double a = Median(viaLink), b = Median(viaPair);
    std::printf(
        "%d round trips of a %zu-byte frame (1 KiB LcpDpMsg payload): CfgUdsLink and an echo "
        "handler %.2f ms (%.1f us each), raw socket pair echo %.2f ms (%.1f us each), ratio %.2f "
        "(target <= 2)\n",
        trips, frame.size(), a, a * 1000 / trips, b, b * 1000 / trips, a / b);
    return 0;
}

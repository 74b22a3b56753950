#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "platform/DaemonHealthService.h"
#include "platform/rpc/RpcServer.h"
#include "runtime/AgentClock.h"
#include "runtime/AgentLock.h"
#include "runtime/WorkGroup.h"
#include "tests/support/Await.h"
#include "tests/support/LogCapture.h"

namespace ozy::rpc {
namespace {

TEST(ParseTcpUrlTest, AcceptsHostPortAndRejectsMalformed) {
    std::string host;
    int port = -1;
    EXPECT_TRUE(ParseTcpUrl("tcp://127.0.0.1:4097", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 4097);
    EXPECT_TRUE(ParseTcpUrl("tcp://[::1]:0", host, port));
    EXPECT_EQ(host, "::1");
    for (const char* bad :
         {"udp://1.2.3.4:1", "tcp://1.2.3.4", "tcp://:80", "tcp://h:99999", "tcp://h:8x"}) {
        EXPECT_FALSE(ParseTcpUrl(bad, host, port)) << bad;
    }
}

class RpcServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CfgAgent::SetThreadCounts(1, 4);
        CfgAgent::WorkGroups::Start(nullptr);
        version.major = 2;
        version.minor = 3;
        server = RpcFactory()
                     .NewServerBuilder()
                     .AddListeningEndpoint("tcp://127.0.0.1:0")
                     .AddLocalEndpointId("test")
                     .RegisterService(&health, ServiceOptions())
                     .BuildStarted();
        url = server->BoundEndpoint();
    }
    void TearDown() override {
        server->Shutdown();
        CfgAgent::WorkGroups::Stop();
        CfgAgent::SetThreadCounts(2, 32);
    }
    ProductVersion version;
    DaemonHealthService health{version};
    std::unique_ptr<Server> server;
    std::string url;
};

TEST_F(RpcServerTest, EchoAndHealthAnswer) {
    std::string result, error;
    ASSERT_TRUE(CallOnce(url, "echo", "[\"ping\"]", result, error)) << error;
    EXPECT_EQ(result, "\"ping\"");
    ASSERT_TRUE(CallOnce(url, "health", "[]", result, error)) << error;
    EXPECT_NE(result.find("\"product_version\":\"0.0.0\""),
              std::string::npos);  // version copied at construction
    EXPECT_NE(result.find("\"status\":\"STARTING\""), std::string::npos);
    health.SetStatus("RUNNING");
    ASSERT_TRUE(CallOnce(url, "health", "[]", result, error));
    EXPECT_NE(result.find("\"status\":\"RUNNING\""), std::string::npos);
    EXPECT_FALSE(CallOnce(url, "reboot", "[]", result, error));
    EXPECT_EQ(error, "unknown method: reboot");
}

TEST_F(RpcServerTest, HealthCarriesTheSubStatusesOfItsSource) {
    std::string result, error;
    ASSERT_TRUE(CallOnce(url, "health", "[]", result, error)) << error;
    EXPECT_NE(result.find("\"sub_status\":[]"), std::string::npos) << result;
    std::string connection = "DOWN";
    health.SetSubStatusSource([&connection] {
        return DaemonHealthService::SubStatus{{"cfgagent-cairndb-connection", connection}};
    });
    for (const char* now : {"DOWN", "UP"}) {
        connection = now;
        ASSERT_TRUE(CallOnce(url, "health", "[]", result, error)) << error;
        EXPECT_NE(
            result.find(std::string("\"sub_status\":[{\"name\":\"cfgagent-cairndb-connection\","
                                    "\"status\":\"") +
                        now + "\"}]"),
            std::string::npos)
            << result;
    }
    health.SetSubStatusSource(nullptr);
    ASSERT_TRUE(CallOnce(url, "health", "[]", result, error)) << error;
    EXPECT_NE(result.find("\"sub_status\":[]"), std::string::npos) << result;
}

TEST_F(RpcServerTest, MalformedClientIsDroppedAndOthersStillServed) {
    std::string host;
    int port = 0;
    ASSERT_TRUE(ParseTcpUrl(url, host, port));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    const char junk[] = "not json at all";
    ASSERT_GT(send(fd, junk, sizeof(junk) - 1, MSG_NOSIGNAL), 0);
    char buf[64];
    EXPECT_EQ(recv(fd, buf, sizeof(buf), 0), 0);  // closed by the server
    close(fd);

    std::string result, error;
    EXPECT_TRUE(CallOnce(url, "echo", "[\"still\"]", result, error)) << error;
    EXPECT_FALSE(CallOnce(url, "echo", "{\"method\":1}", result, error) && result != "\"\"");
}

// A raw connection to the server, for holding it open without a request.
int Connect(const std::string& url) {
    std::string host;
    int port = 0;
    EXPECT_TRUE(ParseTcpUrl(url, host, port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    return fd;
}

// True when the server closes `fd` (end of stream) within a few seconds.
bool ClosedByServer(int fd) {
    pollfd p{fd, POLLIN, 0};
    char buf[64];
    return poll(&p, 1, 10000) > 0 && recv(fd, buf, sizeof(buf), 0) == 0;
}

// Connections held open are capped, refusals are logged once for a burst, and idle connections are
// closed after the timeout, which lets clients in again.
TEST_F(RpcServerTest, HeldConnectionsAreCappedAndClosedWhenIdle) {
    CfgAgent::test::LogCapture log(CfgAgent::kLogDebug);
    ConnectionLimits limits;
    std::vector<int> held;
    for (size_t i = 0; i < limits.maxConnections; ++i)
        held.push_back(Connect(url));
    ASSERT_TRUE(CfgAgent::test::AwaitTrue(
        [&] { return server->ConnectionCount() == limits.maxConnections; }));
    std::string result, error;
    for (int i = 0; i < 10; ++i) {
        int extra = Connect(url);
        EXPECT_TRUE(ClosedByServer(extra));
        close(extra);
    }
    EXPECT_FALSE(CallOnce(url, "echo", "[\"x\"]", result, error));
    EXPECT_EQ(log.Count("connection(s) refused: too many connections open"), 1u) << log.Dump();

    CfgAgent::AgentClock::advance(limits.idleTimeout + std::chrono::seconds(1));
    ASSERT_TRUE(CfgAgent::test::AwaitTrue([&] { return server->ConnectionCount() == 0; }));
    for (int fd : held) {
        EXPECT_TRUE(ClosedByServer(fd));
        close(fd);
    }
    EXPECT_TRUE(CallOnce(url, "echo", "[\"x\"]", result, error)) << error;
    CfgAgent::AgentClock::reset();
}

// Accepting while the descriptors are exhausted fails: the server backs off and logs once instead
// of spinning, and serves again once descriptors are free. The second line, written once the
// log's interval has passed on the agent clock, counts the failures held back in between: a few
// timed retries, not a retry loop.
TEST_F(RpcServerTest, FailingAcceptsBackOffAndAreLoggedOnce) {
    CfgAgent::test::LogCapture log(CfgAgent::kLogDebug);
    // Under the sanitizers, the first dynamic type check of an object needs descriptors of its
    // own; a call served beforehand makes most of those checks while descriptors are plenty.
    std::string result, error;
    EXPECT_TRUE(CallOnce(url, "echo", "[\"before\"]", result, error)) << error;
    // The server closes its side of that call on its own thread: not under the lowered limit.
    ASSERT_TRUE(CfgAgent::test::AwaitTrue([&] { return server->ConnectionCount() == 0; }));
    // Every descriptor below the lowered limit taken but one, which the waiting client's socket
    // then takes: the server can accept that connection only once the limit is restored (were the
    // client connected first, the server could accept it before the limit is lowered).
    struct rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const int slot = dup(0);
    ASSERT_GE(slot, 0);
    struct rlimit none = lim;
    none.rlim_cur = static_cast<rlim_t>(slot + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    std::vector<int> taken;
    for (int fd; (fd = dup(slot)) >= 0;)
        taken.push_back(fd);
    close(slot);
    int waiting = Connect(url);  // queued in the listen backlog until accepted
    auto restore = [&] {
        setrlimit(RLIMIT_NOFILE, &lim);
        for (int fd : taken)
            close(fd);
    };
    if (waiting != slot) {
        restore();
        FAIL() << "the client's socket did not take the last descriptor: " << waiting;
    }
    bool failed = CfgAgent::test::AwaitTrue([&] { return log.Contains("rpc: accept failed"); });
    bool again = false;
    if (failed) {
        CfgAgent::AgentClock::advance(std::chrono::seconds(11));
        again = CfgAgent::test::AwaitTrue([&] { return log.Count("rpc: accept failed") >= 2; });
    }
    restore();
    ASSERT_TRUE(failed && again) << log.Dump();
    EXPECT_TRUE(log.Contains("rpc: accept failed 1 time(s): Too many open files; next try in 100 ms"))
        << log.Dump();
    unsigned long heldBack = 0;
    for (const auto& e : log.Entries()) {
        if (e.message.find("rpc: accept failed") != std::string::npos)
            heldBack = std::stoul(e.message.substr(e.message.find("failed ") + 7));
    }
    EXPECT_GE(heldBack, 1u);
    EXPECT_LE(heldBack, 10u) << log.Dump();

    EXPECT_TRUE(CallOnce(url, "echo", "[\"back\"]", result, error)) << error;
    close(waiting);
    CfgAgent::AgentClock::reset();
}

TEST_F(RpcServerTest, SecondServerOnTheSamePortIsRefused) {
    EXPECT_THROW(RpcFactory().NewServerBuilder().AddListeningEndpoint(url).BuildStarted(),
                 std::runtime_error);
    EXPECT_THROW(
        RpcFactory().NewServerBuilder().AddListeningEndpoint("tcp://nohost").BuildStarted(),
        std::runtime_error);
}

}  // namespace
}  // namespace ozy::rpc

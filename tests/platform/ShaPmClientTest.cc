#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/ShaPmClient.h"
#include "tests/support/Await.h"
#include "tests/support/TempDir.h"

namespace ozy::sha {
namespace {

// Plays the service manager's end of the notify protocol.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    }
    ~NotifySocket() { close(fd_); }
    // Next datagram, or "" after 20 s.
    std::string Next() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0)
            return "";
        char buf[256];
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

  private:
    int fd_;
};

TEST(ShaPmClientTest, ReadyThenWatchdogWhenConfigured) {
    CfgAgent::test::TempDir dir;
    std::string path = dir.path() + "/notify";
    NotifySocket manager(path);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);  // 0.4 s: the client must beat at least every 0.2 s
    unsetenv("WATCHDOG_PID");
    ShaPmClient client("ozy-cfgagent");
    client.Start();
    client.StartProcessHeartbeat(5, 30);
    EXPECT_EQ(manager.Next(), "READY=1");
    EXPECT_EQ(manager.Next(), "WATCHDOG=1");
    EXPECT_EQ(manager.Next(), "WATCHDOG=1");
    client.StopProcessHeartbeat();
    client.Stop();
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
}

TEST(ShaPmClientTest, WithoutWatchdogOnlyReadinessIsSent) {
    unsetenv("WATCHDOG_USEC");
    unsetenv("NOTIFY_SOCKET");
    ShaPmClient client("ozy-cfgagent");
    client.Start();
    client.StartProcessHeartbeat(5, 30);
    client.Stop();
    EXPECT_EQ(client.WatchdogCount(), 0);
}

TEST(ShaPmClientTest, CombinedMessageIsCollectedWithItsContextAndStopsOnUnregister) {
    ShaPmClient client("ozy-cfgagent");
    int context = 7;
    std::atomic<int> calls{0};
    ASSERT_TRUE(client.RegisterCombinedMessageMetricCollection(
        "combined.message",
        [&](void* ctx) {
            ++calls;
            return "{\"ctx\":" + std::to_string(*static_cast<int*>(ctx)) + "}";
        },
        &context, 20));
    EXPECT_FALSE(client.RegisterCombinedMessageMetricCollection("x", nullptr, nullptr, 20));
    client.Start();
    client.StartMetricCollection();
    ASSERT_TRUE(CfgAgent::test::AwaitTrue([&] { return !client.LastCombinedMessage().empty(); }));
    EXPECT_EQ(client.LastCombinedMessage(), "{\"ctx\":7}");
    client.StopMetricCollection();
    client.UnregisterMetricCollectionAll();
    client.Stop();
    EXPECT_EQ(calls.load(), 1);  // the next collection is 20 s away
}

}  // namespace
}  // namespace ozy::sha

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/DaemonHealthService.h"
#include "platform/rpc/RpcServer.h"
#include "runtime/AgentLock.h"
#include "runtime/WorkGroup.h"
#include "tests/support/Await.h"

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

TEST_F(RpcServerTest, SecondServerOnTheSamePortIsRefused) {
    EXPECT_THROW(RpcFactory().NewServerBuilder().AddListeningEndpoint(url).BuildStarted(),
                 std::runtime_error);
    EXPECT_THROW(
        RpcFactory().NewServerBuilder().AddListeningEndpoint("tcp://nohost").BuildStarted(),
        std::runtime_error);
}

}  // namespace
}  // namespace ozy::rpc

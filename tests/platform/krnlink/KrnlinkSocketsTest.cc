#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/krnlink/KrnlinkSockets.h"
#include "tests/support/TempDir.h"

namespace ozy::krnlink {
namespace {

TEST(KrnlinkSocketsTest, EndpointNamesArePlainFileNames) {
    EXPECT_TRUE(IsValidEndpointName("ozy_kcp_krnlink"));
    EXPECT_TRUE(IsValidEndpointName(std::string(107, 'a')));
    EXPECT_FALSE(IsValidEndpointName(std::string(108, 'a')));
    EXPECT_FALSE(IsValidEndpointName(""));
    EXPECT_FALSE(IsValidEndpointName("."));
    EXPECT_FALSE(IsValidEndpointName(".."));
    EXPECT_FALSE(IsValidEndpointName("../etc"));
    EXPECT_FALSE(IsValidEndpointName("a/b"));
    EXPECT_FALSE(IsValidEndpointName(std::string("a\0b", 3)));
    EXPECT_EQ(EndpointLogicalPath("swsec_krnlink"), "/var/run/orvane/ozy-krnlink/swsec_krnlink");
}

class HostRootTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("OZY_HOST_ROOT", root.path().c_str(), 1); }
    void TearDown() override { unsetenv("OZY_HOST_ROOT"); }
    CfgAgent::test::TempDir root{"ozy-krnlink-sock"};
};

TEST_F(HostRootTest, ConnectsUnderTheHostRootAndMovesBytes) {
    EXPECT_EQ(EndpointPath("ep"), root.path() + "/var/run/orvane/ozy-krnlink/ep");
    std::string path = root.Make("var/run/orvane/ozy-krnlink/ep");
    int lfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(lfd, 1), 0);

    IKrnlinkSockets& s = SystemKrnlinkSockets();
    int fd = s.Socket();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(s.Connect(fd, "ep"), 0);
    EXPECT_EQ(s.SetSendBufferSize(fd, 4096), 0);
    EXPECT_EQ(s.SetReceiveBufferSize(fd, 4096), 0);
    int peer = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(s.PollIn(fd, 0), 0);
    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    EXPECT_GT(s.PollIn(fd, 30000), 0);
    char buf[8];
    EXPECT_EQ(s.Recv(fd, buf, sizeof buf), 3);
    EXPECT_EQ(s.Send(fd, "xy", 2), 2);
    ASSERT_EQ(::recv(peer, buf, sizeof buf, 0), 2);
    // Shutdown wakes and ends the stream for both ends; a send after it fails without SIGPIPE.
    EXPECT_EQ(s.Shutdown(fd), 0);
    EXPECT_GT(s.PollIn(fd, 30000), 0);
    EXPECT_EQ(s.Recv(fd, buf, sizeof buf), 0);
    EXPECT_EQ(s.Send(fd, "z", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(s.Close(fd), 0);
    ::close(peer);
    ::close(lfd);
}

TEST_F(HostRootTest, ConnectFailuresCarryTheirErrno) {
    IKrnlinkSockets& s = SystemKrnlinkSockets();
    int fd = s.Socket();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(s.Connect(fd, "absent"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(s.Connect(fd, "../absent"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(s.Connect(fd, std::string(100, 'n')), -1);  // the full path is too long
    EXPECT_EQ(errno, ENAMETOOLONG);
    s.Close(fd);
}

// The forwarding base passes every call through, so a fake overrides only what it changes.
TEST(ForwardingKrnlinkSocketsTest, ForwardsEveryCall) {
    ForwardingKrnlinkSockets fwd(SystemKrnlinkSockets());
    int fd = fwd.Socket();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fwd.PollIn(fd, 0), 1);  // an unconnected stream socket reports hang-up
    EXPECT_EQ(fwd.Close(fd), 0);
}

}  // namespace
}  // namespace ozy::krnlink

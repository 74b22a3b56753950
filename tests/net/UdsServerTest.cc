// Local connections: the Unix-domain server and its framed connections, with real sockets on a
// private io context.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "net/TcpConnection.h"
#include "net/UdsServer.h"
#include "platform/LibraryLogLevels.h"
#include "runtime/AgentClock.h"
#include "tests/net/NetTestListener.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/UnixClient.h"

namespace CfgAgent::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Common::UdsServer;

// The default framing: a 4-byte big-endian payload length, then the payload.
Bytes Framed(const std::string& payload) {
    Bytes out(4 + payload.size(), 0);
    out[3] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), out.begin() + 4);
    return out;
}

class UdsServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savedNetLevel_ = ozy::net::library_log_level.load();
        ozy::net::library_log_level = kLogTrace;
        path_ = dir_.path() + "/link.sock";
    }
    void TearDown() override {
        StopIo();
        if (server_)
            server_->Close();
        server_.reset();
        ozy::net::library_log_level = savedNetLevel_;
        AgentClock::reset();
    }

    void StartServer(UdsServer::Options options = {}, Common::ConnectionLimits limits = {}) {
        server_ = std::make_shared<UdsServer>(
            io_, path_, "/logical/link.sock", &listener_,
            [limits](UdsServer::Socket s, Common::ConnectionStrand strand, uint32_t id,
                     Common::UdsConnectionListener* l) {
                return std::make_shared<Common::UdsConnection>(std::move(s), strand, id, l, limits);
            },
            options);
        server_->Start();
        thread_ = std::thread([this] { io_.run(); });
    }
    void StopIo() {
        io_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    bool Connect(UnixClient& c, uint32_t expectId) {
        return c.Connect(path_) && listener_.AwaitStatus(expectId, 1);
    }

    LogCapture log_;
    TempDir dir_{"ozy-net"};
    std::string path_;
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_{
        io_.get_executor()};
    NetTestListener listener_;
    std::shared_ptr<UdsServer> server_;
    std::thread thread_;
    int savedNetLevel_ = 4;
};

TEST_F(UdsServerTest, ReplacesAStaleSocketAndSetsTheSocketMode) {
    int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path_.c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(stale);  // leaves the socket file behind, as a crashed process does

    UdsServer::Options options;
    options.socketMode = 0660;
    StartServer(options);
    struct stat st;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    UnixClient c;
    EXPECT_TRUE(Connect(c, 1));
    EXPECT_TRUE(log_.Contains("UdsServer(/logical/link.sock): started to accept connections"));
    EXPECT_TRUE(
        log_.Contains("UdsServer(/logical/link.sock):DoUdsConnectionNotify conn 1 status 1"));
}

TEST_F(UdsServerTest, LeavesAnythingButASocketAloneAndNamesTheStep) {
    dir_.WriteFile("link.sock", "not a socket");
    server_ =
        std::make_shared<UdsServer>(io_, path_, "x", &listener_, nullptr, UdsServer::Options{});
    try {
        server_->Start();
        FAIL() << "start succeeded over a regular file";
    } catch (const boost::system::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("unlink"), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFile(path_), "not a socket");

    std::string longPath = dir_.path() + "/" + std::string(120, 'x');
    auto tooLong =
        std::make_shared<UdsServer>(io_, longPath, "x", &listener_, nullptr, UdsServer::Options{});
    try {
        tooLong->Start();
        FAIL() << "start succeeded on a path longer than a socket address";
    } catch (const boost::system::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("bind"), std::string::npos) << e.what();
    }
}

TEST_F(UdsServerTest, BackToBackAndSplitMessagesArriveWhole) {
    StartServer();
    UnixClient c;
    ASSERT_TRUE(Connect(c, 1));
    Bytes two = Framed("abc");
    Bytes second = Framed("");
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(c.Write(two));
    for (uint8_t b : Framed("split"))
        ASSERT_TRUE(c.Write({b}));
    ASSERT_TRUE(listener_.AwaitMessages(3));
    std::vector<Bytes> got = listener_.Messages();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], Framed("abc"));
    EXPECT_EQ(got[1], Framed(""));
    EXPECT_EQ(got[2], Framed("split"));
}

// A message cut short by the peer is handed over before the disconnection, which reports status
// 0; the server forgets that connection and the other goes on.
TEST_F(UdsServerTest, PeerCloseReportsStatusZeroAndTheServerForgetsTheConnection) {
    StartServer();
    UnixClient a, b;
    ASSERT_TRUE(Connect(a, 1));
    ASSERT_TRUE(Connect(b, 2));
    EXPECT_EQ(server_->ConnectionCount(), 2u);
    ASSERT_TRUE(a.Write({0, 0, 0, 10, 'a', 'b', 'c'}));
    a.Close();
    ASSERT_TRUE(listener_.AwaitStatus(1, 0));
    EXPECT_EQ(listener_.Messages(), (std::vector<Bytes>{{0, 0, 0, 10, 'a', 'b', 'c'}}));
    ASSERT_TRUE(AwaitTrue([&] { return server_->ConnectionCount() == 1; }));
    EXPECT_EQ(server_->Find(1), nullptr);
    EXPECT_NE(server_->Find(2), nullptr);
    ASSERT_TRUE(b.Write(Framed("b")));
    ASSERT_TRUE(listener_.AwaitMessages(2));
}

TEST_F(UdsServerTest, AnOversizedHeaderClosesOnlyThatConnection) {
    listener_.maxMessageSize = 1024;
    StartServer();
    UnixClient bad;
    ASSERT_TRUE(Connect(bad, 1));
    ASSERT_TRUE(bad.Write({0xFF, 0xFF, 0xFF, 0xF0}));
    EXPECT_TRUE(bad.WaitClosed());
    ASSERT_TRUE(listener_.AwaitStatus(1, 0));
    ASSERT_EQ(listener_.Oversized().size(), 1u);
    EXPECT_EQ(listener_.Oversized()[0], (std::pair<uint32_t, uint64_t>(1, 4 + 0xFFFFFFF0ull)));
    EXPECT_TRUE(listener_.Messages().empty());

    UnixClient good;
    ASSERT_TRUE(Connect(good, 2));
    Bytes big(1020, 'x');
    Bytes msg = {0, 0, 0x03, 0xFC};
    msg.insert(msg.end(), big.begin(), big.end());
    ASSERT_TRUE(good.Write(msg));
    ASSERT_TRUE(listener_.AwaitMessages(1));
    EXPECT_EQ(listener_.Messages()[0].size(), 1024u);
}

TEST_F(UdsServerTest, WritesFromManyThreadsArriveWholeAndInOrderPerThread) {
    StartServer();
    UnixClient c;
    ASSERT_TRUE(Connect(c, 1));
    auto conn = server_->Find(1);
    ASSERT_NE(conn, nullptr);
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                conn->Write({0, 0, 0, 2, static_cast<uint8_t>(t), static_cast<uint8_t>(i)});
        });
    }
    for (auto& w : writers)
        w.join();
    std::map<int, int> next;
    for (int n = 0; n < kThreads * kEach; ++n) {
        Bytes m;
        ASSERT_TRUE(c.Read(6, &m)) << "message " << n;
        ASSERT_EQ(m[3], 2);
        EXPECT_EQ(m[5], static_cast<uint8_t>(next[m[4]]++)) << "thread " << int(m[4]);
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(next[t], kEach);
}

TEST_F(UdsServerTest, TheOutgoingQueueIsBounded) {
    Common::ConnectionLimits limits;
    limits.maxQueuedBytes = 64 * 1024;
    StartServer({}, limits);
    UnixClient c;  // never reads
    ASSERT_TRUE(Connect(c, 1));
    auto conn = server_->Find(1);
    Bytes chunk(16 * 1024, 'q');
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i)
        refused = !conn->Write(chunk);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(log_.Contains("outgoing queue full"));
    EXPECT_LE(conn->QueuedBytes(), limits.maxQueuedBytes);
}

TEST_F(UdsServerTest, ShutdownWithQueuedWritesAndAWriteInFlightReleasesEverything) {
    StartServer();
    UnixClient c;  // never reads: writes stay queued and one stays in flight
    ASSERT_TRUE(Connect(c, 1));
    std::weak_ptr<Common::UdsConnection> weak = server_->Find(1);
    {
        auto conn = weak.lock();
        for (int i = 0; i < 64; ++i)
            conn->Write(Bytes(64 * 1024, 'w'));
    }
    StopIo();
    server_->Close();
    EXPECT_FALSE(weak.lock()->Write(Framed("late")));
    server_.reset();
    io_.restart();
    io_.poll();  // handlers that still hold the connection run down as aborted
    guard_.reset();
    // Destroying the io context releases what its handlers held (ASan checks the rest).
    EXPECT_FALSE(::access(path_.c_str(), F_OK) == 0);
}

TEST_F(UdsServerTest, StopConnectionClosesItAndAnUnknownIdIsLogged) {
    StartServer();
    UnixClient c;
    ASSERT_TRUE(Connect(c, 1));
    EXPECT_FALSE(server_->StopConnection(42));
    EXPECT_TRUE(log_.Contains("UdsServer(/logical/link.sock):Stop, cannot find 42"));
    EXPECT_TRUE(server_->StopConnection(1));
    EXPECT_TRUE(c.WaitClosed());
    EXPECT_TRUE(listener_.AwaitStatus(1, 0));
    EXPECT_TRUE(log_.Contains("UdsConnection(1)(remote=,local=" + path_ + "): Stop()"));
}

TEST_F(UdsServerTest, RunningOutOfDescriptorsPausesAcceptingInsteadOfEndingIt) {
    UdsServer::Options options;
    options.acceptRetry = std::chrono::milliseconds(50);
    StartServer(options);
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 512;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::dup(0)) >= 0;)
        fillers.push_back(fd);
    ::close(fillers.back());
    fillers.pop_back();
    UnixClient c;  // takes the last descriptor; the server has none left to accept with
    bool connected = c.Connect(path_);
    bool sawError = log_.WaitFor("accept error");
    for (int fd : fillers)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(connected);
    ASSERT_TRUE(sawError);
    EXPECT_TRUE(log_.Contains("retry in 50 ms"));
    EXPECT_FALSE(log_.Contains(", abort"));
    AgentClock::advance(std::chrono::milliseconds(50), &io_);
    EXPECT_TRUE(listener_.AwaitStatus(1, 1));
}

TEST(TcpConnectionTest, FramesMessagesAndDescribesBothEndpoints) {
    LogCapture log;
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    boost::asio::ip::tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    NetTestListener listener;
    listener.echo = true;
    auto conn = std::make_shared<Common::TcpConnection>(acceptor.accept(),
                                                        boost::asio::make_strand(io), 7, &listener);
    std::string port = std::to_string(acceptor.local_endpoint().port());
    EXPECT_EQ(conn->Description().rfind("TcpConnection(7)(remote=127.0.0.1:", 0), 0u);
    EXPECT_NE(conn->Description().find(",local=127.0.0.1:" + port + "):"), std::string::npos);
    conn->Start();
    boost::asio::write(client, boost::asio::buffer(Framed("tcp")));
    std::thread runner([&] { io.run(); });
    Bytes echoed(7);
    boost::asio::read(client, boost::asio::buffer(echoed));
    EXPECT_EQ(echoed, Framed("tcp"));
    client.close();
    EXPECT_TRUE(listener.AwaitStatus(7, 0));
    runner.join();  // nothing left to do once the connection closed
}

}  // namespace
}  // namespace CfgAgent::test

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dataplane/DataplaneKrnlink.h"
#include "platform/krnlink/KrnlinkSockets.h"
#include "runtime/AgentClock.h"
#include "runtime/AgentLock.h"
#include "runtime/WorkGroup.h"
#include "tests/dataplane/ByteVec.h"
#include "tests/dataplane/TestEndpoint.h"
#include "tests/support/Await.h"
#include "tests/support/LogLines.h"
#include "tests/support/TempDir.h"

namespace CfgAgent {
namespace {

using test::AwaitTrue;
using test::H;
using test::Logged;

// What an owning application sees of its link.
struct Owner {
    std::mutex mutex;
    std::vector<DpMsg> received;
    std::vector<int> statuses;

    DataplaneKrnlink::ReceiveHandler OnReceive() {
        return [this](const uint8_t* msg, size_t len) {
            std::lock_guard<std::mutex> lock(mutex);
            received.emplace_back(msg, msg + len);
        };
    }
    DataplaneKrnlink::LinkStatusHandler OnStatus() {
        return [this](DataplaneLink*, int status) {
            std::lock_guard<std::mutex> lock(mutex);
            statuses.push_back(status);
        };
    }
    std::vector<int> Statuses() { return Locked(statuses); }
    size_t Received() { return Locked(received).size(); }
    template <class T>
    T Locked(const T& field) {
        std::lock_guard<std::mutex> lock(mutex);
        return field;
    }
};

// Fault injection on top of the real sockets.
class FaultySockets : public ozy::krnlink::ForwardingKrnlinkSockets {
  public:
    FaultySockets() : ForwardingKrnlinkSockets(ozy::krnlink::SystemKrnlinkSockets()) {}
    int Socket() override {
        if (failSocket) {
            errno = EMFILE;
            return -1;
        }
        return target_.Socket();
    }
    ssize_t Send(int fd, const void* data, size_t size) override {
        int mode = sendFault.exchange(0);
        if (mode == EINTR || mode == EPIPE) {
            errno = mode;
            return -1;
        }
        if (maxSendChunk > 0)
            size = std::min(size, maxSendChunk.load());
        return target_.Send(fd, data, size);
    }
    ssize_t Recv(int fd, void* data, size_t size) override {
        if (maxRecvChunk > 0)
            size = std::min(size, maxRecvChunk.load());
        return target_.Recv(fd, data, size);
    }
    std::atomic<bool> failSocket{false};
    std::atomic<int> sendFault{0};
    std::atomic<size_t> maxSendChunk{0};
    std::atomic<size_t> maxRecvChunk{0};
};

bool NoLinkLoopRuns() {
    for (const std::string& n : WorkGroups::Instance()->RunningItems()) {
        if (n.find("DataplaneKrnlink") != std::string::npos)
            return false;
    }
    return true;
}

DpMsg Msg(uint16_t type, uint8_t fill, size_t len) {
    DpMsg m(len, fill);
    StoreBe16(m.data(), type);
    StoreBe16(m.data() + 2, static_cast<uint16_t>(len));
    return m;
}

class DataplaneKrnlinkTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        SetThreadCounts(1, 8);
        WorkGroups::Start(nullptr);
    }
    static void TearDownTestSuite() { WorkGroups::Stop(); }

    void SetUp() override {
        setenv("OZY_HOST_ROOT", root.path().c_str(), 1);
        root.Make("var/run/orvane/ozy-krnlink/.keep");
    }
    void TearDown() override {
        for (int fd : fds)
            Close(fd);
        for (auto& l : links)
            l->Stop();
        // Both loops of every link must have returned.
        EXPECT_TRUE(AwaitTrue(NoLinkLoopRuns));
        links.clear();
        AgentClock::reset();
        unsetenv("OZY_HOST_ROOT");
    }

    ozy::RefPtr<DataplaneKrnlink> MakeLink(const std::string& name, Owner& owner,
                                           ozy::krnlink::IKrnlinkSockets* sockets = nullptr,
                                           DataplaneKrnlink::LinkCheck check = nullptr) {
        ozy::RefPtr<DataplaneKrnlink> link(new DataplaneKrnlink(
            name, owner.OnReceive(), owner.OnStatus(), std::move(check), 4096, sockets));
        links.push_back(link);
        return link;
    }

    // What a receive handler asking ReceivePending(waitOf(n)) for its n-th message was told.
    struct Asked {
        std::atomic<size_t> count{0};
        std::mutex m;
        std::vector<bool> told;
        std::vector<bool> Told() {
            std::lock_guard<std::mutex> l(m);
            return told;
        }
    };
    // A link on a new endpoint `name` whose receive handler asks so.
    std::pair<ozy::RefPtr<DataplaneKrnlink>, Asked*> MakeAskingLink(
        const std::string& name, std::function<int(size_t)> waitOf) {
        endpoints.push_back(std::make_unique<test::TestEndpoint>(name));
        Owner& owner = NewOwner();
        Asked* asked = &askers.emplace_back();
        auto self = std::make_shared<DataplaneKrnlink*>(nullptr);
        ozy::RefPtr<DataplaneKrnlink> link(new DataplaneKrnlink(
            name,
            [asked, self, waitOf](const uint8_t*, size_t) {
                const bool more = (*self)->ReceivePending(waitOf(asked->count++));
                std::lock_guard<std::mutex> l(asked->m);
                asked->told.push_back(more);
            },
            owner.OnStatus(), nullptr, 4096, nullptr));
        *self = link.get();
        links.push_back(link);
        return {link, asked};
    }

    // Moves simulated time past one reopen period.
    static void Tick() { AgentClock::advance(std::chrono::milliseconds(5001)); }

    // Owners outlive their links: a stopping link still reports "down" to its
    // owner.
    Owner& NewOwner() { return owners.emplace_back(); }

    // A started link to a listening endpoint of the same name, and the endpoint's
    // end of it.
    struct Connected {
        Owner& owner;
        ozy::RefPtr<DataplaneKrnlink> link;
        int fd;
    };
    Connected Connect(const std::string& name, ozy::krnlink::IKrnlinkSockets* s = nullptr,
                      DataplaneKrnlink::LinkCheck check = nullptr) {
        endpoints.push_back(std::make_unique<test::TestEndpoint>(name));
        Owner& owner = NewOwner();
        auto link = MakeLink(name, owner, s, std::move(check));
        EXPECT_TRUE(link->Start());
        return Connected{owner, link, AcceptOn(*endpoints.back())};
    }
    // The endpoint's next connection, closed at the end of the test.
    int AcceptOn(test::TestEndpoint& ep) {
        int fd = ep.Accept();
        EXPECT_GE(fd, 0);
        return Keep(fd);
    }
    test::TestEndpoint& Ep() { return *endpoints.back(); }
    // Closed at the end of the test, unless closed by Close before.
    int Keep(int fd) {
        fds.push_back(fd);
        return fd;
    }
    void Close(int fd) {
        fds.erase(std::remove(fds.begin(), fds.end(), fd), fds.end());
        ::close(fd);
    }

    test::LogCapture cap;
    std::vector<std::unique_ptr<test::TestEndpoint>> endpoints;
    std::vector<int> fds;
    test::TempDir root{"ozy-krnlink"};
    FaultySockets sockets;  // outlives the links that use it
    std::deque<Owner> owners;
    std::deque<Asked> askers;
    std::vector<ozy::RefPtr<DataplaneKrnlink>> links;
};

TEST_F(DataplaneKrnlinkTest,
       AbsentEndpointRetriesEveryFiveSecondsAndLaterGetsQueuedMessagesInOrder) {
    Owner& owner = NewOwner();
    auto link = MakeLink("late_ep", owner);
    ASSERT_TRUE(link->Start());
    const std::string connectError = "Could not connect to AF_KRNLINK socket (\"late_ep\")";
    EXPECT_TRUE(cap.ContainsWithCode(connectError, "LCP00122"));
    EXPECT_EQ(cap.Count(connectError), 1u);

    // Send keeps accepting while the link is down.
    for (uint8_t i = 1; i <= 3; ++i)
        EXPECT_TRUE(link->Send(Msg(2, i, 10 + i)));
    EXPECT_EQ(link->QueuedMessages() + 1 >= 3u,
              true);  // the sender may hold one of them

    for (size_t attempts : {2u, 3u}) {
        Tick();
        EXPECT_TRUE(AwaitTrue([&] { return cap.Count(connectError) >= attempts; }));
    }
    EXPECT_TRUE(owner.Statuses().empty());
    EXPECT_FALSE(link->Connected());

    test::TestEndpoint ep("late_ep");
    Tick();
    int fd = AcceptOn(ep);
    for (uint8_t i = 1; i <= 3; ++i)
        EXPECT_EQ(ep.Next(fd), Msg(2, i, 10 + i)) << "message " << int(i);
    ASSERT_TRUE(AwaitTrue([&] { return !owner.Statuses().empty(); }));
    EXPECT_EQ(owner.Statuses(), std::vector<int>{DataplaneLink::kLinkUp});
    EXPECT_TRUE(Logged(
        cap, {"connected to AF_KRNLINK socket late_ep", "AF_KRNLINK send buffer set to 4096 bytes",
              "AF_KRNLINK receive buffer set to 4096 bytes",
              "KrnLink: late_ep: sending 11 bytes to kernel, left 0, offset 11"}));
}

TEST_F(DataplaneKrnlinkTest, ReceivesMessagesWhoseHeaderArrivesInPieces) {
    sockets.maxRecvChunk = 1;  // every recv returns at most one byte
    auto c = Connect("split_ep", &sockets);
    // The header in two writes, then the body; then a whole header-only message.
    for (const char* part : {"00 03", "00 09", "00 01 00 05 01  00 07 00 04"})
        Ep().Write(c.fd, H(part));
    ASSERT_TRUE(AwaitTrue([&] { return c.owner.Received() == 2; }));
    EXPECT_EQ(c.owner.Locked(c.owner.received),
              (std::vector<DpMsg>{H("00 03 00 09 00 01 00 05 01"), H("00 07 00 04")}));
    EXPECT_TRUE(cap.Contains("krnLink split_ep: received 9 byte from kernel"));
}

// The receive handler can tell whether more input waits behind the message it handles.
TEST_F(DataplaneKrnlinkTest, TheReceiveHandlerTellsWhetherMoreInputWaits) {
    auto [link, asked] = MakeAskingLink("pending_ep", [](size_t) { return 0; });
    EXPECT_FALSE(link->ReceivePending(0)) << "not connected";
    ASSERT_TRUE(link->Start());
    int fd = AcceptOn(Ep());
    // Two messages in one write: the first is handled with the second waiting, the second alone.
    Ep().Write(fd, H("00 07 00 04  00 07 00 04"));
    ASSERT_TRUE(AwaitTrue([&] { return asked->Told().size() == 2; }));
    EXPECT_EQ(asked->Told(), (std::vector<bool>{true, false}));
}

// With a wait, the handler also sees input that arrives while it waits (the wait ends with it);
// with nothing arriving the wait ends with false.
TEST_F(DataplaneKrnlinkTest, AWaitingHandlerSeesInputThatArrivesDuringTheWait) {
    // The first wait ends when the test writes.
    auto [link, asked] = MakeAskingLink("wait_ep", [](size_t n) { return n == 0 ? 10000 : 1; });
    ASSERT_TRUE(link->Start());
    int fd = AcceptOn(Ep());
    Ep().Write(fd, H("00 07 00 04"));
    ASSERT_TRUE(AwaitTrue([&] { return asked->count.load() == 1; }));
    Ep().Write(fd, H("00 07 00 04"));
    ASSERT_TRUE(AwaitTrue([&] { return asked->Told().size() == 2; }));
    EXPECT_EQ(asked->Told(), (std::vector<bool>{true, false}));
}

TEST_F(DataplaneKrnlinkTest, PeerCloseGivesDownThenUpAfterReopen) {
    auto c = Connect("close_ep");
    ASSERT_TRUE(AwaitTrue([&] { return c.owner.Statuses().size() == 1; }));
    Close(c.fd);
    ASSERT_TRUE(AwaitTrue([&] { return c.owner.Statuses().size() == 2; }));
    EXPECT_EQ(c.owner.Statuses(), (std::vector<int>{0, 1}));
    EXPECT_TRUE(cap.ContainsWithCode("krnlink close_ep: recv error: 0:connection closed by peer",
                                     "LCP00125"));
    EXPECT_FALSE(c.link->Connected());

    Tick();
    int fd2 = AcceptOn(Ep());
    ASSERT_TRUE(AwaitTrue([&] { return c.owner.Statuses().size() == 3; }));
    EXPECT_EQ(c.owner.Statuses(), (std::vector<int>{0, 1, 0}));
    // The reopened link carries traffic.
    ASSERT_TRUE(c.link->Send(Msg(5, 0xab, 15)));
    EXPECT_EQ(Ep().Next(fd2), Msg(5, 0xab, 15));
}

TEST_F(DataplaneKrnlinkTest, InterruptedAndPartialSendsFinishTheMessage) {
    auto c = Connect("eintr_ep", &sockets);
    sockets.maxSendChunk = 7;
    sockets.sendFault = EINTR;
    ASSERT_TRUE(c.link->Send(Msg(2, 0x11, 20)));
    EXPECT_EQ(Ep().Next(c.fd), Msg(2, 0x11, 20));
    EXPECT_TRUE(Logged(cap, {"KrnLink: eintr_ep: hit signal, continue",
                             "KrnLink: eintr_ep: sending 7 bytes to kernel, left 13, offset 7"}));
    EXPECT_TRUE(cap.WaitFor("KrnLink: eintr_ep: sending 6 bytes to kernel, left 0, offset 20"));
    ASSERT_TRUE(AwaitTrue([&] { return !c.owner.Statuses().empty(); }));
    EXPECT_EQ(c.owner.Statuses(), std::vector<int>{0});
}

TEST_F(DataplaneKrnlinkTest, SendFailureClosesTheLinkDropsTheMessageAndReopens) {
    auto c = Connect("epipe_ep", &sockets);
    sockets.sendFault = EPIPE;
    ASSERT_TRUE(c.link->Send(Msg(2, 1, 8)));
    ASSERT_TRUE(AwaitTrue([&] { return c.owner.Statuses().size() == 2; }));
    EXPECT_TRUE(cap.ContainsWithCode("KrnLink: epipe_ep: link down", "LCP00127"));
    // The old connection is shut down; the dropped message never arrives on it.
    EXPECT_TRUE(Ep().WaitClosed(c.fd));
    Close(c.fd);

    ASSERT_TRUE(c.link->Send(Msg(2, 2, 9)));  // queued while down
    Tick();
    EXPECT_EQ(Ep().Next(AcceptOn(Ep())), Msg(2, 2, 9));
    // The status event may be delivered just after the sender, woken by the same
    // open, wrote.
    ASSERT_TRUE(AwaitTrue([&] { return c.owner.Statuses().size() == 3; }));
    EXPECT_EQ(c.owner.Statuses(), (std::vector<int>{0, 1, 0}));
}

TEST_F(DataplaneKrnlinkTest, BadLengthsAreRefusedOnBothSides) {
    auto c = Connect("len_ep");
    // Outgoing: a length field below 4 or beyond the buffer never reaches the
    // sender.
    for (const char* bad : {"00 02 00 02 00 00", "00 02 00 10 00 00", "00 02"})
        EXPECT_FALSE(c.link->Send(H(bad))) << bad;
    EXPECT_TRUE(cap.ContainsWithCode("KrnLink: len_ep: invalid message length 2, buffer of 6 bytes",
                                     "LCP00128"));
    // A length field of 0 is accepted and dropped without sending; the next one
    // goes out.
    EXPECT_TRUE(c.link->Send(H("00 02 00 00")));
    EXPECT_TRUE(c.link->Send(H("00 02 00 05 07")));
    EXPECT_EQ(Ep().Next(c.fd), H("00 02 00 05 07"));

    // Incoming: a length field below 4 closes the link without handing anything
    // out.
    Ep().Write(c.fd, H("00 03 00 02"));
    ASSERT_TRUE(AwaitTrue([&] { return c.owner.Statuses().size() == 2; }));
    EXPECT_TRUE(cap.ContainsWithCode("krnlink len_ep: invalid message length 2", "LCP00128"));
    EXPECT_EQ(c.owner.Received(), 0u);
}

TEST_F(DataplaneKrnlinkTest, FailingLinkCheckClosesAtTheTimerTick) {
    std::atomic<bool> healthy{true};
    std::atomic<int> checkedFd{-1};
    auto c = Connect("check_ep", nullptr, [&](int sock) {
        checkedFd = sock;
        return healthy.load();
    });
    Tick();
    ASSERT_TRUE(AwaitTrue([&] { return checkedFd.load() >= 0; }));
    EXPECT_EQ(c.owner.Statuses(), std::vector<int>{0});
    healthy = false;
    Tick();
    // Closed by the check and reopened by the same tick.
    ASSERT_TRUE(AwaitTrue([&] { return c.owner.Statuses().size() == 3; }));
    EXPECT_EQ(c.owner.Statuses(), (std::vector<int>{0, 1, 0}));
    EXPECT_TRUE(Ep().WaitClosed(c.fd));
    Close(c.fd);
    AcceptOn(Ep());
}

TEST_F(DataplaneKrnlinkTest, OpenFailuresAreLoggedWithTheirCodes) {
    sockets.failSocket = true;
    Owner& owner = NewOwner();
    auto link = MakeLink("any_ep", owner, &sockets);
    ASSERT_TRUE(link->Start());
    // Endpoint names that are not plain file names never leave the endpoint
    // directory.
    for (const char* name : {"../escape", ""})
        ASSERT_TRUE(MakeLink(name, owner)->Start());
    EXPECT_TRUE(Logged(
        cap, {{"Could not open AF_KRNLINK socket: -1, error: Too many open files", "LCP00121"},
              {"Could not connect to AF_KRNLINK socket (\"../escape\"), error: "
               "Invalid argument",
               "LCP00122"},
              {"Could not connect to AF_KRNLINK socket (\"\")", "LCP00122"}}));
    EXPECT_TRUE(owner.Statuses().empty());
    EXPECT_FALSE(link->Start());  // a link starts once
}

TEST_F(DataplaneKrnlinkTest, StopEndsBothLoopsAndRefusesFurtherSends) {
    auto c = Connect("stop_ep");
    Owner& downOwner = NewOwner();
    auto down = MakeLink("nobody_ep", downOwner);
    ASSERT_TRUE(down->Start());
    ASSERT_TRUE(AwaitTrue([&] {
        auto items = WorkGroups::Instance()->RunningItems();
        return std::count(items.begin(), items.end(), "DataplaneKrnlink sender") == 2 &&
               std::count(items.begin(), items.end(), "DataplaneKrnlink receiver") == 2;
    }));
    c.link->Stop();
    down->Stop();
    EXPECT_TRUE(AwaitTrue(NoLinkLoopRuns));
    EXPECT_EQ(c.owner.Statuses(), (std::vector<int>{0, 1}));
    EXPECT_TRUE(downOwner.Statuses().empty());
    EXPECT_FALSE(c.link->Send(Msg(2, 0, 4)));
    EXPECT_TRUE(cap.ContainsWithCode("KrnLink: failed to put a message into queue", "LCP00008"));
    EXPECT_TRUE(Ep().WaitClosed(c.fd));
    Close(c.fd);
    // No reopen after stop.
    size_t attempts = cap.Count("Could not connect to AF_KRNLINK socket (\"nobody_ep\")");
    Tick();
    Tick();
    EXPECT_EQ(cap.Count("Could not connect to AF_KRNLINK socket (\"nobody_ep\")"), attempts);
    EXPECT_EQ(Ep().Accept(100), -1);
}

TEST_F(DataplaneKrnlinkTest, ScheduleReopenRearmsTheTimer) {
    Owner& owner = NewOwner();
    auto link = MakeLink("resched_ep", owner);
    ASSERT_TRUE(link->Start());
    link->ScheduleReopen();
    EXPECT_TRUE(cap.Contains("dataplane krnlink reopen scheduled"));
    test::TestEndpoint ep("resched_ep");
    Tick();
    AcceptOn(ep);
    ASSERT_TRUE(AwaitTrue([&] { return owner.Statuses().size() == 1; }));
}

}  // namespace
}  // namespace CfgAgent

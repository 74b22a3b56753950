// The operations-agent link with real sockets in a private host root, spoken to by a raw client
// that writes frames from the layout.
#include <sys/stat.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "cli/udslink/CfgUdsLink.h"
#include "platform/HostRoot.h"
#include "proto/lcp.pb.h"
#include "runtime/AgentLock.h"
#include "tests/cli/udslink/LcpTestFrames.h"
#include "tests/support/Await.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/UnixClient.h"

namespace CfgAgent::test {
namespace {

using Bytes = std::vector<uint8_t>;
using orvane::ozy::lcp::LcpDpMsg;
using orvane::ozy::lcp::TraceflowRequestMsg;
using orvane::ozy::lcp::TraceflowStatusMsg;

constexpr const char* kRequestType = "orvane.ozy.lcp.TraceflowRequestMsg";

TraceflowRequestMsg Request(uint64_t round) {
    TraceflowRequestMsg r;
    r.set_round_id(round);
    return r;
}

class CfgUdsLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("OZY_HOST_ROOT", root_.path().c_str(), 1);
        link_ = std::make_shared<CfgUdsLink>();
        link_->RegisterHandler(kRequestType, [this](const LcpDpMsg& m) {
            TraceflowRequestMsg r;
            ASSERT_TRUE(m.payload().UnpackTo(&r));
            if (r.round_id() == 666)
                throw std::runtime_error("handler failure");
            rounds_.push_back(r.round_id());
        });
        link_->AddStatusObserver([this](bool up) { ups_.push_back(up); });
    }
    void TearDown() override {
        link_->Stop();
        unsetenv("OZY_HOST_ROOT");
    }
    std::string SocketPath() const { return ozy::hostPath(link_->LogicalPath()); }
    bool Connect(UnixClient& c, uint32_t id) {
        return c.Connect(SocketPath()) &&
               AwaitTrue([&] { return link_->ActiveConnection() == id; });
    }
    // Sends a round through the link and awaits its handling (the link handles in order).
    bool Roundtrip(UnixClient& c, uint64_t round) {
        size_t before = Rounds().size();
        return c.Write(LcpPayloadFrame(Request(round))) &&
               AwaitTrue([&] { return Rounds().size() > before; });
    }
    std::vector<uint64_t> Rounds() {
        AgentLockGuard lock(GlobalAgentLock());  // handlers run under it
        return rounds_;
    }

    LogCapture log_;
    TempDir root_{"ozy-udslink"};
    std::shared_ptr<CfgUdsLink> link_;
    std::vector<uint64_t> rounds_;
    std::vector<bool> ups_;
};

TEST_F(CfgUdsLinkTest, ListensOnItsPathWithOwnerAndGroupAccessOnly) {
    ASSERT_TRUE(link_->Start());
    EXPECT_TRUE(log_.Contains("CfgUdsLink: Start"));
    struct stat st;
    ASSERT_EQ(::stat(SocketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    ASSERT_EQ(::stat((root_.path() + "/var/run/orvane/ozy-agent").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    EXPECT_EQ(SocketPath(), root_.path() + "/var/run/orvane/ozy-agent/ozya_link");
    link_->Stop();
    EXPECT_NE(::access(SocketPath().c_str(), F_OK), 0);
}

TEST_F(CfgUdsLinkTest, DispatchesByPayloadTypeAndDropsWhatHasNoHandler) {
    ASSERT_TRUE(link_->Start());
    UnixClient c;
    ASSERT_TRUE(Connect(c, 1));
    ASSERT_TRUE(Roundtrip(c, 7));
    size_t logged = log_.Entries().size();
    TraceflowStatusMsg status;  // no handler
    ASSERT_TRUE(c.Write(LcpPayloadFrame(status)));
    ASSERT_TRUE(c.Write(LcpFrame("")));  // a 6-byte message: no payload
    ASSERT_TRUE(Roundtrip(c, 8));
    EXPECT_EQ(Rounds(), (std::vector<uint64_t>{7, 8}));
    for (size_t i = logged; i < log_.Entries().size(); ++i)
        EXPECT_LT(log_.Entries()[i].level, kLogInfo) << "\n" << log_.Entries()[i].message;
    EXPECT_EQ(ups_, std::vector<bool>{true});
}

// A bad frame is logged with its code and dropped; an announcement past the limit closes that
// connection. The link stays there for a good peer.
TEST_F(CfgUdsLinkTest, BadFramesAreLoggedWithTheirCodeAndDropped) {
    ASSERT_TRUE(link_->Start());
    struct Case {
        const char* name;
        Bytes bytes;
        const char* text;
        const char* code;
        bool closedByLink = false;
    };
    Bytes cut = {0, 1, 0, 0, 0, 100};
    cut.resize(90, 0x11);
    std::vector<Case> cases = {
        {"five bytes", {0, 1, 0, 0, 0}, "Message len 5 is smaller than header len 6", "LCP02002"},
        {"header says 100, 90 arrive", cut, "Payload len 84 does not match message header 94",
         "LCP02001"},
        {"total below the header",
         {0, 1, 0, 0, 0, 3},
         "Payload len 0 does not match message header -3",
         "LCP02001"},
        {"fragment flag", LcpFrame("", 0x80), "fragment: 1, reserved: 0, type: 1", "LCP02005"},
        {"type 2", LcpFrame("", 0, 2), "fragment: 0, reserved: 0, type: 2", "LCP02005"},
        {"unparsable payload", LcpFrame("\xff\xff\xff"), "failed to parse LcpDpMsg of 3 bytes",
         "LCP02005"},
        {"four gigabytes announced",
         {0, 1, 0xFF, 0xFF, 0xFF, 0xFF},
         "message len 4294967295 exceeds the limit 16777216",
         "LCP02004",
         true},
    };
    uint32_t id = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        UnixClient c;
        ASSERT_TRUE(Connect(c, ++id));
        ASSERT_TRUE(c.Write(k.bytes));
        if (k.closedByLink) {
            EXPECT_TRUE(c.WaitClosed());
        }
        c.Close();  // what arrived of a cut-short frame is judged once the peer has gone
        EXPECT_TRUE(AwaitTrue([&] { return log_.ContainsWithCode(k.text, k.code); }))
            << log_.Dump();
    }
    UnixClient good;
    ASSERT_TRUE(Connect(good, ++id));
    EXPECT_TRUE(Roundtrip(good, 1));
}

TEST_F(CfgUdsLinkTest, SendGoesToTheActivePeerAndFailsWithoutOne) {
    LcpDpMsg msg;
    msg.mutable_payload()->PackFrom(Request(5));
    EXPECT_FALSE(link_->Send(msg));  // not started
    EXPECT_TRUE(log_.ContainsWithCode("Active connection ID not exist", "LCP02003"));
    ASSERT_TRUE(link_->Start());
    EXPECT_FALSE(link_->Send(LcpDpMsg()));
    EXPECT_TRUE(log_.Contains("Input message is empty"));

    UnixClient a, b;
    ASSERT_TRUE(Connect(a, 1));
    ASSERT_TRUE(Connect(b, 2));  // the newer peer becomes active
    ASSERT_TRUE(link_->Send(msg));
    Bytes frame;
    ASSERT_TRUE(b.Read(LcpPayloadFrame(Request(5)).size(), &frame));
    EXPECT_EQ(frame, LcpFrame(msg.SerializeAsString()));

    b.Close();
    ASSERT_TRUE(AwaitTrue([&] { return link_->ActiveConnection() == 0; }));
    EXPECT_FALSE(link_->Send(msg));
    ASSERT_TRUE(Roundtrip(a, 9));  // a message makes its sender the active peer
    EXPECT_EQ(link_->ActiveConnection(), 1u);
    ASSERT_TRUE(link_->SendPayload(Request(5)));
    ASSERT_TRUE(a.Read(frame.size(), &frame));
    EXPECT_EQ(frame, LcpFrame(msg.SerializeAsString()));
    EXPECT_EQ(ups_, (std::vector<bool>{true, false, true}));
}

TEST_F(CfgUdsLinkTest, AStatusChangeOfAnotherPeerLeavesTheActiveOne) {
    ASSERT_TRUE(link_->Start());
    UnixClient a, b;
    ASSERT_TRUE(Connect(a, 1));
    ASSERT_TRUE(Connect(b, 2));
    a.Close();
    ASSERT_TRUE(log_.WaitFor("Conection 1 changed its status to 0"));
    EXPECT_EQ(link_->ActiveConnection(), 2u);
}

TEST_F(CfgUdsLinkTest, HandlerFailuresAndLateRegistrationsAreLogged) {
    EXPECT_FALSE(link_->RegisterHandler(kRequestType, [](const LcpDpMsg&) {}));
    ASSERT_TRUE(link_->Start());
    EXPECT_FALSE(link_->RegisterHandler("orvane.ozy.lcp.LivetraceMsg", [](const LcpDpMsg&) {}));
    EXPECT_TRUE(log_.ContainsWithCode("registered after start, refused", "LCP02007"));
    UnixClient c;
    ASSERT_TRUE(Connect(c, 1));
    ASSERT_TRUE(c.Write(LcpPayloadFrame(Request(666))));
    EXPECT_TRUE(AwaitTrue([&] {
        return log_.ContainsWithCode("handler of orvane.ozy.lcp.TraceflowRequestMsg failed",
                                     "LCP02007");
    }));
    EXPECT_TRUE(Roundtrip(c, 3));
}

TEST_F(CfgUdsLinkTest, StopWhileAnotherThreadSends) {
    ASSERT_TRUE(link_->Start());
    UnixClient c;  // never reads
    ASSERT_TRUE(Connect(c, 1));
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        TraceflowStatusMsg big;
        big.set_message(std::string(64 * 1024, 's'));
        while (!stop)
            sent += link_->SendPayload(big) ? 1 : 0;
    });
    ASSERT_TRUE(AwaitTrue([&] { return sent > 20; }));
    link_->Stop();
    stop = true;
    sender.join();
    EXPECT_TRUE(c.WaitClosed());
    EXPECT_EQ(link_->ActiveConnection(), 0u);
}

}  // namespace
}  // namespace CfgAgent::test

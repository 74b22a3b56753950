// The unixctl server driven over raw sockets: framing, bad input, replies, sockets on disk.
#include "platform/unixctl/UnixctlServer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/FdReserve.h"
#include "platform/unixctl/UnixctlClient.h"
#include "runtime/AgentClock.h"
#include "tests/platform/unixctl/UnixctlTestUtil.h"
#include "tests/support/Await.h"
#include "tests/support/LogLines.h"
#include "tests/support/TempDir.h"

namespace ozy::unixctl {
namespace {

using CfgAgent::test::AwaitTrue;
using CfgAgent::test::LogCapture;
using CfgAgent::test::Logged;
using CfgAgent::test::TempDir;
using test::MakeRequest;
using test::RawClient;
using test::ServerThread;

std::string Join(const std::vector<std::string>& args) {
    std::string out;
    for (const auto& a : args)
        out += (out.empty() ? "" : " ") + a;
    return out;
}

class UnixctlServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.path() + "/ctl.sock";
        ASSERT_EQ(Server::Create(path_, &server_), 0);
        server_->RegisterCommand("echo", "[ARG...]", 0, 2,
                                 [this](Connection& c, const std::vector<std::string>& args) {
                                     ++calls_;
                                     c.Reply(Join(args));
                                 });
        server_->RegisterCommand("fail", "", 0, 0, [this](Connection& c, const auto&) {
            ++calls_;
            c.ReplyError("it failed");
        });
        server_->RegisterCommand("silent", "", 0, 0,
                                 [this](Connection&, const auto&) { ++calls_; });
        server_->RegisterCommand("boom", "", 0, 0, [this](Connection&, const auto&) {
            ++calls_;
            throw std::runtime_error("kaboom");
        });
        server_->RegisterCommand("twice", "", 0, 0, [this](Connection& c, const auto&) {
            ++calls_;
            c.Reply("first");
            c.Reply("second");
        });
        server_->RegisterCommand("big", "BYTES", 1, 1,
                                 [](Connection& c, const std::vector<std::string>& args) {
                                     c.Reply(std::string(std::stoul(args[0]), 'x'));
                                 });
    }

    // One Run() answers everything already sent by connected clients.
    void Pump() { server_->Run(); }
    // Sends `bytes`, runs the server once and returns the text of the one reply.
    std::string Ask(RawClient& c, const std::string& bytes) {
        EXPECT_TRUE(c.Send(bytes));
        Pump();
        return c.ReadReply().text;
    }
    std::string Echo(RawClient& c, const std::string& arg, int id) {
        return Ask(c, MakeRequest("echo", "[\"" + arg + "\"]", id));
    }

    LogCapture log_{CfgAgent::kLogDebug};
    TempDir dir_{"ozy-unixctl"};
    std::string path_;
    std::unique_ptr<Server> server_;
    std::atomic<int> calls_{0};
};

TEST_F(UnixctlServerTest, AnswersRequestsSplitAcrossReadsOnlyWhenComplete) {
    RawClient c(path_);
    ASSERT_TRUE(c.connected());
    // The argument holds brackets, an escaped quote and a brace: none of them ends the message.
    std::string req = MakeRequest("echo", R"(["a}\"]{", "b"])", 5);
    size_t cut1 = req.find("}\\");
    size_t cut2 = req.find("\"b\"");
    ASSERT_TRUE(c.Send(req.substr(0, cut1 + 1)));
    Pump();
    ASSERT_TRUE(c.Send(req.substr(cut1 + 1, cut2 - cut1 - 1)));
    Pump();
    EXPECT_FALSE(c.Readable());
    EXPECT_EQ(calls_.load(), 0);
    ASSERT_TRUE(c.Send(req.substr(cut2)));
    Pump();
    auto msgs = c.Read(1);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0], R"({"error":null,"id":5,"result":"a}\"]{ b\n"})");
}

TEST_F(UnixctlServerTest, AnswersPipelinedRequestsInOrderOneReplyEach) {
    RawClient c(path_);
    std::string batch;
    for (int i = 0; i < 50; ++i)
        batch += MakeRequest("echo", "[\"" + std::to_string(i) + "\"]", i) + (i % 2 ? "\n" : "");
    ASSERT_TRUE(c.Send(batch));
    // More requests than one Run() answers per connection: Wait() must not block while some wait.
    for (Pump(); calls_.load() < 50; Pump())
        server_->Wait(-1);
    auto msgs = c.Read(50);
    ASSERT_EQ(msgs.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        Reply r;
        std::string err;
        ASSERT_TRUE(ParseReply(msgs[i], &r, &err));
        EXPECT_EQ(r.idJson, std::to_string(i));
        EXPECT_EQ(r.text, std::to_string(i) + "\n");
    }
    EXPECT_FALSE(c.Readable());
}

TEST_F(UnixctlServerTest, ListCommandsAndHelpPrintTheSortedTableWithUsage) {
    RawClient c(path_);
    ASSERT_TRUE(c.Send(MakeRequest("list-commands", "[]", 1) + MakeRequest("help", "[]", 2) +
                       MakeRequest("list-commands", R"(["x"])", 3)));
    Pump();
    std::string table =
        "The available commands are:\n"
        "  big                     BYTES\n"
        "  boom                    \n"
        "  echo                    [ARG...]\n"
        "  fail                    \n"
        "  help                    \n"
        "  list-commands           \n"
        "  silent                  \n"
        "  twice                   \n";
    Reply r = c.ReadReply();
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.text, table);
    EXPECT_EQ(c.ReadReply().text, table);
    EXPECT_EQ(c.ReadReply().text, "\"list-commands\" command takes at most 0 arguments\n");
}

TEST_F(UnixctlServerTest, RegistrationKeepsTheFirstCommandAndRefusesBadRanges) {
    server_->RegisterCommand("echo", "", 0, 0, [](Connection& c, const auto&) { c.Reply("new"); });
    server_->RegisterCommand("list-commands", "", 0, 0,
                             [](Connection& c, const auto&) { c.Reply("x"); });
    server_->RegisterCommand("range", "", 2, 1, [](Connection& c, const auto&) { c.Reply("x"); });
    server_->RegisterCommand("negative", "", -1, 1,
                             [](Connection& c, const auto&) { c.Reply("x"); });
    EXPECT_TRUE(Logged(log_, {"unixctl: command \"echo\" is already registered",
                              "unixctl: command \"range\" not registered"}));
    RawClient c(path_);
    ASSERT_TRUE(c.Send(MakeRequest("echo", R"(["a"])", 1) + MakeRequest("range", "[]", 2) +
                       MakeRequest("negative", "[]", 3)));
    Pump();
    EXPECT_EQ(c.ReadReply().text, "a\n");
    EXPECT_EQ(c.ReadReply().text.find("\"range\" is not a valid command"), 0u);
    EXPECT_EQ(c.ReadReply().text.find("\"negative\" is not a valid command"), 0u);
}

// Argument counts (before the argument types) and unknown commands are refused before any
// handler; a handler that fails, throws, does not reply or replies twice gives one reply each. The
// connection stays usable throughout.
TEST_F(UnixctlServerTest, EveryRequestGetsOneReplyFromItsHandlerOrTheServer) {
    const std::pair<std::string, std::string> cases[] = {
        {MakeRequest("echo", R"(["a","b","c"])", 1),
         R"({"error":"\"echo\" command takes at most 2 arguments\n","id":1,"result":null})"},
        {MakeRequest("big", "[]", 2),
         R"({"error":"\"big\" command requires at least 1 arguments\n","id":2,"result":null})"},
        {MakeRequest("nope", "[]", 3),
         R"({"error":"\"nope\" is not a valid command (use \"list-commands\" to see a list of )"
         R"(valid commands)\n","id":3,"result":null})"},
        {MakeRequest("echo", R"(["a",2])", 4),
         R"({"error":"\"echo\" command has non-string argument\n","id":4,"result":null})"},
        {MakeRequest("echo", "[1,2,3]", 5),
         R"({"error":"\"echo\" command takes at most 2 arguments\n","id":5,"result":null})"},
        {MakeRequest("fail", "[]", 6), R"({"error":"it failed\n","id":6,"result":null})"},
        {MakeRequest("silent", "[]", 7),
         R"({"error":"\"silent\" command did not reply\n","id":7,"result":null})"},
        {MakeRequest("boom", "[]", 8),
         R"({"error":"\"boom\" command failed\n","id":8,"result":null})"},
        {MakeRequest("twice", "[]", 9), R"({"error":null,"id":9,"result":"first\n"})"},
        // An empty reply stays empty (no newline added), as Open vSwitch sends it.
        {MakeRequest("echo", "[]", 10), R"({"error":null,"id":10,"result":""})"},
    };
    RawClient c(path_);
    std::string batch;
    for (const auto& [request, reply] : cases)
        batch += request;
    ASSERT_TRUE(c.Send(batch));
    Pump();
    auto msgs = c.Read(std::size(cases));
    ASSERT_EQ(msgs.size(), std::size(cases));
    for (size_t i = 0; i < msgs.size(); ++i)
        EXPECT_EQ(msgs[i], cases[i].second) << cases[i].first;
    EXPECT_FALSE(c.Readable());
    EXPECT_EQ(calls_.load(), 5);  // fail, silent, boom, twice and the last echo only
    EXPECT_TRUE(Logged(log_, {{"unixctl: refused: \"nope\" is not a valid command", "LCP00703"},
                              "unixctl: command \"silent\" returned without a reply",
                              {"unixctl: command \"boom\" failed: kaboom", "LCP00703"},
                              "unixctl: second reply to \"twice\" dropped"}));
    EXPECT_EQ(Echo(c, "ok", 11), "ok\n");
}

TEST_F(UnixctlServerTest, BadInputClosesOnlyThatConnection) {
    struct Case {
        std::string bytes;
        std::string logged;
    };
    std::vector<Case> cases = {
        {R"({"method":"echo","params":[],"id":1,})", "malformed JSON"},
        {"{\"method\":\"echo\",\"params\":[\"\xc3\x28\"],\"id\":1}", "malformed JSON"},
        {"[1,2,3]", "message is not a JSON object"},
        {"\"echo\"", "message is not a JSON object"},
        {R"({"params":[],"id":1})", "request without a string method"},
        {R"({"method":["echo"],"params":[],"id":1})", "request without a string method"},
        {R"({"method":7,"params":[],"id":1})", "request without a string method"},
        {R"({"method":"echo","params":{"a":"b"},"id":1})", "request params are not an array"},
        {R"({"method":"echo","params":"a","id":1})", "request params are not an array"},
        {R"({"method":"echo","id":1})", "request params are not an array"},
        {R"({"method":"echo","params":[]})", "request without an id"},
        {R"({"method":"echo","params":[],"id":null})", "request without an id"},
        {"{\"method\":" + std::string(40, '[') + std::string(40, ']') + "}",
         "message nested too deeply"},
    };
    RawClient bystander(path_);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.bytes);
        log_.Clear();
        RawClient c(path_);
        ASSERT_TRUE(c.Send(k.bytes));
        Pump();
        EXPECT_TRUE(c.ClosedByServer());
        EXPECT_TRUE(log_.ContainsWithCode(
            "unixctl: closing connection on " + path_ + ": " + k.logged, "LCP00703"))
            << log_.Dump();
        EXPECT_EQ(Echo(bystander, "still", 9), "still\n");
    }
    EXPECT_EQ(calls_.load(), static_cast<int>(cases.size()));  // only the bystander's
    EXPECT_EQ(server_->ConnectionCount(), 1u);
}

TEST_F(UnixctlServerTest, OversizedRequestIsDroppedWithALogLine) {
    RawClient c(path_);
    std::string head = R"({"method":"echo","params":[")";
    ASSERT_TRUE(c.Send(head));
    Pump();
    // Feed the server as the socket buffer allows until it gives up on the request.
    std::string chunk(64 * 1024, 'a');
    size_t sent = head.size();
    bool refused = false;
    while (!refused && sent < 4 * kMaxRequestBytes) {
        ssize_t n = ::send(c.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (errno != EAGAIN) {
            refused = true;  // the server closed the connection
        }
        Pump();
        refused = refused || server_->ConnectionCount() == 0;
    }
    EXPECT_TRUE(refused);
    EXPECT_GT(sent, kMaxRequestBytes);
    EXPECT_TRUE(c.ClosedByServer());
    EXPECT_TRUE(log_.ContainsWithCode(
        "unixctl: closing connection on " + path_ + ": message too large", "LCP00703"));
    EXPECT_EQ(calls_.load(), 0);
    // A request just under the bound is answered.
    ServerThread thread(*server_);
    Client ok;
    ASSERT_EQ(ok.Connect(path_), 0);
    std::string arg(kMaxRequestBytes - 100, 'b');
    Reply r;
    ASSERT_EQ(ok.Transact("echo", {arg}, &r, 30000), 0);
    EXPECT_EQ(r.text.size(), arg.size() + 1);
}

TEST_F(UnixctlServerTest, ClientsThatLeaveMidRequestOrBeforeTheirReplyAreForgotten) {
    {
        RawClient c(path_);
        ASSERT_TRUE(c.Send(R"({"method":"echo","par)"));
        Pump();
        EXPECT_EQ(server_->ConnectionCount(), 1u);
    }
    Pump();
    EXPECT_EQ(server_->ConnectionCount(), 0u);
    EXPECT_TRUE(log_.Contains("unixctl: client on " + path_ + " disconnected mid-request"));
    {
        // Request sent, connection gone before the reply is written: no SIGPIPE, no leak.
        RawClient c(path_);
        ASSERT_TRUE(c.Send(MakeRequest("big", R"(["1000000"])", 1)));
        ::shutdown(c.fd(), SHUT_RDWR);
    }
    Pump();
    Pump();
    EXPECT_EQ(server_->ConnectionCount(), 0u);
    RawClient again(path_);
    EXPECT_EQ(Echo(again, "x", 2), "x\n");
}

// Idle clients cannot keep the connections: at the cap new ones are refused (one log line for a
// burst of refusals), and connections idle for the timeout are closed, which lets clients in again.
TEST_F(UnixctlServerTest, IdleConnectionsAreClosedAndRefusalsAreLoggedOnce) {
    struct rlimit lim;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
    const rlim_t wanted = 2 * kMaxConnections + 256;
    if (lim.rlim_cur < wanted) {
        if (lim.rlim_max < wanted)
            GTEST_SKIP() << "needs " << wanted << " descriptors";
        struct rlimit raised = lim;
        raised.rlim_cur = wanted;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    std::vector<std::unique_ptr<RawClient>> idle;
    for (size_t i = 0; i < kMaxConnections; ++i) {
        idle.push_back(std::make_unique<RawClient>(path_));
        ASSERT_TRUE(idle.back()->connected());
        if (i % 16 == 15)
            Pump();  // keeps the listen backlog from filling
    }
    ASSERT_TRUE(AwaitTrue([&] {
        Pump();
        return server_->ConnectionCount() == kMaxConnections;
    }));
    log_.Clear();
    for (int i = 0; i < 20; ++i) {
        RawClient extra(path_);
        ASSERT_TRUE(extra.Send(MakeRequest("echo", R"(["x"])", i)));
        Pump();
        EXPECT_TRUE(extra.ClosedByServer());  // unanswered
    }
    EXPECT_EQ(log_.Count("connection(s) refused on " + path_ + ": too many connections open"), 1u)
        << log_.Dump();
    EXPECT_EQ(calls_.load(), 0);

    // Not yet idle long enough: still there. One client sends the start of a request meanwhile
    // (nothing to answer yet, so only what it sent counts) and so is not idle.
    CfgAgent::AgentClock::advance(kIdleTimeout - std::chrono::seconds(1));
    Pump();
    EXPECT_EQ(server_->ConnectionCount(), kMaxConnections);
    ASSERT_TRUE(idle[0]->Send(MakeRequest("echo", R"(["a"])", 7).substr(0, 8)));
    Pump();
    CfgAgent::AgentClock::advance(std::chrono::seconds(2));
    Pump();
    EXPECT_EQ(server_->ConnectionCount(), 1u);
    EXPECT_TRUE(log_.Contains("unixctl: closed 511 connection(s) idle for 30 s on " + path_))
        << log_.Dump();
    RawClient fresh(path_);
    EXPECT_EQ(Echo(fresh, "y", 99), "y\n");
    CfgAgent::AgentClock::reset();
    ::setrlimit(RLIMIT_NOFILE, &lim);
}

// A connection whose descriptor falls into the reserve kept for the agent's own links is refused.
TEST_F(UnixctlServerTest, DescriptorsKeptInReserveAreNotHandedToClients) {
    struct rlimit lim;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
    // The next descriptors the process gets lie within the reserve. A limit only has a reserve
    // when it is above it, so the few descriptors a fresh process holds are topped up first.
    std::vector<int> held;
    int probe = ::dup(0);
    while (probe >= 0 && probe <= 8) {
        held.push_back(probe);
        probe = ::dup(0);
    }
    ASSERT_GE(probe, 0);
    ::close(probe);
    struct rlimit tight = lim;
    tight.rlim_cur = static_cast<rlim_t>(probe + ozy::kFdReserve - 8);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    {
        RawClient c(path_);
        ASSERT_TRUE(c.Send(MakeRequest("echo", R"(["x"])", 1)));
        Pump();
        EXPECT_TRUE(c.ClosedByServer());
    }
    ::setrlimit(RLIMIT_NOFILE, &lim);
    for (int fd : held)
        ::close(fd);
    EXPECT_TRUE(log_.Contains("descriptors kept for the agent's own links")) << log_.Dump();
    EXPECT_EQ(calls_.load(), 0);
    RawClient c(path_);
    EXPECT_EQ(Echo(c, "x", 2), "x\n");
}

TEST_F(UnixctlServerTest, LargeRepliesReachSlowReadersWithoutStallingOthers) {
    ServerThread thread(*server_);
    // A client that pipelines requests with large replies and never reads them.
    RawClient hog(path_);
    std::string batch;
    for (int i = 0; i < 20; ++i)
        batch += MakeRequest("big", R"(["262144"])", i);
    ASSERT_TRUE(hog.Send(batch));
    Client other;
    ASSERT_EQ(other.Connect(path_), 0);
    Reply r;
    ASSERT_EQ(other.Transact("big", {"4000000"}, &r, 30000), 0);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.text.size(), 4000001u);
    // The hog gets every reply once it reads.
    auto msgs = hog.Read(20);
    EXPECT_EQ(msgs.size(), 20u);
}

TEST_F(UnixctlServerTest, HundredConcurrentClientsEachGetTheirOwnReply) {
    ServerThread thread(*server_);
    constexpr int kClients = 100;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_EQ(clients.back()->Connect(path_), 0);
    }
    ASSERT_TRUE(AwaitTrue([&] { return server_->ConnectionCount() == kClients; }));
    std::atomic<int> good{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (int i = t; i < kClients; i += 4) {
                    Reply r;
                    std::string arg = std::to_string(i) + "-" + std::to_string(round);
                    if (clients[i]->Transact("echo", {arg}, &r, 30000) == 0 && r.success &&
                        r.text == arg + "\n") {
                        ++good;
                    }
                }
            }
        });
    }
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(good.load(), kClients * 3);
    clients.clear();
    EXPECT_TRUE(AwaitTrue([&] { return server_->ConnectionCount() == 0; }));
}

TEST_F(UnixctlServerTest, WakeEndsWaitFromAnotherThreadAndIsNotLost) {
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        server_->Wait(-1);
        done = true;
    });
    server_->Wake();
    waiter.join();
    EXPECT_TRUE(done.load());
    // A wake-up that comes before the wait is kept for it.
    server_->Wake();
    server_->Wait(-1);
    // A connection that opens and closes at once wakes the server too (shutdown of the CLI).
    std::thread waiter2([&] { server_->Wait(-1); });
    {
        Client wake;
        ASSERT_EQ(wake.Connect(path_), 0);
    }
    waiter2.join();
    Pump();
    EXPECT_EQ(server_->ConnectionCount(), 0u);
}

// Deferred replies: the connection waits for its answer (its next request too) while others are
// served; the answer comes from any thread and wakes the server; a released handle, a client that
// hangs up and a server that goes first are all answered cleanly.
TEST_F(UnixctlServerTest, DeferredRepliesComeLaterWhileOtherClientsAreServed) {
    std::mutex handlesMutex;
    std::vector<std::shared_ptr<DeferredReply>> handles;
    server_->RegisterCommand("later", "", 0, 0, [&](Connection& c, const auto&) {
        std::lock_guard<std::mutex> lock(handlesMutex);
        handles.push_back(c.Defer());
    });
    auto handle = [&](size_t i) {
        std::lock_guard<std::mutex> lock(handlesMutex);
        return handles.at(i);
    };
    RawClient a(path_);
    RawClient b(path_);
    ASSERT_TRUE(a.Send(MakeRequest("later", "[]", 1) + MakeRequest("echo", R"(["after"])", 2)));
    Pump();
    ASSERT_EQ(handles.size(), 1u);
    EXPECT_EQ(Echo(b, "other", 3), "other\n");
    EXPECT_FALSE(a.Readable());
    EXPECT_EQ(calls_.load(), 1);  // a's echo waits behind its deferred request
    // Not closed as idle while its answer is owed.
    CfgAgent::AgentClock::advance(kIdleTimeout + std::chrono::seconds(1));
    Pump();
    CfgAgent::AgentClock::reset();
    EXPECT_EQ(server_->ConnectionCount(), 1u);  // b went idle, a stays
    std::thread([&] { handle(0)->Reply("late"); }).join();
    Pump();
    auto msgs = a.Read(2);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0], R"({"error":null,"id":1,"result":"late\n"})");
    EXPECT_EQ(msgs[1], R"({"error":null,"id":2,"result":"after\n"})");
    handle(0)->ReplyError("again");
    EXPECT_TRUE(log_.Contains("unixctl: second reply to \"later\" dropped"));
    Pump();
    EXPECT_FALSE(a.Readable());

    // Released without an answer: the error reply is sent for it.
    ASSERT_TRUE(a.Send(MakeRequest("later", "[]", 4)));
    Pump();
    {
        std::lock_guard<std::mutex> lock(handlesMutex);
        handles.at(1).reset();
    }
    Pump();
    Reply r = a.ReadReply();
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.text, "\"later\" command did not reply\n");

    // The client hangs up while its answer is owed: closed; the late answer goes nowhere.
    {
        RawClient gone(path_);
        ASSERT_TRUE(gone.Send(MakeRequest("later", "[]", 5)));
        Pump();
        EXPECT_EQ(server_->ConnectionCount(), 2u);
    }
    server_->Wait(5000);
    Pump();
    EXPECT_EQ(server_->ConnectionCount(), 1u);
    handle(2)->Reply("too late");
    Pump();

    // Served by its own thread: an answer from another thread wakes the server.
    {
        ServerThread thread(*server_);
        Client c;
        ASSERT_EQ(c.Connect(path_), 0);
        std::thread answer([&] {
            EXPECT_TRUE(AwaitTrue([&] {
                std::lock_guard<std::mutex> lock(handlesMutex);
                return handles.size() == 4;
            }));
            handle(3)->Reply("woken");
        });
        Reply woken;
        EXPECT_EQ(c.Transact("later", {}, &woken, 30000), 0);
        answer.join();
        EXPECT_EQ(woken.text, "woken\n");
        // And one still owed when the server goes.
        ASSERT_TRUE(a.Send(MakeRequest("later", "[]", 6)));
        ASSERT_TRUE(AwaitTrue([&] {
            std::lock_guard<std::mutex> lock(handlesMutex);
            return handles.size() == 5;
        }));
    }
    std::shared_ptr<DeferredReply> orphan = handle(4);
    handles.clear();
    server_.reset();
    orphan->Reply("after the server");
    EXPECT_TRUE(a.ClosedByServer());
}

// A server whose backlog is full (its loop busy) still answers at its path: it is not stale.
TEST_F(UnixctlServerTest, AServerWithAFullBacklogKeepsItsSocket) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    std::vector<int> waiting;
    for (int rc = 0; rc == 0 && waiting.size() < 4096;) {
        waiting.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
        rc = ::connect(waiting.back(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        if (rc != 0) {
            ASSERT_EQ(errno, EAGAIN);
        }
    }
    std::unique_ptr<Server> second;
    EXPECT_EQ(Server::Create(path_, &second), EADDRINUSE);
    struct stat st;
    EXPECT_EQ(::stat(path_.c_str(), &st), 0) << "the live server's socket was removed";
    for (int fd : waiting)
        ::close(fd);
}

TEST(UnixctlSocketTest, SocketIsNotWorldAccessibleWhateverTheUmask) {
    TempDir dir("ozy-unixctl");
    std::string path = dir.path() + "/s";
    mode_t old = ::umask(0);
    std::unique_ptr<Server> server;
    int err = Server::Create(path, &server);
    ::umask(old);
    ASSERT_EQ(err, 0);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0770u);
    server.reset();
    EXPECT_NE(::stat(path.c_str(), &st), 0) << "the socket file is removed with the server";

    old = ::umask(0027);
    err = Server::Create(path, &server);
    ::umask(old);
    ASSERT_EQ(err, 0);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST(UnixctlSocketTest, StaleSocketIsReplacedButLiveServersAndOtherFilesAreKept) {
    LogCapture log;
    TempDir dir("ozy-unixctl");
    std::string path = dir.path() + "/s";
    {
        // A socket file left behind by a process that died.
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ::close(fd);
    }
    std::unique_ptr<Server> first;
    ASSERT_EQ(Server::Create(path, &first), 0);
    EXPECT_TRUE(log.Contains("unixctl: removed stale socket " + path));

    std::unique_ptr<Server> second;
    EXPECT_EQ(Server::Create(path, &second), EADDRINUSE);
    EXPECT_EQ(second, nullptr);
    {
        ServerThread thread(*first);  // still answering at its path
        Client c;
        Reply r;
        ASSERT_EQ(c.Connect(path), 0);
        ASSERT_EQ(c.Transact("help", {}, &r), 0);
        EXPECT_TRUE(r.success);
    }

    // A server whose file was replaced does not remove its successor's socket.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(Server::Create(path, &second), 0);
    first.reset();
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    second.reset();

    dir.WriteFile("plain", "keep me");
    EXPECT_EQ(Server::Create(dir.path() + "/plain", &second), EEXIST);
    EXPECT_EQ(CfgAgent::test::ReadFile(dir.path() + "/plain"), "keep me");
}

TEST(UnixctlSocketTest, PathsTooLongForASocketAddressFailClearly) {
    std::string longPath = "/tmp/" + std::string(120, 'p');
    std::unique_ptr<Server> server;
    EXPECT_EQ(Server::Create(longPath, &server), ENAMETOOLONG);
    EXPECT_EQ(Server::Create("", &server), EINVAL);
    Client c;
    EXPECT_EQ(c.Connect(longPath), ENAMETOOLONG);
    EXPECT_EQ(c.Connect("/nonexistent-dir/s"), ENOENT);
    Reply r;
    EXPECT_EQ(c.Transact("help", {}, &r), ENOTCONN);
}

TEST(UnixctlClientTest, ReportsTimeoutsAndServersThatGoAway) {
    TempDir dir("ozy-unixctl");
    std::string path = dir.path() + "/s";
    std::unique_ptr<Server> server;
    ASSERT_EQ(Server::Create(path, &server), 0);
    Client c;
    ASSERT_EQ(c.Connect(path), 0);
    Reply r;
    // Nobody runs the server: the request is never answered.
    EXPECT_EQ(c.Transact("help", {}, &r, 50), ETIMEDOUT);
    EXPECT_FALSE(c.connected());
    ASSERT_EQ(c.Connect(path), 0);
    server->Run();
    server.reset();
    EXPECT_EQ(c.Transact("help", {}, &r), ECONNRESET);
}

}  // namespace
}  // namespace ozy::unixctl

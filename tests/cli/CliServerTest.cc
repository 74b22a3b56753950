// The CLI server driven by Debian's ovs-appctl.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <future>

#include "cli/CliServer.h"
#include "platform/unixctl/UnixctlClient.h"
#include "runtime/AgentLock.h"
#include "runtime/Logger.h"
#include "tests/support/Await.h"
#include "tests/support/CliCases.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace CfgAgent {
namespace {

using Mode = CliPages::Mode;

class CliServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CliContext ctx;
        ctx.pages.AddOutOfSync("config", [this] { ++configOutOfSync; });
        ctx.pages.Add("cfgagent/bfd", "", 0, 0, [](const CliPages::Args&) -> CliReply {
            throw std::runtime_error("broken dump");
        });
        // An application's own command, and its answer to a command of the fixed table.
        ctx.pages.Add("cfgagent/testapp/echo", "WORD [WORD]", 1, 2, [](const CliPages::Args& a) {
            return CliReply::Ok(a.size() == 1 ? a[0] : a[0] + "+" + a[1]);
        });
        ctx.pages.Add("dfw/vif", "ignored", 5, 5, [](const CliPages::Args& a) {
            return a.empty() ? CliReply::Ok("all vifs") : CliReply::Error("no vif " + a[0]);
        });
        // Pages that say whether another thread can take the global agent lock meanwhile: an
        // application's own, a fixed command's, each locked and unlocked.
        auto lockProbe = [](const CliPages::Args&) {
            bool free = std::async(std::launch::async, [] {
                            bool got = GlobalAgentLock().try_lock();
                            if (got)
                                GlobalAgentLock().unlock();
                            return got;
                        }).get();
            return CliReply::Ok(free ? "lock free" : "lock held");
        };
        ctx.pages.Add("cfgagent/testapp/locked", "", 0, 0, lockProbe);
        ctx.pages.Add("cfgagent/testapp/unlocked", "", 0, 0, lockProbe, Mode::kUnlocked);
        ctx.pages.Add("ids/get/engine/status", "", 0, 0, lockProbe, Mode::kDeferred);
        // A deferred page that waits until the test lets it go, one that throws, and one that
        // reports failure.
        ctx.pages.Add(
            "cfgagent/testapp/slow", "", 0, 1,
            [this](const CliPages::Args& a) {
                ++slowStarted;
                release.wait();
                return CliReply::Ok(a.empty() ? "slow done" : "slow " + a[0]);
            },
            Mode::kDeferred);
        ctx.pages.Add(
            "ids/get/engine/rules", "", 0, 0,
            [](const CliPages::Args&) -> CliReply { throw std::runtime_error("engine gone"); },
            Mode::kDeferred);
        ctx.pages.Add(
            "ids/get/engine/loglevel", "", 0, 0,
            [](const CliPages::Args&) { return CliReply::Error("no level"); }, Mode::kDeferred);
        server = ozy::RefPtr<CliServer>(new CliServer(ctx, dir.path() + "/cli.sock"));
        ASSERT_TRUE(server->Start());
        appctl = test::AppctlOn(server->socketPath());
    }
    void TearDown() override {
        if (!isReleased)
            released.set_value();
        server->Stop();
    }
    void Release() {
        released.set_value();
        isReleased = true;
    }
    bool isReleased = false;

    test::TempDir dir;
    test::LogCapture log{kLogInfo};
    std::atomic<int> configOutOfSync{0};
    std::atomic<int> slowStarted{0};
    std::promise<void> released;
    std::shared_future<void> release = released.get_future().share();
    ozy::RefPtr<CliServer> server;
    test::CliRunner appctl;
};

TEST_F(CliServerTest, CommandsAnswerAsTheirTableSays) {
    // Argument counts are enforced before the handler.
    test::ExpectCli(appctl,
                    {{"cfgagent/get/loglevel extra", 2, "command takes at most 0 arguments"},
                     {"cfgagent/set-simulate/out-of-sync", 2, ""}});
    EXPECT_FALSE(log.Contains("CliServer: getting log level"));
    EXPECT_FALSE(log.Contains("CliServer: setting simulate out of sync"));

    test::ExpectCli(
        appctl,
        {{"list-commands", 0,
          "cfgagent/set/loglevel|cfgagent/get-wft/tracelevel|cfgagent/set-simulate/out-of-sync|"
          "dfw/setlibloglevel|ids/dump/signatures|si/get-ordered-service-paths|cfgagent/bfd|"
          "cfgagent/ipfix-switch/profile/lport|VERTICAL_NAME"},
         {"cfgagent/set/loglevel verbose", 2,
          "Setting cfgagent logging level from info to verbose failed"},
         {"cfgagent/get/loglevel", 0, "=Current cfgagent logging level is: info\n"},
         {"cfgagent/set-rpc/loglevel debug", 0,
          "=Setting cfgagent rpc logging level from info to debug successfully\n"},
         {"cfgagent/get-rpc/loglevel", 0, "=Current cfgagent rpc logging level is: debug\n"},
         {"cfgagent/set-rpc/loglevel info", 0, ""},
         {"cfgagent/set-simulate/out-of-sync config", 0,
          "=Setting simulate out of sync for vertical config successfully\n"},
         {"cfgagent/set-simulate/out-of-sync l3", 2,
          "Setting simulate out of sync for vertical l3 failed"},
         // Tracing level and applications that are absent.
         {"cfgagent/get-wft/tracelevel", 0, "=Current cfgagent trace level is: info\n"},
         {"cfgagent/set-wft/tracelevel loud", 2, ""},
         {"dfw/getloglevel", 0, "={\"result\" : \"not initialized\"}\n"},
         {"ids/get/status", 0, "\"ids_status\"|\"invalid input\""},
         {"si/get-selected-service-paths 7", 2, "Query Service Path fail"},
         {"cfgagent/l2/routingdomain", 2, ""},
         {"cfgagent/get-wft/stats", 0, "\"StatsName\": \"RootSpan_Total_Req\""},
         // A handler's exception is logged and answered, and the server goes on.
         {"cfgagent/bfd", 2, "failed to process command"},
         {"cfgagent/get/loglevel", 0, ""}});
    EXPECT_EQ(Logger::level(), kLogInfo);
    EXPECT_TRUE(log.Contains("CliServer: setting rpc log level from info to debug"));
    EXPECT_EQ(configOutOfSync.load(), 1);
    EXPECT_TRUE(log.Contains("CliServer: unknown vertical name l3."));
    EXPECT_TRUE(log.ContainsWithCode("failed to process command", "LCP00703"));

    // "off" silences the agent.
    test::ExpectCli(appctl, {{"cfgagent/set/loglevel off", 0,
                              "=Setting cfgagent logging level from info to off successfully\n"}});
    log.Clear();
    CFG_FATAL("must not appear");
    EXPECT_FALSE(log.Contains("must not appear"));
    Logger::setLevel(kLogInfo);
}

// Levels by name or by the numbers of the configuration file; anything else is refused with the
// valid ones logged, and the level stays.
TEST_F(CliServerTest, LevelsByNameOrNumberAndOutOfRangeRefused) {
    test::ExpectCli(
        appctl,
        {{"cfgagent/set/loglevel 5", 0,
          "=Setting cfgagent logging level from info to debug successfully\n"},
         {"cfgagent/get/loglevel", 0, "=Current cfgagent logging level is: debug\n"},
         {"cfgagent/set/loglevel 4", 0,
          "=Setting cfgagent logging level from debug to info successfully\n"},
         {"cfgagent/set/loglevel 7", 2, "Setting cfgagent logging level from info to 7 failed"},
         {"cfgagent/set/loglevel 10", 2, "from info to 10 failed"},
         {"cfgagent/set/loglevel 4x", 2, "from info to 4x failed"},
         {"cfgagent/get/loglevel", 0, "=Current cfgagent logging level is: info\n"},
         {"cfgagent/set-wft/tracelevel 99", 2,
          "Setting cfgagent trace level from info to 99 failed"},
         {"cfgagent/set-wft/tracelevel 5", 2, "from info to 5 failed"},
         {"cfgagent/get-wft/tracelevel", 0, "=Current cfgagent trace level is: info\n"},
         {"cfgagent/set-wft/tracelevel 3", 0,
          "=Setting cfgagent trace level from info to debug successfully\n"},
         {"cfgagent/set-wft/tracelevel info", 0,
          "=Setting cfgagent trace level from debug to info successfully\n"}});
    for (const char* level : {"7", "10", "4x"}) {
        EXPECT_TRUE(log.Contains(std::string("CliServer: log level ") + level +
                                 " refused: give off, fatal, error, warn, info, debug, trace or 0 "
                                 "to 6"))
            << level;
    }
    for (const char* level : {"99", "5"}) {
        EXPECT_TRUE(log.Contains(std::string("CliServer: trace level ") + level +
                                 " refused: give off, warn, info, debug, trace or 0 to 4"))
            << level;
    }
    EXPECT_EQ(Logger::level(), kLogInfo);
}

TEST_F(CliServerTest, ApplicationPagesAnswerTheirOwnAndFixedCommands) {
    test::ExpectCli(
        appctl,
        {{"list-commands", 0, "cfgagent/testapp/echo|WORD [WORD]"},
         {"cfgagent/testapp/echo a;b", 0, "=a;b\n"},
         {"cfgagent/testapp/echo", 2, "requires at least 1 arguments"},
         {"cfgagent/testapp/echo 1 2 3", 2, "takes at most 2 arguments"},
         // The fixed table keeps its argument range (0-1); the page answers, errors included.
         {"dfw/vif", 0, "=all vifs\n"},
         {"dfw/vif v1", 2, "no vif v1"},
         // Commands without a page still answer for their absent application.
         {"dfw/exclude", 0, "={\"result\" : \"not initialized\"}\n"}});
    // The page of a fixed command does not register a second command.
    EXPECT_FALSE(log.Contains("is already registered"));
}

TEST_F(CliServerTest, UnlockedAndDeferredPagesRunWithoutTheGlobalLock) {
    test::ExpectCli(appctl, {{"cfgagent/testapp/locked", 0, "=lock held\n"},
                             {"cfgagent/testapp/unlocked", 0, "=lock free\n"},
                             {"ids/get/engine/status", 0, "=lock free\n"}});
}

// A deferred page that waits does not hold up the server: other commands answer meanwhile, and
// its own reply comes when it returns. Failures on the worker are answered too.
TEST_F(CliServerTest, DeferredPagesLetOtherCommandsAnswerWhileTheyWait) {
    auto slow = std::async(std::launch::async, [&] { return appctl({"cfgagent/testapp/slow"}); });
    ASSERT_TRUE(test::AwaitTrue([&] { return slowStarted.load() == 1; }));
    test::ExpectCli(appctl,
                    {{"cfgagent/get/loglevel", 0, "=Current cfgagent logging level is: info\n"},
                     {"cfgagent/testapp/locked", 0, "=lock held\n"},
                     {"cfgagent/testapp/echo x", 0, "=x\n"}});
    // Deferred pages queue behind the one that waits.
    auto queued = std::async(std::launch::async, [&] {
        return appctl({"cfgagent/testapp/slow", "q"});
    });
    EXPECT_EQ(slow.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    Release();
    test::RunResult r = slow.get();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "slow done\n");
    r = queued.get();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "slow q\n");
    test::ExpectCli(appctl, {{"ids/get/engine/rules", 2, "failed to process command"},
                             {"ids/get/engine/loglevel", 2, "no level"},
                             {"cfgagent/testapp/echo y", 0, "=y\n"}});
    EXPECT_TRUE(log.ContainsWithCode("failed to process command", "LCP00703"));
}

// Stopping the server while a deferred page waits: the server goes at once, the worker once
// the page returns.
TEST_F(CliServerTest, StopsWhileADeferredPageWaits) {
    auto slow = std::async(std::launch::async, [&] { return appctl({"cfgagent/testapp/slow"}); });
    ASSERT_TRUE(test::AwaitTrue([&] { return slowStarted.load() == 1; }));
    auto stopped = std::async(std::launch::async, [&] { server->Stop(); });
    EXPECT_TRUE(log.WaitFor("Cli server terminated"));
    EXPECT_NE(slow.get().status, 0);
    Release();
    stopped.get();
    EXPECT_FALSE(server->running());
}

// The worker runs jobs in order, refuses beyond its bound, and drops what is still queued on stop.
TEST(CliWorkerTest, BoundedQueueInOrderAndQueuedJobsDroppedOnStop) {
    CliWorker worker;
    EXPECT_FALSE(worker.Post([] {}));
    worker.Start();
    std::promise<void> go;
    std::shared_future<void> gate = go.get_future().share();
    std::atomic<bool> first{false};
    std::vector<int> order;
    std::mutex orderMutex;
    ASSERT_TRUE(worker.Post([&] {
        first = true;
        gate.wait();
    }));
    ASSERT_TRUE(test::AwaitTrue([&] { return first.load(); }));
    auto dropped = std::make_shared<int>(0);
    for (size_t i = 0; i < CliWorker::kMaxQueued; ++i) {
        ASSERT_TRUE(worker.Post([&, i, dropped] {
            std::lock_guard<std::mutex> lock(orderMutex);
            order.push_back(static_cast<int>(i));
        }));
    }
    EXPECT_FALSE(worker.Post([] {}));
    go.set_value();
    ASSERT_TRUE(test::AwaitTrue([&] {
        std::lock_guard<std::mutex> lock(orderMutex);
        return order.size() == CliWorker::kMaxQueued;
    }));
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(order[i], static_cast<int>(i));
    // Queued work is released unrun on stop.
    std::promise<void> go2;
    std::shared_future<void> gate2 = go2.get_future().share();
    first = false;
    ASSERT_TRUE(worker.Post([&] {
        first = true;
        gate2.wait();
    }));
    ASSERT_TRUE(test::AwaitTrue([&] { return first.load(); }));
    std::atomic<bool> ran{false};
    ASSERT_TRUE(worker.Post([&ran, dropped] { ran = true; }));
    std::weak_ptr<int> watch = dropped;
    dropped.reset();
    auto stopping = std::async(std::launch::async, [&] { worker.Stop(); });
    ASSERT_TRUE(test::AwaitTrue([&] { return watch.expired(); }));
    go2.set_value();
    stopping.get();
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(worker.Post([] {}));
}

TEST(CliPagesTest, LaterRegistrationReplacesAndIsLogged) {
    test::LogCapture log{kLogWarn};
    CliPages pages;
    pages.Add("x/y", "", 0, 0, [](const CliPages::Args&) { return CliReply::Ok("first"); });
    pages.Add("x/y", "", 0, 0, [](const CliPages::Args&) { return CliReply::Ok("second"); });
    pages.AddOutOfSync("l2", [] {});
    pages.AddOutOfSync("l2", [] {});
    ASSERT_NE(pages.Find("x/y"), nullptr);
    EXPECT_EQ(pages.Find("x/y")->handler({}).text, "second");
    EXPECT_EQ(pages.Find("x/z"), nullptr);
    EXPECT_NE(pages.FindOutOfSync("l2"), nullptr);
    EXPECT_EQ(pages.FindOutOfSync("config"), nullptr);
    EXPECT_TRUE(log.Contains("CliPages: command x/y registered twice"));
    EXPECT_TRUE(log.Contains("CliPages: out-of-sync vertical l2 registered twice"));
}

TEST(CliServerStartTest, SocketDirectoriesAreOwnerWritableWhateverTheUmask) {
    test::TempDir dir;
    for (mode_t mask : {0000, 0077}) {
        SCOPED_TRACE(mask);
        std::string base = dir.path() + "/u" + std::to_string(mask);
        mode_t before = ::umask(mask);
        ozy::RefPtr<CliServer> server(new CliServer(CliContext(), base + "/run/cli/cli.sock"));
        bool started = server->Start();
        ::umask(before);
        ASSERT_TRUE(started);
        for (const std::string& d : {base, base + "/run", base + "/run/cli"}) {
            struct stat st;
            ASSERT_EQ(::stat(d.c_str(), &st), 0) << d;
            EXPECT_EQ(st.st_mode & 07777, 0755u) << d;
        }
        server->Stop();
    }
}

TEST_F(CliServerTest, StopsWhileAClientIsConnected) {
    ozy::unixctl::Client idle;
    ASSERT_EQ(idle.Connect(server->socketPath()), 0);
    server->Stop();
    EXPECT_FALSE(server->running());
    EXPECT_TRUE(log.WaitFor("Cli server terminated"));
}

TEST(CliServerStartTest, UnusableSocketPathIsReported) {
    test::TempDir dir;
    dir.WriteFile("plain", "x");
    test::LogCapture log{kLogInfo};
    ozy::RefPtr<CliServer> server(new CliServer(CliContext(), dir.path() + "/plain"));
    EXPECT_FALSE(server->Start());
    EXPECT_TRUE(log.ContainsWithCode("Cannot create ozy-cfgagent unixctl server:", "LCP00701"));
}

}  // namespace
}  // namespace CfgAgent

// The daemon-health monitor's transitions in simulated time: a database that answers, one that
// stops answering, one that comes back; echo failures; the library's own exchanges as signs of
// life; and ConfigApp starting the monitor when its configuration asks for it.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "apps/switching/DaemonHealthMonitor.h"
#include "runtime/AgentClock.h"
#include "tests/apps/switching/ConfigAppFixture.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent::test {
namespace {

// A database whose echo replies the test controls.
class FakeLiveness : public ICairndbLiveness {
  public:
    enum class Mode { kAnswer, kSilent, kFailStatus, kRefuse };

    bool SendEcho(const std::string& text, EchoDone done) override {
        texts.push_back(text);
        switch (mode) {
            case Mode::kAnswer:
                done(true, "OK");
                return true;
            case Mode::kSilent:
                pending.push_back(std::move(done));
                return true;
            case Mode::kFailStatus:
                done(false, "channel down");
                return true;
            case Mode::kRefuse:
                return false;
        }
        return false;
    }
    int64_t LastExchangeSeconds() const override { return lastExchange; }

    // Answers the echoes left unanswered.
    void AnswerPending() {
        auto p = std::move(pending);
        pending.clear();
        for (auto& d : p)
            d(true, "OK");
    }

    Mode mode = Mode::kAnswer;
    int64_t lastExchange = 0;
    std::vector<std::string> texts;
    std::vector<EchoDone> pending;
};

class DaemonHealthMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        monitor = ozy::MakeRef<DaemonHealthMonitor>([this](bool c) { transitions.push_back(c); },
                                                    &db, io);
    }
    void TearDown() override {
        monitor->Stop();
        AgentClock::reset();
    }
    // One timer tick: 5 seconds of simulated time, then the context runs until the tick is done.
    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i) {
            size_t before = log.Count("DaemonHealthMonitor: reschedule");
            AgentClock::advance(std::chrono::seconds(5), &io);
            for (int k = 0; k < 2000 && log.Count("DaemonHealthMonitor: reschedule") == before;
                 ++k) {
                io.restart();
                io.run_for(std::chrono::milliseconds(2));
            }
            ASSERT_EQ(log.Count("DaemonHealthMonitor: reschedule"), before + 1);
        }
    }

    LogCapture log{kLogDebug};
    boost::asio::io_context io;
    FakeLiveness db;
    std::vector<bool> transitions;
    ozy::RefPtr<DaemonHealthMonitor> monitor;
};

TEST_F(DaemonHealthMonitorTest, AnsweringDatabaseIsReportedConnectedOnce) {
    monitor->Start();
    Tick();
    // The first tick sends the first echo; its reply is the first sign of life.
    EXPECT_EQ(db.texts, (std::vector<std::string>{"ping"}));
    EXPECT_TRUE(log.Contains("DaemonHealthMonitor: ping cairndb sent"));
    EXPECT_EQ(monitor->echoState(), DaemonHealthMonitor::kEchoReplied);
    Tick();
    EXPECT_EQ(transitions, (std::vector<bool>{true}));
    EXPECT_TRUE(log.Contains("DaemonHealthMonitor: cairndb connected"));
    Tick(30);
    EXPECT_EQ(transitions, (std::vector<bool>{true}));
    EXPECT_FALSE(log.Contains("DaemonHealthMonitor: cairndb disconnected"));
    EXPECT_EQ(db.texts.size(), 32u);
    EXPECT_TRUE(monitor->Connected());
}

TEST_F(DaemonHealthMonitorTest, SilenceForMoreThanSixtySecondsDisconnectsAndAReplyReconnects) {
    monitor->Start();
    Tick(2);
    ASSERT_EQ(transitions, (std::vector<bool>{true}));
    db.mode = FakeLiveness::Mode::kSilent;
    Tick();  // the echo of this tick is never answered
    size_t echoes = db.texts.size();
    EXPECT_EQ(monitor->echoState(), DaemonHealthMonitor::kEchoOutstanding);
    // The last sign of life was the reply in the second tick: 55 seconds later the state still
    // holds; ten seconds more and the loss is reported.
    log.Clear();
    Tick(10);
    EXPECT_EQ(transitions, (std::vector<bool>{true}));
    EXPECT_FALSE(log.Contains("cairndb echo timeout"));
    Tick(2);
    EXPECT_TRUE(log.Contains("DaemonHealthMonitor: cairndb echo timeout (60 sec)"));
    EXPECT_TRUE(log.Contains("DaemonHealthMonitor: cairndb disconnected"));
    EXPECT_EQ(transitions, (std::vector<bool>{true, false}));
    // At most one echo outstanding: none was sent while waiting.
    EXPECT_EQ(db.texts.size(), echoes);
    Tick(3);
    EXPECT_EQ(transitions, (std::vector<bool>{true, false}));
    EXPECT_FALSE(monitor->Connected());
    // The reply arrives: the next tick reports the database back, and echoes resume.
    db.mode = FakeLiveness::Mode::kAnswer;
    db.AnswerPending();
    Tick();
    EXPECT_EQ(transitions, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(db.texts.size(), echoes + 1);
}

TEST_F(DaemonHealthMonitorTest, TheLibrarysOwnExchangesAreSignsOfLife) {
    db.mode = FakeLiveness::Mode::kSilent;
    monitor->Start();
    db.lastExchange =
        std::chrono::duration_cast<std::chrono::seconds>(AgentClock::now().time_since_epoch())
            .count();
    Tick();
    EXPECT_EQ(transitions, (std::vector<bool>{true}));
    for (int i = 0; i < 20; ++i) {
        db.lastExchange =
            std::chrono::duration_cast<std::chrono::seconds>(AgentClock::now().time_since_epoch())
                .count();
        Tick();
    }
    EXPECT_EQ(transitions, (std::vector<bool>{true}));
    EXPECT_EQ(db.texts.size(), 1u);
}

TEST_F(DaemonHealthMonitorTest, EchoFailuresAreLoggedAndRetried) {
    db.mode = FakeLiveness::Mode::kRefuse;
    monitor->Start();
    Tick();
    EXPECT_TRUE(log.Contains("DaemonHealthMonitor: ping cairndb failed"));
    EXPECT_EQ(monitor->echoState(), DaemonHealthMonitor::kNoEcho);
    db.mode = FakeLiveness::Mode::kFailStatus;
    Tick();
    EXPECT_TRUE(log.Contains("DaemonHealthMonitor::CairndbEchoCB: status channel down"));
    EXPECT_EQ(monitor->echoState(), DaemonHealthMonitor::kEchoReplied);
    Tick();
    EXPECT_EQ(db.texts.size(), 3u);
    // Never a sign of life: never connected, and nothing to report as lost; the timeout counts
    // from the start.
    Tick(9);
    EXPECT_TRUE(transitions.empty());
    EXPECT_TRUE(log.Contains("DaemonHealthMonitor: cairndb echo timeout (60 sec)"));
}

TEST_F(DaemonHealthMonitorTest, SilentDatabaseTimesOutSixtySecondsAfterTheStartNotBefore) {
    db.mode = FakeLiveness::Mode::kSilent;
    monitor->Start();
    Tick(11);  // 55 seconds
    EXPECT_FALSE(log.Contains("cairndb echo timeout")) << log.Dump();
    EXPECT_TRUE(transitions.empty());
    EXPECT_FALSE(monitor->Connected());
    Tick(2);
    EXPECT_TRUE(log.Contains("DaemonHealthMonitor: cairndb echo timeout (60 sec)"));
    // Never connected: nothing to report as lost.
    EXPECT_TRUE(transitions.empty());
    // The first reply, late, is reported at the next tick.
    db.AnswerPending();
    Tick();
    EXPECT_EQ(transitions, (std::vector<bool>{true}));
}

TEST_F(DaemonHealthMonitorTest, StopEndsTheTicks) {
    monitor->Start();
    Tick();
    monitor->Stop();
    size_t echoes = db.texts.size();
    AgentClock::advance(std::chrono::seconds(30), &io);
    io.restart();
    io.run_for(std::chrono::milliseconds(50));
    EXPECT_EQ(db.texts.size(), echoes);
}

// ConfigApp with "features.healthMonitor.enabled" set.
class ConfigAppHealthTest : public ConfigAppFixture {
  protected:
    boost::property_tree::ptree Config() override {
        boost::property_tree::ptree c = ConfigAppFixture::Config();
        c.put("features.healthMonitor.enabled", true);
        return c;
    }
    void ConfigureOptions(ConfigAppOptions& o) override { o.liveness = &live; }
    FakeLiveness live;
};

TEST_F(ConfigAppHealthTest, ConfigAppStartsTheMonitorAndForwardsTransitions) {
    EXPECT_TRUE(log.Contains("ConfigApp: daemon health monitor started"));
    EXPECT_EQ(app->CairndbConnectionStatus(), "DOWN");
    for (int i = 0; i < 3 && conv->Count("Health up") == 0; ++i)
        Advance(std::chrono::seconds(5));
    EXPECT_EQ(conv->Count("Health up"), 1u);
    EXPECT_EQ(app->CairndbConnectionStatus(), "UP");
    EXPECT_EQ(live.texts.front(), "ping");
}

}  // namespace
}  // namespace CfgAgent::test

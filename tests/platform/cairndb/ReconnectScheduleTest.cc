// The order of reconnection attempts: every member once without waiting, then the back-off.
#include "platform/cairndb/ReconnectSchedule.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace ozy::cairndb {
namespace {

using ms = std::chrono::milliseconds;

// One event of a run: 'f' an attempt failed, 'l' a session in use for a long time ended, 's' one
// in use for less than a steady session's time ended.
// The waits the schedule answers, as text: "0" for none, "W" + ms after a failed round.
std::string Waits(size_t remotes, const std::string& events) {
    ReconnectSchedule s(remotes, ms(100), ms(400), ms(1000));
    std::string out;
    for (char e : events) {
        if (e == ' ')
            continue;
        ReconnectSchedule::Next n = e == 'f'   ? s.AttemptFailed()
                                    : e == 'l' ? s.SessionLost(ms(60000))
                                               : s.SessionLost(ms(999));
        if (!out.empty())
            out += ' ';
        EXPECT_EQ(n.roundEnded, n.wait.count() > 0) << events;
        out += n.roundEnded ? "W" + std::to_string(n.wait.count()) : "0";
    }
    return out;
}

struct Case {
    const char* name;
    size_t remotes;
    const char* events;
    const char* waits;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class ReconnectScheduleTest : public ::testing::TestWithParam<Case> {};

TEST_P(ReconnectScheduleTest, WaitsOnlyOnceEveryMemberWasTried) {
    const Case& c = GetParam();
    EXPECT_EQ(Waits(c.remotes, c.events), c.waits);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ReconnectScheduleTest,
    ::testing::Values(
        // Start-up against dead members: each round tries all three, the wait doubles to the cap.
        Case{"StartupRounds", 3, "fff fff fff fff", "0 0 W100 0 0 W200 0 0 W400 0 0 W400"},
        // The member in use dies: the other two are tried at once; it counts as tried itself.
        Case{"LostThenOthersFail", 3, "lff", "0 0 W100"},
        // A long outage, then a session in use: its loss starts the back-off afresh.
        Case{"BackoffResetByUse", 3, "fff fff lff", "0 0 W100 0 0 W200 0 0 W100"},
        // A session lost before it was steady is one failed try: no fresh round.
        Case{"FlappingMember", 3, "ff ssss", "0 0 W100 0 0 W200"},
        Case{"FlappingThenLongSession", 2, "ss l", "0 W100 0"},
        // A single server: its loss ends the round (no hammering of a server that just died).
        Case{"SingleServer", 1, "l f f l", "W100 W200 W400 W100"},
        // A round interrupted by a session in use restarts; the members already tried count no
        // more.
        Case{"RoundRestartsAfterUse", 3, "f l f f", "0 0 0 W100"}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(ReconnectScheduleLimits, NoRemotesOrNoWaitStillBacksOff) {
    // An empty list counts as one remote; a zero minimum still waits.
    ReconnectSchedule s(0, ms(0), ms(0), ms(0));
    ReconnectSchedule::Next n = s.AttemptFailed();
    EXPECT_TRUE(n.roundEnded);
    EXPECT_GT(n.wait.count(), 0);
}

}  // namespace
}  // namespace ozy::cairndb

// Fragment chains of the live-trace family, written from the layout: reassembly in any order,
// refusals that free their chain, the bounds, and the deadline.
#include <gtest/gtest.h>

#include "services/livetrace/LivetraceFragments.h"
#include "tests/support/WireBytes.h"

namespace CfgAgent::livetrace {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Be;
using test::Cat;
using test::Msg;
using Outcome = LivetraceFragments::Outcome;

// type 30, length; chain, index, count, inner type, reserved, offset, total; the piece.
Bytes Fragment(uint32_t chain, uint16_t index, uint16_t count, uint32_t offset, uint32_t total,
               const Bytes& piece, uint16_t inner = 22) {
    return Msg(30, Cat({Be(chain, 4), Be(index, 2), Be(count, 2), Be(inner, 2), Be(0, 2),
                        Be(offset, 4), Be(total, 4), piece}));
}

class LivetraceFragmentsTest : public ::testing::Test {
  protected:
    Outcome Add(const Bytes& m) {
        error_.clear();
        return frags_.Add(m.data(), m.size(), now_, &whole_, &error_);
    }
    LivetraceFragments frags_{LivetraceFragments::Limits{3, 600, std::chrono::seconds(5)}};
    AgentClock::time_point now_ = AgentClock::now();
    DpMsg whole_;
    std::string error_;
};

TEST_F(LivetraceFragmentsTest, PiecesInAnyOrderMakeTheInnerMessage) {
    EXPECT_EQ(Add(Fragment(7, 2, 3, 4, 6, {5, 6})), Outcome::kPending);
    EXPECT_EQ(Add(Fragment(7, 0, 3, 0, 6, {1, 2})), Outcome::kPending);
    EXPECT_EQ(frags_.OpenChains(), 1u);
    EXPECT_EQ(frags_.BufferedBytes(), 10u);
    ASSERT_EQ(Add(Fragment(7, 1, 3, 2, 6, {3, 4})), Outcome::kComplete) << error_;
    EXPECT_EQ(whole_, (Bytes{0, 22, 0, 10, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(frags_.OpenChains(), 0u);
    EXPECT_EQ(frags_.BufferedBytes(), 0u);
}

TEST_F(LivetraceFragmentsTest, APieceThatDoesNotFitIsRefusedAndFreesItsChain) {
    struct Case {
        Bytes first;
        Bytes bad;
        const char* error;
    };
    const Case cases[] = {
        {Fragment(1, 0, 2, 0, 4, {1, 2}), Fragment(1, 2, 2, 2, 4, {3, 4}), "index beyond"},
        {Fragment(1, 0, 2, 0, 4, {1, 2}), Fragment(1, 0, 2, 2, 4, {3, 4}), "repeated"},
        {Fragment(1, 0, 2, 0, 4, {1, 2}), Fragment(1, 1, 2, 1, 4, {3, 4}),
         "overlaps the piece at 0"},
        {Fragment(1, 1, 2, 2, 4, {3, 4}), Fragment(1, 0, 2, 1, 4, {1, 2}),
         "overlaps the piece at 2"},
        {Fragment(1, 0, 2, 0, 4, {1, 2}), Fragment(1, 1, 2, 3, 4, {3, 4}), "beyond the total"},
        {Fragment(1, 0, 2, 0, 4, {1, 2}), Fragment(1, 1, 3, 2, 4, {3, 4}), "differ"},
        {Fragment(1, 0, 2, 0, 4, {1, 2}), Fragment(1, 1, 2, 2, 4, {3, 4}, 21), "differ"},
        {Fragment(1, 0, 2, 0, 4, {1, 2}), Fragment(1, 1, 2, 2, 4, {3}), "hold 3 of 4 bytes"},
    };
    for (const Case& c : cases) {
        frags_.Clear();
        ASSERT_EQ(Add(c.first), Outcome::kPending) << error_;
        EXPECT_EQ(Add(c.bad), Outcome::kRefused) << c.error;
        EXPECT_NE(error_.find(c.error), std::string::npos) << error_;
        EXPECT_EQ(frags_.OpenChains(), 0u) << c.error;
        EXPECT_EQ(frags_.BufferedBytes(), 0u) << c.error;
    }
    EXPECT_EQ(Add(Fragment(1, 0, 1, 0, 2, {1, 2}, 30)), Outcome::kRefused);  // a fragment inside
    EXPECT_EQ(Add(Fragment(1, 0, 1, 0, 0, {1})), Outcome::kRefused);
    EXPECT_EQ(Add(Fragment(1, 0, 0, 0, 2, {1})), Outcome::kRefused);
    Bytes noPiece = Fragment(1, 0, 1, 0, 2, {});
    EXPECT_EQ(Add(noPiece), Outcome::kRefused);
}

TEST_F(LivetraceFragmentsTest, OpenChainsAndTheirBytesAreBounded) {
    EXPECT_EQ(Add(Fragment(1, 0, 2, 0, 100, {1})), Outcome::kPending);
    EXPECT_EQ(Add(Fragment(2, 0, 2, 0, 100, {1})), Outcome::kPending);
    EXPECT_EQ(Add(Fragment(3, 0, 2, 0, 500, {1})), Outcome::kRefused);
    EXPECT_NE(error_.find("more than 600 bytes"), std::string::npos) << error_;
    EXPECT_EQ(Add(Fragment(3, 0, 2, 0, 100, {1})), Outcome::kPending);
    EXPECT_EQ(Add(Fragment(4, 0, 2, 0, 10, {1})), Outcome::kRefused);
    EXPECT_NE(error_.find("too many open chains"), std::string::npos) << error_;
    EXPECT_EQ(frags_.OpenChains(), 3u);
}

TEST_F(LivetraceFragmentsTest, AChainPastItsDeadlineIsFreed) {
    EXPECT_EQ(Add(Fragment(5, 0, 2, 0, 4, {1, 2})), Outcome::kPending);
    now_ += std::chrono::seconds(3);
    EXPECT_EQ(Add(Fragment(6, 0, 2, 0, 4, {1, 2})), Outcome::kPending);
    EXPECT_TRUE(frags_.Expire(now_ + std::chrono::seconds(1)).empty());
    EXPECT_EQ(frags_.Expire(now_ + std::chrono::seconds(2)), std::vector<uint32_t>{5});
    EXPECT_EQ(frags_.OpenChains(), 1u);
    EXPECT_EQ(frags_.BufferedBytes(), 8u);
    // A late piece of the freed chain opens a new chain that can never complete alone.
    EXPECT_EQ(Add(Fragment(5, 1, 2, 2, 4, {3, 4})), Outcome::kPending);
}

}  // namespace
}  // namespace CfgAgent::livetrace

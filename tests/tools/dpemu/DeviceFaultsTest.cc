// The emulator's injected device faults: counted down, replaced, cleared; statuses by name or
// value.
#include <gtest/gtest.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "tools/ozy-dpemu/DeviceFaults.h"

namespace ozy::dpemu {
namespace {

TEST(DeviceFaultsTest, CountsDownThenLetsIoctlsThrough) {
    DeviceFaults f;
    EXPECT_EQ(f.Take(), 0u);
    f.Arm(2, EBUSY);
    EXPECT_EQ(f.Take(), static_cast<uint32_t>(EBUSY));
    EXPECT_EQ(f.pending(), 1u);
    EXPECT_EQ(f.Take(), static_cast<uint32_t>(EBUSY));
    EXPECT_EQ(f.Take(), 0u);
    EXPECT_EQ(f.State(), (nlohmann::json{{"pending", 0}, {"status", EBUSY}, {"injected", 2}}));

    // A new fault replaces a pending one; a count of 0 clears it.
    f.Arm(5, EIO);
    f.Arm(1, ENODEV);
    EXPECT_EQ(f.Take(), static_cast<uint32_t>(ENODEV));
    EXPECT_EQ(f.Take(), 0u);
    f.Arm(3, EIO);
    f.Arm(0, EIO);
    EXPECT_EQ(f.Take(), 0u);
    EXPECT_EQ(f.State()["injected"], 3);
}

struct StatusCase {
    const char* text;
    bool ok;
    uint32_t status;
};

class ErrnoStatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ErrnoStatusTest, ParsesNamesAndValues) {
    uint32_t status = 12345;
    EXPECT_EQ(ParseErrnoStatus(GetParam().text, &status), GetParam().ok);
    if (GetParam().ok) {
        EXPECT_EQ(status, GetParam().status);
    } else {
        EXPECT_EQ(status, 12345u);  // untouched
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ErrnoStatusTest,
                         ::testing::Values(StatusCase{"EIO", true, EIO},
                                           StatusCase{"EBUSY", true, EBUSY},
                                           StatusCase{"ETIMEDOUT", true, ETIMEDOUT},
                                           StatusCase{"5", true, 5}, StatusCase{"4095", true, 4095},
                                           StatusCase{"4096", false, 0}, StatusCase{"0", false, 0},
                                           StatusCase{"007", false, 0}, StatusCase{"", false, 0},
                                           StatusCase{"eio", false, 0}, StatusCase{"5x", false, 0},
                                           StatusCase{"-5", false, 0},
                                           StatusCase{"99999999999", false, 0}));

TEST(ErrnoStatusNameTest, NamesKnownStatusesAndPrintsOthers) {
    EXPECT_EQ(ErrnoStatusName(EBUSY), "EBUSY");
    EXPECT_EQ(ErrnoStatusName(ENOTTY), "ENOTTY");
    EXPECT_EQ(ErrnoStatusName(4000), "4000");
}

}  // namespace
}  // namespace ozy::dpemu

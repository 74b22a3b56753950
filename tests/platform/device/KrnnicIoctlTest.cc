// The kernel-NIC address ioctl's frames, checked against bytes written from the contract (a
// 16-byte NUL-padded name in; address and mask, 4 + 4 bytes big-endian, out).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/device/FcVswitchIoctls.h"

namespace ozy::device {
namespace {

TEST(KrnnicIoctlTest, TheRequestIsTheNamePaddedToSixteenBytes) {
    const std::vector<uint8_t> want = {'c', 'o', 'n', 'd', 'u', 'i', 't', 'K',
                                       'r', 'n', 'n', 'i', 'c', '0', 0,   0};
    auto got = EncodeKrnnicName("conduitKrnnic0");
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, want);
    EXPECT_EQ(DecodeKrnnicName(want.data(), want.size()), "conduitKrnnic0");
    EXPECT_EQ(kVswitchGetKrnnicAddr, 0x56530003u);
}

TEST(KrnnicIoctlTest, NamesThatDoNotFitAreRefusedBothWays) {
    EXPECT_FALSE(EncodeKrnnicName(""));
    EXPECT_TRUE(EncodeKrnnicName(std::string(15, 'k')));
    EXPECT_FALSE(EncodeKrnnicName(std::string(16, 'k')));
    EXPECT_FALSE(EncodeKrnnicName(std::string("ab\0c", 4)));
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case refused[] = {
        {"empty", std::vector<uint8_t>(16, 0)},
        {"no NUL", std::vector<uint8_t>(16, 'k')},
        {"short", {'k', 0}},
        {"long", std::vector<uint8_t>(17, 0)},
        {"bytes after the NUL", {'k', 0, 'x', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(DecodeKrnnicName(c.bytes.data(), c.bytes.size()));
    }
}

TEST(KrnnicIoctlTest, TheReplyIsAddressThenMaskBigEndian) {
    // 169.254.1.1 / 255.255.255.0
    const std::vector<uint8_t> want = {0xa9, 0xfe, 0x01, 0x01, 0xff, 0xff, 0xff, 0x00};
    EXPECT_EQ(EncodeKrnnicAddr({0xa9fe0101, 0xffffff00}), want);
    auto a = DecodeKrnnicAddr(want.data(), want.size());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->ip, 0xa9fe0101u);
    EXPECT_EQ(a->mask, 0xffffff00u);
    EXPECT_FALSE(DecodeKrnnicAddr(want.data(), 7));
    const std::vector<uint8_t> nine(9, 0);
    EXPECT_FALSE(DecodeKrnnicAddr(nine.data(), nine.size()));
}

}  // namespace
}  // namespace ozy::device

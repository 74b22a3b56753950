// The kernel-NIC address ioctl's frames, checked against bytes written from the contract (a
// 16-byte NUL-padded name in; address and mask, 4 + 4 bytes big-endian, out).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/device/DeviceClient.h"
#include "platform/device/DeviceFrame.h"
#include "platform/device/FcVswitchIoctls.h"
#include "platform/device/KrnnicAddressQuery.h"

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

// A vswitch whose reply is scripted; the request is kept.
class ScriptedVswitch : public IDeviceOpener, public IDevice {
  public:
    std::unique_ptr<IDevice> Open(const std::string& path, int* err) override {
        if (openError != 0) {
            *err = openError;
            return nullptr;
        }
        opened = path;
        return std::unique_ptr<IDevice>(new Handle(this));
    }
    int Ioctl(uint32_t command, const void* in, size_t inSize, uint32_t* s,
              std::vector<uint8_t>* out) override {
        this->command = command;
        const uint8_t* p = static_cast<const uint8_t*>(in);
        request.assign(p, p + inSize);
        *s = status;
        *out = reply;
        return exchangeError;
    }
    int Close() override { return 0; }

    int openError = 0;
    int exchangeError = 0;
    uint32_t status = 0;
    std::vector<uint8_t> reply;
    std::string opened;
    uint32_t command = 0;
    std::vector<uint8_t> request;

  private:
    struct Handle : IDevice {
        explicit Handle(ScriptedVswitch* o) : owner(o) {}
        int Ioctl(uint32_t c, const void* in, size_t n, uint32_t* s,
                  std::vector<uint8_t>* out) override {
            return owner->Ioctl(c, in, n, s, out);
        }
        int Close() override { return 0; }
        ScriptedVswitch* owner;
    };
};

TEST(KrnnicIoctlTest, TheQueryAsksTheVswitchAndChecksTheReply) {
    ScriptedVswitch vs;
    VswitchKrnnicAddressQuery query(&vs);
    vs.reply = {0xa9, 0xfe, 0x01, 0x01, 0xff, 0xff, 0x00, 0x00};
    KrnnicAddr a;
    ASSERT_EQ(query.GetKrnnicAddr("conduitKrnnic0", &a), 0);
    EXPECT_EQ(vs.opened, kVswitchDevice);
    EXPECT_EQ(vs.command, kVswitchGetKrnnicAddr);
    EXPECT_EQ(vs.request, (std::vector<uint8_t>{'c', 'o', 'n', 'd', 'u', 'i', 't', 'K', 'r', 'n',
                                                'n', 'i', 'c', '0', 0, 0}));
    EXPECT_EQ(a.ip, 0xa9fe0101u);
    EXPECT_EQ(a.mask, 0xffff0000u);
    // The driver's status, a reply of the wrong size, a name that does not fit, the device's own
    // failures: an errno each, the output untouched.
    KrnnicAddr untouched{7, 7};
    vs.status = ENOENT;
    EXPECT_EQ(query.GetKrnnicAddr("conduitKrnnic0", &untouched), ENOENT);
    vs.status = 0;
    vs.reply.pop_back();
    EXPECT_EQ(query.GetKrnnicAddr("conduitKrnnic0", &untouched), EPROTO);
    EXPECT_EQ(query.GetKrnnicAddr(std::string(16, 'k'), &untouched), EINVAL);
    vs.exchangeError = ETIMEDOUT;
    EXPECT_EQ(query.GetKrnnicAddr("conduitKrnnic0", &untouched), ETIMEDOUT);
    vs.openError = ECONNREFUSED;
    EXPECT_EQ(query.GetKrnnicAddr("conduitKrnnic0", &untouched), ECONNREFUSED);
    EXPECT_EQ(untouched.ip, 7u);
}

}  // namespace
}  // namespace ozy::device

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/device/DeviceClient.h"
#include "platform/device/DeviceFrame.h"
#include "tests/support/TempDir.h"

namespace ozy::device {
namespace {

TEST(DeviceFrameTest, HeaderLayoutAndLimits) {
    std::vector<uint8_t> f = EncodeFrame(0x01020304, "ab", 2);
    EXPECT_EQ(f, (std::vector<uint8_t>{0x4f, 0x5a, 0x44, 0x56, 1, 2, 3, 4, 0, 0, 0, 2, 'a', 'b'}));
    FrameHeader h;
    EXPECT_EQ(DecodeFrameHeader(f.data(), &h), HeaderStatus::kOk);
    EXPECT_EQ(h.code, 0x01020304u);
    EXPECT_EQ(h.length, 2u);
    uint8_t bad[12] = {0x4f, 0x5a, 0x44, 0x57};
    EXPECT_EQ(DecodeFrameHeader(bad, &h), HeaderStatus::kBadMagic);
    uint8_t big[12];
    EncodeFrameHeader(big, 1, kMaxPayload + 1);
    EXPECT_EQ(DecodeFrameHeader(big, &h), HeaderStatus::kTooLarge);
}

// A one-connection device server whose replies the test scripts.
class ScriptedDevice {
  public:
    ScriptedDevice(const std::string& path, std::function<void(int fd)> script) {
        lfd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(::bind(lfd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(lfd_, 1), 0);
        thread_ = std::thread([this, script] {
            int fd = ::accept(lfd_, nullptr, nullptr);
            if (fd < 0)
                return;
            script(fd);
            ::close(fd);
        });
    }
    ~ScriptedDevice() {
        ::shutdown(lfd_, SHUT_RDWR);
        thread_.join();
        ::close(lfd_);
    }

  private:
    int lfd_;
    std::thread thread_;
};

std::vector<uint8_t> ReadFrame(int fd) {
    std::vector<uint8_t> h(kFrameHeaderSize);
    if (::recv(fd, h.data(), h.size(), MSG_WAITALL) != static_cast<ssize_t>(h.size()))
        return {};
    FrameHeader fh;
    DecodeFrameHeader(h.data(), &fh);
    std::vector<uint8_t> p(fh.length);
    if (fh.length > 0)
        ::recv(fd, p.data(), p.size(), MSG_WAITALL);
    h.insert(h.end(), p.begin(), p.end());
    return h;
}

class DeviceClientTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("OZY_HOST_ROOT", root.path().c_str(), 1); }
    void TearDown() override { unsetenv("OZY_HOST_ROOT"); }
    CfgAgent::test::TempDir root{"ozy-device"};
};

TEST_F(DeviceClientTest, OneIoctlIsOneRequestAndOneReply) {
    std::vector<uint8_t> seen;
    {
        ScriptedDevice dev(root.Make("dev/fc"), [&](int fd) {
            seen = ReadFrame(fd);
            std::vector<uint8_t> reply = EncodeFrame(0, "\x01\x02", 2);
            ::send(fd, reply.data(), reply.size(), 0);
        });
        uint32_t status = 99;
        std::vector<uint8_t> out;
        EXPECT_EQ(IoctlOnce("/dev/fc", 5, "\x00\xb4", 2, &status, &out), 0);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(out, (std::vector<uint8_t>{1, 2}));
    }
    EXPECT_EQ(seen, EncodeFrame(5, "\x00\xb4", 2));
}

// The header and the payload go out in one gathered write; a payload larger than the socket's
// buffer is sent in parts (the device reads it in small pieces) and arrives whole and in order.
TEST_F(DeviceClientTest, RequestsOfAnySizeArriveWholeBehindTheirHeader) {
    const struct {
        const char* what;
        size_t size;
    } cases[] = {{"no payload", 0}, {"three bytes", 3}, {"4 MiB and 5 bytes", (4u << 20) + 5}};
    for (const auto& c : cases) {
        std::vector<uint8_t> payload(c.size);
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<uint8_t>(i * 7 + 1);
        std::vector<uint8_t> seen;
        {
            ScriptedDevice dev(root.Make("dev/big"), [&](int fd) {
                const size_t want = 12 + c.size;
                uint8_t piece[1000];
                while (seen.size() < want) {
                    ssize_t n = ::recv(fd, piece, std::min(sizeof piece, want - seen.size()), 0);
                    if (n <= 0)
                        return;
                    seen.insert(seen.end(), piece, piece + n);
                }
                const uint8_t reply[12] = {0x4f, 0x5a, 0x44, 0x56, 0, 0, 0, 0, 0, 0, 0, 0};
                ::send(fd, reply, sizeof reply, 0);
            });
            DeviceSocket s;
            ASSERT_EQ(s.Open("/dev/big", 20000), 0) << c.what;
            uint32_t status = 99;
            EXPECT_EQ(s.Ioctl(0x0a0b0c0d, payload.data(), payload.size(), &status, nullptr), 0)
                << c.what;
            EXPECT_EQ(status, 0u) << c.what;
        }
        ::unlink(root.Make("dev/big").c_str());
        ASSERT_EQ(seen.size(), 12 + c.size) << c.what;
        const std::vector<uint8_t> header = {0x4f,
                                             0x5a,
                                             0x44,
                                             0x56,
                                             0x0a,
                                             0x0b,
                                             0x0c,
                                             0x0d,
                                             uint8_t(c.size >> 24),
                                             uint8_t(c.size >> 16),
                                             uint8_t(c.size >> 8),
                                             uint8_t(c.size)};
        EXPECT_EQ(std::vector<uint8_t>(seen.begin(), seen.begin() + 12), header) << c.what;
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), seen.begin() + 12)) << c.what;
    }
}

TEST_F(DeviceClientTest, BadRepliesTimeoutsAndMissingDevicesAreErrors) {
    uint32_t status = 0;
    EXPECT_EQ(IoctlOnce("/dev/absent", 1, nullptr, 0, &status), ENOENT);
    {
        ScriptedDevice dev(root.Make("dev/bad"), [&](int fd) {
            ReadFrame(fd);
            uint8_t junk[12] = {1, 2, 3};
            ::send(fd, junk, sizeof junk, 0);
        });
        DeviceSocket s;
        ASSERT_EQ(s.Open("/dev/bad"), 0);
        EXPECT_EQ(s.Ioctl(1, nullptr, 0, &status, nullptr), EIO);
        EXPECT_FALSE(s.IsOpen());  // the stream is out of step; the handle is closed
    }
    {
        ScriptedDevice dev(root.Make("dev/slow"), [&](int fd) {
            ReadFrame(fd);
            char c;
            ::recv(fd, &c, 1, 0);  // never replies; returns when the client closes
        });
        DeviceSocket s;
        ASSERT_EQ(s.Open("/dev/slow", 100), 0);
        EXPECT_EQ(s.Ioctl(1, nullptr, 0, &status, nullptr), ETIMEDOUT);
        EXPECT_FALSE(s.IsOpen());
    }
    {
        ScriptedDevice dev(root.Make("dev/gone"), [&](int) {});
        DeviceSocket s;
        ASSERT_EQ(s.Open("/dev/gone"), 0);
        EXPECT_EQ(s.Ioctl(1, nullptr, 0, &status, nullptr), EIO);
    }
    DeviceSocket closed;
    EXPECT_EQ(closed.Ioctl(1, nullptr, 0, &status, nullptr), EBADF);
    int err = 0;
    EXPECT_EQ(SystemDeviceOpener().Open("/dev/absent", &err), nullptr);
    EXPECT_EQ(err, ENOENT);
}

// Several requests on one socket: every request goes out before any reply is needed (the device
// here reads them all first, as a pipelined client's would be read), and the replies are matched
// to them in order; a device that stops short, answers out of step or answers more is an error
// with the replies that came before it counted.
TEST_F(DeviceClientTest, RequestsOfABatchGoAheadOfTheirRepliesWhichComeInOrder) {
    constexpr size_t kRequests = 70;                         // more than one gathered write's parts
    const std::vector<uint8_t> big((256u << 10) + 3, 0x5a);  // beyond the socket's buffer
    std::vector<IDevice::Request> requests;
    std::vector<uint32_t> payloads(kRequests);
    for (size_t i = 0; i < kRequests; ++i) {
        payloads[i] = uint32_t(i);
        if (i == 3)
            requests.push_back({7, big.data(), big.size()});
        else
            requests.push_back({uint32_t(100 + i), &payloads[i], i % 4 ? 4u : 0u});
    }
    const struct {
        const char* what;
        size_t replies;    // replied before the device acts below
        const char* then;  // "" nothing more, "close", "junk", "extra", "tail"
        int rc;
        size_t answered;
    } cases[] = {
        {"all answered", kRequests, "", 0, kRequests},
        {"closed after ten", 10, "close", EIO, 10},
        {"a bad frame after five", 5, "junk", EIO, 5},
        {"one reply more than asked", kRequests, "extra", EIO, kRequests},
        {"a few bytes more than asked", kRequests, "tail", EIO, kRequests},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string then = c.then;
        std::vector<std::vector<uint8_t>> seen;
        {
            ScriptedDevice dev(root.Make("dev/batch"), [&](int fd) {
                for (size_t i = 0; i < kRequests; ++i)
                    seen.push_back(ReadFrame(fd));
                std::vector<uint8_t> out;
                for (size_t i = 0; i < c.replies; ++i) {
                    const uint8_t body[2] = {uint8_t(i), uint8_t(i >> 8)};
                    std::vector<uint8_t> r = EncodeFrame(uint32_t(i % 3), body, i % 2 ? 2 : 0);
                    out.insert(out.end(), r.begin(), r.end());
                }
                if (then == "junk")
                    out.insert(out.end(), 12, 0xee);
                if (then == "tail")  // less than a header behind the last reply
                    out.insert(out.end(), 5, 0xee);
                if (then == "extra") {
                    std::vector<uint8_t> r = EncodeFrame(0, nullptr, 0);
                    out.insert(out.end(), r.begin(), r.end());
                }
                ::send(fd, out.data(), out.size(), 0);
                if (then.empty() || then == "extra" || then == "tail") {
                    char x;
                    ::recv(fd, &x, 1, 0);  // until the client closes
                }
            });
            DeviceSocket s;
            ASSERT_EQ(s.Open("/dev/batch", 5000), 0);
            std::vector<IDevice::Reply> replies(kRequests);
            size_t answered = 99;
            EXPECT_EQ(s.IoctlBatch(requests.data(), kRequests, replies.data(), &answered), c.rc);
            EXPECT_EQ(answered, c.answered);
            EXPECT_EQ(s.IsOpen(), c.rc == 0);
            for (size_t i = 0; i < answered; ++i) {
                EXPECT_EQ(replies[i].status, i % 3) << i;
                const std::vector<uint8_t> body =
                    i % 2 ? std::vector<uint8_t>{uint8_t(i), uint8_t(i >> 8)}
                          : std::vector<uint8_t>();
                EXPECT_EQ(replies[i].payload, body) << i;
            }
            s.Close();
        }
        ::unlink(root.Make("dev/batch").c_str());
        ASSERT_EQ(seen.size(), kRequests);
        for (size_t i = 0; i < kRequests; ++i)
            EXPECT_EQ(seen[i], EncodeFrame(requests[i].command, requests[i].in, requests[i].size))
                << i;
    }
}

}  // namespace
}  // namespace ozy::device

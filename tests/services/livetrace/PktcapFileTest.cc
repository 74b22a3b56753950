// Capture files: what the pcapng writer produces is judged by real readers (libpcap for bytes and
// timestamps, tshark for the packet comments); the capture directory and files refuse what a
// local user could have prepared for the agent.
#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "services/livetrace/PcapngWriter.h"
#include "services/livetrace/PktcapFile.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace CfgAgent::livetrace {
namespace {

using Bytes = std::vector<uint8_t>;
using test::TempDir;

constexpr const char* kDir = "/tmp/livetrace/pktcap/";

class PktcapFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("OZY_HOST_ROOT");
        saved_ = old != nullptr ? old : "";
        ::setenv("OZY_HOST_ROOT", root_.path().c_str(), 1);
    }
    void TearDown() override {
        if (saved_.empty())
            ::unsetenv("OZY_HOST_ROOT");
        else
            ::setenv("OZY_HOST_ROOT", saved_.c_str(), 1);
    }
    std::string Real(const std::string& logical) const { return root_.path() + logical; }

    TempDir root_{"ozy-pktcap"};
    std::string saved_;
};

TEST_F(PktcapFileTest, PacketsBytesTimesAndCommentsReadBackWithLibpcapAndTshark) {
    std::string error;
    ASSERT_TRUE(PktcapFile::PrepareDirectory(kDir, &error)) << error;
    PktcapFile file;
    ASSERT_TRUE(file.Create(kDir, 1 << 20, &error)) << error;
    EXPECT_EQ(file.LogicalName().rfind("/tmp/livetrace/pktcap/ltr_pcap.", 0), 0u);
    struct Packet {
        Bytes data;
        uint32_t origLength;
        uint64_t ts;
        std::string comment;
    };
    std::vector<Packet> packets = {
        {Bytes(60, 0xab), 60, 1700000000123456789ull, "PKTID 1 TSO 1 CSUM 0"},
        {Bytes(1, 0x01), 1514, 1700000001000000001ull, "PKTID 2 VNI 5001 VLAN 10"},
        {Bytes(1500, 0x5a), 1500, 1700000002000000000ull, ""},
    };
    for (size_t i = 0; i < packets.front().data.size(); ++i)
        packets.front().data[i] = static_cast<uint8_t>(i);
    for (const Packet& p : packets)
        ASSERT_EQ(file.Write(p.ts, p.data.data(), static_cast<uint32_t>(p.data.size()),
                             p.origLength, p.comment),
                  PktcapFile::WriteResult::kOk);
    ASSERT_TRUE(file.Close());
    std::string path = Real(file.LogicalName());
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf);
    ASSERT_NE(p, nullptr) << errbuf;
    EXPECT_EQ(pcap_datalink(p), DLT_EN10MB);
    pcap_pkthdr* h;
    const u_char* data;
    for (const Packet& want : packets) {
        ASSERT_EQ(pcap_next_ex(p, &h, &data), 1);
        EXPECT_EQ(Bytes(data, data + h->caplen), want.data);
        EXPECT_EQ(h->len, want.origLength);
        EXPECT_EQ(uint64_t(h->ts.tv_sec) * 1000000000ull + uint64_t(h->ts.tv_usec), want.ts);
    }
    EXPECT_EQ(pcap_next_ex(p, &h, &data), PCAP_ERROR_BREAK);
    pcap_close(p);

    test::RunResult r =
        test::RunProgram("/usr/bin/tshark", {"-r", path, "-T", "fields", "-e", "frame.comment"}, {},
                         std::chrono::seconds(120), true);
    ASSERT_EQ(r.status, 0) << r.error;
    EXPECT_EQ(r.output, "PKTID 1 TSO 1 CSUM 0\nPKTID 2 VNI 5001 VLAN 10\n\n");
}

// The blocks as the pcapng layout has them (little-endian host): SHB, IDB with if_tsresol 9, and
// one EPB (56 bytes) with a 5-byte packet of a 60-byte frame and the comment "abcde", each padded
// to 32 bits.
TEST(PcapngWriterTest, WritesTheBlocksOfTheLayout) {
    TempDir dir{"ozy-pcapng"};
    std::string path = dir.Make("f.pcapng");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    {
        PcapngWriter w(fd);
        ASSERT_TRUE(w.Begin(65535));
        const uint8_t pkt[5] = {1, 2, 3, 4, 5};
        ASSERT_TRUE(w.WritePacket(0x0000000100000002ull, pkt, 5, 60, "abcde"));
        ASSERT_TRUE(w.Flush());
    }
    ::close(fd);
    std::string got = test::ReadFile(path);
    Bytes expected = {0x0a, 0x0d, 0x0d, 0x0a, 28,   0,    0,    0,    0x4d, 0x3c, 0x2b, 0x1a,
                      1,    0,    0,    0,                                                  // SHB
                      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 28,   0,    0,    0,  //
                      1,    0,    0,    0,    32,   0,    0,    0,    1,    0,    0,    0,
                      0xff, 0xff, 0,    0,  // IDB
                      9,    0,    1,    0,    9,    0,    0,    0,    0,    0,    0,    0,
                      32,   0,    0,    0,  //
                      6,    0,    0,    0,    56,   0,    0,    0,    0,    0,    0,    0,
                      1,    0,    0,    0,    2,    0,    0,    0,  // EPB
                      5,    0,    0,    0,    60,   0,    0,    0,    1,    2,    3,    4,
                      5,    0,    0,    0,  //
                      1,    0,    5,    0,    'a',  'b',  'c',  'd',  'e',  0,    0,    0,
                      0,    0,    0,    0,    56,   0,    0,    0};
    EXPECT_EQ(Bytes(got.begin(), got.end()), expected);
}

TEST_F(PktcapFileTest, AFileTakesPacketsUpToItsByteCap) {
    std::string error;
    ASSERT_TRUE(PktcapFile::PrepareDirectory(kDir, &error)) << error;
    PktcapFile file;
    // Header blocks take 60 bytes; each 100-byte packet with "c" takes 32 + 100 + 8 + 4 = 144.
    ASSERT_TRUE(file.Create(kDir, 60 + 2 * 144, &error)) << error;
    Bytes pkt(100, 1);
    EXPECT_EQ(file.Write(1, pkt.data(), 100, 100, "c"), PktcapFile::WriteResult::kOk);
    EXPECT_EQ(file.Write(2, pkt.data(), 100, 100, "c"), PktcapFile::WriteResult::kOk);
    EXPECT_EQ(file.Write(3, pkt.data(), 100, 100, "c"), PktcapFile::WriteResult::kCapReached);
    EXPECT_EQ(file.Packets(), 2u);
    ASSERT_TRUE(file.Close());
    struct stat st;
    ASSERT_EQ(::stat(Real(file.LogicalName()).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 60 + 2 * 144);
    EXPECT_EQ(file.Write(4, pkt.data(), 100, 100, "c"), PktcapFile::WriteResult::kFailed);
}

TEST_F(PktcapFileTest, TheDirectoryIsRefusedWhenSomeoneElseCouldHavePreparedIt) {
    std::string error;
    // A symlink where the agent's own directory should be.
    ASSERT_EQ(::mkdir(Real("/tmp").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(Real("/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(Real("/elsewhere").c_str(), Real("/tmp/livetrace").c_str()), 0);
    EXPECT_FALSE(PktcapFile::PrepareDirectory(kDir, &error));
    EXPECT_NE(error.find("is not a directory"), std::string::npos) << error;
    struct stat st;
    EXPECT_NE(::stat(Real("/elsewhere/pktcap").c_str(), &st), 0);

    // A directory others can write to.
    ASSERT_EQ(::unlink(Real("/tmp/livetrace").c_str()), 0);
    ASSERT_EQ(::mkdir(Real("/tmp/livetrace").c_str(), 0700), 0);
    ASSERT_EQ(::chmod(Real("/tmp/livetrace").c_str(), 0777), 0);
    EXPECT_FALSE(PktcapFile::PrepareDirectory(kDir, &error));
    EXPECT_NE(error.find("not owned by this user alone"), std::string::npos) << error;

    // Made by the agent itself: 0700 all the way down.
    ASSERT_EQ(::chmod(Real("/tmp/livetrace").c_str(), 0700), 0);
    ASSERT_TRUE(PktcapFile::PrepareDirectory(kDir, &error)) << error;
    ASSERT_EQ(::lstat(Real("/tmp/livetrace/pktcap").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    PktcapFile file;
    EXPECT_FALSE(file.Create("/no/such/dir/", 100, &error));
}

}  // namespace
}  // namespace CfgAgent::livetrace

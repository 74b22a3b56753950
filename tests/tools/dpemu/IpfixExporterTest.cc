// The emulator's IPFIX export: the message checked against bytes written from RFC 7011's layout,
// the port value read strictly, and one export received on a loopback UDP socket.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/dataplane/ByteVec.h"
#include "tools/ozy-dpemu/IpfixExporter.h"

namespace ozy::dpemu {
namespace {

using CfgAgent::test::H;

TEST(IpfixExporterTest, MessageIsHeaderTemplateSetAndOneDataRecord) {
    IpfixFlow f;
    f.source = 0xc000020a;
    f.destination = 0xc6336414;
    f.sourcePort = 49152;
    f.destinationPort = 443;
    f.protocol = 6;
    f.packets = 10;
    f.octets = 1500;
    f.startMs = 0x0000018c00000000;
    f.endMs = 0x0000018c000003e8;
    EXPECT_EQ(BuildIpfixMessage(42, 0x65000000, 3, f),
              H(
                  // version 10, length 109, export time, sequence 3, domain 42
                  "00 0a 00 6d 65 00 00 00 00 00 00 03 00 00 00 2a"
                  // template set: id 2, length 44; template 256 with 9 fields
                  "00 02 00 2c 01 00 00 09"
                  "00 08 00 04 00 0c 00 04 00 07 00 02 00 0b 00 02 00 04 00 01"
                  "00 02 00 08 00 01 00 08 00 98 00 08 00 99 00 08"
                  // data set: id 256, length 49; the record
                  "01 00 00 31 c0 00 02 0a c6 33 64 14 c0 00 01 bb 06"
                  "00 00 00 00 00 00 00 0a 00 00 00 00 00 00 05 dc"
                  "00 00 01 8c 00 00 00 00 00 00 01 8c 00 00 03 e8"));
}

TEST(IpfixExporterTest, PortValueIsReadStrictly) {
    IpfixPortSettings s;
    ASSERT_TRUE(
        ParseIpfixPortSettings(H("00 00 00 07 03 00 00 00 00 00 00 00 00 00 00 00 00"
                                 "01 7f 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 12 83"
                                 "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 08 07"),
                               &s));
    EXPECT_EQ(s.observationDomainId, 7u);
    EXPECT_EQ(s.samplingLocation, 3);
    ASSERT_EQ(s.collectors.size(), 2u);
    EXPECT_FALSE(s.collectors[0].ipv6);
    EXPECT_EQ(s.collectors[0].port, 4739);
    EXPECT_TRUE(s.collectors[1].ipv6);
    EXPECT_EQ(s.collectors[1].address[15], 1);
    for (const char* bad : {"00 00 00 07 03 00 00 00 00 00 00 00 00 00 00 00",  // short head
                            "00 00 00 07 03 00 00 00 00 00 00 00 00 00 00 00 00 01 7f",
                            // an IPv4 address with bytes beyond its four
                            "00 00 00 07 03 00 00 00 00 00 00 00 00 00 00 00 00"
                            "01 7f 00 00 01 00 00 00 00 00 00 00 00 00 00 00 09 12 83"})
        EXPECT_FALSE(ParseIpfixPortSettings(H(bad), &s)) << bad;
}

TEST(IpfixExporterTest, ExportReachesLoopbackCollectorsOnly) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    uint16_t port = ntohs(a.sin_port);

    std::vector<uint8_t> value =
        H("00 00 00 2a 01 00 00 00 00 00 00 00 00 00 00 00 00"
          "01 7f 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00");
    value.push_back(static_cast<uint8_t>(port >> 8));
    value.push_back(static_cast<uint8_t>(port));
    // A second collector beyond the machine: never sent to.
    std::vector<uint8_t> far = H("01 c0 00 02 63 00 00 00 00 00 00 00 00 00 00 00 00 12 83");
    value.insert(value.end(), far.begin(), far.end());

    IpfixExporter exporter;
    nlohmann::json reply;
    std::string error;
    ASSERT_TRUE(exporter.Export("port-1", value, &reply, &error)) << error;
    EXPECT_EQ(reply["sent"], nlohmann::json::array({"127.0.0.1:" + std::to_string(port)}));
    EXPECT_EQ(reply["skipped"][0]["collector"], "192.0.2.99:4739");
    EXPECT_EQ(reply["skipped"][0]["why"], "not a loopback address");

    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    uint8_t buf[2048];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    ::close(fd);
    ASSERT_EQ(n, 109);
    EXPECT_EQ(buf[1], 10);                                                  // version
    EXPECT_EQ(buf[12] << 24 | buf[13] << 16 | buf[14] << 8 | buf[15], 42);  // domain

    EXPECT_FALSE(exporter.Export("port-2", H("00 00 00 2a 01"), &reply, &error));
    EXPECT_EQ(error, "port port-2: ipfix value of 5 bytes does not fit its layout");
}

}  // namespace
}  // namespace ozy::dpemu

#include <gtest/gtest.h>

#include "dataplane/KcpDump.h"
#include "dataplane/KcpProtocol.h"
#include "tests/dataplane/KcpVectors.h"

namespace CfgAgent {
namespace {

using namespace test;
using namespace test::kcpvec;

std::string Dump(const Bytes& m) {
    return kcp::DumpKcpMessage(m.data(), m.size());
}

TEST(KcpDumpTest, SessionControlInitQueryAndUnknownTypes) {
    EXPECT_EQ(Dump(H("00 05 00 0f 00 01 00 0b 01 00 00 00 2a 28 00")),
              "KCP Message\n\tVIF Session control: len = 11 type = Session Open sessionID = 42\n");
    EXPECT_EQ(Dump(H("00 05 00 0f 00 01 00 0b 05 00 00 00 2a 00 00")),
              "KCP Message\n\tVIF Session control: len = 11 type = Invalid sessionID = 42\n");
    EXPECT_EQ(Dump(H("00 05 00 0f 00 02 00 0b 01 00 00 00 2a 00 00")),
              "KCP Message\n\tVIF Session control: unsupported data type 2, len 11\n");
    EXPECT_EQ(Dump(H("00 01 00 0e 00 01 00 06 28 00 00 09 00 04")),
              "KCP Message\n\tMax message length: len = 6 value = 10240\n"
              "\tInit: unsupported data type 9, len 4\n");
    EXPECT_EQ(Dump(H("00 04 00 0c 00 01 00 04 00 02 00 04")),
              "KCP Message\n\tDP Status Query: len = 4\n\tQuery: unsupported data type 2, len 4\n");
    EXPECT_EQ(Dump(H("00 09 00 06 00 00")), "KCP Message\nUnsupported message type 9, len 6\n");
    EXPECT_EQ(Dump(H("00 02 00 40")), "KCP Message\nInvalid message length 64, received 4\n");
}

TEST(KcpDumpTest, Notifications) {
    Bytes msg = Cat({H("00 03"), U16(4 + 5 + 5 + 52 + 54 + 4), H("00 01 00 05 01"),
                     H("00 01 00 05 00"), H("00 02 00 34"), Field("vif-7", 48), H("00 04 00 36"),
                     Field("vif-8", 48), H("00 07"), H("00 09 00 04")});
    EXPECT_EQ(Dump(msg),
              "KCP Message\n"
              "\tDP Status: len = 5 status = OutOfSync\n"
              "\tDP Status: len = 5 status = Sync\n"
              "\tPort Property OutOfSync: len = 52 vif = vif-7\n"
              "\tPort container hopover fullSync: len = 54 vif = vif-8 syncType = Invalid\n"
              "\tNotification: unsupported data type 9, len 4\n");
}

TEST(KcpDumpTest, UpdatesWithRecordsPropertiesAndUnknownTypes) {
    Bytes props = Cat({H("00 01 00 05 01"), H("00 02 00 0a 00 50 56 00 00 01")});
    Bytes vif =
        Element(kcp::kVifUpdate,
                Cat({Bytes{1}, VifHead("vif-1", "port-1", "dvs-1", "", 1, 0, 0, 213 + props.size()),
                     props}));
    Bytes port =
        Element(kcp::kPortPropertyUpdate,
                Cat({Bytes{3}, Field("port-1", 48), H("00 3a"), H("00 04 00 08 00 00 13 88")}));
    Bytes unknown = Element(42, H("01 02"));
    std::string text = Dump(Update(0x80, Cat({vif, port, unknown})));
    EXPECT_EQ(
        text,
        "KCP Message\n"
        "\tUpdate: len = " +
            std::to_string(5 + vif.size() + port.size() + unknown.size()) +
            " flag = 0x80 (fragment)\n"
            "\tVIF Update: len = 233 op = UPDATE\n"
            "\t\tVIF: len = 228 id = vif-1 port = port-1 switch = dvs-1 parent =  type = VNIC "
            "smartnic = 0 hopover = 0\n"
            "\t\t\tStatus: len = 5 status = CONNECT\n"
            "\t\t\tMAC: len = 10 count = 1\n"
            "\t\t\t\tmac = 00:50:56:00:00:01\n"
            "\tPort Property Update: len = 63 op = FULL SYNC\n"
            "\t\tPort: len = 58 id = port-1\n"
            "\t\tProperty: len = 8 key = 4\n"
            "\tUpdate: unsupported data type 42, len 6\n");
}

TEST(KcpDumpTest, MalformedElementsAreRenderedUpToTheFault) {
    // The second element claims more bytes than the message has.
    std::string text = Dump(H("00 02 00 11 00 00 03 00 04 00 05 00 40 00 00 00 00"));
    EXPECT_EQ(text,
              "KCP Message\n\tUpdate: len = 17 flag = 0x00\n\tPortList Update: len = 4 count = 0\n"
              "\tmalformed element at offset 9\n");
}

TEST(KcpDumpTest, RenderingStopsAtTheBufferSize) {
    Bytes list;
    for (int i = 0; i < 200; ++i) {
        Bytes f = Field("port-" + std::to_string(i), 48);
        list.insert(list.end(), f.begin(), f.end());
    }
    std::string text = Dump(Update(0, Element(kcp::kPortListUpdate, list)));
    EXPECT_EQ(text.size(), kcp::kDumpBufferSize - 1);
    EXPECT_EQ(text.rfind("KCP Message\n", 0), 0u);
    EXPECT_NE(text.find("\t\tPort: port-0\n"), std::string::npos);
    EXPECT_EQ(text.find("port-199"), std::string::npos);
}

}  // namespace
}  // namespace CfgAgent

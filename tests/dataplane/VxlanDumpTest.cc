// The debug rendering of VXLAN messages, from hand-written bytes: names, fields and entries, and
// malformed input rendered up to the part that does not fit.
#include <gtest/gtest.h>

#include "dataplane/VxlanDump.h"
#include "tests/dataplane/VxlanVectors.h"

namespace CfgAgent {
namespace {

using namespace test;
using namespace test::vxlanvec;

std::string Dump(const Bytes& m) {
    return vxlan::DumpVxlanMessage(m.data(), m.size());
}

struct DumpCase {
    const char* name;
    Bytes msg;
    std::vector<const char*> lines;
};

class VxlanDumpTest : public ::testing::TestWithParam<DumpCase> {};

TEST_P(VxlanDumpTest, RendersTheMessage) {
    std::string text = Dump(GetParam().msg);
    EXPECT_EQ(text.rfind("VXLAN Message\n", 0), 0u) << text;
    for (const char* line : GetParam().lines)
        EXPECT_NE(text.find(line), std::string::npos) << "missing \"" << line << "\" in\n" << text;
}

const DumpCase kDumpCases[] = {
    {"SessionOpen",
     Session(1, 42),
     {"\tL2 Mapping Session control: len = 13 dataType = 1 type = Open sessionID = 42\n"}},
    {"SessionShort", H("00 0d 00 0b 00 01 00 07 02 00 00"), {"(value of 3 bytes)"}},
    {"Configure",
     DefaultConfigure(),
     {"\tmax_msg_length: len = 6 value = 4085\n", "\tarp_ageing_time: len = 6 value = 600\n"}},
    {"Join",
     Join(7, 5001),
     {"\tVNI Membership Change: len = 13 switchID = 7 vni = 5001 op = join\n"}},
    {"JoinShort", H("00 03 00 0c 00 00 00 07 00 00 13 89"), {"(invalid length)"}},
    {"VtepUpdate",
     Update({VtepTlv(7, 5001, {VtepV4(1, 0x11)}, {VtepV6(2, 0x12)})}),
     {"\tVTEP Membership Update: len = 130 switchID = 7 vni = 5001 removed = 1 added = 1\n",
      "\t\tdel: vtep = 10.0.0.1 label = 17 mac = 02:00:00:00:00:01 encap = VXLAN mtep = 1 flag = "
      "0\n",
      "\t\tadd: vtep = fd00::2 label = 18"}},
    {"MacUpdate",
     Update({MacTlv(7, 5001, {}, {MacV4(1, 3)})}),
     {"\tVM MAC Update: len = 54 switchID = 7 vni = 5001 removed = 0 added = 1\n",
      "\t\tadd: mac = 00:50:56:00:00:01 vtepMac = 02:00:00:00:00:03 vtep = 10.0.0.3\n"}},
    {"MacBigEndianType",
     Update({MacTlv(7, 5001, {}, {MacV4(1, 3, H("00 00 00 01"))})}),
     {"vtep = addrType 16777216"}},
    {"OverCounted",
     Msg(5, Tlv(4, Cat({U32(7), U32(5001), U16(3), MacV4(1, 1)}))),
     {"\tVM MAC Update: len = 54 (invalid length)\n"}},
    {"TlvPastEnd", Msg(5, H("00 04 00 40 00 00")), {"\tmalformed TLV\n"}},
    {"StateReport", StateReport(1, H("01")), {"dataType = 1 valueLen = 1 outOfSync = 1"}},
    {"Instance", Instance(3, 1), {"\tInstance Change: len = 9 instance = 3 op = insert\n"}},
    {"Unknown", Msg(99, H("00")), {"Unsupported message type 99, len 5\n"}},
    {"BadHeader", H("00 05 00 40 00"), {"Invalid message length 64, received 5\n"}},
};

INSTANTIATE_TEST_SUITE_P(Messages, VxlanDumpTest, ::testing::ValuesIn(kDumpCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VxlanDumpBufferTest, StopsAtTheBufferSize) {
    std::vector<Bytes> added;
    for (uint8_t i = 0; i < 60; ++i)
        added.push_back(MacV4(i, 1));
    std::string text = Dump(Update({MacTlv(7, 5001, {}, added)}));
    EXPECT_LT(text.size(), vxlan::kDumpBufferSize);
    EXPECT_GT(text.size(), vxlan::kDumpBufferSize - 100);
}

}  // namespace
}  // namespace CfgAgent

// Malformed and unexpected dataplane messages: each is logged with its code and dropped; the
// session, the VNI table and the database keep what they had.
#include "tests/apps/switching/L2AppFixture.h"

namespace CfgAgent::test {
namespace {

struct BadCase {
    const char* name;
    Bytes msg;
    const char* line;
    const char* code;
};

class L2AppBadInputTest : public L2AppFixture, public ::testing::WithParamInterface<BadCase> {};

TEST_P(L2AppBadInputTest, IsLoggedWithItsCodeAndChangesNothing) {
    ApplySwitch(LsId(1), 5001);
    Synced({Join(7, 5001), Update({MacTlv(7, 5001, {}, {MacV4(1, 1)})})});
    const uint32_t id = vxlan::CurrentSessionId();
    const size_t writes = RuntimeWriteCount();
    link->ClearSent();

    Deliver(GetParam().msg);
    EXPECT_TRUE(log.ContainsWithCode(GetParam().line, GetParam().code)) << log.Dump();
    EXPECT_EQ(vxlan::CurrentSessionId(), id);
    EXPECT_EQ(app->sessionState(), L2App::kSessionFullSyncEnded);
    EXPECT_EQ(app->vniCount(), 1u);
    EXPECT_EQ(RuntimeWriteCount(), writes);
    EXPECT_TRUE(link->Sent().empty());

    // The next good report lands.
    Deliver(Update({MacTlv(7, 5001, {}, {MacV4(2, 1)})}));
    EXPECT_EQ(Db().Macs(LsId(1)), (std::set<uint64_t>{0x005056000001ull, 0x005056000002ull}));
}

Bytes OverCounted() {
    Bytes tlv = MacTlv(7, 5001, {}, {MacV4(2, 1)});
    tlv[13] = 9;  // removed count 9 with one entry in the value
    return Update({tlv});
}

const BadCase kBadCases[] = {
    {"BadHeader", H("00 05 00 02"), "vxlan message of 4 bytes with an invalid header", "LCP00407"},
    {"LengthPastData", H("00 05 00 40 00 04"), "vxlan message of 6 bytes with an invalid header",
     "LCP00407"},
    {"OverCountedMacs", OverCounted(), "L2App: invalid VXLAN_DATATYPE_VMMAC message length 54",
     "LCP00407"},
    {"MacsTooShort", Update({Tlv(4, Cat({U32(7), U32(5001)}))}),
     "L2App: invalid VXLAN_DATATYPE_VMMAC message length 12", "LCP00407"},
    {"VtepAddedMiscounted",
     Update({Tlv(5, Cat({U32(7), U32(5001), U16(0), U16(2), VtepV4(1, 1)}))}),
     "L2App: invalid VXLAN_DATATYPE_VTEP_MBR message length 73", "LCP00407"},
    {"RdVtepPartial", Update({Tlv(9, Cat({U32(7), Zeros(56)}))}),
     "L2App: invalid VXLAN_DATATYPE_ROUTING_DOMAIN_VTEP_MBR message length 64", "LCP00407"},
    {"TlvPastEnd", Msg(5, H("00 04 00 40 00 00 00 07")), "TLV message validation failed",
     "LCP00407"},
    {"UnknownDataType", Update({Tlv(2, Cat({U32(7), U32(5001), U16(0)}))}),
     "L2App: unsupported update data type 2", "LCP00407"},
    {"TruncatedJoin", H("00 03 00 0c 00 00 00 07 00 00 13 89"),
     "L2App: invalid VNI Membership Change message length 12", "LCP00407"},
    {"TruncatedInstance", H("00 0f 00 08 00 00 00 07"),
     "L2App: invalid instance change message length 8", "LCP00407"},
    {"SessionDataType", H("00 0d 00 0d 00 02 00 09 02 00 00 00 01"),
     "L2App: unsupported session control data type 2", "LCP00409"},
    {"SessionShortValue", H("00 0d 00 0b 00 01 00 07 03 00 00"),
     "L2App: TLV message validation failed at line", "LCP00407"},
    {"Init", Msg(1, H("00 01 00 04")), "L2App: internal vxlan message(type:1) need handler",
     "LCP00407"},
    {"LinkChangeFromDataplane", Msg(4, Cat({U32(7), H("00")})),
     "L2App: internal vxlan message(type:4) need handler", "LCP00407"},
    {"StateQueryFromDataplane", H("00 0b 00 08 00 01 00 04"), "L2App: unknown vxlan msg 11",
     "LCP00407"},
    {"UnknownType", Msg(4242, H("00")), "L2App: unknown vxlan msg 4242", "LCP00407"},
    {"ShortNotification", Msg(7, H("00 01")), "L2App: invalid notification message length 6",
     "LCP00407"},
};

INSTANTIATE_TEST_SUITE_P(Dataplane, L2AppBadInputTest, ::testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The control type needs the current session ID, known only once a session runs.
TEST_F(L2AppFixture, AnUnknownSessionControlTypeIsLoggedAndDropped) {
    Synced();
    Deliver(Session(9, vxlan::CurrentSessionId()));
    EXPECT_TRUE(log.ContainsWithCode("L2App: unsupported session control type 9", "LCP00407"));
    EXPECT_EQ(app->sessionState(), L2App::kSessionFullSyncEnded);
}

}  // namespace
}  // namespace CfgAgent::test

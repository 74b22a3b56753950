// The service-insertion device layouts against bytes written by hand from the layout comment of
// platform/device/SiIoctls.h.
#include "platform/device/SiIoctls.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/dataplane/ByteVec.h"

namespace ozy::device {
namespace {

using CfgAgent::test::Bytes;
using CfgAgent::test::Cat;
using CfgAgent::test::Field;
using CfgAgent::test::H;
using CfgAgent::test::Zeros;

const char* kUuid = "11111111-2222-3333-4444-55555555aaaa";

// Chain 5, LOCAL, one slot: path 258, forward SPI 2571 SI 255 MAC 02::01, reverse SPI 2572 SI 254
// MAC 02::02.
Bytes ChainBytes() {
    return Cat({Field(kUuid, 37), H("01 0005 01 00"),
                H("00000102  00000a0b ff 020000000001 00  00000a0c fe 020000000002"), Zeros(9),
                Zeros(6 * 36)});
}

SiChainEntry ChainValue() {
    SiChainEntry e;
    e.uuid = kUuid;
    e.chainId = 5;
    e.policy = 1;
    e.slots.push_back(
        SiChainSlot{258, {2571, 255, {2, 0, 0, 0, 0, 1}}, {2572, 254, {2, 0, 0, 0, 0, 2}}});
    return e;
}

TEST(SiIoctlsTest, EntriesHaveTheirFixedLayouts) {
    Bytes chain = ChainBytes();
    ASSERT_EQ(chain.size(), 294u);
    Bytes out;
    ASSERT_TRUE(EncodeChainEntry(ChainValue(), &out));
    EXPECT_EQ(out, chain);
    auto back = DecodeChainEntry(chain.data(), chain.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->uuid, kUuid);
    EXPECT_EQ(back->chainId, 5);
    EXPECT_EQ(back->policy, 1);
    ASSERT_EQ(back->slots.size(), 1u);
    EXPECT_EQ(back->slots[0], ChainValue().slots[0]);

    out.clear();
    ASSERT_TRUE(EncodeChainDelete(kUuid, &out));
    EXPECT_EQ(out, Cat({Field(kUuid, 37), Zeros(294 - 37)}));

    Bytes nsh = H("00123456 07 00 aabbccddeeff 00000000");
    out.clear();
    ASSERT_TRUE(EncodeNshEntry(SiHopRef{0x123456, 7, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}}, &out));
    EXPECT_EQ(out, nsh);
    auto hop = DecodeNshEntry(nsh.data(), nsh.size());
    ASSERT_TRUE(hop);
    EXPECT_EQ(hop->spi, 0x123456u);
    EXPECT_EQ(hop->si, 7);
    EXPECT_EQ(MacText(hop->mac), "aa:bb:cc:dd:ee:ff");

    out.clear();
    ASSERT_TRUE(EncodeFailEntry(SiFailEntry{0xABCDEF, kUnfailSpi}, &out));
    EXPECT_EQ(out, H("00abcdef 02 00"));
    auto fail = DecodeFailEntry(H("00abcdef 01 00").data(), 6);
    ASSERT_TRUE(fail);
    EXPECT_EQ(fail->action, kFailSpi);

    Bytes ovl2 = Cat({Field("dvs-1", 40), H("00001389 020000000003 0000")});
    out.clear();
    ASSERT_TRUE(EncodeOvl2Entry(Ovl2Entry{"dvs-1", 5001, {2, 0, 0, 0, 0, 3}}, &out));
    EXPECT_EQ(out, ovl2);
    auto mac = DecodeOvl2Entry(ovl2.data(), ovl2.size());
    ASSERT_TRUE(mac);
    EXPECT_EQ(mac->dvs, "dvs-1");
    EXPECT_EQ(mac->segment, 5001u);

    EXPECT_EQ(EncodeStatusWord(kSiStatusDown), H("00000001"));
    EXPECT_EQ(DecodeStatusWord(H("00000000").data(), 4), kSiStatusUp);
    EXPECT_FALSE(DecodeStatusWord(H("00000002").data(), 4));
    EXPECT_FALSE(DecodeStatusWord(H("000000").data(), 3));
}

TEST(SiIoctlsTest, ValuesThatDoNotFitAreNotEncoded) {
    Bytes out;
    SiChainEntry e = ChainValue();
    e.uuid = "short";
    EXPECT_FALSE(EncodeChainEntry(e, &out));
    e = ChainValue();
    e.chainId = 1024;
    EXPECT_FALSE(EncodeChainEntry(e, &out));
    e = ChainValue();
    e.slots.resize(8, e.slots[0]);
    EXPECT_FALSE(EncodeChainEntry(e, &out));
    e = ChainValue();
    e.slots[0].forward.spi = 0x1000000;
    EXPECT_FALSE(EncodeChainEntry(e, &out));
    EXPECT_FALSE(EncodeNshEntry(SiHopRef{0x1000000, 0, {}}, &out));
    EXPECT_FALSE(EncodeFailEntry(SiFailEntry{1, 3}, &out));
    EXPECT_FALSE(EncodeOvl2Entry(Ovl2Entry{"", 1, {}}, &out));
    EXPECT_FALSE(EncodeOvl2Entry(Ovl2Entry{std::string(40, 'd'), 1, {}}, &out));
    EXPECT_TRUE(out.empty());
}

// One byte changed (or the size) in a valid entry: refused.
TEST(SiIoctlsTest, MalformedEntriesAreRefused) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
    };
    const Case chainCases[] = {
        {"no terminator", [](Bytes& b) { b[36] = 'x'; }},
        {"uuid not hexadecimal", [](Bytes& b) { b[0] = 'g'; }},
        {"uuid dash misplaced", [](Bytes& b) { b[8] = '0'; }},
        {"eight slots", [](Bytes& b) { b[37] = 8; }},
        {"chain id 1024", [](Bytes& b) { b[38] = 0x04, b[39] = 0; }},
        {"policy 3", [](Bytes& b) { b[40] = 3; }},
        {"reserved header byte", [](Bytes& b) { b[41] = 1; }},
        {"path id past 24 bits", [](Bytes& b) { b[42] = 1; }},
        {"forward SPI past 24 bits", [](Bytes& b) { b[46] = 1; }},
        {"slot reserved byte", [](Bytes& b) { b[42 + 15] = 1; }},
        {"slot tail", [](Bytes& b) { b[42 + 35] = 1; }},
        {"unused slot not zero", [](Bytes& b) { b[42 + 36] = 1; }},
        {"trailing byte", [](Bytes& b) { b.push_back(0); }},
        {"one byte short", [](Bytes& b) { b.pop_back(); }},
    };
    for (const Case& c : chainCases) {
        Bytes b = ChainBytes();
        c.change(b);
        EXPECT_FALSE(DecodeChainEntry(b.data(), b.size())) << c.what;
    }
    const Case nshCases[] = {
        {"SPI past 24 bits", [](Bytes& b) { b[0] = 1; }},
        {"reserved byte", [](Bytes& b) { b[5] = 1; }},
        {"reserved tail", [](Bytes& b) { b[15] = 1; }},
        {"trailing byte", [](Bytes& b) { b.push_back(0); }},
    };
    for (const Case& c : nshCases) {
        Bytes b = H("00123456 07 00 aabbccddeeff 00000000");
        c.change(b);
        EXPECT_FALSE(DecodeNshEntry(b.data(), b.size())) << c.what;
    }
    EXPECT_FALSE(DecodeFailEntry(H("00abcdef 03 00").data(), 6));
    EXPECT_FALSE(DecodeFailEntry(H("00abcdef 01 01").data(), 6));
    EXPECT_FALSE(DecodeFailEntry(H("01abcdef 01 00").data(), 6));
    const Case ovl2Cases[] = {
        {"empty dvs", [](Bytes& b) { b[0] = 0; }},
        {"dvs not terminated", [](Bytes& b) { std::fill(b.begin(), b.begin() + 40, 'd'); }},
        {"byte after the dvs NUL", [](Bytes& b) { b[39] = 'x'; }},
        {"reserved tail", [](Bytes& b) { b[51] = 1; }},
        {"trailing byte", [](Bytes& b) { b.push_back(0); }},
    };
    for (const Case& c : ovl2Cases) {
        Bytes b = Cat({Field("dvs-1", 40), H("00001389 020000000003 0000")});
        c.change(b);
        EXPECT_FALSE(DecodeOvl2Entry(b.data(), b.size())) << c.what;
    }
}

}  // namespace
}  // namespace ozy::device

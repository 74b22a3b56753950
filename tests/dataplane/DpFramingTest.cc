#include <gtest/gtest.h>

#include "dataplane/DpFraming.h"
#include "tests/dataplane/ByteVec.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

using test::H;

// Elements as copies, so that the message may be a temporary.
struct Element {
    uint16_t type;
    uint16_t length;
    test::Bytes value;
    size_t offset;
    size_t valueSize;
};

std::vector<Element> WalkAll(const test::Bytes& msg, size_t first, bool* malformed) {
    DpTlvWalker w = DpTlvWalker::OverMessage(msg.data(), msg.size(), first);
    std::vector<Element> out;
    DpTlv t;
    while (w.Next(&t)) {
        out.push_back(Element{t.type, t.length, test::Bytes(t.value, t.value + t.valueSize),
                              t.offset, t.valueSize});
    }
    *malformed = w.Malformed();
    return out;
}

TEST(DpFramingTest, HeaderFieldsAreBigEndian) {
    test::Bytes msg = H("00 03 00 09 00 01 00 05 01");
    EXPECT_EQ(DpMsgType(msg.data()), 3);
    EXPECT_EQ(DpMsgLength(msg.data()), 9);
    EXPECT_EQ(DpMsgCheckedLength(msg.data(), msg.size()), 9u);
    bool bad;
    auto tlvs = WalkAll(msg, 4, &bad);
    EXPECT_FALSE(bad);
    ASSERT_EQ(tlvs.size(), 1u);
    EXPECT_EQ(tlvs[0].type, 1);
    EXPECT_EQ(tlvs[0].length, 5);
    ASSERT_EQ(tlvs[0].valueSize, 1u);
    EXPECT_EQ(tlvs[0].value[0], 1);
}

TEST(DpFramingTest, WalkerEdgeCases) {
    bool bad;
    // Header only: an empty body is valid.
    EXPECT_TRUE(WalkAll(H("00 01 00 04"), 4, &bad).empty());
    EXPECT_FALSE(bad);

    // A length-4 element has an empty value; the walk goes on to the next one.
    auto tlvs = WalkAll(H("00 04 00 0d  00 07 00 04  00 08 00 05 aa"), 4, &bad);
    EXPECT_FALSE(bad);
    ASSERT_EQ(tlvs.size(), 2u);
    EXPECT_EQ(tlvs[0].type, 7);
    EXPECT_EQ(tlvs[0].valueSize, 0u);
    EXPECT_EQ(tlvs[1].type, 8);
    EXPECT_EQ(tlvs[1].value[0], 0xaa);
    EXPECT_EQ(tlvs[1].offset, 8u);

    // An element reaching past the message end stops the walk; earlier ones were handed out.
    tlvs = WalkAll(H("00 04 00 0e  00 01 00 05 01  00 02 00 08 bb"), 4, &bad);
    EXPECT_TRUE(bad);
    ASSERT_EQ(tlvs.size(), 1u);
    EXPECT_EQ(tlvs[0].type, 1);

    // The walk ends at the length field, not at the buffer: trailing bytes are not elements.
    tlvs = WalkAll(H("00 04 00 09  00 01 00 05 01  00 02 00 04"), 4, &bad);
    EXPECT_FALSE(bad);
    EXPECT_EQ(tlvs.size(), 1u);

    // An element length below 4 would never advance: malformed.
    tlvs = WalkAll(H("00 04 00 0a  00 01 00 02 00 00"), 4, &bad);
    EXPECT_TRUE(bad);
    EXPECT_TRUE(tlvs.empty());

    // Fewer than 4 bytes left for an element header.
    tlvs = WalkAll(H("00 04 00 07  00 01 00"), 4, &bad);
    EXPECT_TRUE(bad);
    EXPECT_TRUE(tlvs.empty());
}

TEST(DpFramingTest, BadHeadersNeverReadPastTheBuffer) {
    bool bad;
    // Length field below 4, beyond the buffer, and a buffer shorter than a header.
    for (const test::Bytes& msg : {H("00 01 00 03 00"), H("00 01 00 02"), H("00 01 00 00"),
                                   H("00 01 00 40 00 01 00 04"), H("00 01 00")}) {
        EXPECT_EQ(DpMsgCheckedLength(msg.data(), msg.size()), 0u);
        EXPECT_TRUE(WalkAll(msg, 4, &bad).empty());
        EXPECT_TRUE(bad);
    }
    // A first element offset beyond the length field.
    EXPECT_TRUE(WalkAll(H("00 02 00 04"), 5, &bad).empty());
    EXPECT_TRUE(bad);
    // Exactly at the end: no elements, fine.
    EXPECT_TRUE(WalkAll(H("00 02 00 05 80"), 5, &bad).empty());
    EXPECT_FALSE(bad);
}

TEST(DpFramingTest, FixedStringsStopAtTheirNulOrWidth) {
    test::Bytes f = test::Field("vif-1", 8);
    EXPECT_EQ(DpFixedString(f.data(), 8), "vif-1");
    test::Bytes full = H("41 42 43 44");
    EXPECT_EQ(DpFixedString(full.data(), 4), "ABCD");
}

TEST(DpFramingTest, WriterFillsExactlyTheAnnouncedSize) {
    DpMsgWriter w(2, 4 + 1 + 4 + 3 + 4);
    w.U8(0x80);
    size_t at = w.BeginTlv(9);
    w.Be16(0x0102).U8(3);
    w.EndTlv(at);
    w.Tlv(5, nullptr, 0);
    DpMsg m = w.Finish();
    EXPECT_EQ(m, H("00 02 00 10 80 00 09 00 07 01 02 03 00 05 00 04"));
    uint8_t b[8];
    StoreBe64(b, 0x0102030405060708ull);
    EXPECT_EQ(LoadBe64(b), 0x0102030405060708ull);
    EXPECT_EQ(LoadBe32(b + 4), 0x05060708u);
}

TEST(DpFramingTest, WriterRefusesOverflowAndShortFills) {
    test::LogCapture cap;
    DpMsgWriter over(1, 6);
    over.Be32(1);  // 4 + 4 > 6
    EXPECT_FALSE(over.Ok());
    EXPECT_TRUE(over.Finish().empty());

    DpMsgWriter shortFill(1, 8);
    shortFill.U8(1);
    EXPECT_TRUE(shortFill.Finish().empty());
    EXPECT_TRUE(cap.Contains("Dataplane message build failed: wrote 5 of 8 bytes"));

    DpMsgWriter tooBig(1, 70000);
    EXPECT_FALSE(tooBig.Ok());
    EXPECT_TRUE(tooBig.Finish().empty());
    DpMsgWriter tooSmall(1, 3);
    EXPECT_TRUE(tooSmall.Finish().empty());
}

TEST(DpFramingTest, DumpTextStopsWhenItsBufferIsFull) {
    DpDumpText d(32, "KCP Message");
    EXPECT_EQ(d.Text(), "KCP Message\n");
    d.Append("\tline %d\n", 1);
    EXPECT_FALSE(d.Full());
    d.Append("\t%s\n", "a much longer line that does not fit");
    EXPECT_TRUE(d.Full());
    EXPECT_EQ(d.Text().size(), 31u);  // 32 including the NUL of a C buffer
    d.Append("more");
    EXPECT_EQ(d.Text().size(), 31u);
}

}  // namespace
}  // namespace CfgAgent

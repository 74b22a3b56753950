#include <gtest/gtest.h>

#include <cstdio>

#include "dataplane/DpFraming.h"
#include "tests/dataplane/ByteVec.h"
#include "tests/support/LogCapture.h"

namespace CfgAgent {
namespace {

using test::H;

// The walk as text: "type/length@offset:value" per element, then "!" when it ended malformed.
std::string Walk(const test::Bytes& msg, size_t first) {
    DpTlvWalker w = DpTlvWalker::OverMessage(msg.data(), msg.size(), first);
    std::string out;
    DpTlv t;
    char buf[64];
    while (w.Next(&t)) {
        snprintf(buf, sizeof buf, "%s%u/%u@%zu:", out.empty() ? "" : " ", t.type, t.length,
                 t.offset);
        out += buf;
        for (size_t i = 0; i < t.valueSize; ++i) {
            snprintf(buf, sizeof buf, "%02x", t.value[i]);
            out += buf;
        }
    }
    return w.Malformed() ? out + (out.empty() ? "!" : " !") : out;
}

TEST(DpFramingTest, HeaderFieldsAreBigEndianAndTheWalkStopsAtTheFirstFault) {
    test::Bytes msg = H("00 03 00 09 00 01 00 05 01");
    EXPECT_EQ(DpMsgType(msg.data()), 3);
    EXPECT_EQ(DpMsgLength(msg.data()), 9);
    EXPECT_EQ(DpMsgCheckedLength(msg.data(), msg.size()), 9u);
    struct {
        test::Bytes msg;
        size_t first;
        const char* walk;
    } cases[] = {
        {msg, 4, "1/5@4:01"},
        // Header only: an empty body is valid.
        {H("00 01 00 04"), 4, ""},
        // A length-4 element has an empty value; the walk goes on to the next one.
        {H("00 04 00 0d  00 07 00 04  00 08 00 05 aa"), 4, "7/4@4: 8/5@8:aa"},
        // An element reaching past the message end stops the walk; earlier ones were handed out.
        {H("00 04 00 0e  00 01 00 05 01  00 02 00 08 bb"), 4, "1/5@4:01 !"},
        // The walk ends at the length field, not at the buffer: trailing bytes are not elements.
        {H("00 04 00 09  00 01 00 05 01  00 02 00 04"), 4, "1/5@4:01"},
        // An element length below 4 would never advance: malformed.
        {H("00 04 00 0a  00 01 00 02 00 00"), 4, "!"},
        // Fewer than 4 bytes left for an element header.
        {H("00 04 00 07  00 01 00"), 4, "!"},
        // A first element offset beyond the length field.
        {H("00 02 00 04"), 5, "!"},
        // Exactly at the end: no elements, fine.
        {H("00 02 00 05 80"), 5, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Walk(c.msg, c.first), c.walk);
    // Length field below 4, beyond the buffer, and a buffer shorter than a header: nothing is read
    // past the buffer.
    for (const test::Bytes& bad : {H("00 01 00 03 00"), H("00 01 00 02"), H("00 01 00 00"),
                                   H("00 01 00 40 00 01 00 04"), H("00 01 00")}) {
        EXPECT_EQ(DpMsgCheckedLength(bad.data(), bad.size()), 0u);
        EXPECT_EQ(Walk(bad, 4), "!");
    }
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

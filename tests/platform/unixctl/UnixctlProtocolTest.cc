#include "platform/jsonrpc/MessageFramer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unixctl/UnixctlProtocol.h"

namespace ozy::unixctl {
namespace {

using Status = MessageFramer::Status;

std::vector<std::string> Drain(MessageFramer& f, Status* last) {
    std::vector<std::string> out;
    std::string msg;
    while ((*last = f.Next(&msg)) == Status::kMessage)
        out.push_back(msg);
    return out;
}

// The status of the first message of `bytes` to a framer bounded at `max`.
Status FirstOf(const std::string& bytes, size_t max = 1024) {
    MessageFramer f(max);
    f.Append(bytes.data(), bytes.size());
    std::string msg;
    return f.Next(&msg);
}

TEST(MessageFramerTest, SplitsBackToBackMessagesAndWaitsForPartialOnes) {
    MessageFramer f(1024);
    std::string a = R"({"method":"x","params":["}{[\"]"],"id":1})";
    std::string b = R"({"id":2,"params":[],"method":"y"})";
    std::string stream = "\n " + a + b + "\r\n\t" + a;
    // Byte by byte: every prefix is either a run of complete messages or a wait for more.
    std::vector<std::string> got;
    Status last = Status::kNeedMore;
    for (char c : stream) {
        f.Append(&c, 1);
        auto more = Drain(f, &last);
        got.insert(got.end(), more.begin(), more.end());
        ASSERT_EQ(last, Status::kNeedMore);
    }
    EXPECT_EQ(got, (std::vector<std::string>{a, b, a}));
    EXPECT_FALSE(f.HasPartialMessage());
    f.Append("{\"a\"", 4);
    EXPECT_EQ(f.Next(&a), Status::kNeedMore);
    EXPECT_TRUE(f.HasPartialMessage());
}

TEST(MessageFramerTest, RejectsNonObjectsDeepNestingAndOversizedMessages) {
    for (std::string bad : {"[1,2]", "\"text\"", "17", "null", "}"})
        EXPECT_EQ(FirstOf(bad), Status::kNotAnObject) << bad;
    EXPECT_EQ(FirstOf("{\"a\":" + std::string(MessageFramer::kMaxDepth, '[')), Status::kTooDeep);
    // Incomplete and already beyond the bound.
    EXPECT_EQ(FirstOf("{\"method\":\"" + std::string(200, 'a'), 100), Status::kTooLarge);
    {
        // Completed by the last bytes while the partial part was still within the bound.
        MessageFramer f(100);
        std::string head = "{\"method\":\"" + std::string(85, 'a');
        f.Append(head.data(), head.size());
        std::string msg;
        EXPECT_EQ(f.Next(&msg), Status::kNeedMore);
        f.Append("aaaaaaa\"}", 9);
        EXPECT_EQ(f.Next(&msg), Status::kTooLarge);
    }
}

TEST(MessageFramerTest, PipelinedTrafficDoesNotGrowTheBuffer) {
    MessageFramer f(1024);
    std::string one = R"({"method":"m","params":[],"id":1} )";
    std::string msg;
    for (int i = 0; i < 10000; ++i) {
        f.Append(one.data(), one.size());
        ASSERT_EQ(f.Next(&msg), Status::kMessage);
    }
    EXPECT_LT(f.BufferedBytes(), 8192u);
}

TEST(MessageFramerTest, ALargeMessageDoesNotKeepItsBufferOnceDrained) {
    MessageFramer f(8 << 20);
    std::string big = "{\"params\":\"" + std::string(4 << 20, 'a') + "\"}";
    std::string small = R"({"id":1})";
    // Delivered in reads of 64 KiB, the last one carrying the start of the next message.
    std::string stream = big + small.substr(0, 3);
    std::string msg;
    for (size_t at = 0; at < stream.size(); at += 65536) {
        std::string part = stream.substr(at, 65536);
        f.Append(part.data(), part.size());
        if (f.Next(&msg) == Status::kMessage)
            break;
    }
    EXPECT_EQ(msg.size(), big.size());
    EXPECT_EQ(f.Next(&msg), Status::kNeedMore);
    // The partial message keeps the buffer; completing it and draining releases it.
    f.Append(small.data() + 3, small.size() - 3);
    ASSERT_EQ(f.Next(&msg), Status::kMessage);
    EXPECT_EQ(msg, small);
    EXPECT_EQ(f.Next(&msg), Status::kNeedMore);
    EXPECT_LE(f.CapacityBytes(), MessageFramer::kKeptCapacity);
    // The framer goes on working after the release.
    f.Append(small.data(), small.size());
    ASSERT_EQ(f.Next(&msg), Status::kMessage);
    EXPECT_EQ(msg, small);
    // A buffer grown by many small messages at once (each copied out; a line end after the last)
    // is released once drained.
    std::string many;
    size_t sent = 0;
    for (; many.size() <= 2 * MessageFramer::kKeptCapacity; ++sent)
        many += small;
    many += "\n";
    f.Append(many.data(), many.size());
    size_t n = 0;
    while (f.Next(&msg) == Status::kMessage)
        ++n;
    EXPECT_EQ(n, sent);
    EXPECT_EQ(f.BufferedBytes(), 0u);
    EXPECT_LE(f.CapacityBytes(), MessageFramer::kKeptCapacity);
}

// A message that is all the framer holds, or a large one, is handed over with the buffer's bytes,
// not copied; the framer keeps no large buffer and goes on with the following messages. A small
// message followed by others is copied out.
TEST(MessageFramerTest, AMessageThatIsAllTheBufferHoldsIsHandedOverWhole) {
    MessageFramer f(8 << 20);
    std::string big = "{\"params\":\"" + std::string(1 << 20, 'a') + "\"}";
    std::string small = R"({"id":1})";
    std::string msg = "an earlier message with a buffer of its own";
    for (size_t at = 0; at < big.size(); at += 65536) {
        std::string part = big.substr(at, 65536);
        f.Append(part.data(), part.size());
    }
    const size_t held = f.CapacityBytes();
    ASSERT_EQ(f.Next(&msg), Status::kMessage);
    EXPECT_EQ(msg, big);
    EXPECT_EQ(msg.capacity(), held);  // the framer's own buffer
    EXPECT_EQ(f.BufferedBytes(), 0u);
    EXPECT_LE(f.CapacityBytes(), MessageFramer::kKeptCapacity);
    EXPECT_EQ(f.Next(&msg), Status::kNeedMore);
    // Whitespace after a message still waits; two messages: the first copied, the second handed
    // over; a partial message after one keeps its bytes.
    struct Case {
        const char* name;
        std::string stream;
        std::vector<std::string> messages;
        size_t left;
    };
    const Case cases[] = {
        {"one", small, {small}, 0},
        {"two", small + " " + small, {small, small}, 0},
        {"one and a partial one", small + "{\"id\"", {small}, 5},
    };
    for (const Case& c : cases) {
        f.Append(c.stream.data(), c.stream.size());
        std::vector<std::string> got;
        while (f.Next(&msg) == Status::kMessage)
            got.push_back(msg);
        EXPECT_EQ(got, c.messages) << c.name;
        EXPECT_EQ(f.BufferedBytes(), c.left) << c.name;
        // The large buffer `msg` had before is not taken in exchange.
        EXPECT_LE(f.CapacityBytes(), MessageFramer::kKeptCapacity) << c.name;
        f = MessageFramer(8 << 20);
    }
    // A large message after a small one and before the start of the next: handed over with the
    // buffer, which keeps neither its bytes nor the earlier message's, only the partial one.
    const std::string both = small + big + small.substr(0, 3);
    f.Append(both.data(), both.size());
    const size_t grown = f.CapacityBytes();
    ASSERT_EQ(f.Next(&msg), Status::kMessage);
    EXPECT_EQ(msg, small);
    ASSERT_EQ(f.Next(&msg), Status::kMessage);
    EXPECT_EQ(msg, big);
    EXPECT_EQ(msg.capacity(), grown);
    EXPECT_EQ(f.BufferedBytes(), 3u);
    EXPECT_LE(f.CapacityBytes(), MessageFramer::kKeptCapacity);
    const std::string rest = small.substr(3) + "\n";
    f.Append(rest.data(), rest.size());
    ASSERT_EQ(f.Next(&msg), Status::kMessage);
    EXPECT_EQ(msg, small);
    EXPECT_EQ(f.Next(&msg), Status::kNeedMore);
    EXPECT_LE(f.CapacityBytes(), MessageFramer::kKeptCapacity);
}

// What a framer with an element cut hands out when `stream` arrives `piece` bytes at a time and
// elements are taken after each piece.
struct CutRun {
    std::vector<std::string> prefixes;  // what the check was asked about
    std::string taken;
    std::vector<std::string> messages;
    Status last = Status::kNeedMore;
    size_t maxBuffered = 0;
};
CutRun RunCut(const std::string& stream, int depth, bool accept, size_t piece,
              size_t max = 1 << 20) {
    MessageFramer f(max);
    CutRun r;
    f.SetElementCut(depth, [&](std::string_view prefix) {
        r.prefixes.emplace_back(prefix);
        return accept;
    });
    std::string msg;
    for (size_t at = 0; at < stream.size(); at += piece) {
        f.Append(stream.data() + at, std::min(piece, stream.size() - at));
        while ((r.last = f.Next(&msg)) == Status::kMessage)
            r.messages.push_back(msg);
        if (r.last != Status::kNeedMore)
            break;
        f.TakeElements(&r.taken);
        r.maxBuffered = std::max(r.maxBuffered, f.BufferedBytes());
    }
    return r;
}

TEST(MessageFramerTest, ElementsOfTheCheckedArrayAreTakenOutAsTheyComplete) {
    struct Case {
        const char* name;
        std::string stream;
        int depth;
        bool accept;
        std::vector<std::string> prefixes;
        std::string taken;
        std::vector<std::string> messages;
    };
    const std::string rows = R"({"id":4,"result":[{"rows":[)";
    const Case cases[] = {
        {"rows with brackets and commas in strings",
         rows + R"({"a":"x,]"},[1,[2]] , 3,"s\"],"]}],"error":null})",
         4,
         true,
         {rows},
         R"({"a":"x,]"},[1,[2]] , 3,)",
         {R"({"id":4,"result":[{"rows":["s\"],"]}],"error":null})"}},
        {"refused by the check",
         rows + R"(1,2,3]}]})",
         4,
         false,
         {rows},
         "",
         {rows + R"(1,2,3]}]})"}},
        {"an object as deep comes first",
         R"({"a":[{"b":{"c":1,"d":2}},{"e":[5,6]}]})",
         4,
         true,
         {R"({"a":[{"b":{"c":1,"d":2}},{"e":[)"},
         "5,",
         {R"({"a":[{"b":{"c":1,"d":2}},{"e":[6]}]})"}},
        {"only the first array as deep",
         R"({"r":[[1,2],[3,4]]})",
         3,
         true,
         {R"({"r":[[)"},
         "1,",
         {R"({"r":[[2],[3,4]]})"}},
        {"each message checked anew",
         R"({"r":[[1,2]]} {"r":[[3,4]]})",
         3,
         true,
         {R"({"r":[[)", R"({"r":[[)"},
         "1,3,",
         {R"({"r":[[2]]})", R"({"r":[[4]]})"}},
        {"an opening beyond the prefix bound",
         R"({"p":")" + std::string(MessageFramer::kMaxCutPrefix, 'x') + R"(","r":[[1,2]]})",
         3,
         true,
         {},
         "",
         {R"({"p":")" + std::string(MessageFramer::kMaxCutPrefix, 'x') + R"(","r":[[1,2]]})"}},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t(1), size_t(5), c.stream.size()}) {
            CutRun r = RunCut(c.stream, c.depth, c.accept, piece);
            const std::string what = std::string(c.name) + ", pieces of " + std::to_string(piece);
            EXPECT_EQ(r.last, Status::kNeedMore) << what;
            EXPECT_EQ(r.prefixes, c.prefixes) << what;
            // Whole at once, the message completes before anything can be taken.
            EXPECT_EQ(r.taken, piece == c.stream.size() ? "" : c.taken) << what;
            if (piece != c.stream.size())
                EXPECT_EQ(r.messages, c.messages) << what;
        }
    }
}

TEST(MessageFramerTest, AnArrayTakenAsItArrivesKeepsTheBufferSmallAndTheSizeBound) {
    const std::string rows = R"({"id":4,"result":[{"rows":[)";
    std::string stream = rows;
    for (int i = 0; i < 20000; ++i)
        stream += R"({"oid":")" + std::to_string(i) + R"(","body":"0123456789"},)";
    stream += R"({"oid":"last"}]}],"error":null})";
    CutRun r = RunCut(stream, 4, true, 4096);
    // What was taken, put back where it was, is the message; what was left is the last piece's.
    ASSERT_EQ(r.messages.size(), 1u);
    ASSERT_EQ(r.messages[0].compare(0, rows.size(), rows), 0);
    EXPECT_EQ(rows + r.taken + r.messages[0].substr(rows.size()), stream);
    EXPECT_LE(r.messages[0].size(), 4096u + rows.size());
    EXPECT_LE(r.maxBuffered, 4096u + 64);
    // Taken bytes count towards the message's bound.
    EXPECT_EQ(RunCut(stream, 4, true, 4096, stream.size() - 1).last, Status::kTooLarge);
    EXPECT_EQ(RunCut(stream, 4, true, 4096, stream.size()).last, Status::kNeedMore);
}

TEST(UnixctlProtocolTest, ParsesRequestsAsOvsAppctlWritesThem) {
    Request r;
    std::string err;
    ASSERT_TRUE(ParseRequest(R"({"id":0,"method":"echo","params":["a","b c"]})", &r, &err));
    EXPECT_EQ(r.method, "echo");
    EXPECT_EQ(r.args, (std::vector<std::string>{"a", "b c"}));
    EXPECT_EQ(r.paramCount, 2u);
    EXPECT_FALSE(r.nonStringParam);
    EXPECT_EQ(r.idJson, "0");

    ASSERT_TRUE(ParseRequest(R"({"id":"x\"y","method":"m","params":["a",1,{"k":2}]})", &r, &err));
    EXPECT_EQ(r.paramCount, 3u);
    EXPECT_TRUE(r.nonStringParam);
    EXPECT_EQ(r.idJson, R"("x\"y")");
}

TEST(UnixctlProtocolTest, RepliesRoundTripAndEchoTheId) {
    Reply r;
    std::string err;
    std::string ok = FormatReply(R"({"a":[1]})", true, "line \"1\"\n");
    EXPECT_EQ(ok, R"({"error":null,"id":{"a":[1]},"result":"line \"1\"\n"})");
    ASSERT_TRUE(ParseReply(ok, &r, &err));
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.text, "line \"1\"\n");

    ASSERT_TRUE(ParseReply(FormatReply("3", false, "bad\n"), &r, &err));
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.text, "bad\n");
    EXPECT_EQ(r.idJson, "3");

    // Invalid UTF-8 from a handler is replaced, not thrown.
    ASSERT_TRUE(ParseReply(FormatReply("4", true, "a\xff"), &r, &err));
    EXPECT_EQ(r.text, "a\xEF\xBF\xBD");

    EXPECT_FALSE(ParseReply(R"({"id":1,"result":"a","error":"b"})", &r, &err));
    EXPECT_FALSE(ParseReply(R"({"id":1,"result":null,"error":null})", &r, &err));
    EXPECT_FALSE(ParseReply(R"({"id":1,"result":5,"error":null})", &r, &err));
    EXPECT_FALSE(ParseReply(R"({"result":"a","error":null})", &r, &err));
}

}  // namespace
}  // namespace ozy::unixctl
